// SPDX-License-Identifier: MIT
// The simulated camera's building blocks against the viewer's own readers:
// JPEG frames, multipart parts and RTP/JPEG packets must come out of the
// decoders as the pictures that went in.
#include "badstream.h"
#include "framemetadata.h"
#include "imagegetworker.h"
#include "impairment.h"
#include "jpegencoder.h"
#include "multipartdec.h"
#include "multipartwriter.h"
#include "rtp2jpeg.h"
#include "rtpcounters.h"
#include "rtpjpegpacketizer.h"

#include "recordingsink.h"
#include "testfiles.h"
#include "workerharness.h"

#include <QImage>
#include <QLoggingCategory>
#include <QTest>

#include <random>

namespace {

// The pattern number of a JPEG file, decoded by the toolkit; -1 if it does
// not decode.
int decodedNumber(const QByteArray& jpeg, QSize* size = nullptr)
{
    const QImage img = QImage::fromData(jpeg, "JPEG");
    if (size)
        *size = img.size();
    return patternNumber(img);
}

// 4:2:0 with a time stamp.
simlib::JpegEncodeOptions rtpOptions(int restartInterval)
{
    return {.restartInterval = restartInterval,
            .writeTimestamp = true,
            .timestamp = {7, 1700000000, 123456}};
}

// Sends pattern frame `number` of `size` with a time stamp through the
// packetizer to `decoder`.
bool sendFrame(protocolDecoder& decoder, simlib::RtpJpegPacketizer& packetizer, QSize size,
               int number, int restartInterval, std::uint32_t timestamp)
{
    QList<QByteArray> packets;
    if (!packetizer.packetize(
            patternJpeg(size.width(), size.height(), number, rtpOptions(restartInterval)),
            timestamp, &packets))
        return false;
    for (const QByteArray& p : packets)
        feed(decoder, p);
    return true;
}

struct CounterSnapshot
{
    int lost = g_packetsLost.load();
    int outOfOrder = g_packetsOutOfOrder.load();
    int expected = g_packetsExpected.load();
};

} // namespace

class SimLibTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void encodeRoundTrip_data();
    void encodeRoundTrip();
    void timestampReadByViewer();
    void parseRejectsEveryTruncation();
    void packetLayout_data();
    void packetLayout();
    void rtpThroughReassembler_data();
    void rtpThroughReassembler();
    void rtpWithReferenceFile();
    void rtpSsrcChange();
    void impairmentIsRepeatable();
    void multipartAfterBadItem_data();
    void multipartAfterBadItem();
    void malformedRtpLeavesStreamIntact();
};

void SimLibTest::initTestCase()
{
    // Damaged frames are expected here; their decoder warnings are noise.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.gui.imageio.jpeg.warning=false"));
}

void SimLibTest::encodeRoundTrip_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("components");
    QTest::addColumn<int>("sampling");
    QTest::addColumn<int>("restart");
    QTest::addColumn<int>("expectedType");

    using S = simlib::Sampling;
    QTest::newRow("4:2:0 without restart: type 1") << 640 << 480 << 3 << int(S::YCbCr420) << 0 << 1;
    QTest::newRow("4:2:0 restart 60: type 65") << 640 << 480 << 3 << int(S::YCbCr420) << 60 << 65;
    QTest::newRow("4:2:2 restart 10: type 64") << 320 << 240 << 3 << int(S::YCbCr422) << 10 << 64;
    QTest::newRow("4:2:2: type 0") << 320 << 240 << 3 << int(S::YCbCr422) << 0 << 0;
    QTest::newRow("4:4:4 has no RTP type") << 320 << 240 << 3 << int(S::YCbCr444) << 0 << -1;
    QTest::newRow("gray has no RTP type") << 200 << 100 << 1 << int(S::YCbCr420) << 0 << -1;
    QTest::newRow("size not a multiple of 16") << 200 << 75 << 3 << int(S::YCbCr420) << 0 << 1;
}

