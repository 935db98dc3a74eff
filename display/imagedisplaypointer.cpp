// SPDX-License-Identifier: MIT
// imageDisplay: what lies under the pointer, for the tool tip and the
// pixel read-out, in the newest-frame view and in the tiles.
#include "imagedisplay.h"

#include "frameexaminer.h"
#include "tileview.h"
#include "viewgeometry.h"

#include <QMouseEvent>
#include <QScrollArea>
#include <QToolTip>

#include <optional>

QString imageDisplay::pointerText(int x, int y)
{
    // Integer division truncates toward zero, so only non-negative positions
    // lose their lowest bit; the offsets are those of the label in the window.
    return QStringLiteral("%1, %2").arg((x / 2) * 2 - 24).arg((y / 2) * 2 - 34);
}

std::optional<QString> imageDisplay::pointerReadout(const QPoint& pos) const
{
    if (viewMode() == ViewMode::Tiles) {
        const QPoint inTiles = m_tileView->mapFrom(this, pos);
        if (!m_tileView->rect().contains(inTiles))
            return std::nullopt;
        return m_tileView->pointerText(inTiles);
    }
    if (m_statistics.frameCount() == 0)
        return pointerText(pos.x(), pos.y());
    // Through the scroll area's visible part only: the label's scrolled-off
    // part lies under other widgets.
    const QWidget* viewport = ui.scrollArea->viewport();
    if (!viewport->rect().contains(viewport->mapFrom(this, pos)))
        return std::nullopt;
    const ImageLabel* label = ui.mainImage;
    const QSize shown = label->currentPixmap().size();
    const auto pixel = viewgeometry::imagePixelAt(
        label->mapFrom(this, QPointF(pos)), label->rect(),
        m_labelFullSize.isValid() && !shown.isEmpty() ? m_labelFullSize : shown);
    if (!pixel)
        return std::nullopt;
    return viewgeometry::pixelText(*pixel);
}

std::optional<QPoint> imageDisplay::pixelUnder(const QPoint& pos, int* tile) const
{
    *tile = -1;
    if (viewMode() == ViewMode::Tiles)
        return m_tileView->pixelAt(m_tileView->mapFrom(this, QPointF(pos)), tile);
    const QWidget* viewport = ui.scrollArea->viewport();
    if (m_statistics.frameCount() == 0 || !viewport->rect().contains(viewport->mapFrom(this, pos)))
        return std::nullopt;
    const ImageLabel* label = ui.mainImage;
    return viewgeometry::imagePixelAt(label->mapFrom(this, QPointF(pos)), label->rect(),
                                      label->shownSize());
}

void imageDisplay::mouseMoveEvent(QMouseEvent* event)
{
    const QRect area = rect();
    const QPoint pos = event->position().toPoint();
    int tile = -1;
    const std::optional<QPoint> pixel = pixelUnder(pos, &tile);
    m_examiner->pointerAt(tile, pixel);
    const std::optional<QString> text = pointerReadout(pos);
    if (text)
        QToolTip::showText(event->globalPosition().toPoint(), *text, this, area);
    else
        QToolTip::hideText();
    QMainWindow::mouseMoveEvent(event);
}
