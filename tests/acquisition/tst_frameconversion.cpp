// SPDX-License-Identifier: MIT
// JPEG frames decode to exactly the image the toolkit's reader makes of them:
// the direct libjpeg-turbo path for plain files, the reader for the rest.
#include "frameconversion.h"

#include "jpegencoder.h"
#include "testfiles.h"

#include <QBuffer>
#include <QImageReader>
#include <QImageWriter>
#include <QTest>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

QByteArray encode(int width, int height, int components, const simlib::JpegEncodeOptions& options)
{
    return patternJpeg(width, height, 42, options, components);
}

simlib::JpegEncodeOptions options(simlib::Sampling sampling, int restartInterval = 0,
                                  bool jfif = true, bool timestamp = false)
{
    simlib::JpegEncodeOptions o;
    o.sampling = sampling;
    o.restartInterval = restartInterval;
    o.writeJfif = jfif;
    o.writeTimestamp = timestamp;
    o.timestamp.seconds = 12;
    return o;
}

// Sets the JFIF resolution fields of a file written with a JFIF segment.
QByteArray withDensity(QByteArray jpeg, int unit, int x, int y)
{
    const qsizetype at = jpeg.indexOf(QByteArray("JFIF\0", 5));
    if (at < 0)
        return QByteArray();
    jpeg[at + 7] = char(unit);
    jpeg[at + 8] = char(x >> 8);
    jpeg[at + 9] = char(x & 0xFF);
    jpeg[at + 10] = char(y >> 8);
    jpeg[at + 11] = char(y & 0xFF);
    return jpeg;
}

QByteArray written(const QImage& image, const QByteArray& format, bool progressive,
                   const QString& description = QString())
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setProgressiveScanWrite(progressive);
    if (!description.isEmpty())
        writer.setText(QStringLiteral("Description"), description);
    writer.write(image);
    return bytes;
}

QImage readerImage(const QByteArray& bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAllocationLimit(JpegAllocationLimitMiB);
    QImage image;
    reader.read(&image);
    return image;
}

QImage decoded(const QByteArray& bytes)
{
    return decodeJpegFrame(ubytes(bytes), int(bytes.size()));
}

// Same size, format, resolution and pixel bytes (RGB32 padding included).
bool identical(const QImage& a, const QImage& b)
{
    if (a.isNull() != b.isNull() || a.size() != b.size() || a.format() != b.format()
        || a.dotsPerMeterX() != b.dotsPerMeterX() || a.dotsPerMeterY() != b.dotsPerMeterY())
        return false;
    const qsizetype rowBytes = qsizetype(a.width()) * a.depth() / 8;
    for (int y = 0; y < a.height(); ++y) {
        if (std::memcmp(a.constScanLine(y), b.constScanLine(y), std::size_t(rowBytes)) != 0)
            return false;
    }
    return true;
}

} // namespace

class tst_FrameConversion : public QObject
{
    Q_OBJECT

private slots:
    void jpegMatchesReader_data();
    void jpegMatchesReader();
    void earlierImageSurvivesNextFrame();
    void scaledDecode_data();
    void scaledDecode();
};

