// SPDX-License-Identifier: MIT
#include "zoomedpaint.h"

#include "viewgeometry.h"

#include <QColor>
#include <QPainter>
#include <QPen>

#include <algorithm>
#include <vector>

namespace zoomedpaint {

namespace {

// The image pixel that widget column (or row) c shows: c * image / shown,
// rounded down, as imagePixelAt maps the pointer.
int sourceOf(int c, int image, int shown)
{
    return int(qint64(c) * image / shown);
}

// The first widget column showing image pixel p.
int firstColumnOf(int p, int image, int shown)
{
    return int((qint64(p) * shown + image - 1) / image);
}

} // namespace

bool isZoomedIn(const QImage& image, const QSize& shown)
{
    return !image.isNull() && !shown.isEmpty() && shown.width() >= PartialScale * image.width()
           && shown.height() >= PartialScale * image.height();
}

void paint(QPainter& painter, const QImage& image, const QSize& shown, const QRect& exposed)
{
    const QRect area = exposed & QRect(QPoint(0, 0), shown);
    if (image.isNull() || area.isEmpty())
        return;
    const QImage src = image.format() == QImage::Format_RGB32
                           ? image
                           : image.convertToFormat(QImage::Format_RGB32);
    const int iw = src.width();
    const int ih = src.height();
    std::vector<int> columns(std::size_t(area.width()));
    for (int c = 0; c < area.width(); ++c)
        columns[std::size_t(c)] = std::min(iw - 1, sourceOf(area.left() + c, iw, shown.width()));
    QImage part(area.size(), QImage::Format_RGB32);
    for (int r = 0; r < area.height(); ++r) {
        const int sy = std::min(ih - 1, sourceOf(area.top() + r, ih, shown.height()));
        const auto* in = reinterpret_cast<const QRgb*>(src.constScanLine(sy));
        auto* out = reinterpret_cast<QRgb*>(part.scanLine(r));
        for (int c = 0; c < area.width(); ++c)
            out[c] = in[columns[std::size_t(c)]];
    }
    painter.drawImage(area.topLeft(), part);

    if (double(shown.width()) / iw < viewgeometry::GridZoom)
        return;
    // A thin line where one image pixel meets the next; half transparent so
    // that the values stay readable on black and on white.
    painter.save();
    painter.setPen(QPen(QColor(128, 128, 128, 160), 0));
    const int firstX = sourceOf(area.left(), iw, shown.width());
    const int lastX = sourceOf(area.right(), iw, shown.width()) + 1;
    for (int p = firstX; p <= lastX && p <= iw; ++p) {
        const int x = firstColumnOf(p, iw, shown.width());
        if (x >= area.left() && x <= area.right())
            painter.drawLine(x, area.top(), x, area.bottom());
    }
    const int firstY = sourceOf(area.top(), ih, shown.height());
    const int lastY = sourceOf(area.bottom(), ih, shown.height()) + 1;
    for (int p = firstY; p <= lastY && p <= ih; ++p) {
        const int y = firstColumnOf(p, ih, shown.height());
        if (y >= area.top() && y <= area.bottom())
            painter.drawLine(area.left(), y, area.right(), y);
    }
    painter.restore();
}

} // namespace zoomedpaint
