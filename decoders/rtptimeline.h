// SPDX-License-Identifier: MIT
#pragma once

#include "rtpcounters.h"

#include <cstdint>
#include <optional>
#include <vector>

class RTPPacketJpeg;

// Where one RTP stream stands: the SSRC it is synchronised on, the timestamp
// of the frame being assembled and the newest sequence number. It decides
// which packets reach the reassembly, and counts packets expected, lost and
// out of order, process-wide and into the device's counters.
//
// A packet of another SSRC, or of the same SSRC far off the timeline, needs
// a new synchronisation on a frame's first fragment. A packet off the
// timeline is held: only when the next packet follows it in sequence on its
// timeline is it taken for a sender restart (without restarts every packet
// of a restarted sender would count as late until its timestamps passed the
// old ones, for up to 6.6 hours; with a restart on any single packet, one
// forged datagram could patch its size and tables into the header, or make
// every real packet late).
class RtpTimeline
{
public:
    // A packet whose timestamp lies this far (10 s at 90 kHz) before or
    // after the frame being assembled is off the stream's timeline. No
    // reordering delays a packet that long.
    static constexpr std::int32_t RestartTicks = 10 * 90000;

    enum class Step
    {
        Drop,         // not synchronised, or held as a possible restart
        Replay,       // a restart confirmed: the held packet, then this one
        Synchronised, // the stream is taken up with this first fragment
        InSync,
    };

    // Where `packet` (parsed from the len bytes at data, which are kept when
    // the packet is held) belongs.
    Step admit(const RTPPacketJpeg& packet, const unsigned char* data, int len);

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

    // The timestamp's distance from the frame being assembled, modulo 2^32:
    // below 0 an older frame, 0 the same, above 0 a newer frame, which then
    // becomes the frame being assembled.
    std::int32_t advance(std::uint32_t timestamp)
    {
        const auto t = std::int32_t(timestamp - m_lastTimestamp);
        if (t > 0)
            m_lastTimestamp = timestamp;
        return t;
    }

    bool waitingForSync() const { return m_needSync; }
    // The packet held as a possible restart, taken for its replay; given
    // back afterwards, so that its capacity serves the next outlier.
    std::vector<unsigned char> takeHeldPacket();
    void returnHeldPacket(std::vector<unsigned char> buffer);

    // Counts this stream's packets into `counters` as well as into the
    // process-wide figures; nullptr: only there.
    void setDeviceCounters(RtpCounters* counters) { m_deviceCounters = counters; }

private:
    static bool withinRestartTicks(std::uint32_t a, std::uint32_t b)
    {
        return std::uint32_t(a - b + std::uint32_t(RestartTicks)) <= 2u * RestartTicks;
    }
    bool nearCurrentFrame(std::uint32_t timestamp)
    {
        // The usual case: one comparison, and no restart is pending.
        if (!withinRestartTicks(timestamp, m_lastTimestamp))
            return false;
        m_jump.reset();
        return true;
    }
    // For a packet off the current frame's timeline: true when it follows a
    // held packet in sequence on that packet's timeline, a confirmed
    // restart; otherwise it is held in turn, and counted out of order.
    bool confirmsRestart(const RTPPacketJpeg& packet, const unsigned char* data, int len);
    void countLost(std::int64_t n);
    void countOutOfOrder();
    void countExpected(std::int64_t n);

    std::uint32_t m_streamSsrc = 0;
    std::uint32_t m_lastTimestamp = 0;
    int m_lastSequence = 0;
    bool m_needSync = true;
    // A packet far off the stream's timeline, waiting for the packet after
    // it to confirm a restart.
    struct TimelineJump
    {
        int sequence;
        std::uint32_t timestamp;
    };
    std::optional<TimelineJump> m_jump;
    std::vector<unsigned char> m_heldPacket;
    RtpCounters* m_deviceCounters = nullptr;
};
