// SPDX-License-Identifier: MIT
// The few socket calls the receive loop needs, spelled once for Winsock and
// once for Berkeley sockets, so that the loop itself reads the same on both.
// Waits use poll (WSAPoll), which has no limit on descriptor numbers.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using SocketHandle = SOCKET;
constexpr SocketHandle InvalidSocket = INVALID_SOCKET;
inline void socketLibraryStartup()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 0), &data);
}
inline void socketLibraryCleanup()
{
    WSACleanup();
}
inline int closeSocket(SocketHandle s)
{
    return closesocket(s);
}
inline bool setNonBlocking(SocketHandle s, bool on)
{
    u_long mode = on ? 1 : 0;
    return ioctlsocket(s, FIONBIO, &mode) == 0;
}
inline bool connectInProgress()
{
    return WSAGetLastError() == WSAEWOULDBLOCK;
}
inline bool receiveWouldBlock()
{
    return WSAGetLastError() == WSAEWOULDBLOCK;
}
inline int lastSocketError()
{
    return WSAGetLastError();
}
inline bool interruptedCall()
{
    return false;
}
// One datagram and the address it came from.
inline long receiveFrom(SocketHandle s, unsigned char* buffer, int len, sockaddr_in* from)
{
    int fromLen = int(sizeof *from);
    return ::recvfrom(s, reinterpret_cast<char*>(buffer), len, 0, reinterpret_cast<sockaddr*>(from),
                      &fromLen);
}
using PollDescriptor = WSAPOLLFD;
inline int pollSockets(PollDescriptor* fds, unsigned long count, int timeoutMs)
{
    return WSAPoll(fds, count, timeoutMs);
}
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
using SocketHandle = int;
constexpr SocketHandle InvalidSocket = -1;
inline void socketLibraryStartup()
{
}
inline void socketLibraryCleanup()
{
}
inline int closeSocket(SocketHandle s)
{
    return ::close(s);
}
inline bool setNonBlocking(SocketHandle s, bool on)
{
    const int flags = ::fcntl(s, F_GETFL, 0);
    if (flags < 0)
        return false;
    return ::fcntl(s, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) == 0;
}
inline bool connectInProgress()
{
    return errno == EINPROGRESS;
}
inline bool receiveWouldBlock()
{
    return errno == EAGAIN || errno == EWOULDBLOCK;
}
inline int lastSocketError()
{
    return errno;
}
inline bool interruptedCall()
{
    return errno == EINTR;
}
// One datagram and the address it came from.
inline long receiveFrom(SocketHandle s, unsigned char* buffer, int len, sockaddr_in* from)
{
    socklen_t fromLen = sizeof *from;
    return long(
        ::recvfrom(s, buffer, std::size_t(len), 0, reinterpret_cast<sockaddr*>(from), &fromLen));
}
// poll(), unlike select(), takes any descriptor number: a process with more
// than 1024 open descriptors must not write past an fd_set.
using PollDescriptor = pollfd;
inline int pollSockets(PollDescriptor* fds, unsigned long count, int timeoutMs)
{
    return ::poll(fds, nfds_t(count), timeoutMs);
}
#endif