void tst_FrameConversion::jpegMatchesReader_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("valid");

    using simlib::Sampling;
    const QByteArray plain = encode(1280, 960, 3, options(Sampling::YCbCr420, 0, true, true));
    QTest::newRow("4:2:0 1280x960 with APP9") << plain << true;
    QTest::newRow("4:2:2") << encode(320, 240, 3, options(Sampling::YCbCr422)) << true;
    QTest::newRow("4:4:4") << encode(320, 240, 3, options(Sampling::YCbCr444)) << true;
    QTest::newRow("gray") << encode(320, 240, 1, options(Sampling::YCbCr444)) << true;
    QTest::newRow("odd size, restart markers")
        << encode(33, 17, 3, options(Sampling::YCbCr420, 2)) << true;
    QTest::newRow("no JFIF segment")
        << encode(64, 48, 3, options(Sampling::YCbCr420, 0, false)) << true;
    const QByteArray small = encode(64, 48, 3, options(Sampling::YCbCr420));
    QTest::newRow("resolution in dots per inch") << withDensity(small, 1, 72, 300) << true;
    QTest::newRow("resolution in dots per cm") << withDensity(small, 2, 40, 120) << true;
    QTest::newRow("aspect ratio only") << withDensity(small, 0, 3, 2) << true;

    const QImage picture = decoded(small);
    QTest::newRow("progressive") << written(picture, "jpeg", true) << true;
    QTest::newRow("comment segment") << written(picture, "jpeg", false, "camera 1") << true;
    QTest::newRow("PNG") << written(picture, "png", false) << true;
    // Pixel data full of FF DA pairs, which a JPEG file would hold as scan
    // headers: the refusal of files with too many scans is for JPEG only.
    QImage stripes(64, 64, QImage::Format_Grayscale8);
    for (int y = 0; y < stripes.height(); ++y)
        for (int x = 0; x < stripes.width(); ++x)
            stripes.scanLine(y)[x] = x % 2 ? 0xDA : 0xFF;
    const QByteArray bmp = written(stripes, "bmp", false);
    QVERIFY(bmp.count(QByteArray("\xFF\xDA", 2)) > 1000);
    QTest::newRow("BMP holding 2048 FF DA pairs") << bmp << true;

    // The reader decodes what it can of a damaged file; the result must be
    // the same image.
    QTest::newRow("truncated in the scan") << plain.left(plain.size() / 2) << true;
    QByteArray corrupt = plain;
    for (qsizetype i = corrupt.size() / 3; i < corrupt.size() / 3 + 64; ++i)
        corrupt[i] = char(0xFF ^ i);
    QTest::newRow("corrupt scan bytes") << corrupt << true;
    QTest::newRow("truncated in the header") << plain.left(300) << false;
    QTest::newRow("SOI only") << QByteArray("\xFF\xD8", 2) << false;
    QTest::newRow("garbage") << QByteArray(4096, 'x') << false;
    QTest::newRow("decompression bomb") << withDeclaredSize(small, 65000, 65000) << false;
}

void tst_FrameConversion::jpegMatchesReader()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, valid);
    QVERIFY(!file.isEmpty());
    const QImage expected = readerImage(file);
    QCOMPARE(!expected.isNull(), valid);
    if (valid)
        QVERIFY(!expected.size().isEmpty());
    // Twice: the second decode runs on the state the first one left.
    for (int round = 0; round < 2; ++round) {
        const QImage image = decoded(file);
        QVERIFY(identical(image, expected));
    }
}

void tst_FrameConversion::earlierImageSurvivesNextFrame()
{
    const QByteArray first = encode(64, 48, 3, options(simlib::Sampling::YCbCr420));
    QByteArray second = encode(64, 48, 3, options(simlib::Sampling::YCbCr444));
    const QImage kept = decoded(first);
    const QImage copy = kept.copy();
    const QImage next = decoded(second);
    QVERIFY(identical(kept, copy));
    QVERIFY(identical(next, readerImage(second)));
    QVERIFY(!identical(kept, next));
}

