// SPDX-License-Identifier: MIT
// 16-bit gray frames: the window/level mapping, the automatic levels, the
// conversion in both byte orders, the pixel value read-out of every kind of
// frame, and the bounded history of received frames.
#include "frameconversion.h"
#include "framehistory.h"
#include "gray16frame.h"
#include "pixelvalue.h"
#include "testpattern.h"

#include <QRandomGenerator>
#include <QTest>

#include <vector>

namespace {

// A Format_Grayscale16 image of `width` x 1 holding `values`.
QImage rawRow(const std::vector<int>& values)
{
    QImage image(int(values.size()), 1, QImage::Format_Grayscale16);
    auto* row = reinterpret_cast<quint16*>(image.scanLine(0));
    for (std::size_t i = 0; i < values.size(); ++i)
        row[i] = quint16(values[i]);
    return image;
}

} // namespace

class tst_Gray16 : public QObject
{
    Q_OBJECT

private slots:
    void levelled_data();
    void levelled();
    void autoLevels_data();
    void autoLevels();
    void convert_data();
    void convert();
    void readout_data();
    void readout();
    void historyStaysWithinItsBound();
    void historySteps();
};

void tst_Gray16::levelled_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("low");
    QTest::addColumn<int>("high");
    QTest::addColumn<int>("shown");
    QTest::newRow("below low: black") << 5 << 10 << 20 << 0;
    QTest::newRow("at low: black") << 10 << 10 << 20 << 0;
    QTest::newRow("at high: white") << 20 << 10 << 20 << 255;
    QTest::newRow("above high: white") << 65535 << 10 << 20 << 255;
    QTest::newRow("half way, rounded") << 15 << 10 << 20 << 128;
    QTest::newRow("full range, 1") << 1 << 0 << 65535 << 0;
    QTest::newRow("full range, 257") << 257 << 0 << 65535 << 1;
    QTest::newRow("full range, 32896") << 32896 << 0 << 65535 << 128;
    QTest::newRow("one step wide") << 1001 << 1000 << 1001 << 255;
    QTest::newRow("12-bit camera, 4095 white") << 4095 << 0 << 4095 << 255;
    QTest::newRow("12-bit camera, 2048") << 2048 << 0 << 4095 << 128;
}

void tst_Gray16::levelled()
{
    QFETCH(int, value);
    QFETCH(int, low);
    QFETCH(int, high);
    QFETCH(int, shown);
    QCOMPARE(gray16::levelled(value, low, high), shown);
    // The image mapping agrees with the single value.
    const QImage out = gray16::applyLevels(rawRow({value}), GrayLevels{false, low, high});
    QCOMPARE(int(out.constScanLine(0)[0]), shown);
}

void tst_Gray16::autoLevels_data()
{
    QTest::addColumn<std::vector<int>>("values");
    QTest::addColumn<int>("low");
    QTest::addColumn<int>("high");
    std::vector<int> ramp(1000);
    for (int i = 0; i < 1000; ++i)
        ramp[std::size_t(i)] = i * 10;
    QTest::newRow("ramp of 1000: the 2nd and 999th values") << ramp << 10 << 9980;
    std::vector<int> outliers(2000, 3000);
    outliers[0] = 0;
    outliers[1] = 10;
    outliers[2] = 60000;
    outliers[3] = 65535;
    outliers[4] = 1000;
    outliers[5] = 5000;
    QTest::newRow("two outliers each side are cut off") << outliers << 1000 << 5000;
    QTest::newRow("flat frame: one step above") << std::vector<int>(100, 700) << 700 << 701;
    QTest::newRow("flat white frame stays inside the range")
        << std::vector<int>(100, 65535) << 65534 << 65535;
    QTest::newRow("one pixel") << std::vector<int>{42} << 42 << 43;
}

void tst_Gray16::autoLevels()
{
    QFETCH(std::vector<int>, values);
    QFETCH(int, low);
    QFETCH(int, high);
    const GrayLevels levels = gray16::autoLevels(rawRow(values));
    QCOMPARE(levels.low, low);
    QCOMPARE(levels.high, high);
}