void SimLibTest::encodeRoundTrip()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, components);
    QFETCH(int, sampling);
    QFETCH(int, restart);
    QFETCH(int, expectedType);

    simlib::JpegEncodeOptions o;
    o.sampling = simlib::Sampling(sampling);
    o.restartInterval = restart;
    const QByteArray jpeg = patternJpeg(width, height, 4711, o, components);
    QVERIFY(!jpeg.isEmpty());

    QSize size;
    QCOMPARE(decodedNumber(jpeg, &size), 4711);
    QCOMPARE(size, QSize(width, height));

    simlib::JpegScanInfo info;
    QVERIFY(simlib::parseBaselineJpeg(ubytes(jpeg), int(jpeg.size()), &info));
    QCOMPARE(info.width, width);
    QCOMPARE(info.height, height);
    QCOMPARE(info.type, expectedType);
    QCOMPARE(info.restartInterval, restart);
    QCOMPARE(info.components, components);
    QCOMPARE(info.qTables.size(), components == 3 ? 128 : 64);
    QCOMPARE(info.scanOffset + info.scanLength + 2, int(jpeg.size()));
}

void SimLibTest::timestampReadByViewer()
{
    // The viewer's own reader finds the time stamp behind the JFIF segment,
    // with negative fields sign-extended.
    simlib::JpegEncodeOptions o;
    o.writeTimestamp = true;
    o.timestamp = {0xBEEF, -1, 250000};
    const QByteArray jpeg = patternJpeg(64, 48, 1, o);
    unsigned short field = 0;
    long long us = 0;
    QVERIFY(readFrameTimestamp(ubytes(jpeg), int(jpeg.size()), &field, &us));
    QCOMPARE(field, 0xBEEF);
    QCOMPARE(us, -1000000LL + 250000);

    o.writeTimestamp = false;
    const QByteArray plain = patternJpeg(64, 48, 1, o);
    QVERIFY(!readFrameTimestamp(ubytes(plain), int(plain.size()), &field, &us));

    // A pre-encoded frame with the time stamp put in afterwards is the
    // frame encoded with it, byte for byte, with or without a JFIF segment.
    o.timestamp = {0x0102, 1700000000, 999999};
    QCOMPARE(simlib::withApp9Timestamp(plain, o.timestamp),
             (o.writeTimestamp = true, patternJpeg(64, 48, 1, o)));
    const QByteArray noJfif =
        plain.left(2) + plain.mid(4 + ((uchar(plain[4]) << 8) | uchar(plain[5])));
    QVERIFY(readFrameTimestamp(ubytes(simlib::withApp9Timestamp(noJfif, o.timestamp)),
                               int(noJfif.size()) + 14, &field, &us));
    QCOMPARE(field, 0x0102);
    QVERIFY(simlib::withApp9Timestamp(plain.left(10), o.timestamp).isEmpty());
    QVERIFY(simlib::withApp9Timestamp(plain.mid(2), o.timestamp).isEmpty());
}

void SimLibTest::parseRejectsEveryTruncation()
{
    const QByteArray jpeg = patternJpeg(64, 48, 3, rtpOptions(4));
    const auto* d = ubytes(jpeg);
    simlib::JpegScanInfo info;
    QVERIFY(simlib::parseBaselineJpeg(d, int(jpeg.size()), &info));
    for (int n = 0; n < jpeg.size(); ++n) {
        // A copy of exactly n bytes, so that a read past the end is caught
        // by the sanitizers.
        const QByteArray cut = jpeg.left(n);
        QVERIFY2(!simlib::parseBaselineJpeg(ubytes(cut), n, &info), qPrintable(QString::number(n)));
    }
}

void SimLibTest::packetLayout_data()
{
    QTest::addColumn<int>("restart");
    QTest::addColumn<int>("q");
    QTest::addColumn<int>("payloadSize");
    QTest::addColumn<int>("firstSequence");

    QTest::newRow("type 65, in-band tables") << 60 << 255 << 1000 << 0;
    QTest::newRow("type 1, Q 80, no tables") << 0 << 80 << 1400 << 100;
    QTest::newRow("sequence wraps inside a frame") << 60 << 255 << 300 << 65530;
    QTest::newRow("one byte per packet") << 0 << 128 << 1 << 7;
}

