// SPDX-License-Identifier: MIT
// Hostile datagrams on an RTP/JPEG port, handed to a synchronised
// reassembler between two frames of a good stream. Each row asserts that
// nothing is read outside the datagram (each one sits in an allocation of
// exactly its size), that every frame handed over is a whole JPEG within the
// frame bound, and that the next good frame is delivered intact.
#include "framelimits.h"
#include "jpegheader.h"
#include "recordingsink.h"
#include "rtp2jpeg.h"
#include "rtpcounters.h"
#include "rtppackets.h"
#include "testfiles.h"

#include <QTest>

using namespace rtptest;
using Datagrams = QList<QByteArray>;

namespace {

constexpr std::uint32_t GoodSsrc = 0x11223344;

QByteArray goodPacket(int seq, std::uint32_t ts, int offset, int len, bool marker)
{
    // Type 65 with restart interval 60: the layout of the built-in header.
    return packet({.marker = marker, .sequence = seq, .timestamp = ts, .ssrc = GoodSsrc},
                  {.fragmentOffset = offset, .type = 65, .tables = ramp(128, 1)},
                  ramp(len, offset + 7));
}

// The scan data of a good two-packet frame and the frame the reassembler
// makes of it with the built-in header.
QByteArray goodScan()
{
    return ramp(1000, 7) + ramp(500, 1000 + 7);
}

// A packet of the good stream with its bytes replaced from `at` on.
QByteArray patched(QByteArray p, int at, const QByteArray& bytes)
{
    p.replace(at, bytes.size(), bytes);
    return p;
}

QByteArray rtcp(int type)
{
    // V=2, no count, the packet type, a length, the sender's SSRC, then
    // zeros: read as RTP that is a marker packet of type 72-76 whose JPEG
    // fragment offset is 0.
    QByteArray b;
    b.append(char(0x80));
    b.append(char(type));
    put16(b, 6);
    put32(b, GoodSsrc);
    b.append(QByteArray(24, '\0'));
    return b;
}

} // namespace

class tst_BadStreamsRtp : public QObject
{
    Q_OBJECT

private slots:
    void hostileDatagrams_data();
    void hostileDatagrams();
    void senderRestartsWithSameSsrc_data();
    void senderRestartsWithSameSsrc();
    void loneOutlierChangesNothing_data();
    void loneOutlierChangesNothing();
    void zeroSizeDropped_data();
    void zeroSizeDropped();
};

