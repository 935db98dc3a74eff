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
    void timelineOutlier_data();
    void timelineOutlier();
    void timelineFollowsSender_data();
    void timelineFollowsSender();
    void zeroSizeDropped_data();
    void zeroSizeDropped();

private:
    void hostileDatagramsInto(int capacity, const Datagrams& bad);
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
    // In sequence, so the timeline would take it at once; it reaches past
    // the frame bound and is dropped without opening a frame.
    QTest::newRow("in sequence, past the frame bound, then a frame")
        << Datagrams{packet({.sequence = 3, .timestamp = 4600, .ssrc = GoodSsrc},
                            {.fragmentOffset = 0xFFFFFF}, ramp(1400)),
                     goodPacket(4, 8200, 0, 100, false), goodPacket(5, 8200, 100, 100, true)};
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

    // Also with arrays of one byte, as the worker's are before its first
    // data: no decoder may count on room it did not ask for.
    for (const int capacity : {InitialFrameBufferBytes, 1})
        hostileDatagramsInto(capacity, bad);
}

void tst_BadStreamsRtp::hostileDatagramsInto(int capacity, const Datagrams& bad)
{
    RecordingSink sink(capacity);
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

// A stream of `frames` two-packet frames, 25 a second, from `seq` and `ts`
// on; each frame's scan data differs from the others'.
Datagrams goodFrames(int frames, int seq, std::uint32_t ts)
{
    Datagrams d;
    for (int f = 0; f < frames; ++f) {
        const auto t = ts + std::uint32_t(f) * 3600;
        d << goodPacket(seq + 2 * f, t, 0, 1000 + f, false)
          << goodPacket(seq + 2 * f + 1, t, 1000 + f, 500, true);
    }
    return d;
}

QList<QByteArray> decodeAll(const Datagrams& datagrams, qint64* outOfOrder = nullptr)
{
    RecordingSink sink;
    Rtp2Jpeg decoder(&sink);
    const std::int64_t before = g_packetsOutOfOrder.load();
    for (const QByteArray& d : datagrams)
        feed(decoder, d);
    if (outOfOrder)
        *outOfOrder = g_packetsOutOfOrder.load() - before;
    QList<QByteArray> frames;
    for (const RecordingSink::Frame& f : sink.frames)
        frames << f.data;
    return frames;
}

void tst_BadStreamsRtp::timelineOutlier_data()
{
    QTest::addColumn<qint64>("shift"); // ticks from the frame in progress or last completed
    QTest::addColumn<int>("at");       // real packets before it: even between frames
    QTest::addColumn<bool>("marker");

    const QList<std::pair<const char*, qint64>> distances = {
        {"1 tick", 1},   {"1 frame", 3600},     {"0.5 s", 45000},     {"2.5 s", 225000},
        {"5 s", 450000}, {"9.99999 s", 899999}, {"10 s + 1", 900001}, {"1 hour", 3600LL * 90000}};
    for (const auto& [name, ticks] : distances)
        for (const int sign : {1, -1})
            for (const int at : {8, 9})
                for (const bool marker : {false, true})
                    QTest::addRow("%s %s, %s%s", name, sign > 0 ? "ahead" : "back",
                                  at % 2 ? "inside a frame" : "between frames",
                                  marker ? ", marker" : "")
                        << sign * ticks << at << marker;
}

// One forged packet with the stream's SSRC and the sequence number of the
// next real packet, its timestamp off the stream's by any distance. It
// neither ends the frame in progress nor moves the timeline: every real
// frame comes out byte for byte as without it, except at most the one it
// landed in, and it is counted out of order once.
void tst_BadStreamsRtp::timelineOutlier()
{
    QFETCH(qint64, shift);
    QFETCH(int, at);
    QFETCH(bool, marker);

    const std::uint32_t base = 0x40000000u;
    const Datagrams real = goodFrames(12, 100, base);
    const QList<QByteArray> clean = decodeAll(real);
    QCOMPARE(clean.size(), 12);

    const QByteArray forged =
        packet({.marker = marker,
                .sequence = 100 + at,
                .timestamp = base + std::uint32_t(std::int64_t((at - 1) / 2) * 3600 + shift),
                .ssrc = GoodSsrc},
               {.type = 65, .tables = QByteArray(128, char(1))}, QByteArray(64, char(0x55)));
    Datagrams attacked = real;
    attacked.insert(at, forged);
    qint64 outOfOrder = 0;
    const QList<QByteArray> frames = decodeAll(attacked, &outOfOrder);

    // The real frames in order; a forged single-packet frame between two
    // real ones may show, as any complete frame would.
    QList<QByteArray> realShown;
    for (const QByteArray& f : frames)
        if (clean.contains(f))
            realShown << f;
    QVERIFY(frames.size() - realShown.size() <= 1);
    // The one real frame it may cost: the one in progress or the one whose
    // timestamp it took.
    qsizetype lost = 0;
    while (lost < realShown.size() && realShown[lost] == clean[lost])
        ++lost;
    QList<QByteArray> expected = clean;
    if (realShown.size() < clean.size()) {
        QVERIFY2(lost == at / 2 || lost == at / 2 + 1, qPrintable(QString::number(lost)));
        expected.removeAt(lost);
    }
    QCOMPARE(realShown, expected);
    QCOMPARE(outOfOrder, 1);
}

void tst_BadStreamsRtp::timelineFollowsSender_data()
{
    QTest::addColumn<qint64>("shift"); // ticks from where the stream would go on
    QTest::addColumn<int>("sequence"); // the new first sequence number; -1: goes on
    QTest::addColumn<std::uint32_t>("base");

    const std::uint32_t base = 0x40000000u;
    QTest::newRow("restart 1 s back, numbers anew") << qint64(-90000) << 30000 << base;
    QTest::newRow("restart 1 frame back, numbers anew") << qint64(-3600) << 50000 << base;
    QTest::newRow("restart 1 hour back, numbers anew") << -qint64(3600) * 90000 << 7 << base;
    QTest::newRow("restart 2.5 s ahead, numbers anew") << qint64(225000) << 40000 << base;
    QTest::newRow("restart half the range back") << qint64(-0x7FFFFFFF) << 9 << base;
    QTest::newRow("jump 5 s ahead, numbers go on") << qint64(450000) << -1 << base;
    QTest::newRow("jump 2 s back, numbers go on") << qint64(-180000) << -1 << base;
    QTest::newRow("timestamps wrap past 2^32") << qint64(0) << -1 << std::uint32_t(-5 * 3600);
    QTest::newRow("numbers wrap past 65535") << qint64(0) << 65533 << base;
}

// A sender that restarts with the same SSRC, or jumps, is followed from the
// first or second frame after the change, whatever the distance, and a
// timestamp or sequence wrap is invisible.
void tst_BadStreamsRtp::timelineFollowsSender()
{
    QFETCH(qint64, shift);
    QFETCH(int, sequence);
    QFETCH(std::uint32_t, base);

    const Datagrams before = goodFrames(4, 100, base);
    const auto ts = std::uint32_t(base + 4 * 3600 + std::uint32_t(shift));
    const Datagrams after = goodFrames(6, sequence < 0 ? 108 : sequence, ts);
    const QList<QByteArray> frames = decodeAll(before + after);
    const QList<QByteArray> cleanAfter = decodeAll(after);
    QVERIFY(frames.size() >= 4 + 5);
    QCOMPARE(frames.mid(0, 4), decodeAll(before));
    // The second frame after the change and all behind it, byte for byte.
    QCOMPARE(frames.mid(frames.size() - 5), cleanAfter.mid(1));
    if (sequence < 0 || shift == 0)
        QCOMPARE(frames.size(), 10); // a jump or wrap costs nothing
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
