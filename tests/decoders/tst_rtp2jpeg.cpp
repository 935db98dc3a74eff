// SPDX-License-Identifier: MIT
#include "imagegetworker.h"
#include "jpegencoder.h"
#include "jpegheader.h"
#include "recordingsink.h"
#include "rtp2jpeg.h"
#include "rtpcounters.h"
#include "rtpjpegpacketizer.h"
#include "rtppackets.h"
#include "testfiles.h"
#include "workerharness.h"

#include <QRegularExpression>
#include <QTest>

#include <memory>
#include <thread>
#include <vector>

using namespace rtptest;

namespace {
constexpr int BuiltinLen = BuiltinJpegHeaderBytes;

QByteArray builtin()
{
    return byteArray(BuiltinJpegHeader, BuiltinLen);
}

QByteArray headerBytes(const Rtp2Jpeg& d, int len)
{
    return byteArray(d.header(), len);
}

QByteArray soi()
{
    return QByteArray("\xFF\xD8", 2);
}

QByteArray sof(int code, int height, int width)
{
    QByteArray p;
    p.append(char(8));
    put16(p, height);
    put16(p, width);
    p.append(QByteArray("\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01", 10));
    return jpegSegment(code, p);
}

QByteArray sos()
{
    return jpegSegment(0xDA, QByteArray("\x03\x01\x00\x02\x11\x03\x11\x00\x3F\x00", 10));
}

QByteArray dqt(int pqTq, const QByteArray& values)
{
    return jpegSegment(0xDB, char(pqTq) + values);
}

struct Counters
{
    std::int64_t lost = g_packetsLost.load();
    std::int64_t outOfOrder = g_packetsOutOfOrder.load();
    std::int64_t expected = g_packetsExpected.load();
};

// One packet of a test stream: sequence number, timestamp, fragment offset,
// scan bytes, marker.
struct Pkt
{
    int seq;
    std::uint32_t ts;
    int offset;
    int len;
    bool marker = false;
    std::uint32_t ssrc = 0x11223344;
};

QByteArray makePacket(const Pkt& k, const QByteArray& tables = ramp(128, 1), int widthByte = 80,
                      int heightByte = 60)
{
    // Type 65 with restart interval 60: the layout of the built-in header.
    return packet({.marker = k.marker, .sequence = k.seq, .timestamp = k.ts, .ssrc = k.ssrc},
                  {.fragmentOffset = k.offset,
                   .type = 65,
                   .widthByte = widthByte,
                   .heightByte = heightByte,
                   .tables = tables},
                  ramp(k.len, k.offset + k.seq));
}

// A reassembler filling a recording sink.
struct Rig
{
    explicit Rig(const ReferenceHeader& reference = std::nullopt) : decoder(&sink, reference) {}
    RecordingSink sink;
    Rtp2Jpeg decoder;

    void send(const Pkt& k) { feed(decoder, makePacket(k)); }
    void send(const QList<Pkt>& ks)
    {
        for (const Pkt& k : ks)
            send(k);
    }
};
} // namespace

Q_DECLARE_METATYPE(Pkt)

class tst_Rtp2Jpeg : public QObject
{
    Q_OBJECT

private slots:
    void builtinHeader();
    void patchBuiltin_data();
    void patchBuiltin();
    void referenceFile_data();
    void referenceFile();
    void referencePatching_data();
    void referencePatching();
    void builtinHeaderMismatchReported_data();
    void builtinHeaderMismatchReported();
    void tablesFromQ_data();
    void tablesFromQ();

    void streams_data();
    void streams();
    void sequenceAccounting_data();
    void sequenceAccounting();
    void ssrcChange();
    void malformedPacketsLeaveNoTrace();
    void rtcpDropped_data();
    void rtcpDropped();
    void paddingNotPlaced();
    void farFragmentGrowsBuffer();
    void twoThreadsShareCounters();
    void countersPass32Bits();
};

