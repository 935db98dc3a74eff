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

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
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

// The position of the first marker `code` (FF code) at or after `from`.
qsizetype markerAt(const QByteArray& jpeg, int code, qsizetype from = 2)
{
    for (qsizetype i = from; i + 1 < jpeg.size(); ++i)
        if (uchar(jpeg[i]) == 0xFF && uchar(jpeg[i + 1]) == code)
            return i;
    return -1;
}

// A progressive file whose last scan header is repeated `copies` times
// before EOI, each without entropy-coded data: a dozen bytes that make the
// decoder process one more scan over every block of the picture.
QByteArray withRepeatedLastScan(const QByteArray& jpeg, int copies)
{
    qsizetype last = -1;
    for (qsizetype at = markerAt(jpeg, 0xDA); at >= 0; at = markerAt(jpeg, 0xDA, at + 2))
        last = at;
    const int length = (uchar(jpeg[last + 2]) << 8) | uchar(jpeg[last + 3]);
    const QByteArray header = jpeg.mid(last, 2 + length);
    const qsizetype eoi = jpeg.size() - 2;
    QByteArray out = jpeg.left(eoi);
    for (int i = 0; i < copies; ++i)
        out += header;
    return out + jpeg.right(2);
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

private:
    std::unique_ptr<GetStreamImage> device(int sizeX, int sizeY);
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

std::unique_ptr<GetStreamImage> tst_BadConversion::device(int sizeX, int sizeY)
{
    // No host: the worker's connection attempt ends at once.
    QSettings settings(m_dir->filePath(QStringLiteral("device.ini")), QSettings::IniFormat);
    settings.setValue(QStringLiteral("sizeX"), sizeX);
    settings.setValue(QStringLiteral("sizeY"), sizeY);
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
    const qsizetype sos = markerAt(good, 0xDA);
    for (qsizetype cut : {qsizetype(1), qsizetype(2), qsizetype(20), sos, sos + 14,
                          (sos + good.size()) / 2, good.size() - 2})
        QTest::addRow("baseline cut to %lld bytes", static_cast<long long>(cut))
            << good.left(cut) << QSize(64, 48);
    for (qsizetype cut : {markerAt(progressive, 0xDA) + 20, progressive.size() / 2})
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

QTEST_GUILESS_MAIN(tst_BadConversion)
#include "tst_badconversion.moc"
