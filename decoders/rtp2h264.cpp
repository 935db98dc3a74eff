// SPDX-License-Identifier: MIT
#include "rtp2h264.h"

#include "framesink.h"
#include "h264nal.h"

#include <QString>
#include <QTime>

#include <chrono>
#include <cstring>

namespace {
QString timeOfDay()
{
    return QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
}

int readBigEndian16(const unsigned char* p)
{
    return (p[0] << 8) | p[1];
}

// NAL unit types a packet or aggregation may carry (RFC 6184 table 1:
// 1-23 are H.264's own; 0 and 24-31 are not NAL units of the stream).
bool isStreamNalType(int type)
{
    return type >= 1 && type <= 23;
}
} // namespace

Rtp2H264::Rtp2H264(FrameSink* sink, std::string_view spropParameterSets) : m_sink(sink)
{
    Q_ASSERT(sink != nullptr);
    m_sink->setContentType(QLatin1String(ContentType));
    if (!spropParameterSets.empty() && !m_parameterSets.setFromSprop(spropParameterSets))
        m_sink->reportProblem(QStringLiteral("sprop-parameter-sets holds parts that are no "
                                             "base64 SPS or PPS of at most %1 bytes; they are "
                                             "left out")
                                  .arg(H264ParameterSets::MaxSetBytes));
}

void Rtp2H264::decode(const unsigned char* data, int len)
{
    // RTCP on the RTP port (RFC 5761): packet types 200-204 take the place
    // of the marker bit and payload type.
    if (len >= 2 && data[1] >= RtcpFirstType && data[1] <= RtcpLastType) {
        ++m_figures.rtcpDropped;
        return;
    }
    const unsigned char* p = m_packet.parse(data, len);
    if (p == nullptr || !admit())
        return;
    if (m_unitOpen && m_packet.m_timestamp != m_unitTimestamp)
        finishAccessUnit(); // its marker packet was lost, or the sender sets none
    if (!m_unitOpen)
        openAccessUnit();
    if (m_gap) {
        // The packets missed belonged to this access unit, or to the end of
        // the one before (whose damage admit() marked), or to whole units.
        m_unitDamaged = true;
        m_gap = false;
    }
    const int n = int(m_packet.payloadEnd() - p);
    if (n > 0)
        handlePayload(p, n);
    if (m_packet.m_marker)
        finishAccessUnit();
    m_sink->deliverIfRequested();
}

