// SPDX-License-Identifier: MIT
#pragma once

#include "rtpportpair.h"
#include "rtspresponse.h"
#include "socketopener.h"

#include <QString>

#include <string>

// The Transport an RTSP client asks SETUP for (RFC 2326, 12.39), and the
// ports a multicast answer needs: a server that sends a media only to a
// multicast group names the group and its RTP/RTCP ports in its answer;
// the client binds those ports and joins the group.
namespace rtsptransport {

inline constexpr char InterleavedRequest[] = "RTP/AVP/TCP;unicast;interleaved=0-1";
// Asked when the server refuses unicast over UDP (461).
inline constexpr char MulticastRequest[] = "RTP/AVP;multicast";

// RTP to the client's port pair rtpPort, rtpPort + 1.
std::string unicastRequest(int rtpPort);

// Binds `ports` on the group and ports the multicast `answer` names and
// joins the group on the interface `interfaceSetting` names (empty: the
// system's choice). Sets `group` to "GROUP port N" for the messages; false
// with the reason when the answer names no usable group or ports, or the
// join fails.
bool openMulticast(const RtspTransport& answer, const SocketOpener& opener,
                   const QString& interfaceSetting, int receiveBufferBytes, RtpPortPair* ports,
                   QString* group, QString* error);

} // namespace rtsptransport
