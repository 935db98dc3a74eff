// SPDX-License-Identifier: MIT
// The H.264 decoder over access units of a stream that ffmpeg makes at test
// time, compared with ffmpeg's own decode of the same stream: every unit's
// outcome after losses, damage and refusals, and the pictures shown.
#include "frameconversion.h"
#include "getstreamimage.h"
#include "h264decoder.h"
#include "h264nal.h"
#include "statssummary.h"
#include "testfiles.h"

#include <QSettings>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <cstdlib>

namespace {

constexpr int Frames = 30;
constexpr int Gop = 10;
const QSize StreamSize(320, 240);

// The largest difference in any channel between a picture and ffmpeg's
// decode of the same unit. The same libavcodec gives the same planes, and
// the conversion to RGB takes each pixel's chroma sample as ffmpeg's does;
// ffmpeg's own conversion works with fewer bits of precision, which moves
// some pixels by up to 3 levels.
constexpr int ChannelBound = 3;

// ffmpeg's picture `index` of packed RGB frames.
int maxChannelDifference(const QImage& image, const QByteArray& rgb, int index)
{
    const int w = StreamSize.width();
    const int h = StreamSize.height();
    int worst = 0;
    const auto* ref =
        reinterpret_cast<const unsigned char*>(rgb.constData()) + qsizetype(index) * w * h * 3;
    for (int y = 0; y < h; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            const unsigned char* p = ref + (qsizetype(y) * w + x) * 3;
            worst = std::max({worst, std::abs(qRed(line[x]) - p[0]),
                              std::abs(qGreen(line[x]) - p[1]), std::abs(qBlue(line[x]) - p[2])});
        }
    }
    return worst;
}

char outcomeLetter(H264Decoder::Outcome outcome)
{
    switch (outcome) {
    case H264Decoder::Outcome::Picture:
        return 'P';
    case H264Decoder::Outcome::WaitingForKeyFrame:
        return 'W';
    case H264Decoder::Outcome::NoPicture:
        return 'N';
    case H264Decoder::Outcome::Corrupt:
        return 'C';
    case H264Decoder::Outcome::Refused:
        return 'R';
    }
    return '?';
}

} // namespace

class tst_H264Decoder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void stream_data();
    void stream();
    void conversion_data();
    void conversion();
    void controller_data();
    void controller();

private:
    QList<QByteArray> m_units;
    QByteArray m_rgb;
};

void tst_H264Decoder::initTestCase()
{
    QByteArray stream;
    QString error;
    if (!ffmpegH264Stream(StreamSize, Frames, Gop, &stream, &m_rgb, &error))
        QSKIP(qPrintable(error));
    m_units = h264AccessUnits(stream);
    QCOMPARE(m_units.size(), Frames);
    QCOMPARE(m_rgb.size(), qsizetype(Frames) * StreamSize.width() * StreamSize.height() * 3);
    for (int i = 0; i < Frames; ++i)
        QCOMPARE(h264AccessUnitIsIdr(ubytes(m_units[i]), std::size_t(m_units[i].size())),
                 i % Gop == 0);
}

