// SPDX-License-Identifier: MIT
#include "rtptimeline.h"

#include "rtppacketjpeg.h"

#include <utility>

namespace {
int sequenceDistance(int from, int to)
{
    return std::int16_t(std::uint16_t(to - from));
}
} // namespace

RtpTimeline::Step RtpTimeline::admit(const RTPPacketJpeg& packet, const unsigned char* data,
                                     int len, bool frameInProgress)
{
    if (packet.m_ssrc == m_streamSsrc && !m_needSync) {
        // The usual case: one comparison.
        if (packet.m_timestamp == m_lastTimestamp) {
            m_unconfirmed.reset(); // a second packet of its frame confirms it
            m_replaying = false;
            return Step::SameFrame;
        }
        return admitNewTimestamp(packet, data, len, frameInProgress);
    }
    m_needSync = true;
    m_unconfirmed.reset();
    m_replaying = false;
    dropHeld();
    if (packet.m_fragmentOffset != 0)
        return Step::Drop;
    m_needSync = false;
    m_streamSsrc = packet.m_ssrc;
    m_lastTimestamp = packet.m_timestamp;
    m_lastSequence = packet.m_sequenceNumber;
    return Step::Synchronised;
}

RtpTimeline::Step RtpTimeline::admitNewTimestamp(const RTPPacketJpeg& packet,
                                                 const unsigned char* data, int len,
                                                 bool frameInProgress)
{
    const auto t = std::int32_t(packet.m_timestamp - m_lastTimestamp);
    const int d = sequenceDistance(m_lastSequence, packet.m_sequenceNumber);
    if (m_replaying) {
        m_replaying = false;
        // A sender that restarted numbers its packets anew: that is not loss.
        if (d < -ConfirmSequenceGap || d > ConfirmSequenceGap)
            m_lastSequence = (packet.m_sequenceNumber - 1) & 0xFFFF;
        return beginFrame(packet);
    }
    if (m_unconfirmed && packet.m_sequenceNumber == m_lastSequence) {
        // The packet that began the current frame reused the number of this
        // one, which carries on the timeline before it: it was an outlier.
        m_lastTimestamp = m_unconfirmed->timestamp;
        m_lastSequence = m_unconfirmed->sequence;
        m_unconfirmed.reset();
        countExpected(-1);
        countOutOfOrder();
        return Step::Rollback;
    }
    m_unconfirmed.reset();
    if (t < 0 && t >= -LateTicks && d <= 0 && d >= -LateSequenceGap) {
        countOutOfOrder(); // a late packet of an earlier frame
        return Step::Drop;
    }
    // Another packet of the held packet's frame confirms it best; the next
    // frame in sequence comes before a held packet a later one confirms.
    if (m_held && packet.m_timestamp == m_held->timestamp && confirmsHeld(packet))
        return replay();
    if (t > 0 && d == 1 && !frameInProgress) {
        // The next frame, in sequence behind a complete one: taken at once,
        // so that no frame waits for the packet after it.
        dropHeld();
        m_unconfirmed = Position{m_lastSequence, m_lastTimestamp};
        return beginFrame(packet);
    }
    if (m_held && confirmsHeld(packet))
        return replay();
    hold(packet, data, len);
    return Step::Drop;
}

bool RtpTimeline::confirmsHeld(const RTPPacketJpeg& packet) const
{
    const int d = sequenceDistance(m_held->sequence, packet.m_sequenceNumber);
    if (packet.m_timestamp == m_held->timestamp) // another packet of its frame
        return d != 0 && d >= -ConfirmSequenceGap && d <= ConfirmSequenceGap;
    // The frame after it.
    return d >= 1 && d <= ConfirmSequenceGap
           && std::int32_t(packet.m_timestamp - m_held->timestamp) > 0;
}

RtpTimeline::Step RtpTimeline::replay()
{
    m_held.reset();
    m_replaying = true;
    return Step::Replay;
}

RtpTimeline::Step RtpTimeline::beginFrame(const RTPPacketJpeg& packet)
{
    m_lastTimestamp = packet.m_timestamp;
    return Step::NewFrame;
}

void RtpTimeline::hold(const RTPPacketJpeg& packet, const unsigned char* data, int len)
{
    dropHeld(); // not confirmed by this packet, and now displaced by it
    m_held = Position{packet.m_sequenceNumber, packet.m_timestamp};
    m_heldBytes.assign(data, data + len);
}

void RtpTimeline::dropHeld()
{
    if (m_held)
        countOutOfOrder();
    m_held.reset();
}

RtpTimeline::Sequence RtpTimeline::account(int sequenceNumber, bool synchronised)
{
    if (synchronised) {
        countExpected(1);
        return {};
    }
    const int d = sequenceDistance(m_lastSequence, sequenceNumber);
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
    return std::exchange(m_heldBytes, {});
}

void RtpTimeline::returnHeldPacket(std::vector<unsigned char> buffer)
{
    m_heldBytes = std::move(buffer);
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