void tst_Gray16::convert_data()
{
    QTest::addColumn<bool>("bigEndian");
    QTest::addColumn<int>("extraBytes");
    QTest::addColumn<bool>("shown");
    QTest::newRow("little-endian") << false << 0 << true;
    QTest::newRow("big-endian") << true << 0 << true;
    QTest::newRow("longer frame: shown") << false << 7 << true;
    QTest::newRow("one byte short: null") << false << -1 << false;
    QTest::newRow("half a frame: null") << true << -(64 * 48) << false;
}

void tst_Gray16::convert()
{
    QFETCH(bool, bigEndian);
    QFETCH(int, extraBytes);
    QFETCH(bool, shown);
    const int w = 64;
    const int h = 48;
    QByteArray bytes = simlib::renderGray16Ramp(w, h, 1234, bigEndian);
    bytes.resize(bytes.size() + extraBytes, '\0');
    FrameJob job;
    job.conType = QLatin1String(Gray16ContentType);
    // An allocation of exactly the frame's bytes, so that a read beyond
    // them is seen by the address sanitizer.
    std::vector<unsigned char> exact(bytes.begin(), bytes.end());
    job.data = exact.data();
    job.len = int(exact.size());
    job.sizeX = w;
    job.sizeY = h;
    job.bigEndian = bigEndian;
    const ConvertedFrame frame = convertFrame(job);
    QCOMPARE(!frame.image.isNull(), shown);
    QCOMPARE(!frame.raw.isNull(), shown);
    if (!shown)
        return;
    QCOMPARE(frame.raw.format(), QImage::Format_Grayscale16);
    QCOMPARE(frame.image.format(), QImage::Format_Grayscale8);
    for (const QPoint p : {QPoint(0, 0), QPoint(1, 0), QPoint(0, 1), QPoint(63, 47), QPoint(5, 9)})
        QCOMPARE(pixelValueText(frame.raw, p),
                 QStringLiteral("raw %1").arg(simlib::gray16RampValue(p.x(), p.y(), 1234)));
    // Automatic levels: the darkest pixels black, the brightest white.
    QCOMPARE(frame.levels.automatic, true);
    QCOMPARE(int(frame.image.constScanLine(0)[1]), 0);
    QCOMPARE(int(frame.image.constScanLine(h - 1)[w - 1]), 255);
}

void tst_Gray16::readout_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<QPoint>("pixel");
    QTest::addColumn<QString>("text");
    QImage rgb(3, 2, QImage::Format_RGB32);
    rgb.fill(qRgb(10, 20, 30));
    QImage gray8(3, 2, QImage::Format_Grayscale8);
    gray8.fill(77);
    QImage indexed(3, 2, QImage::Format_Indexed8);
    indexed.setColorTable(grayColorTable());
    indexed.fill(200);
    QImage colourIndexed = indexed.copy();
    colourIndexed.setColorTable(QList<QRgb>(256, qRgb(1, 2, 3)));
    QTest::newRow("16-bit: raw value")
        << rawRow({0, 65535, 258}) << QPoint(2, 0) << QStringLiteral("2, 0: raw 258");
    QTest::newRow("16-bit: largest value")
        << rawRow({0, 65535}) << QPoint(1, 0) << QStringLiteral("1, 0: raw 65535");
    QTest::newRow("8-bit gray") << gray8 << QPoint(1, 1) << QStringLiteral("1, 1: gray 77");
    QTest::newRow("raw 8-bit gray, indexed")
        << indexed << QPoint(0, 1) << QStringLiteral("0, 1: gray 200");
    QTest::newRow("indexed colour")
        << colourIndexed << QPoint(0, 0) << QStringLiteral("0, 0: R 1 G 2 B 3");
    QTest::newRow("colour") << rgb << QPoint(2, 1) << QStringLiteral("2, 1: R 10 G 20 B 30");
    QTest::newRow("right of the image") << rgb << QPoint(3, 0) << QString();
    QTest::newRow("above the image") << rgb << QPoint(0, -1) << QString();
    QTest::newRow("no image") << QImage() << QPoint(0, 0) << QString();
}

