// SPDX-License-Identifier: MIT
#pragma once

#include "framerecord.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// The summary figures of a run of one device's records: counts, rate,
// period and delay percentiles, RTP loss and jitter, connection events.
struct StatsSummary
{
    std::int64_t frames = 0; // frame records, shown or not
    std::int64_t shown = 0;
    std::int64_t skipped = 0;
    std::int64_t refused = 0;
    std::int64_t corrupt = 0;
    std::int64_t connects = 0;
    std::int64_t losses = 0;
    std::int64_t reconnects = 0;

    // From the first to the last frame's arrival, and frames per second
    // over it: (frames - 1) / seconds.
    double seconds = 0.0;
    double fps = 0.0;

    // Periods between consecutive frames of the run, in ms.
    std::int64_t periods = 0;
    double periodMeanMs = 0.0;
    double periodP50Ms = 0.0;
    double periodP95Ms = 0.0;
    double periodP99Ms = 0.0;
    double periodMaxMs = 0.0;

    // Time-stamped frames only.
    std::int64_t delays = 0;
    // H.264 frames, which carry no time stamp: with no stamped frame, the
    // delay is "no time stamp" rather than unknown.
    std::int64_t h264Frames = 0;
    bool delayUnstamped() const { return delays == 0 && h264Frames > 0; }
    double delayP50Ms = 0.0;
    double delayP99Ms = 0.0;
    double delayMaxMs = 0.0;

    // RTP only.
    bool rtp = false;
    std::int64_t packetsExpected = 0;
    std::int64_t packetsLost = 0;
    std::int64_t packetsOutOfOrder = 0;
    double jitterMs = 0.0; // at the last frame
    // Lost packets in percent of those expected; 0 while none was expected.
    double lossPercent() const
    {
        return packetsExpected > 0 ? double(packetsLost) * 100.0 / double(packetsExpected) : 0.0;
    }

    // The records of `ring` from index `from` on.
    static StatsSummary of(const FrameRecordRing& ring, std::size_t from = 0);
};

// The nearest-rank percentile p (0 < p <= 100) of `values`, which it
// reorders; 0 for none.
double percentile(std::vector<double>& values, double p);
