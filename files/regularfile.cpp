// SPDX-License-Identifier: MIT
#include "regularfile.h"

#include <QFile>

#ifdef _WIN32
#include <QFileInfo>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>

namespace {

bool fail(QString* error, const QString& reason)
{
    if (error != nullptr)
        *error = reason;
    return false;
}

std::optional<QByteArray> refuse(QString* error, const QString& reason)
{
    fail(error, reason);
    return std::nullopt;
}

} // namespace

#ifdef _WIN32

std::optional<QByteArray> readRegularFile(const QString& path, qint64 maxBytes, QString* error)
{
    // Windows has no FIFOs in the file system; devices and folders are
    // refused by the same check.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return refuse(error, QStringLiteral("not a regular file"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(error, file.errorString());
    return file.read(std::max<qint64>(maxBytes, 0));
}

bool openRegularFile(QFile* file, const QString& path, QString* error)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return fail(error, QStringLiteral("not a regular file"));
    file->setFileName(path);
    if (!file->open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return fail(error, file->errorString());
    return true;
}

#else

namespace {

// The descriptor of the regular file at `path`, opened for reading, and its
// size; -1 when it is missing, unreadable or anything else.
int openRegular(const QString& path, qint64* size, QString* error)
{
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
    // writer. It has no effect on the reads of a regular file.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fail(error, qt_error_string(errno));
        return -1;
    }
    struct stat st = {};
    const bool statted = ::fstat(fd, &st) == 0;
    const int err = errno;
    if (!statted || !S_ISREG(st.st_mode)) {
        ::close(fd);
        fail(error, statted ? QStringLiteral("not a regular file") : qt_error_string(err));
        return -1;
    }
    *size = std::max<qint64>(st.st_size, 0);
    return fd;
}

} // namespace

std::optional<QByteArray> readRegularFile(const QString& path, qint64 maxBytes, QString* error)
{
    qint64 size = 0;
    const int fd = openRegular(path, &size, error);
    if (fd < 0)
        return std::nullopt;

    // Sized by what the file holds now, never beyond the bound; a file that
    // grows meanwhile is read up to the bound, one that shrinks to its end.
    QByteArray bytes;
    const qint64 limit = std::max<qint64>(maxBytes, 0);
    bytes.resize(std::min<qint64>(limit, size));
    qint64 have = 0;
    // Each pass that is not interrupted reads at least one byte or ends the
    // loop, so it ends after at most `limit` reads.
    while (have < limit) {
        if (have == bytes.size())
            bytes.resize(std::min<qint64>(limit, std::max<qint64>(2 * have, 4096)));
        const ssize_t n = ::read(fd, bytes.data() + have, std::size_t(bytes.size() - have));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int err = errno;
            ::close(fd);
            return refuse(error, qt_error_string(err));
        }
        if (n == 0)
            break;
        have += n;
    }
    ::close(fd);
    bytes.resize(have);
    return bytes;
}

bool openRegularFile(QFile* file, const QString& path, QString* error)
{
    qint64 size = 0;
    const int fd = openRegular(path, &size, error);
    if (fd < 0)
        return false;
    file->close();
    if (!file->open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered,
                    QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return fail(error, file->errorString());
    }
    return true;
}

#endif
