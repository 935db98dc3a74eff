// SPDX-License-Identifier: MIT
#include "frameconversion.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>

#include "gray16frame.h"
#include "h264decoder.h"
#include "jpegsegments.h"
#include "jpegwarnings.h"

#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cstring>

double g_frameDelay = 0.0;

namespace {

// Resolution of a JFIF APP0 segment, as the toolkit's JPEG reader applies
// it: units 1 (dots per inch) and 2 (dots per cm) set the image's
// resolution, anything else leaves the default.
struct JfifDensity
{
    int unit = 0;
    int x = 0;
    int y = 0;
};

// Walks the segments from SOI to SOS. Returns true only for a file whose
// decoded image the toolkit's reader would not add anything to: no comment
// (read as image text), no APP1 (Exif orientation), APP2 (ICC colour space)
// or APP14 (Adobe colour transform), one JFIF APP0 at most, and every
// segment whole.
bool plainJpegHeader(const unsigned char* data, int len, JfifDensity* density)
{
    if (len < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return false;
    jpeg::SegmentWalker walker(data, len, 2);
    jpeg::Segment s;
    int jfifSegments = 0;
    while (walker.next(&s)) {
        if (s.code == jpeg::MarkerSOS)
            return true; // the scan follows
        if (s.code == jpeg::MarkerTEM || (s.code >= jpeg::MarkerRST0 && s.code <= jpeg::MarkerSOI))
            return false; // no stand-alone marker belongs before the scan
        if (s.code == 0xE1 || s.code == 0xE2 || s.code == 0xEE || s.code == 0xFE)
            return false;
        if (!walker.fits(s))
            return false;
        const unsigned char* body = data + s.offset;
        if (s.code == 0xE0 && s.length >= 14 && std::memcmp(body, "JFIF", 5) == 0) {
            if (++jfifSegments > 1)
                return false;
            density->unit = body[7];
            density->x = (body[8] << 8) | body[9];
            density->y = (body[10] << 8) | body[11];
        }
    }
    // The walk also ends at an SOS marker whose length field is cut off or
    // below 2; the scan is reached all the same.
    long long p = walker.position();
    if (p >= len || data[p] != 0xFF)
        return false;
    while (p < len && data[p] == 0xFF)
        ++p;
    return p < len && data[p] == jpeg::MarkerSOS;
}

// libjpeg-turbo's decompressor and the image it decodes into, kept per
// thread so that a stream of frames reuses one allocation.
struct FastJpegDecoder
{
    tjhandle handle = tjInitDecompress();
    QImage image;
    // Without reuse: images handed out earlier, decoded into again once
    // their last other holder has let go of them. A stream of frames then
    // needs no fresh allocation (and no page faults) per frame.
    std::array<QImage, 2> pool;
    ~FastJpegDecoder()
    {
        if (handle != nullptr)
            tjDestroy(handle);
    }
};

// Decodes a plain baseline or progressive YCbCr or grayscale JPEG with the
// same library, the same settings (accurate integer DCT, smooth upsampling)
// and the same output format as the toolkit's reader, straight into the
// image's rows. Returns false, leaving *out alone, for every file it does not
// handle exactly so (the toolkit's reader then decides), including any that
// libjpeg-turbo reports a warning or an error for.
bool decodePlainJpeg(const unsigned char* data, int len, QImage* out, bool reuseImage,
                     const QSize& displaySize)
{
    JfifDensity density;
    if (!plainJpegHeader(data, len, &density))
        return false;
    thread_local FastJpegDecoder decoder;
    if (decoder.handle == nullptr)
        return false;
    int width = 0;
    int height = 0;
    int subsampling = 0;
    int colorspace = 0;
    if (tjDecompressHeader3(decoder.handle, data, static_cast<unsigned long>(len), &width, &height,
                            &subsampling, &colorspace)
        != 0)
        return false;
    QImage::Format format;
    int pixelFormat;
    if (colorspace == TJCS_YCbCr) {
        format = QImage::Format_RGB32; // 0xffRRGGBB: B, G, R, 0xff in memory
        pixelFormat = TJPF_BGRX;
    } else if (colorspace == TJCS_GRAY) {
        format = QImage::Format_Grayscale8;
        pixelFormat = TJPF_GRAY;
    } else {
        return false;
    }
    // Images near the reader's allocation limit are left to the reader, so
    // that its bound decides exactly as before.
    const qint64 bytes = qint64(width) * height * (format == QImage::Format_RGB32 ? 4 : 1);
    if (width <= 0 || height <= 0 || bytes > (qint64(JpegAllocationLimitMiB) << 20) / 2)
        return false;
    // Scaled in the inverse DCT: asked for the scaled size, the library
    // picks the scaling factor that gives it.
    const int denominator = jpegScaleDenominator(QSize(width, height), displaySize);
    width = (width + denominator - 1) / denominator;
    height = (height + denominator - 1) / denominator;

    // Without reuse the image is the caller's alone: the next call never
    // writes into pixels that anyone may still be reading. A pooled image is
    // taken only when nothing but the pool refers to it any more.
    QImage* pooled = nullptr;
    if (!reuseImage) {
        for (QImage& candidate : decoder.pool) {
            if (!candidate.isNull() && !candidate.isDetached())
                continue;
            if (pooled == nullptr
                || (candidate.size() == QSize(width, height) && candidate.format() == format))
                pooled = &candidate;
        }
    }
    QImage fresh;
    QImage& image = reuseImage ? decoder.image : (pooled != nullptr ? *pooled : fresh);
    if (image.size() != QSize(width, height) || image.format() != format)
        image = QImage(width, height, format);
    if (image.isNull())
        return false;
    // bits() detaches when an earlier result still shares the pixels.
    if (tjDecompress2(decoder.handle, data, static_cast<unsigned long>(len), image.bits(), width,
                      int(image.bytesPerLine()), height, pixelFormat, 0)
        != 0)
        return false; // also on a warning: a damaged file is the reader's

    if (density.unit == 1) {
        image.setDotsPerMeterX(int(100. * density.x / 2.54));
        image.setDotsPerMeterY(int(100. * density.y / 2.54));
    } else if (density.unit == 2) {
        image.setDotsPerMeterX(int(100. * density.x));
        image.setDotsPerMeterY(int(100. * density.y));
    } else {
        const QImage blank(1, 1, format);
        image.setDotsPerMeterX(blank.dotsPerMeterX());
        image.setDotsPerMeterY(blank.dotsPerMeterY());
    }
    *out = image;
    return true;
}

// Counts the scans of a JPEG file, stopping once `limit` is passed: the
// segments are walked up to each scan header, the entropy-coded data behind
// it is stepped over to the next marker, and so on to EOI or the end.
int countScans(const unsigned char* data, int len, int limit)
{
    int scans = 0;
    int pos = 0;
    while (scans <= limit && pos < len) {
        jpeg::SegmentWalker walker(data, len, pos);
        jpeg::Segment segment;
        while (walker.next(&segment)) {
        }
        if (!walker.reachedScan())
            break;
        ++scans;
        pos = jpeg::skipEntropyCoded(data, len, int(std::min<long long>(walker.position(), len)));
    }
    return scans;
}

bool isJpegData(const unsigned char* data, int len)
{
    return len >= 2 && data[0] == 0xFF && data[1] == jpeg::MarkerSOI;
}

// The size in the first frame header (SOF0-SOF15 but DHT, JPG and DAC) before
// the first scan; invalid when there is none or it is cut off.
QSize jpegDeclaredSize(const unsigned char* data, int len)
{
    jpeg::SegmentWalker walker(data, len, 0);
    jpeg::Segment segment;
    while (walker.next(&segment)) {
        const int c = segment.code;
        const bool frameHeader = c >= 0xC0 && c <= 0xCF && c != 0xC4 && c != 0xC8 && c != 0xCC;
        if (!frameHeader)
            continue;
        if (segment.length < 5 || !walker.fits(segment))
            return QSize();
        const unsigned char* p = data + segment.offset;
        return QSize((p[3] << 8) | p[4], (p[1] << 8) | p[2]);
    }
    return QSize();
}

qint64 pixelsOf(const QSize& size)
{
    return size.isValid() ? qint64(size.width()) * qint64(size.height()) : 0;
}

// The allocation limit, in MiB, for a picture of at most `maxPixels` at 32
// bits per pixel, never above the toolkit-wide JPEG limit.
int allocationLimitMiB(qint64 maxPixels)
{
    const qint64 mib = (std::max<qint64>(maxPixels, 1) * 4 + (1 << 20) - 1) >> 20;
    return int(std::min<qint64>(mib, JpegAllocationLimitMiB));
}

} // namespace

const QList<QRgb>& grayColorTable()
{
    static const QList<QRgb> table = [] {
        QList<QRgb> t;
        t.reserve(256);
        for (int i = 0; i < 256; ++i)
            t.append(qRgb(i, i, i));
        return t;
    }();
    return table;
}

QImage wrapGrayFrame(unsigned char* data, qint64 len, int sizeX, int sizeY)
{
    if (data == nullptr || sizeX <= 0 || sizeY <= 0 || len < qint64(sizeX) * qint64(sizeY))
        return QImage();
    // Rows are packed: each holds exactly sizeX bytes. The explicit row length
    // keeps the image from reading rows at a stride padded to 4 bytes, which
    // would shear the picture and read beyond the frame.
    QImage image(data, sizeX, sizeY, qsizetype(sizeX), QImage::Format_Indexed8);
    image.setColorTable(grayColorTable());
    return image;
}

QString FrameRefusal::text(qint64 maxPixels) const
{
    switch (cause) {
    case Cause::TooManyPixels:
        return QStringLiteral("frame declares %1 x %2 pixels, more than max_pixels (%3); such "
                              "frames are not decoded")
            .arg(width)
            .arg(height)
            .arg(maxPixels);
    case Cause::OverScanBudget:
        return QStringLiteral("JPEG frame of %1 x %2 pixels in %3 scans exceeds the decoding "
                              "budget of %4 scans of max_pixels (%5); such frames are not decoded")
            .arg(width)
            .arg(height)
            .arg(scans)
            .arg(JpegScanPassesAtMaxPixels)
            .arg(maxPixels);
    case Cause::TooManyScans:
        return QStringLiteral("JPEG frame with more than %1 scans; such frames are not decoded")
            .arg(MaxJpegScans);
    case Cause::None:
        break;
    }
    return QString();
}

QSize declaredImageSize(const unsigned char* data, int len)
{
    if (data == nullptr || len <= 0)
        return QSize();
    if (isJpegData(data, len))
        return jpegDeclaredSize(data, len);
    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), len);
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    return reader.size();
}