void tst_BadStreamsRtp::hostileDatagrams_data()
{
    QTest::addColumn<Datagrams>("bad");

    const QByteArray first = goodPacket(20, 5000, 0, 100, false);
    const QByteArray later = goodPacket(21, 5000, 100, 100, true);

    for (int n = 1; n <= 11; ++n)
        QTest::addRow("%d bytes", n) << Datagrams{first.left(n)};
    QTest::newRow("CC 15 with fewer CSRC bytes")
        << Datagrams{patched(later, 0, QByteArray(1, char(0x8F))).left(40)};
    // Extension length 0xFF01 words.
    QTest::newRow("extension longer than the packet") << Datagrams{
        patched(packet({.ssrc = GoodSsrc, .extensionWords = 1}, {}, ramp(10)), 14, raw("\xFF"))};
    QTest::newRow("padding count 0") << Datagrams{patched(
        patched(later, 0, QByteArray(1, char(0xA0))), int(later.size()) - 1, QByteArray(1, '\0'))};
    QTest::newRow("padding longer than the payload")
        << Datagrams{patched(patched(later, 0, QByteArray(1, char(0xA0))), int(later.size()) - 1,
                             QByteArray(1, char(0xFF)))};
    for (int type : {64, 65, 100, 127}) {
        // The restart marker header is announced and cut off after 0-3 bytes.
        const QByteArray p =
            packet({.ssrc = GoodSsrc}, {.fragmentOffset = 300, .type = type, .q = 80}, {});
        for (int keep = 0; keep < 4; ++keep)
            QTest::addRow("type %d, %d of 4 restart header bytes", type, keep)
                << Datagrams{p.left(12 + 8 + keep)};
    }
    for (int tableLength : {0, 129, 256, 65535}) {
        for (bool pastEnd : {false, true}) {
            if (pastEnd && tableLength == 0)
                continue;
            // Past the end: half the tables, then 64 bytes of scan data.
            QTest::addRow("Q 200, table length %d%s", tableLength, pastEnd ? " past the end" : "")
                << Datagrams{packet({.sequence = 40, .timestamp = 7000, .ssrc = GoodSsrc},
                                    {.q = 200,
                                     .tables = ramp(pastEnd ? tableLength / 2 : tableLength),
                                     .tableLength = tableLength},
                                    ramp(64))};
        }
    }
    for (int wh : {0x0000, 0x0050, 0x5000}) {
        // A new stream: the reassembler synchronises on it.
        QTest::addRow("width byte %d, height byte %d", wh >> 8, wh & 0xFF) << Datagrams{
            packet({.marker = true, .sequence = 1, .timestamp = 9000, .ssrc = 0x5EED0000u + wh},
                   {.widthByte = wh >> 8, .heightByte = wh & 0xFF, .tables = ramp(128)}, ramp(50))};
    }
    for (int offset : {0xFFFFFF, 0xFFFFF0, 0x800000}) {
        for (bool marker : {true, false})
            QTest::addRow(marker ? "fragment offset 0x%X with a marker"
                                 : "fragment offset 0x%X opening a frame",
                          offset)
                << Datagrams{packet(
                       {.marker = marker, .sequence = 30, .timestamp = 6000, .ssrc = GoodSsrc},
                       {.fragmentOffset = offset}, ramp(1400))};
    }
    QTest::newRow("marker on an empty frame")
        << Datagrams{packet({.marker = true, .sequence = 22, .timestamp = 6000, .ssrc = GoodSsrc},
                            {.tables = ramp(128)}, {})};
    QTest::newRow("marker on a later fragment, nothing placed")
        << Datagrams{packet({.marker = true, .sequence = 22, .timestamp = 6100, .ssrc = GoodSsrc},
                            {.fragmentOffset = 5000, .tables = ramp(128)}, {})};
    Datagrams every;
    for (int i = 0; i < 200; ++i) // every fourth at offset 0
        every.append(packet({.marker = i % 3 == 0,
                             .sequence = i,
                             .timestamp = std::uint32_t(i) * 3000,
                             .ssrc = 0xA0000000u + i},
                            {.fragmentOffset = (i % 4) * 100, .tables = ramp(128, i)},
                            ramp(100, i)));
    QTest::newRow("SSRC changing on every packet") << every;
    for (int type = 200; type <= 204; ++type)
        QTest::addRow("RTCP packet type %d on the same port", type) << Datagrams{rtcp(type)};
}

void tst_BadStreamsRtp::hostileDatagrams()
{
    QFETCH(Datagrams, bad);

    RecordingSink sink;
    Rtp2Jpeg decoder(&sink);

    // A good frame synchronises the reassembler.
    feed(decoder, goodPacket(1, 1000, 0, 1000, false));
    feed(decoder, goodPacket(2, 1000, 1000, 500, true));
    QCOMPARE(sink.frames.size(), 1);
    const QByteArray header = sink.frames[0].data.left(BuiltinJpegHeaderBytes);

    for (const QByteArray& d : bad)
        feed(decoder, d);

    // The next good frame starts with a first fragment (offset 0), as every
    // frame of the stream does, so it synchronises anew if the hostile
    // datagrams looked like another stream.
    const int before = int(sink.frames.size());
    feed(decoder, goodPacket(100, 90000, 0, 1000, false));
    feed(decoder, goodPacket(101, 90000, 1000, 500, true));
    QVERIFY(sink.frames.size() > before);
    const QByteArray last = sink.frames.last().data;
    QCOMPARE(last.size(), BuiltinJpegHeaderBytes + 1500 + 2);
    QCOMPARE(last.left(BuiltinJpegHeaderBytes), header);
    QCOMPARE(last.mid(BuiltinJpegHeaderBytes, 1500), goodScan());
    QCOMPARE(last.right(2), QByteArray("\xFF\xD9", 2));

    for (const RecordingSink::Frame& f : sink.frames) {
        // The shortest header built is the built-in one without its DRI.
        QVERIFY(f.data.size() >= BuiltinJpegHeaderBytes - 6 + 2);
        QVERIFY(f.data.size() <= MaxFrameBytes);
        QCOMPARE(f.data.left(2), QByteArray("\xFF\xD8", 2));
        QCOMPARE(f.data.right(2), QByteArray("\xFF\xD9", 2));
    }
}