void SimLibTest::packetLayout()
{
    QFETCH(int, restart);
    QFETCH(int, q);
    QFETCH(int, payloadSize);
    QFETCH(int, firstSequence);

    const QByteArray jpeg =
        patternJpeg(restart ? 320 : 64, restart ? 240 : 48, 9, rtpOptions(restart));
    simlib::JpegScanInfo info;
    QVERIFY(simlib::parseBaselineJpeg(ubytes(jpeg), int(jpeg.size()), &info));

    simlib::RtpJpegPacketizer packetizer({.ssrc = 0xCAFEBABE,
                                          .scanBytesPerPacket = payloadSize,
                                          .q = q,
                                          .firstSequence = std::uint16_t(firstSequence)});
    QList<QByteArray> packets;
    QVERIFY(packetizer.packetize(jpeg, 0x80000001u, &packets));
    QCOMPARE(packets.size(), (info.scanLength + payloadSize - 1) / payloadSize);

    const int type = restart ? 65 : 1;
    QByteArray scan;
    for (int i = 0; i < packets.size(); ++i) {
        const unsigned char* p = ubytes(packets[i]);
        QCOMPARE(p[0], 0x80);                                      // V 2, no P, X, CSRC
        QCOMPARE(p[1] & 0x80, i == packets.size() - 1 ? 0x80 : 0); // marker on the last
        QCOMPARE(p[1] & 0x7F, 26);
        QCOMPARE(p[2] << 8 | p[3], (firstSequence + i) & 0xFFFF);
        QCOMPARE(quint32(p[4]) << 24 | p[5] << 16 | p[6] << 8 | p[7], 0x80000001u);
        QCOMPARE(quint32(p[8]) << 24 | p[9] << 16 | p[10] << 8 | p[11], 0xCAFEBABEu);
        const int offset = p[13] << 16 | p[14] << 8 | p[15];
        QCOMPARE(offset, int(scan.size()));
        QCOMPARE(int(p[16]), type);
        QCOMPARE(int(p[17]), q);
        QCOMPARE(p[18] * 8, info.width);
        QCOMPARE(p[19] * 8, info.height);
        int h = 20;
        if (restart) {
            QCOMPARE(p[20] << 8 | p[21], restart);
            QCOMPARE(p[22], 0xFF); // F, L and count 0x3FFF
            QCOMPARE(p[23], 0xFF);
            h = 24;
        }
        if (q >= 128 && offset == 0) {
            QCOMPARE(p[h + 2] << 8 | p[h + 3], 128);
            QCOMPARE(packets[i].mid(h + 4, 128), info.qTables);
            h += 4 + 128;
        }
        scan += packets[i].mid(h);
    }
    QCOMPARE(scan, jpeg.mid(info.scanOffset, info.scanLength));
    QCOMPARE(packetizer.nextSequence(), std::uint16_t(firstSequence + packets.size()));
}

void SimLibTest::rtpThroughReassembler_data()
{
    QTest::addColumn<double>("loss");
    QTest::addColumn<double>("reorder");
    QTest::addColumn<double>("duplicate");

    QTest::newRow("clean") << 0.0 << 0.0 << 0.0;
    QTest::newRow("5 % loss") << 5.0 << 0.0 << 0.0;
    QTest::newRow("reordering") << 0.0 << 5.0 << 0.0;
    QTest::newRow("duplicates") << 0.0 << 0.0 << 5.0;
    QTest::newRow("all three") << 3.0 << 3.0 << 3.0;
}

