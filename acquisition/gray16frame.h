// SPDX-License-Identifier: MIT
#pragma once

#include "graylevels.h"

#include <QImage>
#include <QtGlobal>

// Frames of 16-bit gray ("video/x-raw-gray16"): sizeX x sizeY pixels of two
// bytes each, rows packed, no header, little-endian unless the device says
// big. They are kept as raw values (for the read-out and for saving) and
// shown through a window/level mapping onto 8-bit gray.
namespace gray16 {

// The frame's raw values as a Format_Grayscale16 image in the host's byte
// order. A null image when `len` is shorter than 2 x sizeX x sizeY bytes or
// the size is not positive; bytes beyond the frame are not read.
QImage unpack(const unsigned char* data, qint64 len, int sizeX, int sizeY, bool bigEndian);

// The levels of `raw` (Format_Grayscale16) taken from its own values: low
// is the value below which 0.1 % of the pixels lie, high the one below
// which 99.9 % lie, with high > low always (a flat frame gets high = low +
// 1, so that it shows as white when not black).
GrayLevels autoLevels(const QImage& raw);

// The 8-bit gray that `value` is shown as with `low` and `high` fixed:
// black up to low, white from high, rounded linear steps between.
int levelled(int value, int low, int high);

// `raw` (Format_Grayscale16) mapped onto Format_Grayscale8 with `levels`
// (automatic levels are taken from `raw` itself). `used` (may be null) gets
// the low and high applied.
QImage applyLevels(const QImage& raw, const GrayLevels& levels, GrayLevels* used = nullptr);

} // namespace gray16
