// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QList>

#include <cstdint>

// RTP H.264 sending as in RFC 6184, packetization mode 1: NAL units that
// fit a packet go in one of their own (or, aggregated, several small ones
// in a STAP-A), larger ones are cut into FU-A fragments.
namespace simlib {

// The NAL units of Annex B bytes, without their start codes (three or four
// bytes); bytes in front of the first start code are left out.
QList<QByteArray> splitAnnexB(const QByteArray& annexB);

// An Annex B elementary stream (a .h264 file) cut into access units, each
// in Annex B form with 4-byte start codes. A unit begins at an access unit
// delimiter, at SPS, PPS or SEI after a slice, or at a slice whose first
// macroblock is 0 after a slice.
QList<QByteArray> splitAccessUnits(const QByteArray& annexB);

struct RtpH264Options
{
    std::uint32_t ssrc = 0x12345678;
    int payloadType = 96;  // dynamic
    int maxPayload = 1400; // payload bytes in a packet
    bool aggregate = true; // small NAL units in STAP-A packets
    std::uint16_t firstSequence = 0;
};

// Cuts access units into RTP packets with consecutive sequence numbers.
class RtpH264Packetizer
{
public:
    explicit RtpH264Packetizer(const RtpH264Options& options = RtpH264Options());

    // Appends the packets of one access unit (Annex B) to `packets`, all
    // with `timestamp`, the marker on the last. Returns the number added: 0
    // for bytes without a NAL unit.
    int packetize(const QByteArray& accessUnit, std::uint32_t timestamp,
                  QList<QByteArray>* packets);

    void setSsrc(std::uint32_t ssrc) { m_options.ssrc = ssrc; }
    std::uint32_t ssrc() const { return m_options.ssrc; }
    std::uint16_t nextSequence() const { return m_sequence; }

private:
    QByteArray header(std::uint32_t timestamp, bool marker);

    RtpH264Options m_options;
    std::uint16_t m_sequence;
};

} // namespace simlib
