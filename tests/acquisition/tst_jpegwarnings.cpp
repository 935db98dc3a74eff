// SPDX-License-Identifier: MIT
// Devices fed corrupt JPEG frames: the image reader's per-frame warnings
// never reach the console; each device prints one summary with its own
// count per interval, and every other message still gets through.
#include "getstreamimage.h"
#include "jpegwarnings.h"
#include "loopbackpeer.h"
#include "testfiles.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>

#include <memory>
#include <vector>

namespace {

struct ConsoleLine
{
    QByteArray category;
    QString text;
};

// What reached the handler installed before the controllers' own.
std::vector<ConsoleLine> g_console;
QtMessageHandler g_testHandler = nullptr;

void recordMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    g_console.push_back({QByteArray(context.category ? context.category : ""), text});
    if (g_testHandler != nullptr)
        g_testHandler(type, context, text);
}

int consoleLines(const QRegularExpression& pattern)
{
    int n = 0;
    for (const ConsoleLine& line : g_console)
        n += pattern.match(line.text).hasMatch() ? 1 : 0;
    return n;
}

int readerWarnings()
{
    int n = 0;
    for (const ConsoleLine& line : g_console)
        n += line.category == "qt.gui.imageio.jpeg" ? 1 : 0;
    return n;
}

QByteArray goodFrame()
{
    QImage image(64, 48, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgb(x * 4, y * 5, (x ^ y) * 3));
    return jpegFile(image, 80);
}

// The scan data (between SOS and EOI) of `jpeg` overwritten with `fill`
// from `at` (a fraction of the scan's length) on, for `count` bytes.
QByteArray damagedScan(QByteArray jpeg, double at, int count, char fill)
{
    const qsizetype sos = jpeg.indexOf(QByteArray("\xFF\xDA", 2));
    const qsizetype start = sos + 2 + ((uchar(jpeg[sos + 2]) << 8) | uchar(jpeg[sos + 3]));
    const qsizetype from = start + qsizetype(double(jpeg.size() - 2 - start) * at);
    for (qsizetype i = from; i < from + count && i < jpeg.size() - 2; ++i)
        jpeg[i] = fill;
    return jpeg;
}

// Frames the toolkit's reader warns about, each kind with the number of
// times a device is sent it.
struct CorruptKind
{
    const char* name;
    QByteArray frame;
    int count;
};

std::vector<CorruptKind> corruptKinds()
{
    const QByteArray good = goodFrame();
    const qsizetype sos = good.indexOf(QByteArray("\xFF\xDA", 2));
    return {
        {"cut in the middle of the scan", good.left((sos + good.size()) / 2), 7},
        {"cut after the first scan bytes", good.left(sos + 40), 1},
        {"marker bytes inside the scan", damagedScan(good, 0.3, 8, char(0xFF)), 3},
        {"zeroed scan data", damagedScan(good, 0.1, 64, char(0)), 12},
    };
}

void convert(GetStreamImage& device, const QByteArray& frame)
{
    device.convertImage(QStringLiteral("image/jpeg"),
                        reinterpret_cast<unsigned char*>(const_cast<char*>(frame.constData())),
                        int(frame.size()));
}

} // namespace

class tst_JpegWarnings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void summaryPerDevice();

private:
    std::unique_ptr<GetStreamImage> device(const QString& name, const QString& log);

    QTemporaryDir m_dir;
    LoopbackSocket m_refusing{SOCK_STREAM};
};

void tst_JpegWarnings::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(m_refusing.port() != 0);
    // Installed before the counter, so that the counter passes every other
    // message on to this one.
    g_testHandler = qInstallMessageHandler(recordMessage);
    // Without the counter, each of these frames reaches the console.
    for (const CorruptKind& kind : corruptKinds()) {
        g_console.clear();
        QImage::fromData(kind.frame, "JPEG");
        QVERIFY2(readerWarnings() > 0, kind.name);
    }
    g_console.clear();
    // As main does before the window makes its controllers.
    installJpegWarningCounter();
}