void tst_Rtp2Jpeg::builtinHeaderMismatchReported_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("restartHeader");
    QTest::addColumn<bool>("withReference");
    QTest::addColumn<QString>("problem");
    const QString fits = QString();
    const QByteArray every60 = raw("\x00\x3C\xFF\xFF");
    const QByteArray every16 = raw("\x00\x10\xFF\xFF");
    // The header is built for every type RFC 2435 defines.
    QTest::newRow("type 65, interval 60") << 65 << every60 << false << fits;
    QTest::newRow("type 1") << 1 << QByteArray() << false << fits;
    QTest::newRow("type 0") << 0 << QByteArray() << false << fits;
    QTest::newRow("type 65, another interval") << 65 << every16 << false << fits;
    QTest::newRow("type 64") << 64 << every16 << false << fits;
    QTest::newRow("type 2, not defined")
        << 2 << QByteArray() << false << "RTP/JPEG type 2 is not defined by RFC 2435";
    QTest::newRow("type 100, not defined")
        << 100 << every16 << false << "RTP/JPEG type 100 is not defined by RFC 2435";
    QTest::newRow("type 2 with a reference file: the user's choice")
        << 2 << QByteArray() << true << fits;
    // The reference here is the built-in header: 4:2:0, restart interval 60.
    QTest::newRow("reference of the stream's layout") << 65 << every60 << true << fits;
    QTest::newRow("reference with restart interval, stream without")
        << 1 << QByteArray() << true
        << "the reference file's layout (4:2:0 sampling, restart interval 60) does not fit the "
           "RTP/JPEG stream (type 1: 4:2:0 sampling, restart interval 0)";
    QTest::newRow("reference 4:2:0, stream 4:2:2")
        << 64 << every60 << true
        << "the reference file's layout (4:2:0 sampling, restart interval 60) does not fit the "
           "RTP/JPEG stream (type 64: 4:2:2 sampling, restart interval 60)";
}

void tst_Rtp2Jpeg::builtinHeaderMismatchReported()
{
    QFETCH(int, type);
    QFETCH(QByteArray, restartHeader);
    QFETCH(bool, withReference);
    QFETCH(QString, problem);
    RecordingSink sink;
    const ReferenceHeader reference =
        withReference ? ReferenceHeader(std::vector<unsigned char>(
            BuiltinJpegHeader, BuiltinJpegHeader + BuiltinJpegHeaderBytes))
                      : ReferenceHeader();
    Rtp2Jpeg d(&sink, reference);
    // Two frames: reported once, at the synchronisation.
    for (int frame = 0; frame < 2; ++frame)
        feed(d, packet({.marker = true, .sequence = frame, .timestamp = 3600u * frame},
                       {.type = type, .restartHeader = restartHeader, .tables = ramp(128, 1)},
                       ramp(100)));
    QCOMPARE(sink.frames.size(), 2);
    if (problem.isEmpty()) {
        QCOMPARE(sink.problems, QStringList());
    } else {
        QCOMPARE(sink.problems.size(), 1);
        QVERIFY2(sink.problems.first().startsWith(problem), qPrintable(sink.problems.first()));
    }
}

void tst_Rtp2Jpeg::builtinHeader()
{
    RecordingSink sink;
    Rtp2Jpeg d(&sink);
    QCOMPARE(d.headerLen(), 617);
    QCOMPARE(d.headerDataLen(), 1024);
    QCOMPARE(headerBytes(d, BuiltinLen), builtin());

    // The segments lie where the layout puts them, and the scan stops at SOS.
    struct Expect
    {
        int code, start, pos, length;
    };
    const Expect expect[] = {{0xE9, 0, 6, 4},      {0xDD, 0, 12, 4},      {0xDB, 0, 18, 67},
                             {0xDB, 83, 87, 67},   {0xC4, 0, 156, 31},    {0xC4, 185, 189, 181},
                             {0xC4, 368, 372, 31}, {0xC4, 401, 405, 181}, {0xC0, 0, 588, 17},
                             {0xDA, 0, 607, 12}};
    for (const Expect& e : expect) {
        int length = 0;
        QCOMPARE(d.findMarker(e.code, e.start, &length), e.pos);
        QCOMPARE(length, e.length);
    }
    int length = 0;
    QCOMPARE(d.findMarker(0xD9, 0, &length), -1);
    QCOMPARE(d.findMarker(0xDB, 152, &length), -1);
    QCOMPARE(d.header()[616], 0x00);
    QCOMPARE(d.header()[615], 0x3F);
}

void tst_Rtp2Jpeg::patchBuiltin_data()
{
    QTest::addColumn<int>("widthByte");
    QTest::addColumn<int>("heightByte");
    QTest::addColumn<QByteArray>("size");

    QTest::newRow("640 x 480, as built in") << 80 << 60 << QByteArray("\x01\xE0\x02\x80", 4);
    QTest::newRow("320 x 240") << 40 << 30 << QByteArray("\x00\xF0\x01\x40", 4);
    QTest::newRow("2040 x 8") << 255 << 1 << QByteArray("\x00\x08\x07\xF8", 4);
}

