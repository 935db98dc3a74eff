// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

// One record of a device's stream: a frame it delivered, or a change of its
// connection. Plain data, compact, since a device keeps minutes of them.
struct FrameRecord
{
    enum class Kind : std::uint8_t
    {
        Frame,
        Connected,
        Lost,
        Reconnect,
    };
    // What became of a frame. Pending until its conversion has finished;
    // every fate but Shown is a frame received but not shown.
    enum class Fate : std::uint8_t
    {
        Pending,
        Shown,
        Skipped, // left out before conversion (a newer frame was preferred)
        Refused, // its declared size or scans exceed the device's limits
        Corrupt, // the decoder failed or warned
    };
    enum class Content : std::uint8_t
    {
        Other,
        Jpeg,
        RawGray,
        RawGray16,
        H264,
    };

    Kind kind = Kind::Frame;
    Fate fate = Fate::Pending;
    Content content = Content::Other;
    bool hasDelay = false;
    bool hasRtp = false;
    // The device's own frame number, from 1; for an event the number of the
    // frame before it.
    std::int64_t frameNumber = 0;
    // Arrival on the monotonic clock (ns) and the wall clock (ms since the
    // epoch, UTC).
    std::int64_t arrivalNs = 0;
    std::int64_t wallMs = 0;
    // Since the device's previous frame; -1 for its first.
    std::int64_t periodNs = -1;
    // The delay above the running minimum of the device's transit time,
    // from the frame's APP9 time stamp.
    std::int32_t delayUs = 0;
    std::int32_t bytes = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    // From delivery until the converted image was handed on (waiting for the
    // converter included); -1 while pending or when it never converted.
    std::int32_t convertUs = -1;
    // RTP: packets expected, lost and out of order since the previous
    // frame, and the stream's interarrival jitter at this frame.
    std::int32_t packetsExpected = 0;
    std::int32_t packetsLost = 0;
    std::int32_t packetsOutOfOrder = 0;
    std::int32_t jitterUs = 0;

    bool isFrame() const { return kind == Kind::Frame; }
    bool notShown() const
    {
        return kind == Kind::Frame && fate != Fate::Pending && fate != Fate::Shown;
    }
};

// A device's records of the last `seconds`, oldest first: each new record
// drops those that arrived more than `seconds` before it, and at most
// MaxPerSecond × seconds are kept however fast a device sends.
class FrameRecordRing
{
public:
    static constexpr int MaxPerSecond = 500;

    explicit FrameRecordRing(int seconds = 600) { setSeconds(seconds); }
    void setSeconds(int seconds);
    int seconds() const { return m_seconds; }
    std::size_t capacity() const { return m_capacity; }

    void push(const FrameRecord& record);
    std::size_t size() const { return m_records.size(); }
    bool empty() const { return m_records.empty(); }
    const FrameRecord& at(std::size_t i) const { return m_records[i]; }
    FrameRecord& at(std::size_t i) { return m_records[i]; }
    const FrameRecord& newest() const { return m_records.back(); }
    // Records dropped from the front so far.
    std::int64_t dropped() const { return m_dropped; }
    // The index of the first record that arrived at or after `ns`.
    std::size_t firstSince(std::int64_t ns) const;

private:
    void trim();

    std::deque<FrameRecord> m_records;
    int m_seconds = 600;
    std::size_t m_capacity = 0;
    std::int64_t m_dropped = 0;
};
