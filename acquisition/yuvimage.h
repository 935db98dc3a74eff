// SPDX-License-Identifier: MIT
#pragma once

#include <QImage>

// One 8-bit planar Y'CbCr picture as a decoder hands it out: three planes,
// each with its own row stride; the chroma planes are subsampled by
// 2^chromaShiftX horizontally and 2^chromaShiftY vertically (4:2:0 is 1, 1).
struct YuvPlanes
{
    const unsigned char* y = nullptr;
    const unsigned char* u = nullptr; // Cb
    const unsigned char* v = nullptr; // Cr
    int yStride = 0;
    int uStride = 0;
    int vStride = 0;
    int width = 0;
    int height = 0;
    int chromaShiftX = 1;
    int chromaShiftY = 1;
    enum class Matrix
    {
        Bt601,
        Bt709,
    };
    Matrix matrix = Matrix::Bt601;
    // Levels 0-255 (JPEG range) instead of 16-235 / 16-240 (video range).
    bool fullRange = false;
};

// Converts the picture to a Format_RGB32 image of its size. Each pixel takes
// the chroma sample of the block it lies in (no interpolation), with the
// matrix and range given, in 16-bit fixed point. A null image when the
// planes are missing, the size is not positive or a shift is not 0 to 2.
QImage yuvPlanesToImage(const YuvPlanes& planes);