void tst_Rtp2Jpeg::patchBuiltin()
{
    QFETCH(int, widthByte);
    QFETCH(int, heightByte);
    QFETCH(QByteArray, size);

    Rig rig;
    const QByteArray tables = ramp(128, 0x80);
    feed(rig.decoder, makePacket({1, 1000, 0, 50, true}, tables, widthByte, heightByte));

    QByteArray expected = builtin();
    expected.replace(19, 64, tables.left(64));
    expected.replace(88, 64, tables.mid(64));
    expected.replace(589, 4, size);
    QCOMPARE(headerBytes(rig.decoder, BuiltinLen), expected);
    QCOMPARE(rig.sink.frames.size(), 1);
    QCOMPARE(rig.sink.frames[0].data.left(BuiltinLen), expected);
}

void tst_Rtp2Jpeg::referenceFile_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("headerLen");
    QTest::addColumn<int>("dataLen");

    const QByteArray base = soi() + dqt(0, ramp(64)) + dqt(1, ramp(64)) + sof(0xC0, 480, 640);
    {
        // APP0 padded so that SOS ends at byte 623.
        const int appPayload = 623 - int(base.size()) - 14 - 4;
        QByteArray f = soi() + jpegSegment(0xE0, QByteArray(appPayload, 'a')) + base.mid(2) + sos();
        QCOMPARE(f.size(), 623);
        f += ramp(5000 - 623);
        QTest::newRow("5000 bytes, SOS ending at 623") << f << 623 << 1024;
    }
    {
        QByteArray f = base + sos();
        const int end = int(f.size());
        f += ramp(300 - end);
        QTest::newRow("300 bytes") << f << end << 300;
    }
    QTest::newRow("no SOS") << base + ramp(100) << 0 << int(base.size()) + 100;
    {
        QByteArray f = soi() + jpegSegment(0xE1, QByteArray(1009, 'x')) + sos() + ramp(100);
        QTest::newRow("SOS cut off by the 1024-byte limit") << f << 0 << 1024;
    }
    QTest::newRow("length field at the very end")
        << soi() + QByteArray("\xFF\xDB\x00", 3) << 0 << 5;
    QTest::newRow("segment length below 2")
        << soi() + QByteArray("\xFF\xE0\x00\x01", 4) + sos() << 0 << 20;
    QTest::newRow("segment running past the file")
        << soi() + QByteArray("\xFF\xE0\x7F\xFF", 4) + ramp(40) << 0 << 46;
    QTest::newRow("fill bytes before a marker")
        << soi() + QByteArray("\xFF\xFF", 2) + sos() << 18 << 18;
    QTest::newRow("empty file") << QByteArray() << 0 << 0;
}

void tst_Rtp2Jpeg::referenceFile()
{
    QFETCH(QByteArray, file);
    QFETCH(int, headerLen);
    QFETCH(int, dataLen);

    Rig rig(referenceHeader(file));
    const Rtp2Jpeg& d = rig.decoder;
    QCOMPARE(d.headerLen(), headerLen);
    QCOMPARE(d.headerDataLen(), dataLen);
    QCOMPARE(headerBytes(d, dataLen), file.left(dataLen));

    // Patching never writes beyond the bytes read, and a frame carries
    // exactly the header found.
    rig.send({1, 1000, 0, 30, true});
    for (int i = dataLen; i < Rtp2Jpeg::HeaderStoreBytes; ++i)
        QCOMPARE(d.header()[i], 0);
    QCOMPARE(rig.sink.frames.size(), 1);
    QCOMPARE(rig.sink.frames[0].data.size(), headerLen + 30 + 2);
    QCOMPARE(rig.sink.frames[0].data.left(headerLen), headerBytes(d, headerLen));

    // A worker reads the same bytes from its reference file.
    WorkerFixture f(QStringLiteral("RTP"));
    writeFile(f.referenceFile(), file);
    const Rtp2Jpeg fromFile(&f.worker);
    QCOMPARE(fromFile.headerLen(), headerLen);
    QCOMPARE(fromFile.headerDataLen(), dataLen);
    QCOMPARE(headerBytes(fromFile, dataLen), file.left(dataLen));
}

