// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <cstdint>

// Process-wide RTP statistics, shared by every RTP connection. The
// reassemblers add to them; the display reads them for its status line.
// 64 bits wide: a hostile stream can claim 32767 lost packets with every
// datagram, which would wrap 32-bit counters within minutes.
extern std::atomic<std::int64_t> g_packetsLost;
extern std::atomic<std::int64_t> g_packetsOutOfOrder;
extern std::atomic<std::int64_t> g_packetsExpected;

// One device's RTP statistics, beside the process-wide ones: written by its
// reassembler, read by the window for the device's own figures.
struct RtpCounters
{
    std::atomic<std::int64_t> lost{0};
    std::atomic<std::int64_t> outOfOrder{0};
    std::atomic<std::int64_t> expected{0};
    // Frames the reassembler dropped because a piece of them was lost, or
    // because they refer to one that was (H.264 until the next IDR frame).
    std::atomic<std::int64_t> framesDropped{0};
    // The RFC 3550 interarrival jitter of the stream, in 90 kHz units
    // times 16 (RtpJitter::scaled16).
    std::atomic<std::int64_t> jitter16{0};
};
