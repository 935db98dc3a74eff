// SPDX-License-Identifier: MIT
#pragma once

#include "deviceconfig.h"
#include "graylevels.h"

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QRgb>
#include <QSize>
#include <QString>

#include <memory>

class H264Decoder;

// Delay of the most recent time-stamped JPEG frame of any device, in
// seconds. The delay is measured in the GUI thread when a frame is delivered
// and written there just before the frame is handed to the window, whose
// status line reads it; conversion threads never touch it.
extern double g_frameDelay;

// Content types a device reports for its frames.
inline constexpr char RawGrayContentType[] = "video/x-raw-gray";
inline constexpr char JpegContentType[] = "image/jpeg";
inline constexpr char Gray16ContentType[] = "video/x-raw-gray16";
// One H.264 access unit in Annex B form: every NAL unit after a 00 00 00 01
// start code, in decoding order. It carries no time stamp.
inline constexpr char H264ContentType[] = "video/h264";

// Largest image the JPEG path may allocate, in MiB. A header that declares a
// larger picture is rejected before any pixel is decoded. 256 MiB holds an
// 8192 x 8192 frame at 32 bits per pixel.
constexpr int JpegAllocationLimitMiB = 256;

// Most scans a JPEG frame may have. Each scan of a progressive file makes the
// decoder pass over every block of the picture again, so a few kilobytes of
// empty scan headers could keep the GUI thread busy for minutes; encoders
// write about ten scans, a few dozen at most.
constexpr int MaxJpegScans = 100;

// Largest picture, in pixels, that a device's encoded frames may declare
// unless its `max_pixels` key says otherwise: an 8K frame, 7680 x 4320.
inline constexpr qint64 DefaultMaxPixels = DeviceConfig::DefaultMaxPixels;

// Each scan makes the JPEG decoder pass over every pixel once more, so the
// cost of a frame grows with its declared pixels times its scans. A frame is
// refused when that product exceeds this many scans of a picture of
// max_pixels: with the default, an 8K frame in up to 4 scans (baseline files
// have 1 to 3), a 4K frame in up to 16 (encoders write about 10 for a
// progressive file). Empty scans are a dozen bytes each, and at 8000 x 8000
// a hundred of them cost seconds per frame; an 8K frame alone takes most of
// a second on a small machine, so the budget stays close to that.
inline constexpr int JpegScanPassesAtMaxPixels = 4;

// Why a frame was refused before decoding.
struct FrameRefusal
{
    enum class Cause
    {
        None,
        TooManyPixels,  // the declared picture is larger than max_pixels
        OverScanBudget, // declared pixels x scans beyond the budget above
        TooManyScans,   // more than MaxJpegScans scans
    };
    Cause cause = Cause::None;
    qint64 width = 0;
    qint64 height = 0;
    int scans = 0;

    bool refused() const { return cause != Cause::None; }
    // The device log line that names the cause; the same text for every
    // frame refused for the same cause and size.
    QString text(qint64 maxPixels) const;
};

// The picture size an encoded file declares, read from its header without
// decoding it: a JPEG file's frame header, for any other format what the
// toolkit's reader says. An invalid size when the header does not tell.
QSize declaredImageSize(const unsigned char* data, int len);

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

// The same with a device's pixel limit: the declared size is read first, for
// every format, and a frame beyond `maxPixels`, or a JPEG file beyond the
// scan budget, is refused without being decoded; `refusal` (may be null)
// says why. `reuseImage` lets the calling thread decode into the image of
// its previous call when nothing else holds it any more; a conversion
// thread whose results live on elsewhere passes false.
// `displaySize`, when not empty, is the size the picture will be shown at:
// a plain JPEG file is then decoded with libjpeg-turbo's DCT scaling at the
// smallest of 1/2, 1/4 and 1/8 that still covers it (see
// jpegScaleDenominator), every other file at full size.
QImage decodeJpegFrame(const unsigned char* data, int len, qint64 maxPixels, FrameRefusal* refusal,
                       bool reuseImage = true, const QSize& displaySize = QSize());

// The DCT scaling denominator (1, 2, 4 or 8) for a picture of `fullSize`
// shown at `displaySize`: the largest whose scaled picture (sizes rounded
// up) is still at least as wide and as high as the display. 1 (full size)
// for an empty display size and for a display larger than half the
// picture.
int jpegScaleDenominator(const QSize& fullSize, const QSize& displaySize);

// One delivered frame to convert, as the device controller describes it.
struct FrameJob
{
    QString conType; // after contentoverwrite
    const unsigned char* data = nullptr;
    int len = 0;
    int sizeX = 0;
    int sizeY = 0;
    qint64 maxPixels = DefaultMaxPixels;
    // A raw gray image gets pixels of its own instead of referring to
    // `data`, so that the buffer can be reused while the image is shown.
    bool ownPixels = false;
    // 16-bit gray: byte order and the levels it is shown with.
    bool bigEndian = false;
    GrayLevels levels;
    // The size the picture will be shown at; empty: full size. A JPEG
    // picture shown at half its size or less is decoded scaled down.
    QSize displaySize;
    // H.264: the device's decoder, which keeps the stream's reference
    // pictures (frames of one device are decoded one at a time, in
    // order), and whether a frame of the device was lost between the
    // previous frame decoded and this one.
    std::shared_ptr<H264Decoder> h264;
    bool afterGap = false;
};

// What one conversion produced.
struct ConvertedFrame
{
    QImage image;
    // A JPEG frame that failed to decode or made the reader warn; an H.264
    // frame the decoder failed on or flagged.
    bool corrupt = false;
    // An H.264 frame the decoder left out without fault: it waits for the
    // next IDR unit after a gap or fault, or has no picture out yet.
    bool leftOut = false;
    FrameRefusal refusal;
    // 16-bit gray: the raw values (Format_Grayscale16) beside the levelled
    // `image`, and the levels applied.
    QImage raw;
    GrayLevels levels;
    // The picture's own size; larger than the image's when it was decoded
    // scaled down, and then `encoded` holds a copy of the frame's bytes, so
    // that it can be decoded at full size on demand after its transfer
    // buffer was filled again.
    QSize fullSize;
    QByteArray encoded;
    bool scaled() const { return !encoded.isEmpty(); }
};

// The frame of `frame` at full size: its image when it was not scaled,
// otherwise its bytes decoded again without scaling (the image a full-size
// conversion gives, pixel for pixel). For saving, pixel read-out and
// zooming in.
QImage fullResolutionImage(const ConvertedFrame& frame, qint64 maxPixels);

// Converts one frame of type "video/x-raw-gray", "video/x-raw-gray16",
// "image/jpeg" or "video/h264" (on job.h264); any other type gives a null
// image. Thread-safe: it touches nothing but the job's
// bytes and the calling thread's decoder.
ConvertedFrame convertFrame(const FrameJob& job);
