// SPDX-License-Identifier: MIT
#include "statspanelmodel.h"

#include "statssummary.h"

#include <algorithm>

namespace {

QString ms(double v)
{
    return QStringLiteral("%1 ms").arg(v, 0, 'f', 1);
}

void addHistogram(StatsPanelModel::Content& c, double periodMs)
{
    const auto& limits = FrameStatistics::HistogramLimits;
    for (int i = 0; i < FrameStatistics::HistogramBins; ++i) {
        if (periodMs < double(limits[std::size_t(i)])) {
            ++c.coarse[std::size_t(i)];
            break;
        }
    }
    const int bin =
        std::clamp(int(periodMs / StatsPanelModel::FineBinMs), 0, StatsPanelModel::FineBins);
    ++c.fine[bin];
}

} // namespace

std::int64_t StatsPanelModel::seriesStart(std::int64_t nowNs)
{
    // The last SeriesSeconds, up to and including now.
    return nowNs - std::int64_t(SeriesSeconds) * 1000000000 + 1;
}

std::uint64_t StatsPanelModel::revision() const
{
    std::uint64_t r = 0;
    for (const Source& s : m_sources)
        r += s.stats->revision();
    return r;
}

void StatsPanelModel::addRecords(Content& c, const DeviceStats& stats, std::int64_t nowNs) const
{
    const FrameRecordRing& ring = stats.records();
    for (std::size_t i = ring.firstSince(seriesStart(nowNs)); i < ring.size(); ++i) {
        const FrameRecord& r = ring.at(i);
        if (!r.isFrame())
            continue;
        const double x = double(r.arrivalNs - nowNs) / 1e9;
        // Whole seconds back from now: the newest holds (now - 1 s, now].
        const int second = std::clamp(SeriesSeconds - 1 - int((nowNs - r.arrivalNs) / 1000000000),
                                      0, SeriesSeconds - 1);
        c.framesPerSecond[second] += 1.0;
        if (r.hasRtp)
            c.lostPerSecond[second] += r.packetsLost;
        if (r.periodNs >= 0) {
            const double period = double(r.periodNs) / 1e6;
            c.period.append(QPointF(x, period));
            addHistogram(c, period);
        }
        if (r.hasDelay)
            c.delay.append(QPointF(x, double(r.delayUs) / 1000.0));
        c.size.append(QPointF(x, double(r.bytes)));
    }
}

StatsPanelModel::Content StatsPanelModel::content(int index, std::int64_t nowNs) const
{
    Content c;
    c.framesPerSecond.fill(0.0, SeriesSeconds);
    c.lostPerSecond.fill(0.0, SeriesSeconds);
    c.fine.fill(0, FineBins + 1);

    if (index < 0 || index >= m_sources.size()) {
        c.title = QStringLiteral("All devices");
        for (const Source& s : m_sources)
            addRecords(c, *s.stats, nowNs);
        std::sort(c.period.begin(), c.period.end(),
                  [](const QPointF& a, const QPointF& b) { return a.x() < b.x(); });
        // The status line's own figures: all frames, the moving average,
        // its histogram and the process-wide packet counts.
        if (const FrameStatistics* st = m_window.statistics) {
            c.coarse = st->histCount();
            c.periodMeanMs = st->avgFrameTime();
            c.summary.append({QStringLiteral("frames"), QString::number(st->frameCount())});
            c.summary.append({QStringLiteral("period avg"),
                              QStringLiteral("%1 ms").arg(st->avgFrameTime(), 0, 'f', 3)});
        }
        c.summary.append({QStringLiteral("delay"), ms(m_window.frameDelaySeconds * 1000.0)});
        const double missed = m_window.packetsExpected > 0 ? double(m_window.packetsLost) * 100.0
                                                                 / double(m_window.packetsExpected)
                                                           : 0.0;
        c.summary.append({QStringLiteral("packets lost"), QString::number(m_window.packetsLost)});
        c.summary.append(
            {QStringLiteral("out of order"), QString::number(m_window.packetsOutOfOrder)});
        c.summary.append(
            {QStringLiteral("percentage missed"), QStringLiteral("%1%").arg(missed, 0, 'f', 3)});
        return c;
    }

    const Source& source = m_sources[index];
    c.title = source.name;
    addRecords(c, *source.stats, nowNs);
    const FrameRecordRing& ring = source.stats->records();
    const StatsSummary all = StatsSummary::of(ring);
    const StatsSummary recent = StatsSummary::of(ring, ring.firstSince(seriesStart(nowNs)));
    c.periodMeanMs = recent.periodMeanMs;
    c.summary.append({QStringLiteral("frames"), QString::number(source.stats->frames())});
    c.summary.append({QStringLiteral("fps"), QString::number(recent.fps, 'f', 2)});
    c.summary.append({QStringLiteral("period mean/p50"), QStringLiteral("%1 / %2 ms")
                                                             .arg(recent.periodMeanMs, 0, 'f', 1)
                                                             .arg(recent.periodP50Ms, 0, 'f', 1)});
    c.summary.append({QStringLiteral("period p95/p99"), QStringLiteral("%1 / %2 ms")
                                                            .arg(recent.periodP95Ms, 0, 'f', 1)
                                                            .arg(recent.periodP99Ms, 0, 'f', 1)});
    c.summary.append({QStringLiteral("period max"), ms(recent.periodMaxMs)});
    c.summary.append({QStringLiteral("delay p50/p99/max"),
                      recent.delays > 0 ? QStringLiteral("%1 / %2 / %3 ms")
                                              .arg(recent.delayP50Ms, 0, 'f', 1)
                                              .arg(recent.delayP99Ms, 0, 'f', 1)
                                              .arg(recent.delayMaxMs, 0, 'f', 1)
                      : recent.delayUnstamped() ? QStringLiteral("no time stamp")
                                                : QStringLiteral("-")});
    c.summary.append(
        {QStringLiteral("jitter"),
         all.rtp ? QStringLiteral("%1 ms").arg(all.jitterMs, 0, 'f', 2) : QStringLiteral("-")});
    c.summary.append({QStringLiteral("loss"), all.rtp ? QStringLiteral("%1% (%2 of %3)")
                                                            .arg(all.lossPercent(), 0, 'f', 3)
                                                            .arg(all.packetsLost)
                                                            .arg(all.packetsExpected)
                                                      : QStringLiteral("-")});
    c.summary.append({QStringLiteral("reconnects"), QString::number(all.reconnects)});
    c.summary.append({QStringLiteral("skipped/corrupt"),
                      QStringLiteral("%1 / %2").arg(all.skipped + all.refused).arg(all.corrupt)});
    return c;
}
