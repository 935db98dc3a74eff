// SPDX-License-Identifier: MIT
// The few socket calls the receive loop needs, spelled once for Winsock and
// once for Berkeley sockets, so that the loop itself reads the same on both.
// Waits use poll (WSAPoll), which has no limit on descriptor numbers.
#pragma once

#include <algorithm>

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

// One datagram's place in a batch: the caller's buffer, and after a receive
// the datagram's length (cut to the capacity) and where it came from.
struct DatagramSlot
{
    unsigned char* data = nullptr;
    int capacity = 0;
    int length = 0;
    sockaddr_in from{};
};

// At most this many datagrams are taken per call.
constexpr int MaxDatagramBatch = 16;

// Takes up to `count` waiting datagrams without blocking. Returns how many,
// or -1 when the first receive failed (lastSocketError() says why; would
// block: none was waiting).
#ifdef __linux__
inline int receiveDatagrams(SocketHandle s, DatagramSlot* batch, int count)
{
    // One system call for the whole batch.
    mmsghdr messages[MaxDatagramBatch];
    iovec vectors[MaxDatagramBatch];
    count = std::min(count, MaxDatagramBatch);
    for (int i = 0; i < count; ++i) {
        vectors[i].iov_base = batch[i].data;
        vectors[i].iov_len = std::size_t(batch[i].capacity);
        messages[i] = {};
        messages[i].msg_hdr.msg_name = &batch[i].from;
        messages[i].msg_hdr.msg_namelen = sizeof batch[i].from;
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int received = ::recvmmsg(s, messages, unsigned(count), MSG_DONTWAIT, nullptr);
    for (int i = 0; i < received; ++i)
        batch[i].length = int(std::min<unsigned>(messages[i].msg_len, unsigned(batch[i].capacity)));
    return received;
}
#else
inline int receiveDatagrams(SocketHandle s, DatagramSlot* batch, int count)
{
    count = std::min(count, MaxDatagramBatch);
    for (int i = 0; i < count; ++i) {
        const long received = receiveFrom(s, batch[i].data, batch[i].capacity, &batch[i].from);
        if (received < 0)
            return i == 0 ? -1 : i; // a later failure shows again at the next call
        batch[i].length = int(received);
    }
    return count;
}
#endif

// Waits until the socket is readable (or, with forWrite, writable), for at
// most timeoutMs; a wait cut short by a signal is resumed. Returns >0 when
// ready, 0 on time-out, <0 on failure.
inline int waitSocket(SocketHandle s, int timeoutMs, bool forWrite)
{
    PollDescriptor fd{};
    fd.fd = s;
    fd.events = forWrite ? POLLOUT : POLLIN;
    for (;;) {
        const int r = pollSockets(&fd, 1, timeoutMs);
        if (r < 0 && interruptedCall())
            continue;
        return r;
    }
}
