// SPDX-License-Identifier: MIT
#include "viewgeometry.h"

#include <QList>

#include <algorithm>
#include <cmath>
#include <vector>

namespace viewgeometry {

double clampZoom(double zoom, double maxZoom)
{
    if (!std::isfinite(zoom))
        return 1.0;
    return std::clamp(zoom, MinZoom, maxZoom);
}

double stepZoom(double zoom, int steps, double maxZoom)
{
    // Counted in whole steps from 1:1, so that stepping up and down again
    // returns to exactly 100 %.
    const double at = std::round(std::log(clampZoom(zoom, maxZoom)) / std::log(ZoomStep));
    return clampZoom(std::pow(ZoomStep, at + steps), maxZoom);
}

QSize zoomedSize(const QSize& image, double zoom, double maxZoom)
{
    if (image.isEmpty())
        return {0, 0};
    const double z = clampZoom(zoom, maxZoom);
    return {std::max(1, int(std::lround(image.width() * z))),
            std::max(1, int(std::lround(image.height() * z)))};
}

QSize fitSize(const QSize& image, const QSize& area)
{
    if (image.isEmpty() || area.isEmpty())
        return {0, 0};
    return image.scaled(area, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}

QRect centredRect(const QSize& size, const QRect& area)
{
    return {area.x() + (area.width() - size.width()) / 2,
            area.y() + (area.height() - size.height()) / 2, size.width(), size.height()};
}

std::optional<QPoint> imagePixelAt(const QPointF& pos, const QRect& target, const QSize& imageSize)
{
    if (imageSize.isEmpty() || target.isEmpty())
        return std::nullopt;
    // Scaled back into image pixels and truncated: every image pixel owns
    // the [p, p + 1) stretch of its scaled copy.
    const double x = (pos.x() - target.x()) * imageSize.width() / target.width();
    const double y = (pos.y() - target.y()) * imageSize.height() / target.height();
    if (!(x >= 0.0 && y >= 0.0 && x < imageSize.width() && y < imageSize.height()))
        return std::nullopt;
    return QPoint(int(x), int(y));
}

QImage scaledNearest(const QImage& image, const QSize& size)
{
    if (image.isNull() || size.isEmpty())
        return {};
    const bool indexed = image.format() == QImage::Format_Indexed8;
    const QImage src = indexed || image.format() == QImage::Format_RGB32
                               || image.format() == QImage::Format_ARGB32
                               || image.format() == QImage::Format_ARGB32_Premultiplied
                           ? image
                           : image.convertToFormat(QImage::Format_RGB32);
    QImage out(size, QImage::Format_RGB32);
    if (out.isNull())
        return {};
    const int sw = src.width();
    const int sh = src.height();
    std::vector<int> columns(std::size_t(size.width()));
    for (int x = 0; x < size.width(); ++x)
        columns[std::size_t(x)] = int(qint64(x) * sw / size.width());
    // Raw gray frames carry their gray ramp as colour table; an image
    // without one reads as gray.
    QList<QRgb> table = indexed ? src.colorTable() : QList<QRgb>();
    if (indexed && table.size() < 256) {
        const qsizetype known = table.size();
        table.resize(256);
        for (qsizetype i = known; i < 256; ++i)
            table[i] = qRgb(int(i), int(i), int(i));
    }
    for (int y = 0; y < size.height(); ++y) {
        const int sy = int(qint64(y) * sh / size.height());
        auto* dst = reinterpret_cast<QRgb*>(out.scanLine(y));
        if (indexed) {
            const uchar* row = src.constScanLine(sy);
            for (int x = 0; x < size.width(); ++x)
                dst[x] = table[row[columns[std::size_t(x)]]] | 0xff000000u;
        } else {
            const auto* row = reinterpret_cast<const QRgb*>(src.constScanLine(sy));
            for (int x = 0; x < size.width(); ++x)
                dst[x] = row[columns[std::size_t(x)]] | 0xff000000u;
        }
    }
    return out;
}

QString pixelText(const QPoint& pixel)
{
    return QStringLiteral("%1, %2").arg(pixel.x() / 2 * 2).arg(pixel.y() / 2 * 2);
}

} // namespace viewgeometry
