// SPDX-License-Identifier: MIT
#include "devicestats.h"

#include "frameconversion.h"
#include "rtpcounters.h"

#include <QDateTime>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>

namespace {

// The jitter's 90 kHz ticks, kept 16 times larger, per microsecond x 1000.
constexpr std::int64_t JitterScale = std::int64_t(16) * 90;

std::int32_t clampToInt32(std::int64_t v)
{
    return std::int32_t(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
}

FrameRecord::Content contentOf(const QString& conType)
{
    if (conType == QLatin1String(JpegContentType))
        return FrameRecord::Content::Jpeg;
    if (conType == QLatin1String(RawGrayContentType))
        return FrameRecord::Content::RawGray;
    if (conType == QLatin1String(Gray16ContentType))
        return FrameRecord::Content::RawGray16;
    if (conType == QLatin1String(H264ContentType))
        return FrameRecord::Content::H264;
    return FrameRecord::Content::Other;
}

} // namespace

std::int64_t DeviceStats::monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t DeviceStats::wallClockMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

void DeviceStats::frameArrived(std::int64_t nowNs, std::int64_t wallMs, int bytes,
                               const QString& conType, const RtpCounters* rtp)
{
    FrameRecord r;
    r.frameNumber = ++m_frames;
    ++m_delivered;
    r.arrivalNs = nowNs;
    r.wallMs = wallMs;
    r.periodNs = m_lastArrivalNs >= 0 ? nowNs - m_lastArrivalNs : -1;
    m_lastArrivalNs = nowNs;
    r.bytes = bytes;
    r.content = contentOf(conType);
    if (rtp != nullptr) {
        const std::int64_t expected = rtp->expected.load(std::memory_order_relaxed);
        const std::int64_t lost = rtp->lost.load(std::memory_order_relaxed);
        const std::int64_t outOfOrder = rtp->outOfOrder.load(std::memory_order_relaxed);
        if (expected > 0) {
            r.hasRtp = true;
            r.packetsExpected = clampToInt32(expected - m_rtpExpected);
            r.packetsLost = clampToInt32(lost - m_rtpLost);
            r.packetsOutOfOrder = clampToInt32(outOfOrder - m_rtpOutOfOrder);
            // 90 kHz ticks times 16 to microseconds.
            r.jitterUs =
                clampToInt32(rtp->jitter16.load(std::memory_order_relaxed) * 1000 / JitterScale);
        }
        m_rtpExpected = expected;
        m_rtpLost = lost;
        m_rtpOutOfOrder = outOfOrder;
    }
    m_ring.push(r);
    ++m_revision;
}

void DeviceStats::delayMeasured(double seconds)
{
    if (m_ring.empty())
        return;
    FrameRecord& r = m_ring.at(m_ring.size() - 1);
    if (!r.isFrame() || r.fate != FrameRecord::Fate::Pending || r.hasDelay)
        return;
    r.hasDelay = true;
    r.delayUs = clampToInt32(std::llround(seconds * 1e6));
}

FrameRecord* DeviceStats::oldestPending()
{
    FrameRecord* found = nullptr;
    const std::size_t n = m_ring.size();
    for (std::size_t back = 1; back <= std::min(n, PendingSearch); ++back) {
        FrameRecord& r = m_ring.at(n - back);
        if (r.isFrame() && r.fate == FrameRecord::Fate::Pending)
            found = &r;
    }
    return found;
}

void DeviceStats::frameConverted(FrameRecord::Fate fate, int width, int height, std::int64_t nowNs)
{
    if (FrameRecord* r = oldestPending()) {
        r->convertUs = clampToInt32((nowNs - r->arrivalNs) / 1000);
        settle(*r, fate, width, height);
    }
}

void DeviceStats::frameNotShown(FrameRecord::Fate fate, std::int64_t nowNs)
{
    Q_UNUSED(nowNs);
    // Never converted: no conversion time.
    if (FrameRecord* r = oldestPending())
        settle(*r, fate == FrameRecord::Fate::Shown ? FrameRecord::Fate::Skipped : fate, 0, 0);
}

void DeviceStats::settle(FrameRecord& record, FrameRecord::Fate fate, int width, int height)
{
    record.fate = fate == FrameRecord::Fate::Pending ? FrameRecord::Fate::Skipped : fate;
    record.width = width;
    record.height = height;
    complete(record);
}

void DeviceStats::workerCounts(std::int64_t completed, std::int64_t oversize, std::int64_t nowNs,
                               std::int64_t wallMs)
{
    if (oversize > m_oversize) {
        addUnseen(oversize - m_oversize, FrameRecord::Fate::Refused, nowNs, wallMs);
        m_oversize = oversize;
    }
    // Called before the delivery is added: that frame, and one that may
    // have been completed since, are not replaced.
    const std::int64_t replaced = completed - oversize - m_delivered - 2;
    if (replaced > m_replaced) {
        addUnseen(replaced - m_replaced, FrameRecord::Fate::Skipped, nowNs, wallMs);
        m_replaced = replaced;
    }
}

void DeviceStats::addUnseen(std::int64_t count, FrameRecord::Fate fate, std::int64_t nowNs,
                            std::int64_t wallMs)
{
    for (std::int64_t i = 0; i < std::min(count, MaxUnseenPerDelivery); ++i) {
        FrameRecord r;
        r.frameNumber = ++m_frames;
        r.arrivalNs = nowNs;
        r.wallMs = wallMs;
        r.fate = fate;
        m_ring.push(r);
        ++m_revision;
        complete(m_ring.at(m_ring.size() - 1));
    }
}

void DeviceStats::event(FrameRecord::Kind kind, std::int64_t nowNs, std::int64_t wallMs)
{
    FrameRecord r;
    r.kind = kind;
    r.fate = FrameRecord::Fate::Shown;
    r.frameNumber = m_frames;
    r.arrivalNs = nowNs;
    r.wallMs = wallMs;
    m_ring.push(r);
    ++m_revision;
    complete(m_ring.at(m_ring.size() - 1));
}

void DeviceStats::complete(FrameRecord& record)
{
    ++m_revision;
    if (m_listener)
        m_listener(record);
}