void tst_Rtp2Jpeg::referencePatching_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("tables");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<int>("result");

    const QByteArray old0(64, char(0x10));
    const QByteArray old1(64, char(0x20));
    const QByteArray in = ramp(128, 0x40);
    const QByteArray sofOld = sof(0xC0, 16, 16);
    const QByteArray sofNew = sof(0xC0, 240, 320);

    QTest::newRow("swapped table order")
        << soi() + dqt(1, old1) + dqt(0, old0) + sofOld + sos() << in
        << soi() + dqt(1, in.mid(64)) + dqt(0, in.left(64)) + sofNew + sos() << 0;
    {
        QByteArray ff = in;
        ff.replace(0, 4, QByteArray("\xFF\xDB\x00\x43", 4));
        ff[63] = char(0xFF);
        QTest::newRow("0xFF values in the first table")
            << soi() + dqt(0, old0) + dqt(1, old1) + sofOld + sos() << ff
            << soi() + dqt(0, ff.left(64)) + dqt(1, ff.mid(64)) + sofNew + sos() << 0;
    }
    QTest::newRow("both tables in one segment")
        << soi() + jpegSegment(0xDB, char(0) + old0 + char(1) + old1) + sofOld + sos() << in
        << soi() + jpegSegment(0xDB, char(0) + in.left(64) + char(1) + in.mid(64)) + sofNew + sos()
        << 0;
    {
        const QByteArray wide = ramp(128, 3);
        QTest::newRow("16-bit table stepped over")
            << soi() + jpegSegment(0xDB, char(0x10) + wide + char(1) + old1) + sofOld + sos() << in
            << soi() + jpegSegment(0xDB, char(0x10) + wide + char(1) + in.mid(64)) + sofNew + sos()
            << 0;
    }
    QTest::newRow("table 2 left alone")
        << soi() + dqt(2, old0) + dqt(1, old1) + sofOld + sos() << in
        << soi() + dqt(2, old0) + dqt(1, in.mid(64)) + sofNew + sos() << 0;
    QTest::newRow("table cut short by its segment")
        << soi() + jpegSegment(0xDB, char(0) + old0.left(40)) + sofOld + sos() << in
        << soi() + jpegSegment(0xDB, char(0) + old0.left(40)) + sofNew + sos() << 0;
    QTest::newRow("progressive frame: tables only")
        << soi() + dqt(0, old0) + dqt(1, old1) + sof(0xC2, 16, 16) + sos() << in
        << soi() + dqt(0, in.left(64)) + dqt(1, in.mid(64)) + sof(0xC2, 16, 16) + sos() << -1;
    QTest::newRow("no DQT: nothing changed")
        << soi() + sofOld + sos() << in << soi() + sofOld + sos() << -1;
    {
        // The DQT segment claims more bytes than the file holds; its table
        // is patched only as far as the file goes.
        QByteArray f = soi() + QByteArray("\xFF\xDB\x02\x00", 4) + char(0) + old0.left(30);
        QTest::newRow("DQT segment past the end of the file") << f << in << f << -1;
    }
    QTest::newRow("no tables received: the reference's stay")
        << soi() + dqt(0, old0) + dqt(1, old1) + sofOld + sos() << QByteArray()
        << soi() + dqt(0, old0) + dqt(1, old1) + sofNew + sos() << 0;
}

void tst_Rtp2Jpeg::referencePatching()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, tables);
    QFETCH(QByteArray, expected);
    QFETCH(int, result);

    Rig rig(referenceHeader(file));
    feed(rig.decoder, makePacket({1, 1000, 0, 10, true}, tables, 40, 30));
    QVERIFY(!rig.decoder.waitingForSync());
    QCOMPARE(headerBytes(rig.decoder, int(file.size())), expected);
    for (int i = int(file.size()); i < Rtp2Jpeg::HeaderStoreBytes; ++i)
        QCOMPARE(rig.decoder.header()[i], 0);
    QCOMPARE(rig.decoder.updateHeader(), result);
}

void tst_Rtp2Jpeg::tablesFromQ_data()
{
    QTest::addColumn<int>("q");
    QTest::addColumn<bool>("scaled");

    for (int q : {1, 10, 25, 50, 75, 90, 99})
        QTest::addRow("Q %d: scaled standard tables", q) << q << true;
    for (int q : {0, 100, 127})
        QTest::addRow("Q %d: reserved, the reference's tables stay", q) << q << false;
    QTest::addRow("Q 255 without tables: the reference's tables stay") << 255 << false;
}

