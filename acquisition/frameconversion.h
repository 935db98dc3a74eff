// SPDX-License-Identifier: MIT
#pragma once

#include <QImage>
#include <QList>
#include <QRgb>

// Delay of the most recent time-stamped JPEG frame of any device, in
// seconds. Written by the frame conversion, read by the status line; both run
// in the GUI thread.
extern double g_frameDelay;

// Content types a device reports for its frames.
inline constexpr char RawGrayContentType[] = "video/x-raw-gray";
inline constexpr char JpegContentType[] = "image/jpeg";

// Largest image the JPEG path may allocate, in MiB. A header that declares a
// larger picture is rejected before any pixel is decoded. 256 MiB holds an
// 8192 x 8192 frame at 32 bits per pixel.
constexpr int JpegAllocationLimitMiB = 256;

// Most scans a JPEG frame may have. Each scan of a progressive file makes the
// decoder pass over every block of the picture again, so a few kilobytes of
// empty scan headers could keep the GUI thread busy for minutes; encoders
// write about ten scans, a few dozen at most.
constexpr int MaxJpegScans = 100;

// The shared 256-entry gray colour table: entry i is qRgb(i, i, i). Built on
// first use, lives until the process ends.
const QList<QRgb>& grayColorTable();

// Wraps a raw 8-bit gray frame of sizeX x sizeY pixels, packed rows of sizeX
// bytes, as an indexed image over `data` without copying. The image refers to
// `data`, which must outlive it. Returns a null image when `len` is shorter
// than the frame or the size is not positive.
QImage wrapGrayFrame(unsigned char* data, qint64 len, int sizeX, int sizeY);

// Decodes one encoded image file (normally JPEG; the format is detected from
// the data) with the allocation limit above. Returns a null image when the data
// cannot be decoded, declares a picture beyond the limit or holds more than
// MaxJpegScans scans.
QImage decodeJpegFrame(const unsigned char* data, int len);
