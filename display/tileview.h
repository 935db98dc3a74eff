// SPDX-License-Identifier: MIT
#pragma once

#include <QPixmap>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QVector>
#include <QWidget>

#include <optional>

// All devices side by side: one tile per device in a grid of ceil(sqrt(n))
// columns, each showing its device's newest frame scaled to fit (aspect
// kept) or at a fixed zoom, with a caption strip under it. Clicking a tile
// selects it (outlined); double-clicking shows only that tile until the
// next double click. The widget paints everything itself and repaints only
// the tile whose frame or caption changed.
class TileView : public QWidget
{
    Q_OBJECT

public:
    static constexpr int Margin = 3;
    static constexpr int OutlineWidth = 2;

    explicit TileView(QWidget* parent = nullptr);

    // Resets to `count` empty tiles with the given names.
    void setDevices(const QStringList& names);
    int count() const { return int(m_tiles.size()); }
    QString name(int index) const;

    // A new frame for tile `index`; the pixmap is shared, not copied.
    void setFrame(int index, const QPixmap& frame);
    const QPixmap& frame(int index) const;
    // The caption's lines, drawn under the tile's picture.
    void setCaption(int index, const QString& text);
    QString caption(int index) const;

    // Fit each picture to its tile (the default) or draw it at `zoom`,
    // centred and cut off at the tile's edge.
    void setFit(bool fit);
    bool fit() const { return m_fit; }
    void setZoom(double zoom);
    double zoom() const { return m_zoom; }

    // The selected tile, or -1.
    int selected() const { return m_selected; }
    void setSelected(int index);
    // The only tile shown, or -1 while the grid is shown.
    int solo() const { return m_solo; }
    void setSolo(int index);

    int columns() const;
    // Where tile `index` lies in the widget; empty while another tile is
    // shown alone.
    QRect tileRect(int index) const;
    // Where the picture of tile `index` is drawn (may stick out of its tile
    // at high zoom); empty without a frame.
    QRect imageRect(int index) const;
    // The tile under `pos`, or -1.
    int tileAt(const QPoint& pos) const;
    // "dev0: X, Y" for the image pixel under `pos`; nothing outside every
    // picture.
    std::optional<QString> pointerText(const QPointF& pos) const;

signals:
    void selectionChanged(int index);
    void soloChanged(int index);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    struct Tile
    {
        QString name;
        QString caption;
        QPixmap frame;
    };

    int captionHeight() const;
    // The part of tile `index` the picture is fitted into.
    QRect pictureArea(int index) const;
    void updateTile(int index);

    QVector<Tile> m_tiles;
    bool m_fit = true;
    double m_zoom = 1.0;
    int m_selected = -1;
    int m_solo = -1;
};
