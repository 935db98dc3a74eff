// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QTimer>
#include <QVector>

#include <functional>

class GetStreamImage;
class TileView;

// The caption under each device's tile, from the device's own figures:
// refreshed twice a second and whenever a device's state changes, and only
// while the tiles are shown, so that nothing is laid out per frame.
class TileCaptions : public QObject
{
    Q_OBJECT

public:
    static constexpr int RefreshIntervalMs = 500;
    // The caption's fps and delay p99 are those of the last 10 s.
    static constexpr qint64 RecentNs = qint64(10) * 1000 * 1000 * 1000;

    TileCaptions(TileView* tiles, QObject* parent);

    // One tile per device, in this order; the caller owns the devices and
    // keeps them for as long as this object lives.
    void setDevices(const QVector<GetStreamImage*>& devices);
    // Whether the tiles are shown; shown, the captions are refreshed at
    // once and then on the timer.
    void setShown(bool shown);

    // The caption of a device's tile: name, protocol and address, state and
    // frame rate; then its own frame count, period, delay, lost packets,
    // and the rate and delay p99 of its last 10 s.
    static QString caption(const GetStreamImage& device, qint64 nowMs);
    // A further line for tile i, when it gives one.
    void setExtraLine(std::function<QString(int)> extra) { m_extra = std::move(extra); }

    void refresh();
    // The caption of tile i alone.
    void refreshTile(int i);

private:
    std::function<QString(int)> m_extra;

    TileView* m_tiles;
    QVector<GetStreamImage*> m_devices;
    QVector<QMetaObject::Connection> m_statusConnections;
    QTimer m_timer;
    bool m_shown = false;
};
