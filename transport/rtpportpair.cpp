// SPDX-License-Identifier: MIT
#include "rtpportpair.h"

#include "socketapi.h"

namespace {

// The largest UDP payload over IPv4 (65507 bytes) fits.
constexpr int DatagramBytes = 65536;
constexpr int RtcpBytes = 2048;
constexpr int MaxBindTries = 32;

} // namespace

RtpPortPair::~RtpPortPair()
{
    close();
}

void RtpPortPair::close()
{
    for (const qintptr s : {m_rtp, m_rtcp}) {
        if (s >= 0)
            closeSocket(SocketHandle(s));
    }
    m_rtp = -1;
    m_rtcp = -1;
    m_port = 0;
}

bool RtpPortPair::openGroup(const SocketOpener& opener, const sockaddr_in& group, int rtcpPort,
                            const QString& interfaceSetting, int receiveBufferBytes, QString* error)
{
    close();
    const SocketOpener::Outcome rtp =
        opener.bindDatagrams(group, receiveBufferBytes, interfaceSetting);
    if (rtp.result != SocketOpener::Result::Opened) {
        *error = rtp.detail;
        return false;
    }
    sockaddr_in rtcpAddress = group;
    rtcpAddress.sin_port = htons(std::uint16_t(rtcpPort));
    const SocketOpener::Outcome rtcp =
        opener.bindDatagrams(rtcpAddress, RtcpBytes * 32, interfaceSetting);
    if (rtcp.result != SocketOpener::Result::Opened) {
        closeSocket(SocketHandle(rtp.socket));
        *error = rtcp.detail;
        return false;
    }
    m_rtp = rtp.socket;
    m_rtcp = rtcp.socket;
    m_port = ntohs(group.sin_port);
    return true;
}

bool RtpPortPair::open(const SocketOpener& opener, sockaddr_in local, int receiveBufferBytes,
                       QString* error)
{
    local.sin_family = AF_INET;
    for (int tries = 0; tries < MaxBindTries; ++tries) {
        local.sin_port = 0;
        const SocketOpener::Outcome rtp = opener.bindDatagrams(local, receiveBufferBytes);
        if (rtp.result != SocketOpener::Result::Opened) {
            *error = rtp.detail;
            return false;
        }
        sockaddr_in bound{};
        socklen_t boundLen = sizeof bound;
        const int port =
            ::getsockname(SocketHandle(rtp.socket), reinterpret_cast<sockaddr*>(&bound), &boundLen)
                    == 0
                ? ntohs(bound.sin_port)
                : 1;
        if (port % 2 == 0 && port < 65535) {
            local.sin_port = htons(std::uint16_t(port + 1));
            const SocketOpener::Outcome rtcp = opener.bindDatagrams(local, RtcpBytes * 32);
            if (rtcp.result == SocketOpener::Result::Opened) {
                m_rtp = rtp.socket;
                m_rtcp = rtcp.socket;
                m_port = port;
                return true;
            }
        }
        closeSocket(SocketHandle(rtp.socket));
    }
    *error = QStringLiteral("no free pair of UDP ports for RTP and RTCP");
    return false;
}

std::int64_t RtpPortPair::readRtp(int maxCount, const PacketHandler& packet)
{
    if (!m_datagram)
        m_datagram = std::make_unique_for_overwrite<unsigned char[]>(DatagramBytes);
    std::int64_t bytes = 0;
    for (int n = 0; n < maxCount; ++n) {
        sockaddr_in from{};
        const long got = receiveFrom(SocketHandle(m_rtp), m_datagram.get(), DatagramBytes, &from);
        if (got < 0)
            break;
        bytes += got;
        packet(m_datagram.get(), int(got), from);
    }
    return bytes;
}

std::int64_t RtpPortPair::drainRtcp(int maxCount)
{
    unsigned char report[RtcpBytes];
    std::int64_t bytes = 0;
    for (int n = 0; n < maxCount; ++n) {
        sockaddr_in from{};
        const long got = receiveFrom(SocketHandle(m_rtcp), report, RtcpBytes, &from);
        if (got < 0)
            break;
        bytes += got;
    }
    return bytes;
}
