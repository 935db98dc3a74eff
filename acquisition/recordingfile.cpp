// SPDX-License-Identifier: MIT
#include "recordingfile.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>

#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
int openForWriting(const QString& path)
{
    int fd = -1;
    _wsopen_s(&fd, reinterpret_cast<const wchar_t*>(path.utf16()),
              _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _SH_DENYNO, _S_IREAD | _S_IWRITE);
    return fd;
}
long long writeSome(int fd, const char* data, qint64 len)
{
    return _write(fd, data, unsigned(std::min<qint64>(len, 1 << 30)));
}
void cutTo(int fd, qint64 size)
{
    _chsize_s(fd, size);
    _lseeki64(fd, size, SEEK_SET);
}
void closeFile(int fd)
{
    _close(fd);
}
#else
int openForWriting(const QString& path)
{
    return ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                  0666);
}
long long writeSome(int fd, const char* data, qint64 len)
{
    return ::write(fd, data, std::size_t(len));
}
void cutTo(int fd, qint64 size)
{
    // Devices (a test's /dev/full) cannot be cut; their failure is the
    // write's, already told.
    if (::ftruncate(fd, off_t(size)) == 0)
        ::lseek(fd, off_t(size), SEEK_SET);
}
void closeFile(int fd)
{
    ::close(fd);
}
#endif

} // namespace

RecordingFile::~RecordingFile()
{
    close();
}

bool RecordingFile::open(const QString& path, QString* error)
{
    close();
    m_path = path;
    m_size = 0;
    m_fd = openForWriting(path);
    if (m_fd < 0) {
        *error = qt_error_string(errno);
        return false;
    }
    return true;
}

bool RecordingFile::append(std::initializer_list<QByteArrayView> pieces, QString* error)
{
    if (m_fd < 0) {
        *error = qt_error_string(EBADF);
        return false;
    }
    qint64 written = 0;
    for (const QByteArrayView piece : pieces) {
        const char* data = piece.data();
        qint64 left = piece.size();
        // Each pass that is not interrupted writes at least one byte or
        // ends the loop, so it ends after at most piece.size() writes.
        while (left > 0) {
            const long long n = writeSome(m_fd, data, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                // The errno of the write itself, before anything else can
                // change it; a write of nothing counts as a full disk.
                const int err = n < 0 ? errno : ENOSPC;
                cutTo(m_fd, m_size);
                *error = qt_error_string(err);
                return false;
            }
            data += n;
            left -= n;
            written += n;
        }
    }
    m_size += written;
    return true;
}

void RecordingFile::close()
{
    if (m_fd >= 0)
        closeFile(m_fd);
    m_fd = -1;
}
