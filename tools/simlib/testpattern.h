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

// The 16-bit gray ramp: pixel (x, y) holds (64 x + 16 y + 1) mod 65536, but
// pixel (0, 0), which holds the frame number mod 65536, so that every
// value but that one is known without the frame and both bytes of most
// values differ.
int gray16RampValue(int x, int y, int frameNumber);
// width * height pixels of two bytes, little-endian unless `bigEndian`.
QByteArray renderGray16Ramp(int width, int height, int frameNumber, bool bigEndian);

} // namespace simlib
