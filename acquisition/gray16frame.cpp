// SPDX-License-Identifier: MIT
#include "gray16frame.h"

#include <QtEndian>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace gray16 {

QImage unpack(const unsigned char* data, qint64 len, int sizeX, int sizeY, bool bigEndian)
{
    if (data == nullptr || sizeX <= 0 || sizeY <= 0 || len < qint64(sizeX) * sizeY * 2)
        return QImage();
    QImage image(sizeX, sizeY, QImage::Format_Grayscale16);
    if (image.isNull())
        return image;
    const qsizetype rowBytes = qsizetype(sizeX) * 2;
    for (int y = 0; y < sizeY; ++y) {
        const unsigned char* in = data + qsizetype(y) * rowBytes;
        auto* out = reinterpret_cast<quint16*>(image.scanLine(y));
        if (bigEndian) {
            for (int x = 0; x < sizeX; ++x)
                out[x] = qFromBigEndian<quint16>(in + 2 * qsizetype(x));
        } else {
            for (int x = 0; x < sizeX; ++x)
                out[x] = qFromLittleEndian<quint16>(in + 2 * qsizetype(x));
        }
    }
    return image;
}

GrayLevels autoLevels(const QImage& raw)
{
    GrayLevels levels;
    levels.automatic = true;
    if (raw.isNull() || raw.format() != QImage::Format_Grayscale16)
        return levels;
    // One count per possible value: two passes over the frame's values and
    // one over the counts, whatever the picture.
    std::vector<std::uint32_t> counts(std::size_t(GrayLevels::MaxValue) + 1, 0);
    for (int y = 0; y < raw.height(); ++y) {
        const auto* row = reinterpret_cast<const quint16*>(raw.constScanLine(y));
        for (int x = 0; x < raw.width(); ++x)
            ++counts[row[x]];
    }
    const qint64 pixels = qint64(raw.width()) * raw.height();
    // The 0-based ranks of the two points in the sorted values.
    const qint64 lowRank = pixels / 1000;
    const qint64 highRank = std::max<qint64>(lowRank, pixels - 1 - pixels / 1000);
    qint64 seen = 0;
    int low = -1;
    int high = GrayLevels::MaxValue;
    for (int v = 0; v <= GrayLevels::MaxValue; ++v) {
        seen += counts[std::size_t(v)];
        if (low < 0 && seen > lowRank)
            low = v;
        if (seen > highRank) {
            high = v;
            break;
        }
    }
    low = std::max(low, 0);
    if (high <= low) {
        if (low == GrayLevels::MaxValue)
            low = GrayLevels::MaxValue - 1;
        high = low + 1;
    }
    levels.low = low;
    levels.high = high;
    return levels;
}

int levelled(int value, int low, int high)
{
    if (value <= low)
        return 0;
    if (value >= high)
        return 255;
    const qint64 span = qint64(high) - low;
    return int((qint64(value - low) * 255 + span / 2) / span);
}

QImage applyLevels(const QImage& raw, const GrayLevels& levels, GrayLevels* used)
{
    if (raw.isNull() || raw.format() != QImage::Format_Grayscale16)
        return QImage();
    const GrayLevels applied = levels.automatic ? autoLevels(raw) : levels;
    if (used != nullptr)
        *used = applied;
    // One table entry per value: a lookup per pixel instead of a division.
    std::vector<unsigned char> table(std::size_t(GrayLevels::MaxValue) + 1);
    for (int v = 0; v <= GrayLevels::MaxValue; ++v)
        table[std::size_t(v)] = static_cast<unsigned char>(levelled(v, applied.low, applied.high));
    QImage shown(raw.width(), raw.height(), QImage::Format_Grayscale8);
    if (shown.isNull())
        return shown;
    for (int y = 0; y < raw.height(); ++y) {
        const auto* in = reinterpret_cast<const quint16*>(raw.constScanLine(y));
        unsigned char* out = shown.scanLine(y);
        for (int x = 0; x < raw.width(); ++x)
            out[x] = table[in[x]];
    }
    return shown;
}

} // namespace gray16