std::unique_ptr<GetStreamImage> tst_JpegWarnings::device(const QString& name, const QString& log)
{
    QSettings settings(m_dir.filePath(QStringLiteral("tcp_streaming.ini")), QSettings::IniFormat);
    settings.beginGroup(name);
    settings.setValue(QStringLiteral("host"), QStringLiteral("127.0.0.1"));
    settings.setValue(QStringLiteral("port"), m_refusing.port());
    settings.setValue(QStringLiteral("logfile"), log);
    return std::make_unique<GetStreamImage>(&settings);
}

void tst_JpegWarnings::summaryPerDevice()
{
    // One device per kind of damage, each sent its own number of corrupt
    // frames among good ones, and one device sent good frames only: after
    // the interval one summary per damaged device with its own count, and
    // not one reader warning on the console.
    const QByteArray good = goodFrame();
    const std::vector<CorruptKind> kinds = corruptKinds();
    const int deviceCount = int(kinds.size()) + 1;
    std::vector<std::unique_ptr<GetStreamImage>> devices;
    QStringList logs;
    for (int d = 0; d < deviceCount; ++d) {
        logs << m_dir.filePath(QStringLiteral("dev%1.log").arg(d));
        devices.push_back(device(QStringLiteral("dev%1").arg(d), logs.back()));
    }
    g_console.clear();
    QElapsedTimer clock;
    clock.start();
    for (int d = 0; d < deviceCount; ++d) {
        const int corrupt = d < int(kinds.size()) ? kinds[d].count : 0;
        for (int i = 0; i < corrupt + 5; ++i) {
            // Good frames in between do not reset the count.
            if (i % 3 == 1 || i >= corrupt) {
                convert(*devices[d], good);
                QVERIFY(!devices[d]->image().isNull());
            }
            if (i < corrupt)
                convert(*devices[d], kinds[d].frame);
        }
    }
    QCOMPARE(readerWarnings(), 0);

    const QRegularExpression anySummary(
        QStringLiteral("^dev\\d: \\d+ corrupt JPEG frames in the last \\d+ s$"));
    QTRY_COMPARE_WITH_TIMEOUT(consoleLines(anySummary), int(kinds.size()),
                              GetStreamImage::CorruptSummaryIntervalMs + 2000);
    QVERIFY2(clock.elapsed() >= GetStreamImage::CorruptSummaryIntervalMs - 1000,
             qPrintable(QString::number(clock.elapsed())));
    for (int d = 0; d < int(kinds.size()); ++d) {
        const QString line =
            QStringLiteral("%1 corrupt JPEG frames in the last 10 s").arg(kinds[d].count);
        QVERIFY2(consoleLines(QRegularExpression(
                     QStringLiteral("^dev%1: %2$").arg(d).arg(QRegularExpression::escape(line))))
                     == 1,
                 kinds[d].name);
        // The device log holds it too, with the time prefix.
        const QString log = QString::fromUtf8(readFile(logs[d]));
        QVERIFY2(QRegularExpression(QStringLiteral("(^|\n)\\d\\d:\\d\\d:\\d\\d\\.\\d{3}: %1\n")
                                        .arg(QRegularExpression::escape(line)))
                     .match(log)
                     .hasMatch(),
                 qPrintable(log));
    }
    QVERIFY(!QString::fromUtf8(readFile(logs.back())).contains(QLatin1String("corrupt")));
    QCOMPARE(readerWarnings(), 0);
    QCOMPARE(consoleLines(QRegularExpression(QStringLiteral("Corrupt JPEG|Premature end"))), 0);

    // Messages of every other category still reach the console.
    const QLoggingCategory other("framescope.test");
    qCWarning(other) << "not a JPEG reader warning";
    QCOMPARE(consoleLines(QRegularExpression(QStringLiteral("not a JPEG reader warning"))), 1);
}

QTEST_MAIN(tst_JpegWarnings)
#include "tst_jpegwarnings.moc"