void tst_BadStreamsRtp::senderRestartsWithSameSsrc_data()
{
    QTest::addColumn<qint64>("back"); // ticks the new timestamps lie behind the old
    QTest::addColumn<bool>("resynchronised");

    QTest::newRow("1 s back: a late frame, dropped") << qint64(90000) << false;
    QTest::newRow("10 s back: still a late frame") << qint64(Rtp2Jpeg::RestartTicks) << false;
    QTest::newRow("10 s and one tick back: a restart")
        << qint64(Rtp2Jpeg::RestartTicks) + 1 << true;
    QTest::newRow("1 hour back") << qint64(3600) * 90000 << true;
    QTest::newRow("half the timestamp range back") << qint64(0x7FFFFFFF) << true;
}

// A camera that restarts keeps its SSRC but starts its sequence numbers and
// timestamps anew. Its frames are shown again from its first frame whose
// timestamp lies clearly behind the last one, instead of all being dropped
// as late until the new timestamps pass the old.
void tst_BadStreamsRtp::senderRestartsWithSameSsrc()
{
    QFETCH(qint64, back);
    QFETCH(bool, resynchronised);

    RecordingSink sink;
    Rtp2Jpeg decoder(&sink);
    const std::uint32_t old = 0x80000000u;
    feed(decoder, goodPacket(500, old, 0, 1000, false));
    feed(decoder, goodPacket(501, old, 1000, 500, true));
    QCOMPARE(sink.frames.size(), 1);

    const std::uint32_t restarted = old - std::uint32_t(back);
    for (int frame = 0; frame < 3; ++frame) {
        const std::uint32_t ts = restarted + std::uint32_t(frame) * 3000;
        feed(decoder, goodPacket(2 * frame, ts, 0, 1000, false));
        feed(decoder, goodPacket(2 * frame + 1, ts, 1000, 500, true));
    }
    QCOMPARE(sink.frames.size(), resynchronised ? 4 : 1);
    for (const RecordingSink::Frame& f : sink.frames)
        QCOMPARE(f.data.mid(BuiltinJpegHeaderBytes, 1500), goodScan());
}

void tst_BadStreamsRtp::loneOutlierChangesNothing_data()
{
    QTest::addColumn<qint64>("shift"); // ticks from the stream's current frame
    QTest::addColumn<int>("q");
    QTest::addColumn<int>("sizeByte"); // width and height in units of 8
    QTest::addColumn<int>("at");       // packets of the real stream before it
    QTest::addColumn<bool>("marker");

    const qint64 past = -qint64(Rtp2Jpeg::RestartTicks) - 1;
    QTest::newRow("old timestamp, 8x8 frame") << past << 255 << 1 << 2 << true;
    QTest::newRow("old timestamp, Q 1 tables") << past << 1 << 60 << 2 << true;
    QTest::newRow("old timestamp, inside a frame") << past << 1 << 1 << 3 << false;
    QTest::newRow("future timestamp")
        << qint64(Rtp2Jpeg::RestartTicks) + 1 << 255 << 60 << 2 << false;
    QTest::newRow("an hour ahead, inside a frame") << qint64(3600) * 90000 << 1 << 1 << 1 << true;
}

