// SPDX-License-Identifier: MIT
// The JPEG segment walker and the entropy-coded data skipper that the RTP
// header store, the scan counter and the time stamp reader share. Every walk
// runs over an allocation of exactly the bytes given, so that a read past
// them is caught by the address sanitizer.
#include "jpegencoder.h"
#include "jpegsegments.h"
#include "testfiles.h"

#include <QTest>

#include <vector>

using jpeg::SegmentWalker;

namespace {

// Segments as "code@offset+length", code in hex.
QString describe(const jpeg::Segment& s)
{
    return QStringLiteral("%1@%2+%3")
        .arg(s.code, 2, 16, QLatin1Char('0'))
        .arg(s.offset)
        .arg(s.length);
}

struct Walk
{
    QStringList segments;
    bool reachedScan = false;
    long long position = 0;
    bool lastFits = true;
    bool stayedEnded = false; // a walk once ended returns nothing more
};

Walk walk(const QByteArray& bytes, int start, SegmentWalker::StrayBytes stray, qsizetype len = -1)
{
    const ExactCopy copy(bytes, len);
    SegmentWalker walker(copy.data.get(), copy.size, start, stray);
    Walk w;
    jpeg::Segment s;
    // A walk makes progress with every segment, so it ends within the bytes.
    for (int guard = 0; guard <= copy.size && walker.next(&s); ++guard) {
        w.segments.append(describe(s));
        w.lastFits = walker.fits(s);
        if (w.lastFits) {
            // Reading the payload stays inside the block.
            volatile unsigned char sum = 0;
            for (int i = s.offset; i < s.offset + s.length; ++i)
                sum = sum + copy.data[std::size_t(i)];
        }
    }
    w.stayedEnded = !walker.next(&s);
    w.reachedScan = walker.reachedScan();
    w.position = walker.position();
    return w;
}

// A baseline file from the simulator's encoder with every header segment a
// camera writes: APP0, APP9, DQT, SOF0, DHT, DRI, SOS.
QByteArray realFile()
{
    std::vector<unsigned char> rgb(64 * 16 * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = static_cast<unsigned char>(i * 7);
    simlib::JpegEncodeOptions options;
    options.restartInterval = 1;
    options.writeTimestamp = true;
    return simlib::encodeJpeg(rgb.data(), 64, 16, 3, options);
}

} // namespace

class tst_JpegSegments : public QObject
{
    Q_OBJECT

private slots:
    void walk_data();
    void walk();
    void everyTruncationStaysInside();
    void skipEntropyCoded_data();
    void skipEntropyCoded();
    void realFileScanRunsToEoi();
};

void tst_JpegSegments::walk_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("start");
    QTest::addColumn<bool>("stepOverStray");
    QTest::addColumn<QStringList>("segments");
    QTest::addColumn<bool>("reachedScan");
    QTest::addColumn<long long>("position");
    QTest::addColumn<bool>("lastFits");

    const QByteArray soi = raw("\xFF\xD8");
    const QByteArray app0 = jpegSegment(0xE0, "abcd"); // 8 bytes
    const QByteArray sos = jpegSegment(0xDA, "z");     // 5 bytes

