// SPDX-License-Identifier: MIT
#include "devicelog.h"

#include <QByteArray>
#include <QFile>

#ifdef _WIN32
#include <QFileInfo>
#else
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef _WIN32

bool appendDeviceLog(const QString& path, const QString& text, qint64 maxBytes)
{
    const QByteArray bytes = text.toLatin1();
    const QFileInfo info(path);
    if (info.isFile() && info.size() > 0 && info.size() + bytes.size() > maxBytes) {
        const QString older = path + QStringLiteral(".1");
        QFile::remove(older);
        if (!QFile::rename(path, older))
            return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    const bool written = file.write(bytes) == bytes.size();
    file.close();
    return written && file.error() == QFileDevice::NoError;
}

#else

namespace {

int openForAppend(const QByteArray& name)
{
    // O_NONBLOCK: a FIFO without a reader fails with ENXIO instead of
    // waiting for one; for a regular file it changes nothing.
    return ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
}

// Writes all of `bytes`; false at the first failed write. Each pass that is
// not interrupted writes at least one byte or ends the loop.
bool writeAll(int fd, const QByteArray& bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, std::size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace

bool appendDeviceLog(const QString& path, const QString& text, qint64 maxBytes)
{
    // The path goes through the file system's own encoding so that a name
    // outside Latin-1 opens that file and not a '?'-mangled one.
    const QByteArray name = QFile::encodeName(path);
    const QByteArray bytes = text.toLatin1();
    int fd = openForAppend(name);
    if (fd < 0)
        return false;

    // Only a regular file grows on disk; a FIFO or a device is never
    // renamed. An empty file takes the text whatever its length, so that
    // one long text cannot rotate forever.
    struct stat st = {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0
        && qint64(st.st_size) + bytes.size() > maxBytes) {
        ::close(fd);
        const QByteArray older = name + ".1";
        // rename() replaces an older ".1" in one step. When it fails the
        // text is not written: the limit holds, and the caller reports it.
        if (std::rename(name.constData(), older.constData()) != 0)
            return false;
        fd = openForAppend(name);
        if (fd < 0)
            return false;
    }

    const bool written = writeAll(fd, bytes);
    // A failed close can be the first report of a failed write (a full disk
    // on a network file system).
    const bool closed = ::close(fd) == 0;
    return written && closed;
}

#endif
