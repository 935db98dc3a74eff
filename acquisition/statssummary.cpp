// SPDX-License-Identifier: MIT
#include "statssummary.h"

#include <algorithm>
#include <cmath>

double percentile(std::vector<double>& values, double p)
{
    if (values.empty())
        return 0.0;
    const auto n = double(values.size());
    const auto rank = std::size_t(std::clamp(std::ceil(p / 100.0 * n), 1.0, n)) - 1;
    std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(rank), values.end());
    return values[rank];
}

StatsSummary StatsSummary::of(const FrameRecordRing& ring, std::size_t from)
{
    StatsSummary s;
    std::vector<double> periods;
    std::vector<double> delays;
    std::int64_t firstNs = 0;
    std::int64_t lastNs = 0;
    double periodSum = 0.0;
    for (std::size_t i = from; i < ring.size(); ++i) {
        const FrameRecord& r = ring.at(i);
        switch (r.kind) {
        case FrameRecord::Kind::Connected:
            ++s.connects;
            continue;
        case FrameRecord::Kind::Lost:
            ++s.losses;
            continue;
        case FrameRecord::Kind::Reconnect:
            ++s.reconnects;
            continue;
        case FrameRecord::Kind::Frame:
            break;
        }
        if (s.frames == 0)
            firstNs = r.arrivalNs;
        lastNs = r.arrivalNs;
        // The first frame of the run has no period within it.
        if (s.frames > 0 && r.periodNs >= 0) {
            const double ms = double(r.periodNs) / 1e6;
            periods.push_back(ms);
            periodSum += ms;
            s.periodMaxMs = std::max(s.periodMaxMs, ms);
        }
        ++s.frames;
        switch (r.fate) {
        case FrameRecord::Fate::Shown:
            ++s.shown;
            break;
        case FrameRecord::Fate::Skipped:
            ++s.skipped;
            break;
        case FrameRecord::Fate::Refused:
            ++s.refused;
            break;
        case FrameRecord::Fate::Corrupt:
            ++s.corrupt;
            break;
        case FrameRecord::Fate::Pending:
            break;
        }
        if (r.content == FrameRecord::Content::H264)
            ++s.h264Frames;
        if (r.hasDelay) {
            const double ms = double(r.delayUs) / 1000.0;
            delays.push_back(ms);
            s.delayMaxMs = s.delays == 0 ? ms : std::max(s.delayMaxMs, ms);
            ++s.delays;
        }
        if (r.hasRtp) {
            s.rtp = true;
            s.packetsExpected += r.packetsExpected;
            s.packetsLost += r.packetsLost;
            s.packetsOutOfOrder += r.packetsOutOfOrder;
            s.jitterMs = double(r.jitterUs) / 1000.0;
        }
    }
    s.seconds = double(lastNs - firstNs) / 1e9;
    s.fps = s.frames > 1 && s.seconds > 0.0 ? double(s.frames - 1) / s.seconds : 0.0;
    s.periods = std::int64_t(periods.size());
    if (!periods.empty()) {
        s.periodMeanMs = periodSum / double(periods.size());
        s.periodP50Ms = percentile(periods, 50);
        s.periodP95Ms = percentile(periods, 95);
        s.periodP99Ms = percentile(periods, 99);
    }
    s.delayP50Ms = percentile(delays, 50);
    s.delayP99Ms = percentile(delays, 99);
    return s;
}