// One forged packet with the stream's SSRC, far off its timeline, used to
// restart the reassembly or make every real packet late. Dropped alone, it
// leaves every real frame as it was.
void tst_BadStreamsRtp::loneOutlierChangesNothing()
{
    QFETCH(qint64, shift);
    QFETCH(int, q);
    QFETCH(int, sizeByte);
    QFETCH(int, at);
    QFETCH(bool, marker);

    QList<QByteArray> real;
    const std::uint32_t base = 0x40000000u;
    for (int frame = 0; frame < 3; ++frame) {
        real << goodPacket(100 + 2 * frame, base + std::uint32_t(frame) * 3000, 0, 1000, false)
             << goodPacket(101 + 2 * frame, base + std::uint32_t(frame) * 3000, 1000, 500, true);
    }
    RecordingSink clean;
    Rtp2Jpeg cleanDecoder(&clean);
    for (const QByteArray& p : real)
        feed(cleanDecoder, p);
    QCOMPARE(clean.frames.size(), 3);

    // It carries the sequence number the next real packet carries.
    const QByteArray forged =
        packet({.marker = marker,
                .sequence = 100 + at,
                .timestamp = base + std::uint32_t(std::int64_t(at / 2) * 3000 + shift),
                .ssrc = GoodSsrc},
               {.type = 65,
                .q = q,
                .widthByte = sizeByte,
                .heightByte = sizeByte,
                .tables = QByteArray(128, char(1))},
               QByteArray(64, char(0x55)));

    RecordingSink sink;
    Rtp2Jpeg decoder(&sink);
    const std::int64_t outOfOrder = g_packetsOutOfOrder.load();
    for (int i = 0; i < real.size(); ++i) {
        if (i == at)
            feed(decoder, forged);
        feed(decoder, real[i]);
    }
    QCOMPARE(g_packetsOutOfOrder.load() - outOfOrder, 1);
    QCOMPARE(sink.frames.size(), clean.frames.size());
    for (int i = 0; i < sink.frames.size(); ++i)
        QVERIFY2(sink.frames[i].data == clean.frames[i].data, qPrintable(QString::number(i)));
}

void tst_BadStreamsRtp::zeroSizeDropped_data()
{
    QTest::addColumn<int>("widthByte");
    QTest::addColumn<int>("heightByte");
    QTest::newRow("width 0") << 0 << 60;
    QTest::newRow("height 0") << 80 << 0;
    QTest::newRow("both 0") << 0 << 0;
}

// A JPEG frame header cannot say 0 pixels: such packets are dropped, said
// once, and the stream's good frames around them are untouched.
void tst_BadStreamsRtp::zeroSizeDropped()
{
    QFETCH(int, widthByte);
    QFETCH(int, heightByte);

    RecordingSink sink;
    Rtp2Jpeg decoder(&sink);
    for (int i = 0; i < 3; ++i)
        feed(decoder,
             packet({.marker = true,
                     .sequence = i,
                     .timestamp = std::uint32_t(i) * 3000,
                     .ssrc = GoodSsrc},
                    {.widthByte = widthByte, .heightByte = heightByte, .tables = ramp(128, 1)},
                    ramp(100)));
    QVERIFY(sink.frames.isEmpty());
    feed(decoder, goodPacket(3, 9000, 0, 1000, false));
    feed(decoder, goodPacket(4, 9000, 1000, 500, true));
    QCOMPARE(sink.frames.size(), 1);
    QCOMPARE(sink.frames[0].data.mid(BuiltinJpegHeaderBytes, 1500), goodScan());
    QCOMPARE(sink.problems.size(), 1);
    QVERIFY2(sink.problems[0].contains(
                 QStringLiteral("%1x%2 pixels dropped").arg(widthByte * 8).arg(heightByte * 8)),
             qPrintable(sink.problems[0]));
}

QTEST_GUILESS_MAIN(tst_BadStreamsRtp)
#include "tst_badstreams_rtp.moc"
