// SPDX-License-Identifier: MIT
#include "tileview.h"

#include "viewgeometry.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

#include <cmath>

namespace {

const QColor Background(32, 32, 32);
const QColor CaptionBackground(16, 16, 16);
const QColor CaptionText(224, 224, 224);
const QColor SelectedOutline(30, 136, 229);

} // namespace

TileView::TileView(QWidget* parent) : QWidget(parent)
{
    // Every pixel is painted in paintEvent; the toolkit need not clear first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TileView::setDevices(const QStringList& names)
{
    // Devices added behind those shown (a start-up in slices) leave their
    // tiles, frames and the selection as they are.
    bool extends = names.size() >= m_tiles.size();
    for (qsizetype i = 0; extends && i < m_tiles.size(); ++i)
        extends = m_tiles[i].name == names[i];
    if (!extends) {
        m_tiles.clear();
        m_selected = -1;
        m_solo = -1;
    }
    for (qsizetype i = m_tiles.size(); i < names.size(); ++i)
        m_tiles.append(Tile{names[i], names[i], QImage(), QImage(), QSize(), QPixmap()});
    update();
}

QString TileView::name(int index) const
{
    return index >= 0 && index < count() ? m_tiles[index].name : QString();
}

QSize TileView::shownSize(int index, const QSize& frameSize) const
{
    const QRect area = pictureArea(index);
    if (area.isEmpty() || frameSize.isEmpty())
        return {0, 0};
    return m_fit ? viewgeometry::fitSize(frameSize, area.size())
                 : viewgeometry::zoomedSize(frameSize, m_zoom);
}

void TileView::setFrame(int index, const QImage& frame, const QImage& shown, const QSize& fullSize)
{
    if (index < 0 || index >= count())
        return;
    // Only the picture changes: its old and new place are repainted, the
    // caption and outline are left alone.
    const QRect before = imageRect(index);
    m_tiles[index].frame = frame;
    m_tiles[index].shown = shown;
    m_tiles[index].fullSize = fullSize.isValid() ? fullSize : frame.size();
    const QRect changed = (before | imageRect(index)) & pictureArea(index);
    if (!changed.isEmpty())
        update(changed);
}

QSize TileView::frameSize(int index) const
{
    return index >= 0 && index < count() ? m_tiles[index].fullSize : QSize();
}

const QImage& TileView::frame(int index) const
{
    static const QImage none;
    return index >= 0 && index < count() ? m_tiles[index].frame : none;
}

void TileView::setCaption(int index, const QString& text)
{
    if (index < 0 || index >= count() || m_tiles[index].caption == text)
        return;
    m_tiles[index].caption = text;
    m_tiles[index].captionStrip = QPixmap();
    const QRect strip = captionRect(index);
    if (!strip.isEmpty())
        update(strip);
}

QString TileView::caption(int index) const
{
    return index >= 0 && index < count() ? m_tiles[index].caption : QString();
}

void TileView::setFit(bool fit)
{
    m_fit = fit;
    update();
}

void TileView::setZoom(double zoom)
{
    m_zoom = viewgeometry::clampZoom(zoom);
    update();
}

void TileView::setSelected(int index)
{
    if (index < -1 || index >= count() || index == m_selected)
        return;
    const int previous = m_selected;
    m_selected = index;
    updateTile(previous);
    updateTile(index);
    emit selectionChanged(index);
}

void TileView::setSolo(int index)
{
    if (index < -1 || index >= count() || index == m_solo)
        return;
    m_solo = index;
    update();
    emit soloChanged(index);
}

int TileView::columns() const
{
    return count() <= 0 ? 1 : int(std::ceil(std::sqrt(double(count()))));
}

QRect TileView::tileRect(int index) const
{
    if (index < 0 || index >= count())
        return {};
    if (m_solo >= 0)
        return index == m_solo ? rect() : QRect();
    const int cols = columns();
    const int rows = (count() + cols - 1) / cols;
    const int col = index % cols;
    const int row = index / cols;
    // Edges computed from the whole width, so that the tiles meet exactly.
    const int x0 = col * width() / cols;
    const int x1 = (col + 1) * width() / cols;
    const int y0 = row * height() / rows;
    const int y1 = (row + 1) * height() / rows;
    return {x0, y0, x1 - x0, y1 - y0};
}

int TileView::captionHeight() const
{
    return CaptionLines * fontMetrics().height() + 4;
}

QRect TileView::pictureArea(int index) const
{
    const QRect tile = tileRect(index);
    if (tile.isEmpty())
        return {};
    return tile.adjusted(Margin, Margin, -Margin, -Margin - captionHeight());
}

QRect TileView::captionRect(int index) const
{
    const QRect tile = tileRect(index);
    if (tile.isEmpty())
        return {};
    return {tile.left() + Margin, tile.bottom() - Margin - captionHeight() + 1,
            tile.width() - 2 * Margin, captionHeight()};
}

QPixmap TileView::renderCaption(const Tile& t, const QSize& size) const
{
    QPixmap strip(size);
    strip.fill(CaptionBackground);
    QPainter painter(&strip);
    painter.setFont(font());
    painter.setPen(CaptionText);
    const int lineHeight = fontMetrics().height();
    const QStringList lines = t.caption.split(QLatin1Char('\n'));
    for (int l = 0; l < std::min<int>(2, int(lines.size())); ++l) {
        const QRect line(4, 2 + l * lineHeight, size.width() - 8, lineHeight);
        painter.drawText(line, Qt::AlignLeft | Qt::AlignVCenter,
                         fontMetrics().elidedText(lines[l], Qt::ElideRight, line.width()));
    }
    return strip;
}

QRect TileView::imageRect(int index) const
{
    const QRect area = pictureArea(index);
    const QImage& picture = frame(index);
    if (area.isEmpty() || picture.isNull())
        return {};
    return viewgeometry::centredRect(shownSize(index, frameSize(index)), area);
}

int TileView::tileAt(const QPoint& pos) const
{
    for (int i = 0; i < count(); ++i) {
        if (tileRect(i).contains(pos))
            return i;
    }
    return -1;
}

std::optional<QPoint> TileView::pixelAt(const QPointF& pos, int* tile) const
{
    const int index = tileAt(pos.toPoint());
    if (index < 0 || !pictureArea(index).contains(pos.toPoint()))
        return std::nullopt;
    if (tile != nullptr)
        *tile = index;
    return viewgeometry::imagePixelAt(pos, imageRect(index), frame(index).size());
}

std::optional<QString> TileView::pointerText(const QPointF& pos) const
{
    const int index = tileAt(pos.toPoint());
    if (index < 0)
        return std::nullopt;
    // A picture larger than its tile is cut off at the picture area.
    if (!pictureArea(index).contains(pos.toPoint()))
        return std::nullopt;
    const auto pixel = viewgeometry::imagePixelAt(pos, imageRect(index), frameSize(index));
    if (!pixel)
        return std::nullopt;
    return QStringLiteral("%1: %2").arg(name(index), viewgeometry::pixelText(*pixel));
}

void TileView::updateTile(int index)
{
    const QRect tile = tileRect(index);
    if (!tile.isEmpty())
        update(tile);
}

void TileView::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    const QRect dirty = event->rect();
    for (int i = 0; i < count(); ++i) {
        const QRect tile = tileRect(i);
        if (!tile.intersects(dirty))
            continue;
        Tile& t = m_tiles[i];
        const QRect area = pictureArea(i);
        const QRect picture = imageRect(i) & area;
        // The background only where no picture covers it: the bands above,
        // below, left and right of the picture.
        if (!picture.contains(tile & dirty)) {
            const QRect inside = picture.isEmpty() ? QRect(tile.center(), QSize(0, 0)) : picture;
            const QRect bands[] = {
                QRect(QPoint(tile.left(), tile.top()), QPoint(tile.right(), inside.top() - 1)),
                QRect(QPoint(tile.left(), inside.bottom() + 1),
                      QPoint(tile.right(), tile.bottom())),
                QRect(QPoint(tile.left(), inside.top()),
                      QPoint(inside.left() - 1, inside.bottom())),
                QRect(QPoint(inside.right() + 1, inside.top()),
                      QPoint(tile.right(), inside.bottom())),
            };
            for (const QRect& band : bands)
                painter.fillRect(band & dirty, Background);
        }
        if (!picture.isEmpty() && picture.intersects(dirty)) {
            const QRect target = imageRect(i);
            // Resized, refitted or zoomed since the frame came: scaled here
            // from the frame itself, fast (nearest pixel) as while streaming.
            if (t.shown.size() != target.size())
                t.shown = viewgeometry::scaledNearest(t.frame, target.size());
            painter.save();
            painter.setClipRect(area);
            painter.drawImage(target.topLeft(), t.shown);
            painter.restore();
        }
        const QRect strip = captionRect(i);
        if (strip.intersects(dirty)) {
            if (t.captionStrip.size() != strip.size())
                t.captionStrip = renderCaption(t, strip.size());
            painter.drawPixmap(strip.topLeft(), t.captionStrip);
        }
        if (i == m_selected) {
            painter.setPen(QPen(SelectedOutline, OutlineWidth));
            painter.setBrush(Qt::NoBrush);
            painter.drawRect(QRectF(tile).adjusted(1, 1, -1, -1));
        }
    }
    // Beside the tiles: a last row that is not full leaves room at its end.
    if (m_solo < 0 && count() > 0) {
        const QRect last = tileRect(count() - 1);
        painter.fillRect(
            QRect(QPoint(last.right() + 1, last.top()), QPoint(width() - 1, height() - 1)) & dirty,
            Background);
    }
    if (count() == 0)
        painter.fillRect(dirty, Background);
}

void TileView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        const int index = tileAt(event->position().toPoint());
        if (index >= 0)
            setSelected(index);
    }
    // Left unaccepted, so that dragging also reaches the window's read-out.
    QWidget::mousePressEvent(event);
}

void TileView::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mouseDoubleClickEvent(event);
        return;
    }
    const int index = tileAt(event->position().toPoint());
    if (m_solo >= 0)
        setSolo(-1);
    else if (index >= 0)
        setSolo(index);
    event->accept();
}