void tst_H264Decoder::stream_data()
{
    // What happens to unit `unit` ("drop": it never reaches the decoder,
    // which is told of the gap; "cut": only its first half arrives;
    // "noise": random bytes without a start code take its place; "slice":
    // a start code and a slice header followed by random bytes; "from":
    // decoding starts at it), and the outcome of every unit fed, in order
    // (P picture, W waiting for an IDR unit, C corrupt, R refused).
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("unit");
    QTest::addColumn<qint64>("maxPixels");
    QTest::addColumn<QString>("outcomes");

    const qint64 all = DefaultMaxPixels;
    QTest::newRow("whole stream") << "" << 0 << all << "PPPPPPPPPP PPPPPPPPPP PPPPPPPPPP";
    QTest::newRow("a dropped unit: waits for the next IDR") << "drop" << 3 << all
                                                            << "PPP"
                                                               "WWWWWW PPPPPPPPPP PPPPPPPPPP";
    QTest::newRow("a dropped IDR unit") << "drop" << 10 << all << "PPPPPPPPPP WWWWWWWWW PPPPPPPPPP";
    QTest::newRow("a truncated unit: corrupt, resumes at the IDR")
        << "cut" << 13 << all << "PPPPPPPPPP PPPCWWWWWW PPPPPPPPPP";
    QTest::newRow("a truncated IDR unit")
        << "cut" << 20 << all << "PPPPPPPPPP PPPPPPPPPP CWWWWWWWWW";
    QTest::newRow("bytes without a start code")
        << "noise" << 5 << all << "PPPPPCWWWW PPPPPPPPPP PPPPPPPPPP";
    QTest::newRow("a slice of random bytes")
        << "slice" << 5 << all << "PPPPPCWWWW PPPPPPPPPP PPPPPPPPPP";
    QTest::newRow("joined mid-stream: waits for the first IDR")
        << "from" << 4 << all << "WWWWWW PPPPPPPPPP PPPPPPPPPP";
    QTest::newRow("one pixel over max_pixels: refused, nothing decoded")
        << "" << 0 << qint64(StreamSize.width() * StreamSize.height() - 1)
        << "RWWWWWWWWW RWWWWWWWWW RWWWWWWWWW";
    QTest::newRow("exactly max_pixels")
        << "" << 0 << qint64(StreamSize.width() * StreamSize.height())
        << "PPPPPPPPPP PPPPPPPPPP PPPPPPPPPP";
}

void tst_H264Decoder::stream()
{
    QFETCH(QString, change);
    QFETCH(int, unit);
    QFETCH(qint64, maxPixels);
    QFETCH(QString, outcomes);
    outcomes.remove(u' ');

    std::srand(unsigned(unit) + 1);
    const auto randomBytes = [](int n) {
        QByteArray bytes(n, '\0');
        for (char& c : bytes)
            c = char(std::rand() & 0xFF);
        return bytes;
    };
    H264Decoder decoder;
    QString seen;
    for (int i = change == QLatin1String("from") ? unit : 0; i < Frames; ++i) {
        QByteArray bytes = m_units[i];
        if (i == unit && change == QLatin1String("drop")) {
            decoder.noteGap();
            continue;
        }
        if (i == unit && change == QLatin1String("cut"))
            bytes.truncate(bytes.size() / 2);
        if (i == unit && change == QLatin1String("noise"))
            bytes = raw("\xA5") + randomBytes(600);
        if (i == unit && change == QLatin1String("slice"))
            bytes = raw("\0\0\0\1\x41\x9A") + randomBytes(600);
        // Exactly the unit's bytes: a read beyond them is caught by ASan.
        const ExactCopy copy(bytes);
        const H264Decoder::Result result = decoder.decode(copy.get(), copy.size, maxPixels);
        seen += QLatin1Char(outcomeLetter(result.outcome));
        if (result.outcome == H264Decoder::Outcome::Refused) {
            QCOMPARE(result.refusal.cause, FrameRefusal::Cause::TooManyPixels);
            QCOMPARE(QSize(int(result.refusal.width), int(result.refusal.height)), StreamSize);
        }
        if (result.outcome != H264Decoder::Outcome::Picture) {
            QVERIFY(result.image.isNull());
            continue;
        }
        QCOMPARE(result.image.size(), StreamSize);
        const int difference = maxChannelDifference(result.image, m_rgb, i);
        QVERIFY2(difference <= ChannelBound,
                 qPrintable(QStringLiteral("unit %1 differs by %2").arg(i).arg(difference)));
    }
    QCOMPARE(seen, outcomes);
}