void SimLibTest::rtpThroughReassembler()
{
    QFETCH(double, loss);
    QFETCH(double, reorder);
    QFETCH(double, duplicate);

    // No reference file: the built-in header, which
    // fits type 65 with interval 60 and 4:2:0.
    WorkerFixture device(QStringLiteral("RTP"));
    device.collector.request();
    auto decoder = std::make_unique<Rtp2Jpeg>(&device.worker);

    simlib::RtpJpegPacketizer packetizer({.scanBytesPerPacket = 500});
    simlib::PacketImpairment impairment(loss, reorder, duplicate, 42);
    const CounterSnapshot before;
    constexpr int Frames = 40;
    QList<QByteArray> packets;
    QList<QByteArray> wire;
    for (int f = 0; f < Frames; ++f) {
        const QByteArray jpeg = patternJpeg(320, 240, 1000 + f, rtpOptions(60));
        packets.clear();
        QVERIFY(packetizer.packetize(jpeg, std::uint32_t(f * 3600), &packets));
        for (const QByteArray& p : packets) {
            wire.clear();
            // The first and the last frame go through untouched: the first
            // synchronises the reassembler, the last makes every earlier
            // gap visible.
            if (f == 0 || f == Frames - 1) {
                wire.append(p);
            } else {
                impairment.push(p, &wire);
                if (&p == &packets.last() && f == Frames - 2)
                    impairment.flush(&wire);
            }
            for (const QByteArray& w : wire)
                feed(*decoder, w);
        }
    }

    const simlib::ImpairmentCounts& ic = impairment.counts();
    const CounterSnapshot after;
    // A packet held back and sent behind its successor first leaves a gap
    // and then arrives late, unless it was the last of a frame whose
    // successor began the next: that one waits for confirmation, and the
    // late packet fills the gap before it is seen. A duplicate arrives late.
    const int lost = int(after.lost - before.lost);
    const int late = int(after.outOfOrder - before.outOfOrder);
    QVERIFY2(lost >= int(ic.dropped) && lost <= int(ic.dropped + ic.reordered),
             qPrintable(QString::number(lost)));
    QCOMPARE(lost - int(ic.dropped), late - int(ic.duplicated));
    if (loss == 0 && reorder == 0 && duplicate == 0)
        QCOMPARE(after.expected - before.expected, int(packetizer.nextSequence()));

    // Every completed frame is a decodable JPEG; undamaged ones show the
    // number that was sent, in order.
    QVERIFY(device.collector.frames.size() >= Frames / 2);
    int readable = 0;
    int last = -1;
    for (const DeliveredFrame& f : device.collector.frames) {
        const int n = decodedNumber(f.data);
        if (n >= 0) {
            QVERIFY2(n >= 1000 && n < 1000 + Frames, qPrintable(QString::number(n)));
            // A repeated marker packet completes a frame a second time, in
            // the array that still holds the frame before; only without
            // duplicates is the order strict.
            if (duplicate == 0)
                QVERIFY(n > last);
            last = std::max(last, n);
            ++readable;
        }
    }
    if (loss == 0 && reorder == 0 && duplicate == 0) {
        QCOMPARE(int(device.collector.frames.size()), Frames);
        QCOMPARE(readable, Frames);
    }
    QCOMPARE(last, 1000 + Frames - 1);
}

void SimLibTest::rtpWithReferenceFile()
{
    // Type 1 (no restart interval) does not fit the built-in header; the
    // reference written from the sender's own frame does.
    const QByteArray first = patternJpeg(160, 120, 0, rtpOptions(0));
    const QByteArray reference = simlib::jpegHeaderForReference(first);
    QVERIFY(!reference.isEmpty());
    QVERIFY(!reference.contains(QByteArray("\xFF\xE9", 2))); // no fixed time stamp

    WorkerFixture device(QStringLiteral("RTP"));
    writeFile(device.referenceFile(), reference);
    device.collector.request();
    auto decoder = std::make_unique<Rtp2Jpeg>(&device.worker);
    QCOMPARE(decoder->headerLen(), int(reference.size()));

    simlib::RtpJpegPacketizer packetizer;
    for (int f = 0; f < 3; ++f)
        QVERIFY(sendFrame(*decoder, packetizer, QSize(160, 120), 50 + f, 0, f * 3000));
    QCOMPARE(device.collector.frames.size(), 3);
    QCOMPARE(decodedNumber(device.collector.frames.last().data), 52);
}

void SimLibTest::rtpSsrcChange()
{
    WorkerFixture device(QStringLiteral("RTP"));
    device.collector.request();
    auto decoder = std::make_unique<Rtp2Jpeg>(&device.worker);

    // The stream changes its SSRC and its frame size at frame 3; the viewer
    // synchronises on the new stream's first fragment and takes its size.
    simlib::RtpJpegPacketizer packetizer;
    for (int f = 0; f < 6; ++f) {
        if (f == 3)
            packetizer.setSsrc(packetizer.ssrc() + 1);
        QVERIFY(sendFrame(*decoder, packetizer, f < 3 ? QSize(320, 240) : QSize(160, 128), f, 60,
                          f * 3000));
    }
    QCOMPARE(device.collector.frames.size(), 6);
    QSize size;
    QCOMPARE(decodedNumber(device.collector.frames.at(2).data, &size), 2);
    QCOMPARE(size, QSize(320, 240));
    QCOMPARE(decodedNumber(device.collector.frames.at(5).data, &size), 5);
    QCOMPARE(size, QSize(160, 128));
}

