// SPDX-License-Identifier: MIT
#pragma once

#include <fcntl.h>

// Puts the socket into non-blocking mode; false when that failed.
inline bool setNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}
