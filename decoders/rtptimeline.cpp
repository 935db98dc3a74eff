// SPDX-License-Identifier: MIT
#include "rtptimeline.h"

#include "rtppacketjpeg.h"

#include <utility>

RtpTimeline::Step RtpTimeline::admit(const RTPPacketJpeg& packet, const unsigned char* data,
                                     int len)
{
    if (packet.m_ssrc != m_streamSsrc) {
        m_needSync = true;
        m_jump.reset();
    } else if (!m_needSync && !nearCurrentFrame(packet.m_timestamp)) {
        if (!confirmsRestart(packet, data, len))
            return Step::Drop; // held, in case the next packet confirms it
        m_needSync = true;
        return Step::Replay;
    }
    if (packet.m_fragmentOffset == 0 && m_needSync) {
        m_needSync = false;
        m_streamSsrc = packet.m_ssrc;
        m_lastTimestamp = packet.m_timestamp;
        m_lastSequence = packet.m_sequenceNumber;
        return Step::Synchronised;
    }
    return m_needSync ? Step::Drop : Step::InSync;
}

bool RtpTimeline::confirmsRestart(const RTPPacketJpeg& packet, const unsigned char* data, int len)
{
    if (m_jump && packet.m_sequenceNumber == ((m_jump->sequence + 1) & 0xFFFF)
        && withinRestartTicks(packet.m_timestamp, m_jump->timestamp)) {
        m_jump.reset();
        return true;
    }
    m_jump = TimelineJump{packet.m_sequenceNumber, packet.m_timestamp};
    m_heldPacket.assign(data, data + len);
    countOutOfOrder();
    return false;
}

RtpTimeline::Sequence RtpTimeline::account(int sequenceNumber, bool synchronised)
{
    if (synchronised) {
        countExpected(1);
        return {};
    }
    const int d = std::int16_t(std::uint16_t(sequenceNumber - m_lastSequence));
    if (d <= 0) {
        // Late or repeated: the stored number stays that of the newest packet.
        countOutOfOrder();
        return {.late = true};
    }
    Sequence sequence{.missed = d - 1, .after = m_lastSequence};
    if (d > 1)
        countLost(d - 1);
    countExpected(d);
    m_lastSequence = sequenceNumber;
    return sequence;
}

std::vector<unsigned char> RtpTimeline::takeHeldPacket()
{
    return std::exchange(m_heldPacket, {});
}

void RtpTimeline::returnHeldPacket(std::vector<unsigned char> buffer)
{
    m_heldPacket = std::move(buffer);
}

void RtpTimeline::countLost(std::int64_t n)
{
    g_packetsLost.fetch_add(n, std::memory_order_relaxed);
    if (m_deviceCounters)
        m_deviceCounters->lost.fetch_add(n, std::memory_order_relaxed);
}

void RtpTimeline::countOutOfOrder()
{
    g_packetsOutOfOrder.fetch_add(1, std::memory_order_relaxed);
    if (m_deviceCounters)
        m_deviceCounters->outOfOrder.fetch_add(1, std::memory_order_relaxed);
}

void RtpTimeline::countExpected(std::int64_t n)
{
    g_packetsExpected.fetch_add(n, std::memory_order_relaxed);
    if (m_deviceCounters)
        m_deviceCounters->expected.fetch_add(n, std::memory_order_relaxed);
}
