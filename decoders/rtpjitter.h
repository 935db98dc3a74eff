// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// The interarrival jitter of RFC 3550 (section 6.4.1, computed as in its
// appendix A.8): a running mean of how much the spacing of packets on
// arrival differs from the spacing of their RTP timestamps, in timestamp
// units. Arrival times are given in the same units (90 kHz for JPEG).
class RtpJitter
{
public:
    // One packet, in arrival order. The first packet only sets the
    // reference.
    void packet(std::uint32_t rtpTimestamp, std::uint32_t arrival)
    {
        // Unsigned differences wrap with the 32-bit clocks; read as signed
        // they are the true transit difference for any realistic spacing.
        const auto transit = std::int32_t(arrival - rtpTimestamp);
        if (m_started) {
            std::int64_t d = std::int64_t(transit) - std::int64_t(m_transit);
            if (d < 0)
                d = -d;
            // J += (|D| - J) / 16, kept 16 times larger to stay in integers.
            m_jitter16 += d - ((m_jitter16 + 8) >> 4);
        }
        m_transit = transit;
        m_started = true;
    }
    // A new stream (another SSRC, a restart): the next packet sets the
    // reference again, the jitter is kept.
    void restart() { m_started = false; }
    // The jitter in timestamp units.
    double value() const { return double(m_jitter16) / 16.0; }
    std::int64_t scaled16() const { return m_jitter16; }

private:
    std::int64_t m_jitter16 = 0;
    std::int32_t m_transit = 0;
    bool m_started = false;
};
