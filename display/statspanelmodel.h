// SPDX-License-Identifier: MIT
#pragma once

#include "devicestats.h"
#include "framestatistics.h"

#include <QList>
#include <QPointF>
#include <QString>
#include <QVector>

#include <cstdint>
#include <utility>

// What the statistics panel shows for one device, or for all devices
// together, made from the devices' per-frame records. A plain class, so that
// the panel's figures are tested without painting.
class StatsPanelModel
{
public:
    static constexpr int SeriesSeconds = 60;
    // The finer histogram: bins of FineBinMs up to FineBins × FineBinMs,
    // and one for longer periods.
    static constexpr int FineBinMs = 5;
    static constexpr int FineBins = 50;

    struct Source
    {
        QString name;
        const DeviceStats* stats = nullptr;
    };

    // The figures of all devices together, as the status line shows them.
    struct Window
    {
        const FrameStatistics* statistics = nullptr;
        std::int64_t packetsLost = 0;
        std::int64_t packetsOutOfOrder = 0;
        std::int64_t packetsExpected = 0;
        double frameDelaySeconds = 0.0;
    };

    struct Content
    {
        QString title;
        // Label and value, in the order shown.
        QList<std::pair<QString, QString>> summary;
        // Points of the last SeriesSeconds: x in seconds before now
        // (-60 ... 0), y in ms (period, delay) or bytes (size).
        QVector<QPointF> period;
        double periodMeanMs = 0.0;
        QVector<QPointF> delay;
        QVector<QPointF> size;
        // Per whole second, oldest first: frames received, packets lost.
        QVector<double> framesPerSecond;
        QVector<double> lostPerSecond;
        FrameStatistics::HistogramCounts coarse{};
        QVector<std::int64_t> fine;
    };

    void setSources(QList<Source> sources) { m_sources = std::move(sources); }
    const QList<Source>& sources() const { return m_sources; }
    void setWindow(const Window& window) { m_window = window; }

    // The content for source `index`, or for all devices with -1, at
    // `nowNs` on the records' clock.
    Content content(int index, std::int64_t nowNs) const;
    // Changes with every record of any source: the panel repaints only then.
    std::uint64_t revision() const;
    // The first arrival time the series and the recent figures take in.
    static std::int64_t seriesStart(std::int64_t nowNs);

private:
    void addRecords(Content& c, const DeviceStats& stats, std::int64_t nowNs) const;
    QList<Source> m_sources;
    Window m_window;
};