    QTest::newRow("well-formed header")
        << soi + app0 + jpegSegment(0xDB, "xy") + sos + raw("\x12\x34\xFF\xD9") << 0 << false
        << QStringList{"d8@2+0", "e0@6+4", "db@14+2", "da@20+1"} << true << 21LL << true;
    QTest::newRow("fill bytes before a marker")
        << soi
               + raw("\xFF\xFF\xFF\xE0\x00\x04"
                     "ab")
        << 0 << false << QStringList{"d8@2+0", "e0@8+2"} << false << 10LL << true;
    QTest::newRow("stand-alone markers: RST, TEM, then an empty segment")
        << soi + raw("\xFF\xD3\xFF\x01\xFF\xE1\x00\x02") << 0 << false
        << QStringList{"d8@2+0", "d3@4+0", "01@6+0", "e1@10+0"} << false << 10LL << true;
    QTest::newRow("stray byte ends a strict walk")
        << soi + raw("\x00") + app0 << 0 << false << QStringList{"d8@2+0"} << false << 2LL << true;
    QTest::newRow("stray bytes stepped over")
        << soi + raw("\x00\x12") + app0 << 0 << true << QStringList{"d8@2+0", "e0@8+4"} << false
        << 12LL << true;
    QTest::newRow("stray bytes at the end stepped over")
        << soi + raw("\x00\x12") << 0 << true << QStringList{"d8@2+0"} << false << 4LL << true;
    QTest::newRow("marker code cut off")
        << soi + raw("\xFF") << 0 << false << QStringList{"d8@2+0"} << false << 2LL << true;
    QTest::newRow("only fill bytes at the end")
        << soi + raw("\xFF\xFF\xFF") << 0 << false << QStringList{"d8@2+0"} << false << 2LL << true;
    QTest::newRow("length field cut off")
        << soi + raw("\xFF\xE0\x00") << 0 << false << QStringList{"d8@2+0"} << false << 2LL << true;
    QTest::newRow("length 1") << soi + raw("\xFF\xE0\x00\x01") + app0 << 0 << false
                              << QStringList{"d8@2+0"} << false << 2LL << true;
    QTest::newRow("length 0 with stray bytes stepped over")
        << soi + raw("\xFF\xE0\x00\x00") + app0 << 0 << true << QStringList{"d8@2+0"} << false
        << 2LL << true;
    QTest::newRow("EOI ends the walk") << soi + raw("\xFF\xD9") + app0 << 0 << false
                                       << QStringList{"d8@2+0"} << false << 2LL << true;
    QTest::newRow("walk ends behind SOS")
        << soi + sos + app0 << 0 << false << QStringList{"d8@2+0", "da@6+1"} << true << 7LL << true;
    QTest::newRow("SOS whose payload runs past the end")
        << soi
               + raw("\xFF\xDA\x00\x10"
                     "abc")
        << 0 << false << QStringList{"d8@2+0", "da@6+14"} << true << 20LL << false;
    QTest::newRow("payload running past the end")
        << soi
               + raw("\xFF\xE0\x7F\xFF"
                     "ab")
        << 0 << false << QStringList{"d8@2+0", "e0@6+32765"} << false << 32771LL << false;
    QTest::newRow("start behind SOI")
        << soi + app0 << 2 << false << QStringList{"e0@6+4"} << false << 10LL << true;
    QTest::newRow("negative start reads from the beginning")
        << soi + app0 << -7 << false << QStringList{"d8@2+0", "e0@6+4"} << false << 10LL << true;
    QTest::newRow("start past the end")
        << soi << 9 << false << QStringList{} << false << 9LL << true;
    QTest::newRow("no bytes") << QByteArray() << 0 << false << QStringList{} << false << 0LL
                              << true;
}

void tst_JpegSegments::walk()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, start);
    QFETCH(bool, stepOverStray);
    QFETCH(QStringList, segments);
    QFETCH(bool, reachedScan);
    QFETCH(long long, position);
    QFETCH(bool, lastFits);

    const Walk w = ::walk(bytes, start,
                          stepOverStray ? SegmentWalker::StrayBytes::StepOver
                                        : SegmentWalker::StrayBytes::End);
    QCOMPARE(w.segments, segments);
    QCOMPARE(w.reachedScan, reachedScan);
    QCOMPARE(w.position, position);
    QCOMPARE(w.lastFits, lastFits);
    QVERIFY(w.stayedEnded);
}