void tst_Gray16::readout()
{
    QFETCH(QImage, image);
    QFETCH(QPoint, pixel);
    QFETCH(QString, text);
    QCOMPARE(pixelReadoutText(image, pixel), text);
}

void tst_Gray16::historyStaysWithinItsBound()
{
    // 16 devices, one of them sending ten times as many frames as each of
    // the others, of sizes up to a quarter of a device's share.
    constexpr qint64 Budget = 4 * 1024 * 1024;
    constexpr int Devices = 16;
    FrameHistory history(Budget);
    history.setDeviceCount(Devices);
    const qint64 share = history.share();
    QCOMPARE(share, Budget / Devices);
    QRandomGenerator rng(7);
    std::vector<unsigned char> bytes(std::size_t(share / 4), 0xAB);
    std::vector<qint64> numbers(Devices, 0);
    for (int round = 0; round < 400; ++round) {
        for (int d = 0; d < Devices; ++d) {
            for (int k = 0; k < (d == 0 ? 10 : 1); ++k) {
                const int len = 1 + int(rng.bounded(quint32(bytes.size())));
                history.add(d, QStringLiteral("image/jpeg"), bytes.data(), len, ++numbers[d], 0,
                            40);
                QVERIFY(history.bytes(d) <= share);
            }
        }
        QVERIFY(history.totalBytes() <= Budget);
    }
    // The fast device has not pushed out the others' frames.
    for (int d = 1; d < Devices; ++d)
        QVERIFY2(history.frameCount(d) >= 4, qPrintable(QString::number(d)));
    // A frame larger than a share is not kept; more devices shrink shares.
    std::vector<unsigned char> huge(std::size_t(share), 1);
    const int before = history.frameCount(2);
    history.add(2, QStringLiteral("image/jpeg"), huge.data(), int(huge.size()), ++numbers[2], 0,
                40);
    QCOMPARE(history.frameCount(2), before);
    history.setDeviceCount(64);
    for (int d = 0; d < 64; ++d)
        QVERIFY(history.bytes(d) <= Budget / 64);
    QVERIFY(history.totalBytes() <= Budget);
}

void tst_Gray16::historySteps()
{
    FrameHistory history(1024 * 1024);
    history.setDeviceCount(2);
    const unsigned char byte = 1;
    for (qint64 n : {3, 4, 5, 7})
        history.add(1, QStringLiteral("video/x-raw-gray16"), &byte, 1, n, n * 1000, 40);
    history.setDelay(1, 7, 0.002);
    QCOMPARE(history.oldest(1), std::optional<qint64>(3));
    QCOMPARE(history.newest(1), std::optional<qint64>(7));
    QCOMPARE(history.before(1, 7), std::optional<qint64>(5));
    QCOMPARE(history.before(1, 6), std::optional<qint64>(5));
    QCOMPARE(history.after(1, 5), std::optional<qint64>(7));
    QCOMPARE(history.before(1, 3), std::nullopt);
    QCOMPARE(history.after(1, 7), std::nullopt);
    QCOMPARE(history.oldest(0), std::nullopt);
    QVERIFY(history.find(1, 6) == nullptr);
    QCOMPARE(history.find(1, 7)->delaySeconds, std::optional<double>(0.002));
    QCOMPARE(history.find(1, 5)->delaySeconds, std::nullopt);
    // Out of range devices are ignored, not a crash.
    history.add(5, QStringLiteral("image/jpeg"), &byte, 1, 1, 0, 0);
    QCOMPARE(history.newest(5), std::nullopt);
}

QTEST_MAIN(tst_Gray16)
#include "tst_gray16.moc"
