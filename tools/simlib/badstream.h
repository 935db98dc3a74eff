// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QList>

#include <random>

// Hostile input for the viewer: multipart items and RTP packets that are
// wrong in the ways a broken or malicious sender is wrong. Each kind stands
// alone; a simulated camera mixes them between good frames.
namespace simlib {

enum class BadPartKind
{
    Garbage,       // random bytes between parts, with pieces of header text
    Truncated,     // a header announcing the body, then only half of it
    LongLength,    // Content-Length beyond the real body
    ShortLength,   // Content-Length of half the body; the rest trails
    BadHeader,     // negative, non-numeric, huge or zero lengths, overlong lines
    CorruptBody,   // right length, JPEG with flipped bytes or cut short
    HugeDimensions // a small JPEG whose frame header claims 65500 x 65500
};
inline constexpr int BadPartKindCount = 7;

// One bad item built from a good part's content type and body.
QByteArray badMultipartItem(BadPartKind kind, const QByteArray& contentType,
                            const QByteArray& goodBody, std::mt19937& rng);

enum class BadRtpKind
{
    Empty,            // a datagram without bytes
    ShortHeader,      // fewer than the 12 bytes of the RTP header
    NoJpegHeader,     // RTP header, part of the 8-byte JPEG header
    CsrcOverrun,      // CSRC count 15 in a short packet
    CutRestartHeader, // type 65, ends inside the restart marker header
    TableOverrun,     // Q 255, table length 0xFFFF in a short packet
    HugeOffset,       // fragment offset 0xFFFFFF
    HeaderFlags       // padding and extension bits set, version 0
};
inline constexpr int BadRtpKindCount = 8;

// A malformed packet modelled on a good packet of the stream (same SSRC and
// timestamp), so that it reaches the viewer's parser rather than being
// dropped for belonging to another stream.
QByteArray badRtpPacket(BadRtpKind kind, const QByteArray& goodPacket, std::mt19937& rng);

const char* badPartKindName(BadPartKind kind);
const char* badRtpKindName(BadRtpKind kind);

} // namespace simlib
