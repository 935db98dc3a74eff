// SPDX-License-Identifier: MIT
#pragma once

#include <QImage>
#include <QRect>
#include <QSize>

class QPainter;

// Painting a picture enlarged far beyond its size: only the exposed part is
// scaled (a whole 1280 x 960 frame at 3200 % would take gigabytes), with the
// same choice of pixel as viewgeometry::imagePixelAt, and from GridZoom on
// with a grid line between neighbouring pixels.
namespace zoomedpaint {

// From this scale on a picture is painted part by part.
inline constexpr double PartialScale = 2.0;

// Whether `image` drawn stretched over `shown` is enlarged enough to be
// painted part by part.
bool isZoomedIn(const QImage& image, const QSize& shown);

// Paints the part `exposed` of `image` drawn stretched over (0, 0, shown).
void paint(QPainter& painter, const QImage& image, const QSize& shown, const QRect& exposed);

} // namespace zoomedpaint
