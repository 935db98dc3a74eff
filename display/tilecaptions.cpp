// SPDX-License-Identifier: MIT
#include "tilecaptions.h"

#include "getstreamimage.h"
#include "rtpcounters.h"
#include "statssummary.h"
#include "tileview.h"

TileCaptions::TileCaptions(TileView* tiles, QObject* parent) : QObject(parent), m_tiles(tiles)
{
    m_timer.setInterval(RefreshIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &TileCaptions::refresh);
}

void TileCaptions::setDevices(const QVector<GetStreamImage*>& devices)
{
    m_devices = devices;
    QStringList names;
    for (const GetStreamImage* device : std::as_const(m_devices))
        names.append(device->name());
    m_tiles->setDevices(names);
    // A device's change of state refreshes its own caption only: with many
    // devices, each one's status changes about once a second, and
    // refreshing every caption for each of them costs the GUI thread the
    // square of the device count.
    for (const QMetaObject::Connection& connection : std::as_const(m_statusConnections))
        disconnect(connection);
    m_statusConnections.clear();
    for (int i = 0; i < m_devices.size(); ++i)
        m_statusConnections.append(connect(m_devices[i], &GetStreamImage::statusChanged, this,
                                           [this, i] { refreshTile(i); }));
    refresh();
}

void TileCaptions::setShown(bool shown)
{
    m_shown = shown;
    if (shown) {
        refresh();
        m_timer.start();
    } else {
        m_timer.stop();
    }
}

QString TileCaptions::caption(const GetStreamImage& device, qint64 nowMs)
{
    const DeviceStatus& status = device.status();
    const GetStreamImage::Figures& f = device.figures();
    QString first =
        QStringLiteral("%1  %2 %3  %4")
            .arg(device.name(), status.protocolName(), status.address(), status.stateText(nowMs));
    QString second = QStringLiteral("frames %1").arg(f.frames);
    if (f.avgPeriodMs > 0.0)
        second += QStringLiteral("  period %1 ms").arg(f.avgPeriodMs, 0, 'f', 1);
    if (f.hasDelay)
        second += QStringLiteral("  delay %1 ms").arg(f.delaySeconds * 1000, 0, 'f', 1);
    // Rate and delay p99 of the device's last seconds, from its records.
    const FrameRecordRing& ring = device.stats().records();
    const StatsSummary recent =
        StatsSummary::of(ring, ring.firstSince(DeviceStats::monotonicNs() - RecentNs));
    if (recent.frames > 1)
        second += QStringLiteral("  %1 fps").arg(recent.fps, 0, 'f', 1);
    if (recent.delays > 0)
        second += QStringLiteral("  delay p99 %1 ms").arg(recent.delayP99Ms, 0, 'f', 1);
    else if (recent.delayUnstamped())
        second += QStringLiteral("  delay: no time stamp");
    const RtpCounters& rtp = device.worker()->rtpCounters();
    const std::int64_t expected = rtp.expected.load(std::memory_order_relaxed);
    if (expected > 0) {
        const std::int64_t lost = rtp.lost.load(std::memory_order_relaxed);
        second += QStringLiteral("  lost %1 of %2 packets (%3 %)")
                      .arg(lost)
                      .arg(expected)
                      .arg(100.0 * double(lost) / double(expected), 0, 'f', 2);
    }
    return first + QLatin1Char('\n') + second;
}

void TileCaptions::refresh()
{
    for (int i = 0; i < m_devices.size(); ++i)
        refreshTile(i);
}

void TileCaptions::refreshTile(int i)
{
    if (!m_shown || i >= m_devices.size() || i >= m_tiles->count())
        return;
    QString text = caption(*m_devices[i], m_devices[i]->statusClockMs());
    const QString extra = m_extra ? m_extra(i) : QString();
    if (!extra.isEmpty())
        text += QLatin1Char('\n') + extra;
    m_tiles->setCaption(i, text);
}
