// SPDX-License-Identifier: MIT
// Hostile frames through the frame conversion of a device: JPEG files that
// declare huge or empty pictures, end early or carry thousands of scans, and
// raw gray frames for devices whose configured size is unusable. Each row
// asserts that the conversion returns, hands exactly one image to the
// window (null or of the declared size), and that the next good frame of the
// device is shown.
#include "frameconversion.h"
#include "getstreamimage.h"
#include "testfiles.h"

#include <QImage>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

namespace {

QByteArray jpegFile(int w, int h, bool progressive)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, qRgb(x * 7, y * 5, (x ^ y) & 0xFF));
    return ::jpegFile(image, 60, progressive);
}

} // namespace

class tst_BadConversion : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void hostileJpeg_data();
    void hostileJpeg();
    void grayFrameForUnusableSize_data();
    void grayFrameForUnusableSize();
    void refusedBeforeDecoding_data();
    void refusedBeforeDecoding();

private:
    std::unique_ptr<GetStreamImage> device(int sizeX, int sizeY, qint64 maxPixels = 0);
    // Converts `frame` from the device's transfer buffer (where the worker
    // puts it) and returns every image the window was handed.
    QList<QImage> convert(GetStreamImage* c, const QString& type, const QByteArray& frame);

    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_BadConversion::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

std::unique_ptr<GetStreamImage> tst_BadConversion::device(int sizeX, int sizeY, qint64 maxPixels)
{
    // No host: the worker's connection attempt ends at once.
    QSettings settings(m_dir->filePath(QStringLiteral("device.ini")), QSettings::IniFormat);
    settings.setValue(QStringLiteral("sizeX"), sizeX);
    settings.setValue(QStringLiteral("sizeY"), sizeY);
    if (maxPixels > 0)
        settings.setValue(QStringLiteral("max_pixels"), maxPixels);
    return std::make_unique<GetStreamImage>(&settings);
}

QList<QImage> tst_BadConversion::convert(GetStreamImage* c, const QString& type,
                                         const QByteArray& frame)
{
    QList<QImage> images;
    const auto connection =
        connect(c, &GetStreamImage::acquisitionEvent, c,
                [&images](QImage& image, GetStreamImage*) { images.append(image.copy()); });
    // The worker fills the transfer buffer, at most its length.
    auto* transfer = const_cast<unsigned char*>(c->transferBuffer());
    const int len = int(std::min<qsizetype>(frame.size(), c->transferLength()));
    std::memcpy(transfer, frame.constData(), std::size_t(len));
    c->convertImage(type, transfer, len);
    disconnect(connection);
    return images;
}

void tst_BadConversion::hostileJpeg_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QSize>("size"); // of the image when one is decoded

    const QByteArray good = jpegFile(64, 48, false);
    const QByteArray progressive = jpegFile(64, 48, true);
    QTest::newRow("declares 65500 x 65500") << withDeclaredSize(good, 65500, 65500) << QSize();
    QTest::newRow("declares 65500 x 1") << withDeclaredSize(good, 65500, 1) << QSize(65500, 1);
    QTest::newRow("declares 0 x 0") << withDeclaredSize(good, 0, 0) << QSize();
    const qsizetype sos = jpegMarkerAt(good, 0xDA);
    for (qsizetype cut : {qsizetype(1), qsizetype(2), qsizetype(20), sos, sos + 14,
                          (sos + good.size()) / 2, good.size() - 2})
        QTest::addRow("baseline cut to %lld bytes", static_cast<long long>(cut))
            << good.left(cut) << QSize(64, 48);
    for (qsizetype cut : {jpegMarkerAt(progressive, 0xDA) + 20, progressive.size() / 2})
        QTest::addRow("progressive cut to %lld bytes", static_cast<long long>(cut))
            << progressive.left(cut) << QSize(64, 48);
    // Beyond MaxJpegScans the frame is refused before any pass over it.
    QTest::newRow("progressive with 80 extra scans")
        << withRepeatedLastScan(jpegFile(512, 512, true), 80) << QSize(512, 512);
    QTest::newRow("progressive with 5000 extra scans")
        << withRepeatedLastScan(jpegFile(512, 512, true), 5000) << QSize();
    QTest::newRow("scan data only") << good.mid(sos + 14) << QSize();
}