// For Q 1-99 the header holds the tables that libjpeg's quality scaling of
// the standard tables gives, which is the scaling RFC 2435 prescribes.
void tst_Rtp2Jpeg::tablesFromQ()
{
    QFETCH(int, q);
    QFETCH(bool, scaled);

    Rig rig;
    feed(rig.decoder, packet({.marker = true, .sequence = 5}, {.type = 65, .q = q}, ramp(10)));
    QVERIFY(!rig.decoder.waitingForSync());

    QByteArray expected0 = builtin().mid(19, 64);
    QByteArray expected1 = builtin().mid(88, 64);
    if (scaled) {
        simlib::JpegEncodeOptions options;
        options.quality = q;
        std::vector<unsigned char> rgb(16 * 16 * 3, 0x80);
        const QByteArray jpeg = simlib::encodeJpeg(rgb.data(), 16, 16, 3, options);
        simlib::JpegScanInfo info;
        QVERIFY(simlib::parseBaselineJpeg(ubytes(jpeg), int(jpeg.size()), &info));
        QCOMPARE(info.qTables.size(), 128);
        expected0 = info.qTables.left(64);
        expected1 = info.qTables.mid(64);
    }
    QCOMPARE(headerBytes(rig.decoder, BuiltinLen).mid(19, 64), expected0);
    QCOMPARE(headerBytes(rig.decoder, BuiltinLen).mid(88, 64), expected1);
}

void tst_Rtp2Jpeg::streams_data()
{
    QTest::addColumn<QList<Pkt>>("packets");
    QTest::addColumn<QList<int>>("framesAfter");  // frames delivered after each packet
    QTest::addColumn<QList<QByteArray>>("scans"); // the scan data of each frame
    QTest::addColumn<int>("syncAt");              // the packet the reassembler synchronises on
    QTest::addColumn<QList<int>>("counts");       // out of order, lost, expected; -1 unchecked
    QTest::addColumn<bool>("quietLog");           // no log text with any frame

    const QList<int> unchecked{-1, -1, -1};
    QTest::newRow("three packets make one frame")
        << QList<Pkt>{{7, 1000, 0, 1000}, {8, 1000, 1000, 1000}, {9, 1000, 2000, 500, true}}
        << QList<int>{0, 0, 1}
        << QList<QByteArray>{ramp(1000, 7) + ramp(1000, 1008) + ramp(500, 2009)} << 0 << unchecked
        << false;
    // The first frame after synchronisation is not opened by a timestamp
    // change: without its marker it is never completed. Frame 2000 is
    // opened by its timestamp and its marker packet is lost: frame 3000,
    // once its second packet confirms its first, completes it, then goes to
    // the other array.
    QTest::newRow("a lost marker: the next timestamp completes the frame")
        << QList<Pkt>{{1, 1000, 0, 100},   {2, 1000, 100, 100}, {4, 2000, 0, 300},
                      {5, 2000, 300, 200}, {6, 3000, 0, 50},    {7, 3000, 50, 50, true}}
        << QList<int>{0, 0, 0, 0, 0, 2}
        << QList<QByteArray>{ramp(300, 4) + ramp(200, 305), ramp(50, 6) + ramp(50, 57)} << 0
        << unchecked << false;
    QTest::newRow("a late packet shortens the frame")
        << QList<Pkt>{{1, 1000, 0, 1000}, {3, 1000, 2000, 500}, {2, 1000, 1000, 1000, true}}
        << QList<int>{0, 0, 1} << QList<QByteArray>{ramp(1000, 1) + ramp(1000, 1002)} << 0
        << QList<int>{1, -1, -1} << false;
    // The marker packet repeated, and a late middle packet: both are counted
    // as out of order but complete nothing. A sender without buffer times
    // gives the next frame the same timestamp; in sequence, it is a frame of
    // its own.
    QTest::newRow("repeated packets of a completed frame dropped")
        << QList<Pkt>{{1, 1000, 0, 100}, {2, 1000, 100, 100, true}, {2, 1000, 100, 100, true},
                      {1, 1000, 0, 100}, {3, 2000, 0, 50, true},    {4, 2000, 0, 70, true}}
        << QList<int>{0, 1, 1, 1, 2, 3}
        << QList<QByteArray>{ramp(100, 1) + ramp(100, 102), ramp(50, 3), ramp(70, 4)} << 0
        << QList<int>{2, -1, -1} << false;
    // A late frame, then a newer sequence number with an older timestamp:
    // held, never confirmed, and its number counts as missed.
    QTest::newRow("older timestamps dropped")
        << QList<Pkt>{{10, 5000, 0, 100, true},
                      {11, 6000, 0, 100},
                      {9, 4000, 0, 100, true},
                      {12, 5500, 100, 100, true},
                      {13, 6000, 100, 100, true}}
        << QList<int>{1, 1, 1, 1, 2}
        << QList<QByteArray>{ramp(100, 10), ramp(100, 11) + ramp(100, 113)} << 0
        << QList<int>{1, 1, 4} << false;
    // Nothing before the first fragment is counted or logged (the MARK of
    // packet 0 is never written).
    QTest::newRow("waits for a first fragment")
        << QList<Pkt>{{0, 1000, 100, 100},
                      {1, 1000, 200, 100, true},
                      {2, 2000, 50, 100, true},
                      {3, 3000, 0, 100},
                      {4, 3000, 100, 100, true}}
        << QList<int>{0, 0, 0, 0, 1} << QList<QByteArray>{ramp(100, 3) + ramp(100, 104)} << 3
        << QList<int>{0, 0, 2} << true;
}

