// SPDX-License-Identifier: MIT
#pragma once

#include <QImage>
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
// the picture or caption that changed. Frames arrive already scaled to their
// tile, so that painting one is a plain copy.
class TileView : public QWidget
{
    Q_OBJECT

public:
    static constexpr int Margin = 3;
    static constexpr int OutlineWidth = 2;
    // Lines of each caption: the device, its figures, and what is being
    // inspected (pause, the frame stepped to, the pixel value).
    static constexpr int CaptionLines = 3;

    explicit TileView(QWidget* parent = nullptr);

    // One tile per name. Names added behind the present ones add empty
    // tiles; any other list resets to empty tiles with the given names.
    void setDevices(const QStringList& names);
    int count() const { return int(m_tiles.size()); }
    QString name(int index) const;

    // The size at which tile `index` draws a frame of `frameSize` now.
    QSize shownSize(int index, const QSize& frameSize) const;
    // A new frame for tile `index`: `frame` at its own size (kept for
    // saving and the read-out; shared, not copied) and `shown`, the same
    // frame already scaled to shownSize() and ready to be drawn 1:1. When
    // the tile's size changes before the next frame, the tile scales
    // `frame` itself. `fullSize`, when valid, is the picture's own size
    // when `frame` was decoded smaller: the tile is laid out and read out
    // in full-size pixels.
    void setFrame(int index, const QImage& frame, const QImage& shown,
                  const QSize& fullSize = QSize());
    const QImage& frame(int index) const;
    // The picture's own size: `fullSize` as given, or the frame's.
    QSize frameSize(int index) const;
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
    // The image pixel under `pos` and its tile (in `tile`); nothing outside
    // every picture.
    std::optional<QPoint> pixelAt(const QPointF& pos, int* tile) const;

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
        QImage frame;
        QImage shown;
        QSize fullSize;
        // The caption strip as last drawn, kept while text and size stay.
        QPixmap captionStrip;
    };

    int captionHeight() const;
    QRect captionRect(int index) const;
    // Draws the caption strip of tile `t` for a strip of `size`.
    QPixmap renderCaption(const Tile& t, const QSize& size) const;
    // The part of tile `index` the picture is fitted into.
    QRect pictureArea(int index) const;
    void updateTile(int index);

    QVector<Tile> m_tiles;
    bool m_fit = true;
    double m_zoom = 1.0;
    int m_selected = -1;
    int m_solo = -1;
};
