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

QTEST_MAIN(tst_FrameConversion)
#include "tst_frameconversion.moc"
