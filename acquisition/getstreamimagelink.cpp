// SPDX-License-Identifier: MIT
// GetStreamImage: the device's connection as it changes, and the status
// the window and the device log show of it.
#include "getstreamimage.h"

void GetStreamImage::connected()
{
    m_reconnectTimer.stop();
    m_stats.event(m_hasConnected ? FrameRecord::Kind::Reconnect : FrameRecord::Kind::Connected,
                  DeviceStats::monotonicNs(), DeviceStats::wallClockMs());
    m_hasConnected = true;
}

void GetStreamImage::disconnected()
{
    // A new connection's stream does not continue the old one's pictures.
    m_h264Gap = true;
    m_reconnectTimer.start(ReconnectIntervalMs);
    m_stats.event(FrameRecord::Kind::Lost, DeviceStats::monotonicNs(), DeviceStats::wallClockMs());
}

void GetStreamImage::reconnect()
{
    // While an attempt is queued and has not started, another one would
    // only wait behind it.
    if (m_worker.markConnectQueued())
        emit initConnect(m_host, m_port);
}

void GetStreamImage::linkStateChanged(ImageGetWorker::LinkState state, QString detail)
{
    const QStringList lines = m_status.linkChanged(state, detail, m_statusClock.elapsed());
    // Failures also go to the console: they are what a user starting the
    // viewer needs to see first.
    m_events.writeEvents(lines, m_status.isFailure());
    updateStatus();
}

void GetStreamImage::workerNotice(QString text)
{
    m_events.notice(text);
}

void GetStreamImage::updateStatus()
{
    const qint64 now = m_statusClock.elapsed();
    m_events.writeEvents(m_status.tick(now, m_worker.bytesReceived()), false);
    m_status.setForeignDatagrams(m_worker.foreignDatagramsDropped());
    reportOversizeFrames();
    m_events.summarise(now);

    const QString shown = m_status.stateText(now) + QLatin1Char('\n') + m_status.details(now);
    if (shown != m_shownStatus) {
        m_shownStatus = shown;
        emit statusChanged();
    }
}

void GetStreamImage::reportOversizeFrames()
{
    m_events.oversizeFrames(m_worker.oversizeFramesSkipped(), m_worker.lastOversizeFrameBytes(),
                            transferLength(), TransferSpareBytes, m_gray16 ? 2 : 1);
}