void SimLibTest::impairmentIsRepeatable()
{
    // The same seed drops the same packets, so a run's figures can be
    // predicted; every packet that was not dropped goes out.
    auto run = [](std::uint32_t seed) {
        simlib::PacketImpairment imp(10, 10, 10, seed);
        QList<QByteArray> out;
        for (int i = 0; i < 2000; ++i)
            imp.push(QByteArray::number(i), &out);
        imp.flush(&out);
        return std::make_pair(out, imp.counts());
    };
    const auto a = run(7);
    const auto b = run(7);
    const auto c = run(8);
    QCOMPARE(a.first, b.first);
    QVERIFY(a.first != c.first);
    const simlib::ImpairmentCounts& n = a.second;
    QCOMPARE(n.packetsIn, 2000);
    QCOMPARE(n.packetsOut, n.packetsIn - n.dropped + n.duplicated);
    QCOMPARE(int(a.first.size()), int(n.packetsOut));
    QVERIFY(n.dropped > 100 && n.dropped < 300);
    QVERIFY(n.reordered > 50 && n.duplicated > 50);
}

void SimLibTest::multipartAfterBadItem_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("protocol");
    for (int k = 0; k < simlib::BadPartKindCount; ++k) {
        for (const char* proto : {"TCP", "UDP"}) {
            QTest::addRow("%s %s", simlib::badPartKindName(simlib::BadPartKind(k)), proto)
                << k << QString::fromLatin1(proto);
        }
    }
}

void SimLibTest::multipartAfterBadItem()
{
    QFETCH(int, kind);
    QFETCH(QString, protocol);

    // good 1, a bad item, good 2 ... good 4, in blocks of 1400 bytes. A bad
    // item may cost the part behind it (a length that runs on swallows it),
    // never the two after that.
    simlib::JpegEncodeOptions o;
    o.writeTimestamp = true;
    QByteArray bodies[5];
    for (int i = 1; i <= 4; ++i)
        bodies[i] = patternJpeg(320, 240, i, o);
    std::mt19937 rng(5);
    const QByteArray type(simlib::ContentTypeJpeg);
    const QByteArray stream =
        simlib::multipartPart(type, bodies[1])
        + simlib::badMultipartItem(simlib::BadPartKind(kind), type, bodies[1], rng)
        + simlib::multipartPart(type, bodies[2]) + simlib::multipartPart(type, bodies[3])
        + simlib::multipartPart(type, bodies[4]);

    WorkerFixture device(protocol);
    device.collector.request();
    MultipartDec decoder(&device.worker);
    feed(decoder, stream, 1400);
    QVERIFY(device.collector.frames.size() >= 3);
    QCOMPARE(device.collector.frames.last().data, bodies[4]);
    QCOMPARE(device.collector.frames.at(device.collector.frames.size() - 2).data, bodies[3]);
    QCOMPARE(device.collector.frames.first().data, bodies[1]);
    QCOMPARE(decodedNumber(device.collector.frames.last().data), 4);
}

void SimLibTest::malformedRtpLeavesStreamIntact()
{
    WorkerFixture device(QStringLiteral("RTP"));
    device.collector.request();
    auto decoder = std::make_unique<Rtp2Jpeg>(&device.worker);

    // Every malformed kind goes in between two good frames; the frame after
    // it arrives intact.
    simlib::RtpJpegPacketizer packetizer;
    std::mt19937 rng(3);
    int frame = 0;
    for (int k = 0; k < simlib::BadRtpKindCount; ++k) {
        for (int rep = 0; rep < 2; ++rep, ++frame) {
            QList<QByteArray> packets;
            QVERIFY(packetizer.packetize(patternJpeg(160, 120, frame, rtpOptions(60)),
                                         std::uint32_t(frame * 3000), &packets));
            if (rep == 0)
                packets.insert(1,
                               simlib::badRtpPacket(simlib::BadRtpKind(k), packets.first(), rng));
            for (const QByteArray& p : packets) {
                // The receive loop hands no empty datagram to the decoder;
                // every other one is given as the exact bytes received.
                if (!p.isEmpty())
                    feed(*decoder, p);
            }
        }
        QVERIFY(!device.collector.frames.isEmpty());
        QCOMPARE(decodedNumber(device.collector.frames.last().data), frame - 1);
    }
}

QTEST_GUILESS_MAIN(SimLibTest)
#include "tst_simlib.moc"
