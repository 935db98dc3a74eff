// SPDX-License-Identifier: MIT
#include "rtsptransportsetup.h"

#include "multicastgroup.h"
#include "socketapi.h"

namespace rtsptransport {

std::string unicastRequest(int rtpPort)
{
    return "RTP/AVP;unicast;client_port=" + std::to_string(rtpPort) + "-"
           + std::to_string(rtpPort + 1);
}

bool openMulticast(const RtspTransport& answer, const SocketOpener& opener,
                   const QString& interfaceSetting, int receiveBufferBytes, RtpPortPair* ports,
                   QString* group, QString* error)
{
    const QString destination = QString::fromStdString(answer.destination);
    in_addr address{};
    if (answer.destination.empty() || inet_pton(AF_INET, answer.destination.c_str(), &address) != 1
        || !multicast::isGroup(address.s_addr)) {
        *error = answer.destination.empty()
                     ? QStringLiteral("RTSP: the server's multicast transport names no group")
                     : QStringLiteral("RTSP: the server's multicast destination \"%1\" is not "
                                      "an IPv4 multicast group")
                           .arg(destination.left(64));
        return false;
    }
    // The parser leaves ports outside 0 to 65535 at -1.
    const int rtpPort = answer.multicastRtpPort;
    const int rtcpPort = answer.multicastRtcpPort > 0 ? answer.multicastRtcpPort : rtpPort + 1;
    if (rtpPort <= 0 || rtcpPort > 65535 || rtcpPort == rtpPort) {
        *error = QStringLiteral("RTSP: the server's multicast transport to %1 names no usable "
                                "pair of ports")
                     .arg(destination);
        return false;
    }
    *group = QStringLiteral("%1 port %2").arg(destination).arg(rtpPort);
    sockaddr_in rtp{};
    rtp.sin_family = AF_INET;
    rtp.sin_addr = address;
    rtp.sin_port = htons(std::uint16_t(rtpPort));
    return ports->openGroup(opener, rtp, rtcpPort, interfaceSetting, receiveBufferBytes, error);
}

} // namespace rtsptransport
