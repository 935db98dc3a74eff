// SPDX-License-Identifier: MIT
#include "viewgeometry.h"

#include <algorithm>
#include <cmath>

namespace viewgeometry {

double clampZoom(double zoom)
{
    if (!std::isfinite(zoom))
        return 1.0;
    return std::clamp(zoom, MinZoom, MaxZoom);
}

double stepZoom(double zoom, int steps)
{
    // Counted in whole steps from 1:1, so that stepping up and down again
    // returns to exactly 100 %.
    const double at = std::round(std::log(clampZoom(zoom)) / std::log(ZoomStep));
    return clampZoom(std::pow(ZoomStep, at + steps));
}

QSize zoomedSize(const QSize& image, double zoom)
{
    if (image.isEmpty())
        return {0, 0};
    const double z = clampZoom(zoom);
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

QString pixelText(const QPoint& pixel)
{
    return QStringLiteral("%1, %2").arg(pixel.x() / 2 * 2).arg(pixel.y() / 2 * 2);
}

} // namespace viewgeometry
