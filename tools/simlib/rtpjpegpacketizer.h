// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QList>

#include <cstdint>

// RTP/JPEG sending as in RFC 2435: a baseline JPEG file is reduced to its
// scan data and a few header fields, and cut into RTP packets.
namespace simlib {

// What RFC 2435 carries of a baseline JPEG file.
struct JpegScanInfo
{
    int width = 0;
    int height = 0;
    // 0 (luminance H 2 V 1) or 1 (H 2 V 2), plus 64 when a DRI segment with
    // a nonzero interval is present; -1 when the layout has no RFC 2435 type.
    int type = -1;
    int restartInterval = 0;
    int components = 0;
    // The 8-bit quantisation tables in zigzag order, table 0 then table 1
    // (64 bytes each), as the DQT segments hold them.
    QByteArray qTables;
    int scanOffset = 0; // first byte after the SOS segment
    int scanLength = 0; // bytes up to (not including) EOI
};

// Reads a baseline (SOF0) JPEG held in data[0 .. len-1]. Returns false for
// truncated or malformed input, 16-bit tables, other frame types, or a size
// beyond RFC 2435's 2040 x 2040.
bool parseBaselineJpeg(const unsigned char* data, int len, JpegScanInfo* info);

struct RtpJpegOptions
{
    std::uint32_t ssrc = 0x12345678;
    int payloadType = 26;          // the static payload type of JPEG
    int scanBytesPerPacket = 1400; // scan data bytes in each packet
    // Q of the main JPEG header: 128 ... 255 sends the tables in-band on the
    // first packet of every frame; 1 ... 99 sends none (the receiver derives
    // them from Q).
    int q = 255;
    int forceType = -1; // >= 0: written instead of the parsed type
    std::uint16_t firstSequence = 0;
};

// Cuts JPEG frames into RTP packets with consecutive sequence numbers.
class RtpJpegPacketizer
{
public:
    explicit RtpJpegPacketizer(const RtpJpegOptions& options = RtpJpegOptions());

    // Appends the packets of one frame to `packets`: the 12-byte RTP header
    // (version 2, marker on the last packet), the 8-byte main JPEG header,
    // for types 64 ... 127 the restart marker header (F = L = 1, count
    // 0x3FFF), on the first packet with Q >= 128 the quantisation table
    // header and tables, then the scan data. Returns false, adding nothing,
    // when the JPEG cannot be sent (see parseBaselineJpeg).
    bool packetize(const QByteArray& jpeg, std::uint32_t timestamp, QList<QByteArray>* packets);

    void setSsrc(std::uint32_t ssrc) { m_options.ssrc = ssrc; }
    std::uint32_t ssrc() const { return m_options.ssrc; }
    std::uint16_t nextSequence() const { return m_sequence; }
    const RtpJpegOptions& options() const { return m_options; }

private:
    RtpJpegOptions m_options;
    std::uint16_t m_sequence;
};

// The 90 kHz RTP timestamp of a moment given in microseconds.
inline std::uint32_t rtpTimestamp90k(std::int64_t microseconds)
{
    return std::uint32_t(std::uint64_t(microseconds) * 9 / 100);
}

// The JPEG header of `jpeg` through the end of its SOS segment, without
// APP9 segments: what a receiver puts in front of reassembled scan data.
// Empty when the JPEG cannot be parsed.
QByteArray jpegHeaderForReference(const QByteArray& jpeg);

} // namespace simlib
