// SPDX-License-Identifier: MIT
#include "framestatistics.h"

#include <QTime>

#include <algorithm>
#include <cmath>
#include <limits>

int FrameStatistics::addFrame(qint64 periodMs)
{
    ++m_frameCount;
    if (m_avgFrameTime == 0.0)
        m_avgFrameTime = double(periodMs);
    // Periods beyond the int range fall outside every bin like any other
    // period of 100000 ms or more.
    const int t = int(std::min<qint64>(periodMs, std::numeric_limits<int>::max()));
    m_avgFrameTime = m_avgFrameTime * 0.99 + t * 0.01;
    for (int i = 0; i < HistogramBins; ++i) {
        if (t < m_histLimit[i]) {
            ++m_histCount[i];
            break;
        }
    }
    return t;
}

QString FrameStatistics::histogramLine(const QTime& time) const
{
    return histogramLine(time, m_frameCount, m_histLimit, m_histCount);
}

QString FrameStatistics::histogramLine(const QTime& time, qint64 frameCount,
                                       const std::array<int, HistogramBins>& limits,
                                       const HistogramCounts& counts)
{
    QString line = QStringLiteral("%1: MARK histogram frame%2 ")
                       .arg(time.toString(QStringLiteral("hh:mm:ss.zzz")))
                       .arg(frameCount);
    for (int i = 0; i < HistogramBins; ++i)
        line += QStringLiteral(" %1:%2").arg(limits[i]).arg(counts[i]);
    line += QLatin1Char('\n');
    return line;
}

QString FrameStatistics::statusText(qint64 frameCount, double avgFrameTime, int periodMs,
                                    qint64 packetsLost, qint64 packetsOutOfOrder,
                                    qint64 packetsExpected, double frameDelay, bool stamped)
{
    if (packetsLost > 0 || packetsOutOfOrder > 0) {
        // Without an expected packet the ratio is not a number; show none
        // missed rather than "nan" or "inf".
        double missed = 0.0;
        if (packetsExpected != 0)
            missed = double(packetsLost) * 100.0 / double(packetsExpected);
        if (!std::isfinite(missed))
            missed = 0.0;
        return QStringLiteral("frameNr: %1 avg: %2 frame time: %3  packets lost: %4 out of order: "
                              "%5 percentage missed: %6%")
            .arg(frameCount)
            .arg(avgFrameTime, 0, 'f', 3)
            .arg(periodMs, 4)
            .arg(packetsLost)
            .arg(packetsOutOfOrder)
            .arg(missed, 0, 'f', 3);
    }
    if (!stamped)
        return QStringLiteral("frameNr: %1 avg: %2 frame time: %3  Delay: no time stamp")
            .arg(frameCount, 5)
            .arg(avgFrameTime, 0, 'f', 3)
            .arg(periodMs, 4);
    return QStringLiteral("frameNr: %1 avg: %2 frame time: %3  Delay: %4ms")
        .arg(frameCount, 5)
        .arg(avgFrameTime, 0, 'f', 3)
        .arg(periodMs, 4)
        .arg(frameDelay * 1000, 10, 'f', 1);
}