void tst_BadConversion::hostileJpeg()
{
    QFETCH(QByteArray, frame);
    QFETCH(QSize, size);

    // Room in the transfer buffer for every frame of the table.
    const auto c = device(1024, 1024);
    const QList<QImage> images = convert(c.get(), QStringLiteral("image/jpeg"), frame);
    QCOMPARE(images.size(), 1);
    if (!images[0].isNull())
        QCOMPARE(images[0].size(), size);
    if (!size.isValid())
        QVERIFY(images[0].isNull());

    const QList<QImage> next =
        convert(c.get(), QStringLiteral("image/jpeg"), jpegFile(64, 48, false));
    QCOMPARE(next.size(), 1);
    QCOMPARE(next[0].size(), QSize(64, 48));
}

void tst_BadConversion::grayFrameForUnusableSize_data()
{
    QTest::addColumn<int>("sizeX");
    QTest::addColumn<int>("sizeY");
    QTest::addColumn<int>("frameBytes");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<bool>("warns"); // about the configured size

    QTest::newRow("1 x 1") << 1 << 1 << 1 << true << false;
    QTest::newRow("1 x 1, empty frame") << 1 << 1 << 0 << false << false;
    QTest::newRow("65536 x 65536 overflows int") << 65536 << 65536 << 2000 << false << true;
    QTest::newRow("46341 x 46341 just overflows int") << 46341 << 46341 << 2000 << false << true;
    QTest::newRow("0 x 480") << 0 << 480 << 2000 << false << true;
    QTest::newRow("-1 x -1") << -1 << -1 << 2000 << false << true;
    QTest::newRow("-2147483648 x 2") << int(INT_MIN) << 2 << 2000 << false << true;
    QTest::newRow("1 x 1024, the whole spare area") << 1 << 1024 << 1024 << true << false;
}

// A device whose size is unusable wraps nothing, whatever arrives; the
// transfer buffer is its spare bytes only, and the frame is cut to it.
void tst_BadConversion::grayFrameForUnusableSize()
{
    QFETCH(int, sizeX);
    QFETCH(int, sizeY);
    QFETCH(int, frameBytes);
    QFETCH(bool, shown);
    QFETCH(bool, warns);

    if (warns)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("frame size")));
    const auto c = device(sizeX, sizeY);
    QVERIFY(c->transferLength() >= GetStreamImage::TransferSpareBytes);
    QByteArray frame(frameBytes, '\0');
    for (int i = 0; i < frame.size(); ++i)
        frame[i] = char(i);
    const QList<QImage> images = convert(c.get(), QStringLiteral("video/x-raw-gray"), frame);
    QCOMPARE(images.size(), 1);
    QCOMPARE(!images[0].isNull(), shown);
    if (shown)
        QCOMPARE(images[0].size(), QSize(sizeX, sizeY));
}

