// SPDX-License-Identifier: MIT
#include "pixelvalue.h"

#include <QColor>

QString pixelValueText(const QImage& image, const QPoint& pixel)
{
    if (image.isNull() || !image.valid(pixel))
        return QString();
    switch (image.format()) {
    case QImage::Format_Grayscale16: {
        const auto* row = reinterpret_cast<const quint16*>(image.constScanLine(pixel.y()));
        return QStringLiteral("raw %1").arg(row[pixel.x()]);
    }
    case QImage::Format_Grayscale8:
        return QStringLiteral("gray %1").arg(image.constScanLine(pixel.y())[pixel.x()]);
    default:
        break;
    }
    const QRgb rgb = image.pixel(pixel);
    if (image.format() == QImage::Format_Indexed8 && qRed(rgb) == qGreen(rgb)
        && qGreen(rgb) == qBlue(rgb))
        return QStringLiteral("gray %1").arg(qRed(rgb));
    return QStringLiteral("R %1 G %2 B %3").arg(qRed(rgb)).arg(qGreen(rgb)).arg(qBlue(rgb));
}

QString pixelReadoutText(const QImage& image, const QPoint& pixel)
{
    const QString value = pixelValueText(image, pixel);
    if (value.isEmpty())
        return QString();
    return QStringLiteral("%1, %2: %3").arg(pixel.x()).arg(pixel.y()).arg(value);
}
