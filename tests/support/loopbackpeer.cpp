// SPDX-License-Identifier: MIT
#include "loopbackpeer.h"

#include <QDeadlineTimer>

#include <algorithm>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in loopback(quint16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

} // namespace

LoopbackSocket::LoopbackSocket(int type) : m_fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0))
{
    sockaddr_in a = loopback(0);
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        return;
    socklen_t len = sizeof a;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        m_port = ntohs(a.sin_port);
}

void LoopbackSocket::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

LoopbackPeer::LoopbackPeer() : m_listener(SOCK_STREAM)
{
    if (m_listener.fd() >= 0)
        m_listening = ::listen(m_listener.fd(), 8) == 0;
}

bool LoopbackPeer::acceptClient(int timeoutMs)
{
    pollfd p{m_listener.fd(), POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return false;
    closeClient();
    m_client = ::accept4(m_listener.fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (m_client >= 0)
        ++m_accepted;
    return m_client >= 0;
}

bool LoopbackPeer::hasPendingConnection() const
{
    pollfd p{m_listener.fd(), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

bool LoopbackPeer::send(const QByteArray& bytes)
{
    qsizetype sent = 0;
    while (m_client >= 0 && sent < bytes.size()) {
        const auto n = ::send(m_client, bytes.constData() + sent, std::size_t(bytes.size() - sent),
                              MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += n;
    }
    return sent == bytes.size();
}

QByteArray LoopbackPeer::receiveRequest(int timeoutMs)
{
    QByteArray request;
    QDeadlineTimer deadline(timeoutMs);
    while (m_client >= 0 && request.size() < 65536 && !deadline.hasExpired()) {
        if (request.contains("\r\n\r\n"))
            return request;
        pollfd p{m_client, POLLIN, 0};
        if (::poll(&p, 1, int(std::min<qint64>(deadline.remainingTime(), 100))) <= 0)
            continue;
        char chunk[4096];
        const auto n = ::recv(m_client, chunk, sizeof chunk, 0);
        if (n <= 0)
            return QByteArray();
        request.append(chunk, n);
    }
    return request.contains("\r\n\r\n") ? request : QByteArray();
}

void LoopbackPeer::closeClient()
{
    if (m_client >= 0)
        ::close(m_client);
    m_client = -1;
}

quint16 freeUdpPort()
{
    return LoopbackSocket(SOCK_DGRAM).port();
}

bool sendDatagram(quint16 port, const QByteArray& data)
{
    // One socket for the whole test run: a device sends all its datagrams
    // from one address and port, and the viewer locks onto that sender.
    static LoopbackSocket socket(SOCK_DGRAM);
    return sendDatagramFrom(socket, port, data);
}

bool sendDatagramFrom(const LoopbackSocket& from, quint16 port, const QByteArray& data)
{
    const sockaddr_in a = loopback(port);
    return ::sendto(from.fd(), data.constData(), std::size_t(data.size()), 0,
                    reinterpret_cast<const sockaddr*>(&a), sizeof a)
           == data.size();
}
