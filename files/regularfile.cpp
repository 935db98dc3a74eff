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

std::optional<QByteArray> refuse(QString* error, const QString& reason)
{
    if (error != nullptr)
        *error = reason;
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

#else

std::optional<QByteArray> readRegularFile(const QString& path, qint64 maxBytes, QString* error)
{
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
    // writer. It has no effect on the reads of a regular file.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return refuse(error, qt_error_string(errno));
    struct stat st = {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        return refuse(error, qt_error_string(err));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return refuse(error, QStringLiteral("not a regular file"));
    }

    // Sized by what the file holds now, never beyond the bound; a file that
    // grows meanwhile is read up to the bound, one that shrinks to its end.
    QByteArray bytes;
    const qint64 limit = std::max<qint64>(maxBytes, 0);
    bytes.resize(std::min<qint64>(limit, std::max<qint64>(st.st_size, 0)));
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

#endif
