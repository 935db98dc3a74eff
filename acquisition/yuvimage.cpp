// SPDX-License-Identifier: MIT
#include "yuvimage.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr int FixedShift = 16;
constexpr int FixedOne = 1 << FixedShift;

struct Coefficients
{
    int y = 0;  // per luma step above black
    int rv = 0; // Cr to red
    int gu = 0; // Cb to green (subtracted)
    int gv = 0; // Cr to green (subtracted)
    int bu = 0; // Cb to blue
    int black = 0;
};

int fixed(double value)
{
    return int(value * FixedOne + (value < 0 ? -0.5 : 0.5));
}

Coefficients coefficientsFor(YuvPlanes::Matrix matrix, bool fullRange)
{
    const double kr = matrix == YuvPlanes::Matrix::Bt709 ? 0.2126 : 0.299;
    const double kb = matrix == YuvPlanes::Matrix::Bt709 ? 0.0722 : 0.114;
    const double kg = 1.0 - kr - kb;
    const double yScale = fullRange ? 1.0 : 255.0 / 219.0;
    const double cScale = fullRange ? 1.0 : 255.0 / 224.0;
    Coefficients c;
    c.y = fixed(yScale);
    c.rv = fixed(2.0 * (1.0 - kr) * cScale);
    c.gu = fixed(2.0 * kb * (1.0 - kb) / kg * cScale);
    c.gv = fixed(2.0 * kr * (1.0 - kr) / kg * cScale);
    c.bu = fixed(2.0 * (1.0 - kb) * cScale);
    c.black = fullRange ? 0 : 16;
    return c;
}

inline unsigned clampByte(int fixedValue)
{
    return unsigned(std::clamp((fixedValue + FixedOne / 2) >> FixedShift, 0, 255));
}

} // namespace

QImage yuvPlanesToImage(const YuvPlanes& p)
{
    if (p.y == nullptr || p.u == nullptr || p.v == nullptr || p.width <= 0 || p.height <= 0
        || p.chromaShiftX < 0 || p.chromaShiftX > 2 || p.chromaShiftY < 0 || p.chromaShiftY > 2)
        return QImage();
    QImage image(p.width, p.height, QImage::Format_RGB32);
    if (image.isNull())
        return image;
    const Coefficients c = coefficientsFor(p.matrix, p.fullRange);
    for (int row = 0; row < p.height; ++row) {
        const unsigned char* yRow = p.y + std::ptrdiff_t(row) * p.yStride;
        const std::ptrdiff_t chromaRow = std::ptrdiff_t(row >> p.chromaShiftY);
        const unsigned char* uRow = p.u + chromaRow * p.uStride;
        const unsigned char* vRow = p.v + chromaRow * p.vStride;
        auto* out = reinterpret_cast<std::uint32_t*>(image.scanLine(row));
        for (int x = 0; x < p.width; ++x) {
            const int cu = int(uRow[x >> p.chromaShiftX]) - 128;
            const int cv = int(vRow[x >> p.chromaShiftX]) - 128;
            const int luma = (int(yRow[x]) - c.black) * c.y;
            const unsigned r = clampByte(luma + c.rv * cv);
            const unsigned g = clampByte(luma - c.gu * cu - c.gv * cv);
            const unsigned b = clampByte(luma + c.bu * cu);
            out[x] = 0xFF000000U | (r << 16) | (g << 8) | b;
        }
    }
    return image;
}
