// SPDX-License-Identifier: MIT
#include "testpattern.h"

#include <QList>

#include <algorithm>
#include <cstddef>

namespace simlib {

namespace {

// 3 x 5 block glyphs, one row per byte, bit 2 is the left column.
constexpr unsigned char Glyphs[10][5] = {
    {7, 5, 5, 5, 7}, // 0
    {2, 6, 2, 2, 7}, // 1
    {7, 1, 7, 4, 7}, // 2
    {7, 1, 7, 1, 7}, // 3
    {5, 5, 7, 1, 1}, // 4
    {7, 4, 7, 1, 7}, // 5
    {7, 4, 7, 5, 7}, // 6
    {7, 1, 2, 2, 2}, // 7
    {7, 5, 7, 5, 7}, // 8
    {7, 5, 7, 1, 7}, // 9
};

// Each digit takes 4 x 5 blocks (one column of space); one block of margin
// surrounds the number. Blocks are 8 pixels where the picture is large
// enough, so that they line up with JPEG's 8 x 8 blocks.
constexpr int CellsWide = PatternDigits * 4 + 1;
constexpr int CellsHigh = 7;

int blockSize(int width, int height)
{
    return std::min({8, width / CellsWide, height / CellsHigh});
}

struct Origin
{
    int x = 0;
    int y = 0;
};

// The number is drawn twice, top left and bottom right (on the block grid),
// when the picture holds two copies apart: a frame whose lower part is
// damaged or decoded with the wrong header then reads as no number.
QList<Origin> origins(int width, int height, int s)
{
    QList<Origin> list{{0, 0}};
    const int x = (width - CellsWide * s) / s * s;
    const int y = (height - CellsHigh * s) / s * s;
    if (x >= CellsWide * s || y >= CellsHigh * s)
        list.append({x, y});
    return list;
}

bool cellLit(const int* digits, int cx, int cy)
{
    const int gy = cy - 1;
    const int gx = (cx - 1) % 4;
    const int digit = (cx - 1) / 4;
    if (cx < 1 || gy < 0 || gy >= 5 || gx >= 3 || digit >= PatternDigits)
        return false;
    return (Glyphs[digits[digit]][gy] >> (2 - gx)) & 1;
}

} // namespace

QByteArray renderTestPattern(int width, int height, int components, int frameNumber)
{
    if (width <= 0 || height <= 0 || (components != 1 && components != 3))
        return {};
    QByteArray image(qsizetype(width) * height * components, '\0');
    auto* px = reinterpret_cast<unsigned char*>(image.data());
    const int shift = frameNumber * 4;
    const int barX = (frameNumber * 8) % width;
    const int barW = std::max(1, width / 16);
    for (int y = 0; y < height; ++y) {
        unsigned char* row = px + qsizetype(y) * width * components;
        for (int x = 0; x < width; ++x) {
            const int band = ((x + y + shift) / 32) % 6;
            int r = 40 + 40 * (band % 3);
            int g = 60 + 30 * band;
            int b = 200 - 30 * band;
            if (x >= barX && x < barX + barW)
                r = g = b = 230;
            if (components == 3) {
                unsigned char* pixel = row + 3 * std::ptrdiff_t(x);
                pixel[0] = static_cast<unsigned char>(r);
                pixel[1] = static_cast<unsigned char>(g);
                pixel[2] = static_cast<unsigned char>(b);
            } else {
                row[x] = static_cast<unsigned char>((r * 77 + g * 150 + b * 29) >> 8);
            }
        }
    }

    const int s = blockSize(width, height);
    if (s < 1)
        return image;
    unsigned number = unsigned(frameNumber < 0 ? -frameNumber : frameNumber) % 1000000u;
    int digits[PatternDigits];
    for (int i = PatternDigits - 1; i >= 0; --i) {
        digits[i] = int(number % 10);
        number /= 10;
    }
    for (const Origin& o : origins(width, height, s)) {
        for (int cy = 0; cy < CellsHigh; ++cy) {
            for (int cx = 0; cx < CellsWide; ++cx) {
                const unsigned char v = cellLit(digits, cx, cy) ? 255 : 0;
                for (int y = o.y + cy * s; y < o.y + (cy + 1) * s; ++y) {
                    unsigned char* row = px + qsizetype(y) * width * components;
                    for (int x = o.x + cx * s; x < o.x + (cx + 1) * s; ++x) {
                        for (int c = 0; c < components; ++c)
                            row[x * components + c] = v;
                    }
                }
            }
        }
    }
    return image;
}

int readPatternNumber(const unsigned char* pixels, int width, int height, int components,
                      int stride)
{
    const int s = blockSize(width, height);
    if (!pixels || s < 1 || (components != 1 && components != 3 && components != 4))
        return -1;
    int result = -1;
    for (const Origin& o : origins(width, height, s)) {
        auto lit = [&](int cx, int cy) {
            const int x = o.x + cx * s + s / 2;
            const int y = o.y + cy * s + s / 2;
            const unsigned char* p = pixels + qsizetype(y) * stride + qsizetype(x) * components;
            int sum = 0;
            for (int c = 0; c < std::min(components, 3); ++c)
                sum += p[c];
            return sum / std::min(components, 3) >= 128;
        };
        int number = 0;
        for (int d = 0; d < PatternDigits; ++d) {
            unsigned char rows[5] = {};
            for (int gy = 0; gy < 5; ++gy) {
                for (int gx = 0; gx < 3; ++gx) {
                    if (lit(1 + d * 4 + gx, 1 + gy))
                        rows[gy] |= static_cast<unsigned char>(1 << (2 - gx));
                }
            }
            int found = -1;
            for (int g = 0; g < 10; ++g) {
                if (std::equal(rows, rows + 5, Glyphs[g]))
                    found = g;
            }
            if (found < 0)
                return -1;
            number = number * 10 + found;
        }
        if (result >= 0 && number != result)
            return -1; // the two copies disagree
        result = number;
    }
    return result;
}

int gray16RampValue(int x, int y, int frameNumber)
{
    if (x == 0 && y == 0)
        return frameNumber & 0xFFFF;
    return int((64LL * x + 16LL * y + 1) & 0xFFFF);
}

QByteArray renderGray16Ramp(int width, int height, int frameNumber, bool bigEndian)
{
    if (width <= 0 || height <= 0)
        return QByteArray();
    QByteArray out(qsizetype(width) * height * 2, Qt::Uninitialized);
    auto* p = reinterpret_cast<unsigned char*>(out.data());
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int v = gray16RampValue(x, y, frameNumber);
            p[0] = static_cast<unsigned char>(bigEndian ? v >> 8 : v & 0xFF);
            p[1] = static_cast<unsigned char>(bigEndian ? v & 0xFF : v >> 8);
            p += 2;
        }
    }
    return out;
}

} // namespace simlib