void tst_H264Decoder::conversion_data()
{
    // Through convertFrame, as the decode pool calls it: a job with the
    // device's decoder, or (a frame decoded again on its own) without one.
    QTest::addColumn<bool>("deviceDecoder");
    QTest::addColumn<int>("unit");
    QTest::addColumn<bool>("afterGap");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<bool>("leftOut");

    QTest::newRow("device decoder, next unit") << true << 1 << false << true << false;
    QTest::newRow("device decoder, after a gap") << true << 1 << true << false << true;
    QTest::newRow("device decoder, IDR after a gap") << true << 10 << true << true << false;
    QTest::newRow("alone, IDR unit") << false << 0 << false << true << false;
    QTest::newRow("alone, other unit: waits") << false << 1 << false << false << true;
}

void tst_H264Decoder::conversion()
{
    QFETCH(bool, deviceDecoder);
    QFETCH(int, unit);
    QFETCH(bool, afterGap);
    QFETCH(bool, shown);
    QFETCH(bool, leftOut);

    FrameJob job;
    job.conType = QLatin1String(H264ContentType);
    if (deviceDecoder) {
        job.h264 = std::make_shared<H264Decoder>();
        QVERIFY(
            job.h264->decode(ubytes(m_units[0]), int(m_units[0].size()), DefaultMaxPixels).outcome
            == H264Decoder::Outcome::Picture);
    }
    job.data = ubytes(m_units[unit]);
    job.len = int(m_units[unit].size());
    job.afterGap = afterGap;
    const ConvertedFrame frame = convertFrame(job);
    QCOMPARE(!frame.image.isNull(), shown);
    QCOMPARE(frame.leftOut, leftOut);
    QVERIFY(!frame.corrupt);
    QVERIFY(!frame.refusal.refused());
    if (shown)
        QVERIFY(maxChannelDifference(frame.image, m_rgb, unit) <= ChannelBound);
}

void tst_H264Decoder::controller_data()
{
    // Units handed to a device's controller: "cut" truncates one.
    QTest::addColumn<int>("cutUnit");
    QTest::addColumn<int>("shown");
    QTest::addColumn<int>("corrupt");
    QTest::addColumn<int>("skipped");

    QTest::newRow("whole stream") << -1 << Frames << 0 << 0;
    QTest::newRow("a truncated unit: corrupt, the rest of its group skipped")
        << 13 << Frames - 7 << 1 << 6;
}

void tst_H264Decoder::controller()
{
    QFETCH(int, cutUnit);
    QFETCH(int, shown);
    QFETCH(int, corrupt);
    QFETCH(int, skipped);

    // No host: the controller never connects, and converts what it is
    // handed at once.
    QSettings settings(QStringLiteral("/nonexistent/framescope-test.ini"), QSettings::IniFormat);
    GetStreamImage device(&settings);
    QSignalSpy events(&device, &GetStreamImage::acquisitionEvent);
    int pictures = 0;
    connect(&device, &GetStreamImage::acquisitionEvent, this,
            [&](QImage& image, GetStreamImage*) { pictures += image.isNull() ? 0 : 1; });
    for (int i = 0; i < Frames; ++i) {
        QByteArray unit = m_units[i];
        if (i == cutUnit)
            unit.truncate(unit.size() / 2);
        device.newImageReceived(QLatin1String(H264ContentType),
                                reinterpret_cast<unsigned char*>(unit.data()), int(unit.size()),
                                QString());
    }
    // A frame left out is not handed to the window: its picture stays.
    QCOMPARE(events.size(), shown + corrupt);
    QCOMPARE(pictures, shown);
    const StatsSummary s = StatsSummary::of(device.stats().records());
    QCOMPARE(s.frames, qint64(Frames));
    QCOMPARE(s.corrupt, qint64(corrupt));
    QCOMPARE(s.skipped, qint64(skipped));
    QCOMPARE(s.h264Frames, qint64(Frames));
    QVERIFY(s.delayUnstamped());
    QVERIFY(device.figures().noTimeStamp);
    QVERIFY(!device.figures().hasDelay);
}

QTEST_GUILESS_MAIN(tst_H264Decoder)
#include "tst_h264decoder.moc"