// Packets of one SSRC in the order given: which frames complete when, with
// what, and how the packets are counted.
void tst_Rtp2Jpeg::streams()
{
    QFETCH(QList<Pkt>, packets);
    QFETCH(QList<int>, framesAfter);
    QFETCH(QList<QByteArray>, scans);
    QFETCH(int, syncAt);
    QFETCH(QList<int>, counts);
    QFETCH(bool, quietLog);

    Rig rig;
    const Counters before;
    for (int i = 0; i < packets.size(); ++i) {
        rig.send(packets[i]);
        QCOMPARE(rig.sink.frames.size(), framesAfter[i]);
        QCOMPARE(rig.decoder.waitingForSync(), i < syncAt);
    }
    const Counters after;
    const std::int64_t deltas[] = {after.outOfOrder - before.outOfOrder, after.lost - before.lost,
                                   after.expected - before.expected};
    for (int i = 0; i < 3; ++i)
        if (counts[i] >= 0)
            QCOMPARE(deltas[i], std::int64_t(counts[i]));
    for (int i = 0; i < scans.size(); ++i) {
        QCOMPARE(rig.sink.frames[i].data,
                 headerBytes(rig.decoder, BuiltinLen) + scans[i] + QByteArray("\xFF\xD9", 2));
        if (quietLog)
            QVERIFY(rig.sink.frames[i].log.isEmpty());
    }
}

void tst_Rtp2Jpeg::sequenceAccounting_data()
{
    QTest::addColumn<QList<int>>("sequence");
    QTest::addColumn<int>("lost");
    QTest::addColumn<int>("outOfOrder");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("in order") << QList<int>{10, 11, 12} << 0 << 0 << 3 << QStringList();
    QTest::newRow("wrap without a gap") << QList<int>{65535, 0, 1} << 0 << 0 << 3
                                        << QStringList{QStringLiteral("MARK 64k packets")};
    QTest::newRow("gap of three") << QList<int>{100, 104} << 3 << 0 << 5
                                  << QStringList{
                                         QStringLiteral("image:1000, missed 3 packets after 100")};
    QTest::newRow("gap across the wrap")
        << QList<int>{65534, 2} << 3 << 0 << 5
        << QStringList{QStringLiteral("image:1000, missed 3 packets after 65534")};
    QTest::newRow("late and repeated packets")
        << QList<int>{100, 101, 99, 101, 102} << 0 << 2 << 3 << QStringList();
    QTest::newRow("gap line names the newest in-order packet")
        << QList<int>{100, 101, 98, 105} << 3 << 1 << 6
        << QStringList{QStringLiteral("missed 3 packets after 101")};
    QTest::newRow("half the number space back is late")
        << QList<int>{40000, 40000 - 32768} << 0 << 1 << 1 << QStringList();
}

