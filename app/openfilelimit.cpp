// SPDX-License-Identifier: MIT
#include "openfilelimit.h"

#ifdef _WIN32

bool raiseOpenFileLimit(QString*)
{
    // Windows sockets are not counted against a per-process file limit.
    return true;
}

#else

#include <cerrno>
#include <sys/resource.h>

namespace {

// Linux refuses an unlimited soft limit for open files (it is bounded by
// fs.nr_open, 1048576 by default); this is used when the hard limit is
// unlimited.
constexpr rlim_t FallbackLimit = 1048576;

} // namespace

bool raiseOpenFileLimit(QString* error)
{
    rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        if (error != nullptr)
            *error =
                QStringLiteral("cannot read the open file limit: %1").arg(qt_error_string(errno));
        return false;
    }
    if (limit.rlim_cur == limit.rlim_max)
        return true;
    const rlim_t old = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) == 0)
        return true;
    if (limit.rlim_max == RLIM_INFINITY && old < FallbackLimit) {
        limit.rlim_cur = FallbackLimit;
        if (::setrlimit(RLIMIT_NOFILE, &limit) == 0)
            return true;
    }
    if (error != nullptr) {
        *error = QStringLiteral("cannot raise the open file limit from %1: %2")
                     .arg(qulonglong(old))
                     .arg(qt_error_string(errno));
    }
    return false;
}

#endif