QImage decodeJpegFrame(const unsigned char* data, int len)
{
    return decodeJpegFrame(data, len, DefaultMaxPixels, nullptr);
}

int jpegScaleDenominator(const QSize& fullSize, const QSize& displaySize)
{
    if (displaySize.isEmpty() || fullSize.isEmpty())
        return 1;
    for (const int d : {8, 4, 2}) {
        if ((fullSize.width() + d - 1) / d >= displaySize.width()
            && (fullSize.height() + d - 1) / d >= displaySize.height())
            return d;
    }
    return 1;
}

QImage decodeJpegFrame(const unsigned char* data, int len, qint64 maxPixels, FrameRefusal* refusal,
                       bool reuseImage, const QSize& displaySize)
{
    FrameRefusal ignored;
    FrameRefusal& r = refusal != nullptr ? *refusal : ignored;
    r = FrameRefusal();
    if (data == nullptr || len <= 0)
        return QImage();
    const auto refuse = [&r](FrameRefusal::Cause cause, const QSize& size) {
        r.cause = cause;
        r.width = size.width();
        r.height = size.height();
        return QImage();
    };
    const bool jpegData = isJpegData(data, len);
    if (jpegData) {
        const QSize size = jpegDeclaredSize(data, len);
        const qint64 pixels = pixelsOf(size);
        if (pixels > maxPixels)
            return refuse(FrameRefusal::Cause::TooManyPixels, size);
        // Only a JPEG file has scans; other formats may hold FF DA anywhere.
        r.scans = countScans(data, len, MaxJpegScans);
        if (r.scans > MaxJpegScans)
            return refuse(FrameRefusal::Cause::TooManyScans, size);
        if (pixels * r.scans > maxPixels * JpegScanPassesAtMaxPixels)
            return refuse(FrameRefusal::Cause::OverScanBudget, size);
        // Most frames are plain JPEG files: decoded directly, they give the
        // same image without the reader's per-frame set-up, allocation and
        // row conversion.
        QImage fast;
        if (decodePlainJpeg(data, len, &fast, reuseImage, displaySize))
            return fast;
    }
    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), len);
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    if (!jpegData) {
        // Whatever the format, its header says how large the picture is
        // before a pixel is decoded.
        const QSize size = reader.size();
        if (pixelsOf(size) > maxPixels)
            return refuse(FrameRefusal::Cause::TooManyPixels, size);
    }
    // Set explicitly: the reader's default differs between Qt versions, and a
    // header may declare any size up to 65535 x 65535. A format that does not
    // tell its size beforehand is held to the device's pixel limit here.
    reader.setAllocationLimit(allocationLimitMiB(maxPixels));
    QImage image;
    if (!reader.read(&image))
        return QImage();
    return image;
}

