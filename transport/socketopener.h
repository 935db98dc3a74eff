// SPDX-License-Identifier: MIT
#pragma once

#include "senderlock.h"

#include <QString>
#include <QtGlobal>

#include <atomic>
#include <functional>
#include <optional>

struct sockaddr_in;

// Opens the socket of one connection of a device, in the thread that will
// receive on it: resolves the host and port (a dotted IPv4 address as it
// stands, any other name through the resolver), then connects a TCP socket
// within a time limit or binds a datagram socket for UDP and RTP. It also
// resolves the `source` setting that limits a datagram stream to one
// sender. Plain sockets, no event loop; waits are cut into slices after
// each of which the owner's stop flag is looked at.
class SocketOpener
{
public:
    enum class Result
    {
        Opened,
        BadAddress,    // the host does not resolve, or the port is outside 1-65535
        SocketFailed,  // no socket could be created
        Refused,       // the TCP connect was refused
        Unreachable,   // no route to the host or its network
        TimedOut,      // the TCP connect got no answer within its limit
        ConnectFailed, // any other connect error
        BindFailed,    // the local address or port could not be bound
        Stopped,       // a stop was requested before the connect ended
    };

    // A socket (valid only with Result::Opened, and then the caller's to
    // close), or why there is none.
    struct Outcome
    {
        Result result = Result::Opened;
        QString detail;
        qintptr socket = -1;
    };

    // Looks up a host that is not a dotted IPv4 address: true with the
    // address in network byte order, or false with the reason. An empty
    // resolver means the system's, IPv4 only.
    using Resolver = std::function<bool(const QString& host, quint32* address, QString* error)>;

    // `stopRequested` is the owner's stop flag; it must outlive the opener.
    SocketOpener(Resolver resolver, const std::atomic<bool>& stopRequested, int waitSliceMs);

    // `host`:`port` as an IPv4 socket address; false with the reason.
    bool resolve(const QString& host, int port, sockaddr_in* address, QString* error) const;
    // The sender a `source` setting (ADDR or ADDR:PORT) names; nothing for
    // an empty setting. False with the reason when it names none.
    bool resolveSource(const QString& setting, std::optional<DatagramSource>* source,
                       QString* error) const;
    // A non-blocking TCP socket connected to `address` within timeoutMs.
    Outcome connectStream(const sockaddr_in& address, int timeoutMs) const;
    // A non-blocking datagram socket bound to `address`, asking the system
    // for a receive buffer of receiveBufferBytes. When `address` is a
    // multicast group, the socket takes the group's port (shared with other
    // receivers of the group on this machine) and joins the group on the
    // interface `multicastInterface` names (empty: the system's choice).
    Outcome bindDatagrams(const sockaddr_in& address, int receiveBufferBytes,
                          const QString& multicastInterface = QString()) const;

    // The operating system's text for a socket error number.
    static QString errorText(int error);

private:
    bool resolveHost(const QString& host, quint32* address, QString* error) const;
    Outcome connectWithin(qintptr socket, const sockaddr_in& address, int timeoutMs) const;
    bool stopRequested() const { return m_stopRequested.load(std::memory_order_relaxed); }

    Resolver m_resolver;
    const std::atomic<bool>& m_stopRequested;
    int m_waitSliceMs;
};
