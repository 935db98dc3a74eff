// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>

// A moving test picture: diagonal colour bands and a bar that move with the
// frame number, and the frame number itself drawn as block digits in the top
// left corner (and again in the bottom right one where there is room), large
// and axis-aligned enough to survive JPEG compression and to be read back
// from a decoded frame.
namespace simlib {

inline constexpr int PatternDigits = 6; // the number drawn is frame % 10^6

// width * height * components bytes (components 3: RGB, 1: gray).
QByteArray renderTestPattern(int width, int height, int components, int frameNumber);

// Reads the number drawn by renderTestPattern from a decoded picture of the
// same size; `pixels` rows are `stride` bytes apart. Returns -1 when a digit
// area does not hold a readable number, when the two copies differ, or when
// the picture is too small.
int readPatternNumber(const unsigned char* pixels, int width, int height, int components,
                      int stride);

} // namespace simlib
