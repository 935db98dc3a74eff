// SPDX-License-Identifier: MIT
#include "socketopener.h"

#include "deadline.h"
#include "multicastgroup.h"
#include "socketapi.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

SocketOpener::Outcome connectFailure(int error)
{
    using Result = SocketOpener::Result;
#ifdef _WIN32
    const bool refused = error == WSAECONNREFUSED;
    const bool unreachable = error == WSAENETUNREACH || error == WSAEHOSTUNREACH;
#else
    const bool refused = error == ECONNREFUSED;
    const bool unreachable = error == ENETUNREACH || error == EHOSTUNREACH;
#endif
    const Result result = refused       ? Result::Refused
                          : unreachable ? Result::Unreachable
                                        : Result::ConnectFailed;
    return {result, SocketOpener::errorText(error)};
}

// The system resolver, IPv4 only.
bool systemResolve(const QString& host, quint32* address, QString* error)
{
    const QByteArray text = host.toLatin1();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    const int r = ::getaddrinfo(text.constData(), nullptr, &hints, &found);
    if (r != 0 || found == nullptr) {
        *error = QString::fromLocal8Bit(::gai_strerror(r));
        return false;
    }
    *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(found);
    return true;
}

} // namespace

SocketOpener::SocketOpener(Resolver resolver, const std::atomic<bool>& stopRequested,
                           int waitSliceMs)
    : m_resolver(std::move(resolver)), m_stopRequested(stopRequested), m_waitSliceMs(waitSliceMs)
{
}

QString SocketOpener::errorText(int error)
{
#ifdef _WIN32
    return QStringLiteral("socket error %1").arg(error);
#else
    return QString::fromLocal8Bit(std::strerror(error));
#endif
}

bool SocketOpener::resolveHost(const QString& host, quint32* address, QString* error) const
{
    // A dotted IPv4 address as it stands; any other text goes to the resolver.
    const QByteArray text = host.toLatin1();
    const in_addr_t dotted = inet_addr(text.constData());
    // inet_addr's INADDR_NONE is also the broadcast address itself.
    if (dotted != INADDR_NONE || text == "255.255.255.255") {
        *address = dotted;
        return true;
    }
    if (text.trimmed().isEmpty()) {
        *error = QStringLiteral("no host given");
        return false;
    }
    return m_resolver ? m_resolver(host, address, error) : systemResolve(host, address, error);
}

bool SocketOpener::resolve(const QString& host, int port, sockaddr_in* address,
                           QString* error) const
{
    if (port < 1 || port > 65535) {
        // Wrapped modulo 65536, port=70000 would quietly reach port 4464.
        *error = QStringLiteral("port %1 is outside 1-65535").arg(port);
        return false;
    }
    std::memset(address, 0, sizeof *address);
    address->sin_family = AF_INET;
    address->sin_port = htons(std::uint16_t(port));
    quint32 found = 0;
    QString reason;
    if (!resolveHost(host, &found, &reason)) {
        *error = QStringLiteral("\"%1\": %2").arg(host, reason);
        return false;
    }
    address->sin_addr.s_addr = found;
    return true;
}

bool SocketOpener::resolveSource(const QString& setting, std::optional<DatagramSource>* source,
                                 QString* error) const
{
    source->reset();
    if (setting.isEmpty())
        return true;
    // ADDR or ADDR:PORT; without a port every port of the address is taken.
    QString host = setting;
    int port = 0;
    const int colon = setting.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        host = setting.left(colon);
        bool ok = false;
        port = setting.mid(colon + 1).toInt(&ok);
        if (!ok || port < 1 || port > 65535) {
            *error = QStringLiteral("source \"%1\": port %2 is outside 1-65535")
                         .arg(setting, setting.mid(colon + 1));
            return false;
        }
    }
    quint32 address = 0;
    QString reason;
    if (!resolveHost(host, &address, &reason)) {
        *error = QStringLiteral("source \"%1\": %2").arg(setting, reason);
        return false;
    }
    *source = DatagramSource{ntohl(address), std::uint16_t(port)};
    return true;
}

SocketOpener::Outcome SocketOpener::connectStream(const sockaddr_in& address, int timeoutMs) const
{
    const SocketHandle s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s == InvalidSocket)
        return {Result::SocketFailed, errorText(lastSocketError())};
    Outcome outcome = connectWithin(qintptr(s), address, timeoutMs);
    if (outcome.result != Result::Opened) {
        closeSocket(s);
        // A failure that ends with a stop request is the stop's doing.
        if (stopRequested())
            return {Result::Stopped, QString()};
        return outcome;
    }
    outcome.socket = qintptr(s);
    return outcome;
}

SocketOpener::Outcome SocketOpener::connectWithin(qintptr socket, const sockaddr_in& address,
                                                  int timeoutMs) const
{
    const auto s = SocketHandle(socket);
    setNonBlocking(s, true);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return {Result::Opened, QString()};
    if (!connectInProgress())
        return connectFailure(lastSocketError());
    // Wait for the outcome in slices so that a stop request is seen, and no
    // longer than the connect time limit: a host that never answers would
    // otherwise hold the worker for the operating system's minutes.
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    int ready = 0;
    while (ready == 0 && !stopRequested()) {
        const int left = msUntil(deadline);
        if (left == 0)
            return {Result::TimedOut,
                    QStringLiteral("no answer within %1 s").arg(timeoutMs / 1000.0)};
        ready = waitSocket(s, std::min(left, m_waitSliceMs), true);
    }
    if (stopRequested())
        return {Result::Stopped, QString()};
    int error = 0;
    socklen_t errorLen = sizeof error;
    // A failed wait, or the connect's own outcome.
    if (ready < 0
        || ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &errorLen) != 0)
        error = lastSocketError();
    if (error != 0)
        return connectFailure(error);
    return {Result::Opened, QString()};
}

SocketOpener::Outcome SocketOpener::bindDatagrams(const sockaddr_in& address,
                                                  int receiveBufferBytes,
                                                  const QString& multicastInterface) const
{
    const SocketHandle s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s == InvalidSocket)
        return {Result::SocketFailed, errorText(lastSocketError())};
    const bool group = multicast::isGroup(address.sin_addr.s_addr);
    sockaddr_in local = address;
    if (group) {
        // Other programs watching the same group keep receiving it.
        const int on = 1;
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
        local.sin_addr.s_addr = multicast::bindAddress(address.sin_addr.s_addr);
    }
    if (::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int error = lastSocketError();
        closeSocket(s);
        return {Result::BindFailed, errorText(error)};
    }
    QString joinError;
    if (group && !multicast::join(s, address.sin_addr.s_addr, multicastInterface, &joinError)) {
        closeSocket(s);
        return {Result::BindFailed, joinError};
    }
    int size = receiveBufferBytes;
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
    setNonBlocking(s, true);
    return {Result::Opened, QString(), qintptr(s)};
}
