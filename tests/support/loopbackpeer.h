// SPDX-License-Identifier: MIT
// The device side of loopback connections: sockets on 127.0.0.1 with
// ephemeral ports, every wait bounded.
#pragma once

#include <QByteArray>
#include <QtGlobal>

// A socket of the given type (SOCK_STREAM, SOCK_DGRAM) bound to 127.0.0.1 on
// a free port. A TCP socket that never listens refuses every connection, so
// a worker pointed at it keeps trying without receiving a frame.
class LoopbackSocket
{
public:
    explicit LoopbackSocket(int type);
    ~LoopbackSocket() { close(); }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    int fd() const { return m_fd; }
    quint16 port() const { return m_port; }
    void close();

private:
    int m_fd;
    quint16 m_port = 0;
};

// A TCP device: listens on 127.0.0.1 and sends to the one connection it
// accepted last. Until acceptClient() is called, connections complete in the
// backlog and stay silent.
class LoopbackPeer
{
public:
    LoopbackPeer();
    ~LoopbackPeer() { closeClient(); }

    bool isListening() const { return m_listening && m_listener.port() != 0; }
    quint16 port() const { return m_listener.port(); }
    int listenFd() const { return m_listener.fd(); }
    // Connections accepted so far.
    int accepted() const { return m_accepted; }

    // Accepts the next connection, closing the one before, waiting at most
    // timeoutMs.
    bool acceptClient(int timeoutMs = 5000);
    bool hasPendingConnection() const;
    // Sends all of `bytes` to the accepted connection.
    bool send(const QByteArray& bytes);
    // Reads from the accepted connection up to the end of an HTTP request's
    // head (an empty line), at most 64 KiB, waiting at most timeoutMs in
    // all; empty when the connection closed or nothing complete came.
    QByteArray receiveRequest(int timeoutMs = 5000);
    void closeClient();

private:
    LoopbackSocket m_listener;
    bool m_listening = false;
    int m_client = -1;
    int m_accepted = 0;
};

// A UDP port on 127.0.0.1 that was free a moment ago.
quint16 freeUdpPort();
// Sends one datagram to 127.0.0.1:port, always from the same source port.
bool sendDatagram(quint16 port, const QByteArray& data);
// Sends one datagram to 127.0.0.1:port from the given socket's port.
bool sendDatagramFrom(const LoopbackSocket& from, quint16 port, const QByteArray& data);