void tst_FrameConversion::scaledDecode_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QSize>("display");
    QTest::addColumn<QSize>("expected");

    using simlib::Sampling;
    const QByteArray big = encode(1280, 960, 3, options(Sampling::YCbCr420, 0, true, true));
    QTest::newRow("half: 1/2") << big << QSize(640, 480) << QSize(640, 480);
    QTest::newRow("between 1/4 and 1/2: 1/2") << big << QSize(400, 300) << QSize(640, 480);
    QTest::newRow("a tile of 16: 1/4") << big << QSize(320, 240) << QSize(320, 240);
    QTest::newRow("one pixel wider than 1/8: 1/4") << big << QSize(161, 100) << QSize(320, 240);
    QTest::newRow("an eighth: 1/8") << big << QSize(160, 120) << QSize(160, 120);
    QTest::newRow("thumbnail: 1/8 at most") << big << QSize(40, 30) << QSize(160, 120);
    QTest::newRow("more than half: full size") << big << QSize(641, 100) << QSize(1280, 960);
    QTest::newRow("no display size: full size") << big << QSize() << QSize(1280, 960);
    QTest::newRow("odd size rounds up")
        << encode(401, 301, 3, options(Sampling::YCbCr420, 2)) << QSize(100, 75) << QSize(101, 76);
    QTest::newRow("4:4:4") << encode(320, 240, 3, options(Sampling::YCbCr444)) << QSize(80, 60)
                           << QSize(80, 60);
    QTest::newRow("gray") << encode(320, 240, 1, options(Sampling::YCbCr444)) << QSize(160, 120)
                          << QSize(160, 120);
    const QImage picture = decoded(encode(64, 48, 3, options(Sampling::YCbCr420)));
    QTest::newRow("progressive") << written(picture, "jpeg", true) << QSize(16, 12)
                                 << QSize(16, 12);
    QTest::newRow("PNG: not scaled")
        << written(picture, "png", false) << QSize(16, 12) << QSize(64, 48);
}

// A frame decoded for a smaller display differs from the full-size decode
// scaled down by little, keeps its full size for layout and read-out, and
// decodes on demand to exactly today's full-size image, which saves to the
// same bytes.
void tst_FrameConversion::scaledDecode()
{
    QFETCH(QByteArray, file);
    QFETCH(QSize, display);
    QFETCH(QSize, expected);
    const QImage full = decoded(file);
    QVERIFY(!full.isNull());
    if (file.startsWith("\xFF\xD8"))
        QCOMPARE(jpegScaleDenominator(full.size(), display) > 1, expected != full.size());

    FrameJob job;
    job.conType = QString::fromLatin1(JpegContentType);
    job.data = ubytes(file);
    job.len = int(file.size());
    job.ownPixels = true;
    job.displaySize = display;
    const ConvertedFrame frame = convertFrame(job);
    QCOMPARE(frame.image.size(), expected);
    QCOMPARE(frame.fullSize, full.size());
    QCOMPARE(frame.scaled(), expected != full.size());
    QVERIFY(!frame.corrupt);
    QCOMPARE(frame.image.format(), full.format());

    // Mean and largest difference per channel against the full decode
    // scaled down smoothly, where both sample the same grid (the scaled
    // size times the denominator is the picture's).
    const int d = full.width() / expected.width();
    const bool sameGrid = expected * d == full.size();
    const QImage reference = full.scaled(expected, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                                 .convertToFormat(QImage::Format_RGB32);
    const QImage scaled = frame.image.convertToFormat(QImage::Format_RGB32);
    qint64 sum = 0;
    int largest = 0;
    for (int y = 0; y < expected.height(); ++y) {
        for (int x = 0; x < expected.width(); ++x) {
            const QRgb a = scaled.pixel(x, y);
            const QRgb b = reference.pixel(x, y);
            for (const int d : {qRed(a) - qRed(b), qGreen(a) - qGreen(b), qBlue(a) - qBlue(b)}) {
                sum += std::abs(d);
                largest = std::max(largest, std::abs(d));
            }
        }
    }
    const double mean = double(sum) / (3.0 * expected.width() * expected.height());
    qInfo("mean difference %.2f, largest %d", mean, largest);
    if (sameGrid)
        QVERIFY2(mean <= 3.0, qPrintable(QString::number(mean)));

    const QImage again = fullResolutionImage(frame, DefaultMaxPixels);
    QVERIFY(identical(again, full));
    const auto saved = [](const QImage& image) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        return bytes;
    };
    QCOMPARE(saved(again), saved(readerImage(file)));
}

QTEST_MAIN(tst_FrameConversion)
#include "tst_frameconversion.moc"