// Every prefix of a real header yields a prefix of the full walk, never a
// segment that is not there, and reads nothing beyond the bytes given.
void tst_JpegSegments::everyTruncationStaysInside()
{
    const QByteArray file = realFile();
    QVERIFY(file.size() > 600);
    const Walk full = ::walk(file, 0, SegmentWalker::StrayBytes::End);
    QVERIFY(full.reachedScan);
    QVERIFY(full.segments.contains(QStringLiteral("e9@24+10"))); // APP9 behind APP0
    QVERIFY(full.segments.size() >= 9);
    const int headerEnd = int(full.position);
    // The walk reaches the scan once the SOS length field is there.
    const int sosLength = int(file.lastIndexOf(raw("\xFF\xDA"), headerEnd)) + 4;

    for (auto stray : {SegmentWalker::StrayBytes::End, SegmentWalker::StrayBytes::StepOver}) {
        for (int len = 0; len <= headerEnd + 8; ++len) {
            const Walk w = ::walk(file, 0, stray, len);
            QVERIFY2(w.segments.size() <= full.segments.size(), qPrintable(QString::number(len)));
            QCOMPARE(w.segments, full.segments.mid(0, w.segments.size()));
            QCOMPARE(w.reachedScan, len >= sosLength);
            QVERIFY(w.stayedEnded);
            if (len >= headerEnd)
                QCOMPARE(w.segments, full.segments);
        }
    }
}

void tst_JpegSegments::skipEntropyCoded_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("end");

    QTest::newRow("no marker") << raw("\x12\x34\x56") << 0 << 3;
    QTest::newRow("stuffed zero") << raw("\x12\xFF\x00\x34\xFF\xD9") << 0 << 4;
    QTest::newRow("stuffed zero followed by a marker") << raw("\xFF\x00\xFF\xD9") << 0 << 2;
    QTest::newRow("restart markers RST0 and RST7")
        << raw("\x01\xFF\xD0\x02\xFF\xD7\x03\xFF\xD9") << 0 << 7;
    QTest::newRow("fill bytes before a marker: the last 0xFF")
        << raw("\x01\xFF\xFF\xFF\xD9") << 0 << 3;
    QTest::newRow("next segment header") << raw("\x01\x02\xFF\xC4\x00\x02") << 0 << 2;
    QTest::newRow("0xFF as the last byte") << raw("\x01\xFF") << 0 << 2;
    QTest::newRow("only fill bytes") << raw("\xFF\xFF\xFF") << 0 << 3;
    QTest::newRow("marker at the start") << raw("\xFF\xDA\x00") << 0 << 0;
    QTest::newRow("start behind a marker") << raw("\xFF\xDA\x00\x05\xFF\xD9") << 2 << 4;
    QTest::newRow("negative start") << raw("\x11\xFF\xD9") << -3 << 1;
    QTest::newRow("start at the end") << raw("\x11\xFF") << 2 << 2;
    QTest::newRow("no bytes") << QByteArray() << 0 << 0;
}

void tst_JpegSegments::skipEntropyCoded()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, start);
    QFETCH(int, end);
    const ExactCopy copy(bytes);
    QCOMPARE(jpeg::skipEntropyCoded(copy.data.get(), copy.size, start), end);
}

// Behind the header of a file with a restart marker after every MCU, the
// entropy-coded data runs up to EOI, and every cut-off copy of it to its end.
void tst_JpegSegments::realFileScanRunsToEoi()
{
    const QByteArray file = realFile();
    const Walk header = ::walk(file, 0, SegmentWalker::StrayBytes::End);
    const int scan = int(header.position);
    QVERIFY(file.indexOf(raw("\xFF\xD2"), scan) > 0); // restart markers are there
    const int eoi = int(file.size()) - 2;
    for (int len = scan; len <= file.size(); ++len) {
        const ExactCopy copy(file, len);
        const int end = jpeg::skipEntropyCoded(copy.data.get(), copy.size, scan);
        QCOMPARE(end, len >= eoi + 2 ? eoi : len);
    }
}

QTEST_GUILESS_MAIN(tst_JpegSegments)
#include "tst_jpegsegments.moc"
