// SPDX-License-Identifier: MIT
#pragma once

#include <QImage>
#include <QPoint>
#include <QString>

// The value of one image pixel as the read-out shows it: "raw N" for a
// 16-bit gray frame (its raw value), "gray N" for 8-bit gray (also an
// indexed image whose colour there is a gray), "R r G g B b" for colour.
// Empty outside the image.
QString pixelValueText(const QImage& image, const QPoint& pixel);

// The read-out line: the pixel's own coordinates and its value, "X, Y: raw
// N". Empty outside the image.
QString pixelReadoutText(const QImage& image, const QPoint& pixel);