ConvertedFrame convertFrame(const FrameJob& job)
{
    ConvertedFrame out;
    if (job.conType == QLatin1String(RawGrayContentType)) {
        // wrapGrayFrame takes a writable pointer for the image it builds;
        // the image is only read.
        out.image =
            wrapGrayFrame(const_cast<unsigned char*>(job.data), job.len, job.sizeX, job.sizeY);
        if (job.ownPixels && !out.image.isNull())
            out.image = out.image.copy();
    } else if (job.conType == QLatin1String(Gray16ContentType)) {
        // Always pixels of its own: the raw values are unpacked.
        out.raw = gray16::unpack(job.data, job.len, job.sizeX, job.sizeY, job.bigEndian);
        out.image = gray16::applyLevels(out.raw, job.levels, &out.levels);
    } else if (job.conType == QLatin1String(JpegContentType)) {
        const long long warningsBefore = jpegWarningCount();
        out.image = decodeJpegFrame(job.data, job.len, job.maxPixels, &out.refusal, !job.ownPixels,
                                    job.displaySize);
        out.corrupt =
            !out.refusal.refused() && (out.image.isNull() || jpegWarningCount() != warningsBefore);
        if (!job.displaySize.isEmpty() && !out.image.isNull()) {
            const QSize full = declaredImageSize(job.data, job.len);
            if (full.isValid() && full != out.image.size()) {
                out.fullSize = full;
                out.encoded = QByteArray(reinterpret_cast<const char*>(job.data), job.len);
            }
        }
    } else if (job.conType == QLatin1String(H264ContentType)) {
        convertH264Frame(job, &out);
    }
    if (out.fullSize.isEmpty())
        out.fullSize = out.image.size();
    return out;
}

QImage fullResolutionImage(const ConvertedFrame& frame, qint64 maxPixels)
{
    if (!frame.scaled())
        return frame.image;
    return decodeJpegFrame(reinterpret_cast<const unsigned char*>(frame.encoded.constData()),
                           int(frame.encoded.size()), maxPixels, nullptr, false);
}
