// SPDX-License-Identifier: MIT
#pragma once

#include "framerecord.h"

#include <QString>

#include <cstdint>
#include <functional>

struct RtpCounters;

// The per-frame records of one device, kept in a bounded ring and handed,
// once complete, to an optional listener (the statistics export). The
// device's controller feeds it from its frame path in the GUI thread: a
// frame on delivery, its delay when measured, its fate when converted or
// left out; connection changes as events. Plain and single-threaded: the
// readers (panel, export, measurement) run in the same thread.
class DeviceStats
{
public:
    using Listener = std::function<void(const FrameRecord&)>;

    explicit DeviceStats(int seconds = 600) : m_ring(seconds) {}

    void setSeconds(int seconds) { m_ring.setSeconds(seconds); }
    // Called with every record once it is complete: events at once, frames
    // when their fate is known.
    void setListener(Listener listener) { m_listener = std::move(listener); }

    // Nanoseconds on the monotonic clock records are kept with, and
    // milliseconds since the epoch.
    static std::int64_t monotonicNs();
    static std::int64_t wallClockMs();

    // A frame the worker delivered: `rtp` (the device's counters, or
    // nullptr) gives the packets since the previous frame.
    void frameArrived(std::int64_t nowNs, std::int64_t wallMs, int bytes, const QString& conType,
                      const RtpCounters* rtp);
    // The delay of the frame that arrived last, before its conversion.
    void delayMeasured(double seconds);
    // The oldest frame still pending has been converted: shown, or not shown
    // as corrupt or refused; width and height of the image (0 when none).
    void frameConverted(FrameRecord::Fate fate, int width, int height, std::int64_t nowNs);
    // The oldest frame still pending is not shown (skipped, refused,
    // corrupt) and will not be converted: for callers that leave a frame
    // out before conversion.
    void frameNotShown(FrameRecord::Fate fate, std::int64_t nowNs);
    // The worker's own counts, before a delivery is added: frames it completed and
    // frames it left out as too large for the transfer buffer. Frames
    // completed but neither delivered nor left out, beyond the one that
    // may be on its way, were replaced by a newer frame before the GUI
    // thread took them: each is recorded as skipped, the oversized ones as
    // refused (with no size or period: they never arrived here).
    void workerCounts(std::int64_t completed, std::int64_t oversize, std::int64_t nowNs,
                      std::int64_t wallMs);
    // A change of the connection.
    void event(FrameRecord::Kind kind, std::int64_t nowNs, std::int64_t wallMs);

    const FrameRecordRing& records() const { return m_ring; }
    // Frames delivered since the start, and records made (never dropped).
    std::int64_t frames() const { return m_frames; }
    std::uint64_t revision() const { return m_revision; }

private:
    FrameRecord* oldestPending();
    void addUnseen(std::int64_t count, FrameRecord::Fate fate, std::int64_t nowNs,
                   std::int64_t wallMs);
    void settle(FrameRecord& record, FrameRecord::Fate fate, int width, int height);
    void complete(FrameRecord& record);

    FrameRecordRing m_ring;
    Listener m_listener;
    std::int64_t m_frames = 0;
    std::int64_t m_lastArrivalNs = -1;
    std::int64_t m_delivered = 0;
    std::int64_t m_replaced = 0;
    std::int64_t m_oversize = 0;
    // Records added for the worker's counts per delivery, at most: a count
    // that jumps (a new worker) is not copied into the ring record by
    // record without bound.
    static constexpr std::int64_t MaxUnseenPerDelivery = 1000;
    std::uint64_t m_revision = 0;
    // The device's RTP counters at the previous frame.
    std::int64_t m_rtpExpected = 0;
    std::int64_t m_rtpLost = 0;
    std::int64_t m_rtpOutOfOrder = 0;
    // Index from the back of the oldest pending frame is found by search:
    // at most a few frames are in conversion at a time.
    static constexpr std::size_t PendingSearch = 64;
};
