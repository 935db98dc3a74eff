// SPDX-License-Identifier: MIT
#pragma once

#include "socketopener.h"

#include <QString>
#include <QtGlobal>

#include <cstdint>
#include <functional>
#include <memory>

struct sockaddr_in;

// The client's UDP ports of an RTP session: RTP on an even port, RTCP on the
// next one (RFC 3550, 11), both non-blocking and closed with the pair. RTCP
// is received only so that the server's reports do not pile up.
class RtpPortPair
{
public:
    using PacketHandler = std::function<void(const unsigned char*, int, const sockaddr_in&)>;

    RtpPortPair() = default;
    ~RtpPortPair();
    RtpPortPair(const RtpPortPair&) = delete;
    RtpPortPair& operator=(const RtpPortPair&) = delete;

    // Binds the pair on `local`'s address, trying ports the system offers
    // until one is even and the next one free; false with the reason.
    bool open(const SocketOpener& opener, sockaddr_in local, int receiveBufferBytes,
              QString* error);
    // Binds the pair on a multicast group's RTP and RTCP ports (`group`
    // holds the group and the RTP port) and joins the group on both, on the
    // interface `interfaceSetting` names (empty: the system's choice). Other
    // programs receiving the same group keep their share. False with the
    // reason.
    bool openGroup(const SocketOpener& opener, const sockaddr_in& group, int rtcpPort,
                   const QString& interfaceSetting, int receiveBufferBytes, QString* error);
    // Closes both sockets.
    void close();
    qintptr rtpSocket() const { return m_rtp; }
    qintptr rtcpSocket() const { return m_rtcp; }
    int rtpPort() const { return m_port; }

    // Hands up to maxCount waiting RTP datagrams to `packet`; the bytes read.
    std::int64_t readRtp(int maxCount, const PacketHandler& packet);
    // Reads and drops up to maxCount waiting RTCP datagrams; the bytes read.
    std::int64_t drainRtcp(int maxCount);

private:
    qintptr m_rtp = -1;
    qintptr m_rtcp = -1;
    int m_port = 0;
    std::unique_ptr<unsigned char[]> m_datagram; // made at the first packet
};