bool Rtp2H264::admit()
{
    if (!m_synchronised || m_packet.m_ssrc != m_ssrc) {
        takeUpStream();
        return true;
    }
    const int d = std::int16_t(std::uint16_t(m_packet.m_sequenceNumber - m_lastSequence));
    if (d > RestartSequenceGap || d < -RestartSequenceGap) {
        m_sink->appendLog(QStringLiteral("%1: RTP H.264 sequence jumped from %2 to %3; the "
                                         "stream is taken up anew\n")
                              .arg(timeOfDay())
                              .arg(m_lastSequence)
                              .arg(m_packet.m_sequenceNumber));
        takeUpStream();
        return true;
    }
    if (d <= 0) {
        // Late or repeated: its place in the access unit is gone.
        g_packetsOutOfOrder.fetch_add(1, std::memory_order_relaxed);
        if (m_counters)
            m_counters->outOfOrder.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    if (d > 1) {
        g_packetsLost.fetch_add(d - 1, std::memory_order_relaxed);
        if (m_counters)
            m_counters->lost.fetch_add(d - 1, std::memory_order_relaxed);
        m_sink->appendLog(QStringLiteral("%1: image:%2, missed %3 packets after %4\n")
                              .arg(timeOfDay())
                              .arg(m_packet.m_timestamp)
                              .arg(d - 1)
                              .arg(m_lastSequence));
        m_gap = true;
        if (m_unitOpen)
            m_unitDamaged = true;
    }
    g_packetsExpected.fetch_add(d, std::memory_order_relaxed);
    if (m_counters)
        m_counters->expected.fetch_add(d, std::memory_order_relaxed);
    m_lastSequence = m_packet.m_sequenceNumber;
    measureJitter(false);
    return true;
}

void Rtp2H264::takeUpStream()
{
    // A unit begun on the old stream can no longer be completed, and the
    // new stream's non-IDR units refer to frames not seen.
    if (m_unitOpen) {
        m_unitDamaged = true;
        finishAccessUnit();
    }
    m_waitForIdr = true;
    m_synchronised = true;
    m_gap = false;
    m_ssrc = m_packet.m_ssrc;
    m_lastSequence = m_packet.m_sequenceNumber;
    g_packetsExpected.fetch_add(1, std::memory_order_relaxed);
    if (m_counters)
        m_counters->expected.fetch_add(1, std::memory_order_relaxed);
    measureJitter(true);
}

void Rtp2H264::measureJitter(bool restart)
{
    // Only a device's stream has its figures read.
    if (m_counters == nullptr)
        return;
    if (restart)
        m_jitter.restart();
    // H.264 timestamps run at 90 kHz, as JPEG's do.
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
    m_jitter.packet(m_packet.m_timestamp, std::uint32_t(std::uint64_t(ns) * 9 / 100000));
    m_counters->jitter16.store(m_jitter.scaled16(), std::memory_order_relaxed);
}

void Rtp2H264::handlePayload(const unsigned char* p, int n)
{
    const int type = p[0] & h264::NalTypeMask;
    if (p[0] & 0x80) {
        // The forbidden bit: the sender says the unit may be broken.
        refuse(true);
        return;
    }
    if (isStreamNalType(type)) {
        singleNal(p, n);
        return;
    }
    switch (type) {
    case h264::StapA:
        stapA(p + 1, n - 1);
        return;
    case h264::FuA:
        fuA(p, n);
        return;
    case h264::StapB:
    case h264::Mtap16:
    case h264::Mtap24:
    case h264::FuB:
        // The interleaved mode sends units out of decoding order; what they
        // carry is missing from the access unit.
        if (!m_interleavedReported) {
            m_interleavedReported = true;
            m_sink->reportProblem(QStringLiteral("RTP H.264 packets of the interleaved "
                                                 "packetization mode (type %1) are refused; "
                                                 "only modes 0 and 1 are received")
                                      .arg(type));
        }
        refuse(true);
        return;
    default:
        // Types 0, 30 and 31 are undefined: ignored, as receivers must.
        refuse(false);
        return;
    }
}

void Rtp2H264::refuse(bool damages)
{
    ++m_figures.refusedPackets;
    if (damages)
        m_unitDamaged = true;
}

void Rtp2H264::singleNal(const unsigned char* p, int n)
{
    if (m_fragmentOpen) {
        // The fragmented unit before never got its end.
        m_fragmentOpen = false;
        m_unitDamaged = true;
    }
    const int at = m_sink->curLen() + h264::StartCodeBytes;
    if (put(h264::StartCode, h264::StartCodeBytes) && put(p, n))
        noteNal(p[0] & h264::NalTypeMask, at, n);
}

void Rtp2H264::stapA(const unsigned char* p, int n)
{
    // Every size is checked before anything is written, so that a packet
    // whose sizes run past its end adds nothing.
    int units = 0;
    for (int i = 0; i < n;) {
        if (n - i < 2) {
            refuse(true);
            return;
        }
        const int size = readBigEndian16(p + i);
        if (size == 0 || size > n - i - 2 || (p[i + 2] & 0x80)
            || !isStreamNalType(p[i + 2] & h264::NalTypeMask)) {
            refuse(true);
            return;
        }
        i += 2 + size;
        ++units;
    }
    if (units == 0) {
        refuse(true);
        return;
    }
    for (int i = 0; i < n;) {
        const int size = readBigEndian16(p + i);
        singleNal(p + i + 2, size);
        i += 2 + size;
    }
}

void Rtp2H264::fuA(const unsigned char* p, int n)
{
    if (n < 2) {
        refuse(true);
        return;
    }
    const bool start = p[1] & 0x80;
    const bool end = p[1] & 0x40;
    const int type = p[1] & h264::NalTypeMask;
    // A whole unit is never sent as one fragment, and fragments carry only
    // the stream's own NAL units.
    if ((start && end) || !isStreamNalType(type)) {
        refuse(true);
        return;
    }
    if (start) {
        if (m_fragmentOpen)
            m_unitDamaged = true; // the unit before never got its end
        m_fragmentOpen = true;
        m_fragmentType = type;
        // The unit's header: F and NRI of the indicator, the type of the
        // fragment header.
        const auto header = static_cast<unsigned char>((p[0] & 0xE0) | type);
        if (put(h264::StartCode, h264::StartCodeBytes))
            m_fragmentStart = m_sink->curLen();
        put(&header, 1);
    } else if (!m_fragmentOpen || type != m_fragmentType) {
        // The rest of a unit whose start is missing.
        m_fragmentOpen = false;
        refuse(true);
        return;
    }
    put(p + 2, n - 2);
    if (end) {
        m_fragmentOpen = false;
        if (!m_unitDamaged)
            noteNal(type, m_fragmentStart, m_sink->curLen() - m_fragmentStart);
    }
}

bool Rtp2H264::put(const unsigned char* p, int n)
{
    if (m_unitDamaged)
        return false;
    if (n > 0 && !m_sink->appendBytes(p, n)) {
        // Larger than any frame may be.
        m_unitDamaged = true;
        return false;
    }
    return true;
}

void Rtp2H264::noteNal(int type, int offset, int length)
{
    m_unitTypes |= 1u << type;
    if (m_unitNals++ == 0 && type == h264::NalAccessUnitDelimiter)
        m_leadingDelimiterEnd = offset + length;
    if (m_inLeadingRun && (type == h264::NalAccessUnitDelimiter || type == h264::NalSps))
        m_leadingSpsEnd = offset + length;
    else
        m_inLeadingRun = false;
    if ((type == h264::NalSps || type == h264::NalPps)
        && int(m_unitParameterSets.size()) < MaxNotedNals)
        m_unitParameterSets.push_back({type, offset, length});
}

void Rtp2H264::openAccessUnit()
{
    m_unitOpen = true;
    m_unitTimestamp = m_packet.m_timestamp;
    m_unitDamaged = false;
    m_unitTypes = 0;
    m_unitNals = 0;
    m_leadingDelimiterEnd = 0;
    m_leadingSpsEnd = 0;
    m_inLeadingRun = true;
    m_unitParameterSets.clear();
    m_fragmentOpen = false;
    m_sink->restartFrame();
}

void Rtp2H264::finishAccessUnit()
{
    if (!m_unitOpen)
        return;
    m_unitOpen = false;
    if (m_fragmentOpen) {
        m_fragmentOpen = false;
        m_unitDamaged = true; // a fragmented unit without its end
    }
    const int len = m_sink->curLen();
    if (m_unitDamaged) {
        m_waitForIdr = true;
        countDropped();
        m_sink->restartFrame();
        return;
    }
    if (len == 0)
        return; // only ignored packets
    keepParameterSets();
    const bool idr = m_unitTypes & (1u << h264::NalIdrSlice);
    if (m_waitForIdr && !idr) {
        countDropped();
        m_sink->restartFrame();
        return;
    }
    if (idr) {
        addParameterSets();
        if (m_droppedBeforeIdr > 0)
            m_sink->appendLog(QStringLiteral("%1: %2 H.264 access units dropped before the IDR "
                                             "access unit image:%3\n")
                                  .arg(timeOfDay())
                                  .arg(m_droppedBeforeIdr)
                                  .arg(m_unitTimestamp));
        m_droppedBeforeIdr = 0;
        m_waitForIdr = false;
    }
    ++m_figures.accessUnits;
    m_sink->finishFrame();
}

void Rtp2H264::countDropped()
{
    ++m_figures.dropped;
    ++m_droppedBeforeIdr;
    if (m_counters)
        m_counters->framesDropped.fetch_add(1, std::memory_order_relaxed);
}

void Rtp2H264::keepParameterSets()
{
    if (m_unitParameterSets.empty())
        return;
    std::vector<H264ParameterSets::Bytes> sps;
    std::vector<H264ParameterSets::Bytes> pps;
    const unsigned char* const buffer = m_sink->writeBuffer();
    for (const NalPlace& place : m_unitParameterSets) {
        if (std::size_t(place.length) > H264ParameterSets::MaxSetBytes)
            continue;
        (place.type == h264::NalSps ? sps : pps)
            .emplace_back(buffer + place.offset, buffer + place.offset + place.length);
    }
    if (!sps.empty())
        m_parameterSets.replace(h264::NalSps, std::move(sps));
    if (!pps.empty())
        m_parameterSets.replace(h264::NalPps, std::move(pps));
}

void Rtp2H264::addParameterSets()
{
    const bool hasSps = m_unitTypes & (1u << h264::NalSps);
    const bool hasPps = m_unitTypes & (1u << h264::NalPps);
    if (hasSps && hasPps)
        return;
    const H264ParameterSets::Bytes sets = m_parameterSets.annexB(!hasSps, !hasPps);
    if ((!hasSps && !m_parameterSets.has(h264::NalSps))
        || (!hasPps && !m_parameterSets.has(h264::NalPps))) {
        if (!m_noParameterSetsReported) {
            m_noParameterSetsReported = true;
            m_sink->reportProblem(QStringLiteral("an H.264 IDR access unit came without SPS or "
                                                 "PPS, and none is known from "
                                                 "sprop-parameter-sets or the stream"));
        }
    }
    if (sets.empty())
        return;
    // SPS (and PPS) behind a leading access unit delimiter, in front of
    // everything else; a PPS alone behind the unit's own SPS.
    const int len = m_sink->curLen();
    const int at = hasSps ? m_leadingSpsEnd : m_leadingDelimiterEnd;
    const int add = int(sets.size());
    if (!m_sink->ensureWriteCapacity(std::int64_t(len) + add + 1))
        return; // delivered as it came
    unsigned char* const buffer = m_sink->writeBuffer();
    std::memmove(buffer + at + add, buffer + at, std::size_t(len - at));
    std::memcpy(buffer + at, sets.data(), sets.size());
    m_sink->setCurLen(len + add);
    ++m_figures.parameterSetsAdded;
}
