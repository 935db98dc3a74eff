// SPDX-License-Identifier: MIT
#pragma once

#include <QImage>
#include <QPoint>
#include <QPointF>
#include <QRect>
#include <QSize>
#include <QString>

#include <optional>

// Where an image is drawn and which of its pixels lies under the pointer,
// shared by the single image area and the tiles.
namespace viewgeometry {

// Zoom steps: each step multiplies or divides by ZoomStep, within
// MinZoom..MaxZoom (the tiles) or MinZoom..MaxInspectZoom (the newest
// frame, where single pixels are inspected).
inline constexpr double MinZoom = 0.25;
inline constexpr double MaxZoom = 8.0;
inline constexpr double MaxInspectZoom = 32.0;
inline constexpr double ZoomStep = 1.25;
// From this scale on the pixel grid is drawn over the picture: the zoom
// step next to 1600 % (1.25^12, 1455 %).
inline constexpr double GridZoom = 14.5;

double clampZoom(double zoom, double maxZoom = MaxZoom);
// The next zoom step up (steps > 0) or down (steps < 0) from `zoom`.
double stepZoom(double zoom, int steps, double maxZoom = MaxZoom);

// `image` scaled by `zoom`, at least one pixel each way for a non-empty image.
QSize zoomedSize(const QSize& image, double zoom, double maxZoom = MaxZoom);
// `image` scaled to fit `area` with its aspect ratio kept; empty for an empty
// image or area.
QSize fitSize(const QSize& image, const QSize& area);
// A rectangle of `size` centred in `area` (it may stick out of it).
QRect centredRect(const QSize& size, const QRect& area);

// The image pixel under `pos` when an image of `imageSize` is drawn
// stretched over `target` (both in the same coordinates); nothing when pos
// lies outside the drawn image.
std::optional<QPoint> imagePixelAt(const QPointF& pos, const QRect& target, const QSize& imageSize);
// `image` scaled to `size` by nearest pixel, as an RGB32 image, with the
// same pixel choice as imagePixelAt (pixel x of the result shows image pixel
// x * width / size.width). A gather through a column table: several times
// cheaper than the toolkit's general scaling for 32-bit and 8-bit indexed
// images; other formats are converted first.
QImage scaledNearest(const QImage& image, const QSize& size);

// The read-out text of an image pixel: both coordinates rounded down to an
// even number, "X, Y".
QString pixelText(const QPoint& pixel);

} // namespace viewgeometry