void tst_Rtp2Jpeg::sequenceAccounting()
{
    QFETCH(QList<int>, sequence);
    QFETCH(int, lost);
    QFETCH(int, outOfOrder);
    QFETCH(int, expected);
    QFETCH(QStringList, lines);

    Rig rig;
    RtpCounters device; // this stream's own figures, beside the process-wide ones
    rig.decoder.setDeviceCounters(&device);
    const Counters before;
    for (int i = 0; i < sequence.size(); ++i)
        rig.send({sequence[i], 1000, 100 * i, 100});
    rig.decoder.decode(nullptr, 0); // rejected, changes nothing
    const Counters after;
    QCOMPARE(after.lost - before.lost, lost);
    QCOMPARE(after.outOfOrder - before.outOfOrder, outOfOrder);
    QCOMPARE(after.expected - before.expected, expected);
    QCOMPARE(device.lost.load(), lost);
    QCOMPARE(device.outOfOrder.load(), outOfOrder);
    QCOMPARE(device.expected.load(), expected);

    // The frame's marker packet delivers the log text gathered so far.
    rig.send({(sequence.last() + 1) & 0xFFFF, 1000, 100 * int(sequence.size()), 10, true});
    QCOMPARE(rig.sink.frames.size(), 1);
    const QString log = rig.sink.frames[0].log;
    const QRegularExpression line(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d: .*\\n$"));
    const QStringList logLines = log.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(logLines.size(), lines.size());
    for (int i = 0; i < lines.size(); ++i) {
        QVERIFY2(logLines[i].contains(lines[i]), qPrintable(log));
        QVERIFY2(line.match(logLines[i] + QLatin1Char('\n')).hasMatch(), qPrintable(log));
    }
}

void tst_Rtp2Jpeg::ssrcChange()
{
    Rig rig;
    rig.send({{1, 1000, 0, 100}, {2, 1000, 100, 100}});
    // A first fragment of a new SSRC resynchronises at once; the abandoned
    // frame is never completed. The new stream's size reaches the header.
    feed(rig.decoder, makePacket({500, 9, 0, 100, false, 0xABCD}, ramp(128, 9), 40, 30));
    feed(rig.decoder, makePacket({501, 9, 100, 100, true, 0xABCD}));
    QCOMPARE(rig.sink.frames.size(), 1);
    QByteArray f = rig.sink.frames[0].data;
    QCOMPARE(f.size(), 617 + 200 + 2);
    QCOMPARE(f.mid(589, 4), QByteArray("\x00\xF0\x01\x40", 4));
    QCOMPARE(f.mid(19, 64), ramp(64, 9));
    QCOMPARE(f.mid(617, 100), ramp(100, 500));

    // Another SSRC on a later fragment: dropped until its first fragment.
    const Counters before;
    feed(rig.decoder, makePacket({70, 20, 100, 100, true, 0x5555}));
    feed(rig.decoder, makePacket({502, 10, 100, 100, true, 0xABCD}));
    QVERIFY(rig.decoder.waitingForSync());
    QCOMPARE(rig.sink.frames.size(), 1);
    QCOMPARE(g_packetsExpected.load(), before.expected);
    feed(rig.decoder, makePacket({71, 20, 0, 100, true, 0x5555}, ramp(128, 30), 20, 10));
    QCOMPARE(rig.sink.frames.size(), 2);
    QCOMPARE(rig.sink.frames[1].data.mid(589, 4), QByteArray("\x00\x50\x00\xA0", 4));
    QCOMPARE(g_packetsExpected.load() - before.expected, 1);
}

void tst_Rtp2Jpeg::malformedPacketsLeaveNoTrace()
{
    Rig rig;
    rig.send({{1, 1000, 0, 100}, {2, 1000, 100, 100}});
    const Counters before;
    const QByteArray good = makePacket({3, 1000, 200, 100, true});
    for (int n = 0; n < 20; ++n)
        feed(rig.decoder, good.left(n)); // headers cut short
    QByteArray badPad = good;
    badPad[0] = char(badPad[0] | 0x20);
    badPad[badPad.size() - 1] = char(0);
    feed(rig.decoder, badPad);
    const Counters after;
    QCOMPARE(after.expected, before.expected);
    QCOMPARE(after.outOfOrder, before.outOfOrder);
    QCOMPARE(rig.sink.frames.size(), 0);
    feed(rig.decoder, good);
    QCOMPARE(rig.sink.frames.size(), 1);
    QCOMPARE(rig.sink.frames[0].data.size(), 617 + 300 + 2);
}

void tst_Rtp2Jpeg::rtcpDropped_data()
{
    QTest::addColumn<int>("packetType");
    for (int type = 200; type <= 204; ++type)
        QTest::addRow("RTCP type %d", type) << type;
}

void tst_Rtp2Jpeg::rtcpDropped()
{
    // An RTCP packet shaped to look like a first fragment of a new SSRC: read
    // as RTP it would synchronise the reassembler on its bytes.
    QFETCH(int, packetType);
    Rig rig;
    rig.send({{1, 1000, 0, 100}});
    const Counters before;
    Pkt k{2, 2000, 0, 100, true};
    k.ssrc = 0x55667788;
    QByteArray rtcp = makePacket(k);
    rtcp[1] = char(packetType);
    feed(rig.decoder, rtcp);
    const Counters after;
    QCOMPARE(after.expected, before.expected);
    QCOMPARE(after.outOfOrder, before.outOfOrder);
    QCOMPARE(after.lost, before.lost);
    QCOMPARE(rig.decoder.rtcpDropped(), 1);
    QCOMPARE(rig.sink.frames.size(), 0);
    // The stream goes on as if nothing had come.
    rig.send({{2, 1000, 100, 100, true}});
    QCOMPARE(rig.sink.frames.size(), 1);
    QCOMPARE(rig.sink.frames[0].data.size(), 617 + 200 + 2);
}

void tst_Rtp2Jpeg::paddingNotPlaced()
{
    Rig rig;
    feed(rig.decoder, packet({.marker = true,
                              .sequence = 1,
                              .timestamp = 1000,
                              .paddingBytes = 7,
                              .extensionWords = 3},
                             {.type = 65, .tables = ramp(128)}, ramp(100, 33)));
    QCOMPARE(rig.sink.frames.size(), 1);
    const QByteArray f = rig.sink.frames[0].data;
    QCOMPARE(f.size(), 617 + 100 + 2);
    QCOMPARE(f.mid(617, 100), ramp(100, 33));
    QCOMPARE(f.right(2), QByteArray("\xFF\xD9", 2));
}

// A fragment offset far beyond the initial capacity grows the write buffer
// in several steps and keeps what earlier packets placed.
void tst_Rtp2Jpeg::farFragmentGrowsBuffer()
{
    Rig rig;
    const int before = rig.sink.writeCapacity();
    rig.send({{1, 1000, 0, 1000}, {2, 1000, 0xFFFF00, 1000, true}});
    QCOMPARE(rig.sink.frames.size(), 1);
    const QByteArray f = rig.sink.frames[0].data;
    QCOMPARE(f.size(), 617 + 0xFFFF00 + 1000 + 2);
    QCOMPARE(f.mid(617, 1000), ramp(1000, 1));
    QCOMPARE(f.mid(617 + 0xFFFF00, 1000), ramp(1000, 0xFFFF00 + 2));
    QCOMPARE(f.right(2), QByteArray("\xFF\xD9", 2));

    // The other array grows too when a frame there needs it; the one just
    // filled keeps its larger capacity.
    rig.send({{3, 2000, 0, 10}, {4, 2000, 5000000, 10, true}});
    QCOMPARE(rig.sink.frames.size(), 2);
    QCOMPARE(rig.sink.frames[1].data.size(), 617 + 5000000 + 10 + 2);
    QVERIFY(rig.sink.writeCapacity() > before);
}

void tst_Rtp2Jpeg::twoThreadsShareCounters()
{
    constexpr int Packets = 5000;
    const Counters before;
    auto run = [](std::uint32_t ssrc) {
        RecordingSink sink;
        Rtp2Jpeg d(&sink);
        // Every tenth packet skips two numbers: 2 lost, and one late
        // repeat after it.
        int seq = 0;
        for (int i = 0; i < Packets; ++i) {
            const bool gap = i % 10 == 9;
            seq = (seq + (gap ? 3 : 1)) & 0xFFFF;
            const int offset = i % 10 == 0 ? 0 : 100 * (i % 10);
            feed(d,
                 makePacket({seq, std::uint32_t(1000 + i / 10), offset, 100, i % 10 == 9, ssrc}));
            if (gap)
                feed(d, makePacket({(seq - 1) & 0xFFFF, std::uint32_t(1000 + i / 10), 0, 10, false,
                                    ssrc}));
        }
    };
    std::thread a(run, 0xAAAA0001u);
    std::thread b(run, 0xBBBB0002u);
    a.join();
    b.join();
    const Counters after;
    // The first packet (seq 1) synchronises; seq 0 was never sent.
    const int gaps = Packets / 10;
    QCOMPARE(after.lost - before.lost, 2 * 2 * gaps);
    QCOMPARE(after.outOfOrder - before.outOfOrder, 2 * gaps);
    const int lastSeq = Packets + 2 * gaps;
    QCOMPARE(after.expected - before.expected, 2 * lastSeq);
}

// A stream that claims 32767 lost packets with every datagram passes 2^31
// within minutes; the counters keep counting instead of wrapping.
void tst_Rtp2Jpeg::countersPass32Bits()
{
    const Counters saved;
    constexpr std::int64_t Start = INT32_MAX - 10;
    g_packetsLost = Start;
    g_packetsOutOfOrder = Start;
    g_packetsExpected = Start;
    Rig rig;
    rig.send({{1, 1000, 0, 10}, {32001, 1000, 10, 10}, {30000, 1000, 20, 10}});
    const Counters after;
    g_packetsLost = saved.lost;
    g_packetsOutOfOrder = saved.outOfOrder;
    g_packetsExpected = saved.expected;
    QCOMPARE(after.lost, Start + 31999);
    QCOMPARE(after.expected, Start + 1 + 32000);
    QCOMPARE(after.outOfOrder, Start + 1);
    QVERIFY(after.lost > std::int64_t(1) << 31);
}

QTEST_GUILESS_MAIN(tst_Rtp2Jpeg)
#include "tst_rtp2jpeg.moc"
