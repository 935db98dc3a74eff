// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// A c= line (RFC 4566, 5.7): the address and, for an IPv4 multicast group,
// its TTL.
struct SdpConnection
{
    bool present = false;
    std::string address;
    bool multicast = false; // an IPv4 address within 224.0.0.0/4
    int ttl = -1;
};

// One payload format of a media: its type and what a=rtpmap and a=fmtp
// say about it. A static payload type without rtpmap has the encoding of
// RFC 3551's table where it names a video or image one we know.
struct SdpFormat
{
    int payloadType = -1;
    std::string encoding; // upper case: "JPEG", "H264"
    int clockRate = 0;
    std::string fmtp; // the parameters as written, e.g. sprop-parameter-sets=...
};

// One m= section.
struct SdpMedia
{
    std::string type; // "video", "audio", ...
    int port = 0;
    int portCount = 1;
    std::string proto;              // "RTP/AVP"
    std::vector<SdpFormat> formats; // in the order of the m= line
    std::string control;            // a=control, as written
    SdpConnection connection;       // the media's c=, or the session's

    const SdpFormat* format(int payloadType) const;
};

// A session description as DESCRIBE returns it. Lines may end in CRLF or
// LF; lines, media and formats are bounded, and what lies beyond a bound is
// ignored.
struct SdpSession
{
    static constexpr std::size_t MaxBytes = 65536;
    static constexpr std::size_t MaxLineBytes = 4096;
    static constexpr int MaxLines = 1024;
    static constexpr std::size_t MaxMedia = 16;
    static constexpr std::size_t MaxFormats = 32;

    bool valid = false; // starts with v=0
    SdpConnection connection;
    std::string control; // session-level a=control
    std::vector<SdpMedia> media;

    static SdpSession parse(const unsigned char* data, std::size_t len);
};

// The URL a control attribute names (RFC 2326, C.1.1): an absolute URL as
// it stands, "*" or nothing as the base itself, a path from the base's
// host, anything else relative to the base (joined with one '/').
std::string resolveControlUrl(std::string_view base, std::string_view control);
