// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <array>

class QTime;

// The frame statistics of all devices together: the frame count, a moving
// average and a histogram of the frame period, and the texts they are shown
// in (the status line, the histogram log line). A plain class: the caller
// measures the periods, so that its tests are tables.
class FrameStatistics
{
public:
    static constexpr int HistogramBins = 13;
    static constexpr int HistogramEveryFrames = 1000;
    // Bin i counts periods below limit i and at or above limit i - 1; there
    // is no bound at 90, and periods of 100000 ms or more are counted nowhere.
    static constexpr std::array<int, HistogramBins> HistogramLimits = {
        10, 20, 30, 40, 50, 60, 70, 80, 100, 120, 150, 200, 100000};

    using HistogramCounts = std::array<qint64, HistogramBins>;

    // Counts one frame that arrived periodMs after the previous one and
    // returns the period as the status line shows it: periods beyond the int
    // range are cut to it (and fall outside every bin).
    int addFrame(qint64 periodMs);
    // The frame just counted completes another HistogramEveryFrames.
    bool histogramDue() const
    {
        return m_frameCount > 0 && m_frameCount % HistogramEveryFrames == 0;
    }

    qint64 frameCount() const { return m_frameCount; }
    double avgFrameTime() const { return m_avgFrameTime; }
    const HistogramCounts& histCount() const { return m_histCount; }
    // The histogram log line of the counts so far, as written at `time`.
    QString histogramLine(const QTime& time) const;

    // The status bar text for one frame. The percentage of missed packets
    // reads 0.000 while no packet has been expected. A frame that carries
    // no time stamp (`stamped` false: H.264) reads "Delay: no time stamp".
    static QString statusText(qint64 frameCount, double avgFrameTime, int periodMs,
                              qint64 packetsLost, qint64 packetsOutOfOrder, qint64 packetsExpected,
                              double frameDelay, bool stamped = true);
    // The histogram log line, "\n" included, as written at `time`.
    static QString histogramLine(const QTime& time, qint64 frameCount,
                                 const std::array<int, HistogramBins>& limits,
                                 const HistogramCounts& counts);

private:
    double m_avgFrameTime = 0.0;
    // 64 bits: at a few hundred frames a second an int would wrap within
    // months of running.
    qint64 m_frameCount = 0;
    std::array<int, HistogramBins> m_histLimit = HistogramLimits;
    HistogramCounts m_histCount = {};
};