void tst_BadConversion::refusedBeforeDecoding_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<qint64>("maxPixels"); // 0: the default
    QTest::addColumn<int>("cause");        // FrameRefusal::Cause
    QTest::addColumn<QSize>("declared");

    using Cause = FrameRefusal::Cause;
    const QByteArray small = jpegFile(64, 48, false);
    const QImage picture = solidFrame(64, 48, QColor(20, 120, 220));
    QTest::newRow("jpeg 8000 x 8000, default limit")
        << withDeclaredSize(small, 8000, 8000) << qint64(0) << int(Cause::TooManyPixels)
        << QSize(8000, 8000);
    QTest::newRow("jpeg 7681 x 4320, one row beyond an 8K frame")
        << withDeclaredSize(small, 7681, 4320) << qint64(0) << int(Cause::TooManyPixels)
        << QSize(7681, 4320);
    QTest::newRow("jpeg at the limit")
        << small << qint64(64 * 48) << int(Cause::None) << QSize(64, 48);
    QTest::newRow("jpeg one pixel beyond")
        << small << qint64(64 * 48 - 1) << int(Cause::TooManyPixels) << QSize(64, 48);
    // Any format the reader knows may arrive labelled image/jpeg; its own
    // header is read before decoding.
    for (const char* format : {"png", "bmp", "ppm"}) {
        QTest::addRow("%s at the limit", format)
            << imageFile(picture, format) << qint64(64 * 48) << int(Cause::None) << QSize(64, 48);
        QTest::addRow("%s one pixel beyond", format)
            << imageFile(picture, format) << qint64(64 * 48 - 1) << int(Cause::TooManyPixels)
            << QSize(64, 48);
    }
    // Progressive files pay per scan: 512 x 512 in its own ten scans fits
    // the passes over max_pixels = 3 x 512 x 512, with 20 more it does not.
    const QByteArray progressive = jpegFile(512, 512, true);
    QTest::newRow("progressive within the scan budget")
        << progressive << qint64(3 * 512 * 512) << int(Cause::None) << QSize(512, 512);
    QTest::newRow("progressive beyond the scan budget")
        << withRepeatedLastScan(progressive, 20) << qint64(3 * 512 * 512)
        << int(Cause::OverScanBudget) << QSize(512, 512);
    QTest::newRow("the same with the default limit")
        << withRepeatedLastScan(progressive, 20) << qint64(0) << int(Cause::None)
        << QSize(512, 512);
    // The frames of the attack that cost seconds each: 98 empty scans over
    // 8000 x 8000, and the same scans over a picture within max_pixels.
    QTest::newRow("98 scans over 8000 x 8000")
        << withRepeatedLastScan(withDeclaredSize(jpegFile(16, 16, true), 8000, 8000), 88)
        << qint64(0) << int(Cause::TooManyPixels) << QSize(8000, 8000);
    QTest::newRow("98 scans over 7680 x 4320")
        << withRepeatedLastScan(withDeclaredSize(jpegFile(16, 16, true), 7680, 4320), 88)
        << qint64(0) << int(Cause::OverScanBudget) << QSize(7680, 4320);
}

void tst_BadConversion::refusedBeforeDecoding()
{
    QFETCH(QByteArray, frame);
    QFETCH(qint64, maxPixels);
    QFETCH(int, cause);
    QFETCH(QSize, declared);
    QVERIFY(!frame.isEmpty());

    const unsigned char* data = ubytes(frame);
    QCOMPARE(declaredImageSize(data, int(frame.size())), declared);
    FrameRefusal refusal;
    const QImage direct = decodeJpegFrame(data, int(frame.size()),
                                          maxPixels > 0 ? maxPixels : DefaultMaxPixels, &refusal);
    QCOMPARE(int(refusal.cause), cause);
    QCOMPARE(direct.isNull(), cause != int(FrameRefusal::Cause::None));
    if (refusal.refused())
        QCOMPARE(QSize(int(refusal.width), int(refusal.height)), declared);
    else
        QCOMPARE(direct.size(), declared);

    // Through a device with that max_pixels: one image for the window, and
    // the refusal in the device's report.
    const auto c = device(1024, 1024, maxPixels);
    QCOMPARE(c->maxPixels(), maxPixels > 0 ? maxPixels : DefaultMaxPixels);
    if (refusal.refused())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("not decoded$")));
    const QList<QImage> images = convert(c.get(), QStringLiteral("image/jpeg"), frame);
    QCOMPARE(images.size(), 1);
    QCOMPARE(images[0].isNull(), refusal.refused());
}

QTEST_GUILESS_MAIN(tst_BadConversion)
#include "tst_badconversion.moc"
