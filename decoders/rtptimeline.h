// SPDX-License-Identifier: MIT
#pragma once

#include "rtpcounters.h"

#include <cstdint>
#include <optional>
#include <vector>

class RTPPacketJpeg;

// Where one RTP stream stands: the SSRC it is synchronised on, the timestamp
// of the frame being assembled and the newest sequence number. It decides
// which packets reach the reassembly and which frame they belong to, and
// counts packets expected, lost and out of order, process-wide and into the
// device's counters.
//
// No single packet may end, displace or move the frame being assembled on
// its own word, however far its timestamp lies: a forged datagram with the
// stream's SSRC would otherwise end the frame in progress, or carry the
// timeline seconds ahead so that every real packet counts as late until the
// stream catches up. A packet of a new timestamp therefore begins the next
// frame at once only when it follows the newest packet in sequence and the
// frame before it is complete. Even then, the next packet may show that it
// was an outlier: a packet with the same sequence number on the timeline
// before it rolls it back. Any other packet of a new timestamp is held until
// the packet after it confirms it (the same timestamp, or a later one, a few
// sequence numbers on); a held packet nobody confirms is dropped. So a
// sender that restarts or jumps, with any timestamps and sequence numbers,
// is followed from its second packet, and the usual packet costs one
// comparison.
class RtpTimeline
{
public:
    // How far (10 s at 90 kHz, and 1024 packets) behind the frame being
    // assembled and the newest packet a packet is still a late one,
    // dropped. No reordering delays a packet that long; one further back,
    // or ahead in sequence, is taken for the start of a new timeline (a
    // sender that restarted), to be confirmed.
    static constexpr std::int32_t LateTicks = 10 * 90000;
    static constexpr int LateSequenceGap = 1024;
    // How many sequence numbers a confirming packet may lie from the held
    // one (loss and reordering within a frame).
    static constexpr int ConfirmSequenceGap = 16;

    enum class Step
    {
        Drop,         // not synchronised, late, or held until confirmed
        Replay,       // the held packet is confirmed: it, then this one
        Rollback,     // the frame begun by the packet before was an outlier
        Synchronised, // the stream is taken up with this first fragment
        SameFrame,    // a packet of the frame being assembled
        NewFrame,     // the first packet seen of the next frame
    };

    // Where `packet` (parsed from the len bytes at data, which are kept when
    // the packet is held) belongs. frameInProgress: the frame being
    // assembled has not been completed by its marker.
    Step admit(const RTPPacketJpeg& packet, const unsigned char* data, int len,
               bool frameInProgress);

    // Counts the packet's sequence number (once admitted): whether it is
    // late or repeated, and how many packets were missed before it and
    // after which sequence number.
    struct Sequence
    {
        bool late = false;
        int missed = 0;
        int after = 0;
    };
    Sequence account(int sequenceNumber, bool synchronised);

    bool waitingForSync() const { return m_needSync; }
    // The held packet, taken for its replay, which admit() then takes as the
    // next frame's; given back afterwards, so that its capacity serves the
    // next one.
    std::vector<unsigned char> takeHeldPacket();
    void returnHeldPacket(std::vector<unsigned char> buffer);

    // Counts this stream's packets into `counters` as well as into the
    // process-wide figures; nullptr: only there.
    void setDeviceCounters(RtpCounters* counters) { m_deviceCounters = counters; }

private:
    Step admitNewTimestamp(const RTPPacketJpeg& packet, const unsigned char* data, int len,
                           bool frameInProgress);
    bool confirmsHeld(const RTPPacketJpeg& packet) const;
    Step beginFrame(const RTPPacketJpeg& packet);
    Step replay();
    void hold(const RTPPacketJpeg& packet, const unsigned char* data, int len);
    // Drops the held packet, if any, as out of order.
    void dropHeld();
    void countLost(std::int64_t n);
    void countOutOfOrder();
    void countExpected(std::int64_t n);

    std::uint32_t m_streamSsrc = 0;
    std::uint32_t m_lastTimestamp = 0;
    int m_lastSequence = 0;
    bool m_needSync = true;

    // A place on the timeline: a packet's sequence number and timestamp.
    struct Position
    {
        int sequence;
        std::uint32_t timestamp;
    };
    // A packet of a new timestamp waiting for the packet after it.
    std::optional<Position> m_held;
    std::vector<unsigned char> m_heldBytes;
    // The held packet is being replayed: it begins the next frame.
    bool m_replaying = false;
    // The current frame was begun by one packet nothing has confirmed yet:
    // where the timeline stood before it.
    std::optional<Position> m_unconfirmed;
    RtpCounters* m_deviceCounters = nullptr;
};
