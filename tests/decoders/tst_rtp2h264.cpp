// SPDX-License-Identifier: MIT
// The RTP H.264 depacketizer fed packet sequences built byte by byte: what
// each sequence delivers (Annex B access units, byte for byte), which
// packets it counts as lost, out of order and expected, and which access
// units and packets it drops or refuses.
#include "framelimits.h"
#include "h264nal.h"
#include "h264paramsets.h"
#include "recordingsink.h"
#include "rtp2h264.h"
#include "rtpcounters.h"
#include "rtph264packetizer.h"
#include "rtppackets.h"

#include <QTest>

using namespace rtptest;

namespace {

const QByteArray Sps = nalUnit(h264::NalSps, 9, 0x42);
const QByteArray Pps = nalUnit(h264::NalPps, 3, 0xCE);
const QByteArray Aud = nalUnit(h264::NalAccessUnitDelimiter, 1, 0xF0);
const QByteArray Idr = nalUnit(h264::NalIdrSlice, 3000, 1);
const QByteArray Slice = nalUnit(h264::NalNonIdrSlice, 700, 9);

// Packets of one stream: consecutive sequence numbers (from 65530, so that
// every sequence wraps), one timestamp per access unit.
class Stream
{
public:
    QByteArray packet(const QByteArray& payload, bool marker = false)
    {
        return h264Packet({.marker = marker,
                           .sequence = m_sequence++ & 0xFFFF,
                           .timestamp = m_timestamp,
                           .ssrc = m_ssrc,
                           .payloadType = 96},
                          payload);
    }
    // An access unit's NAL units, each in a packet of its own (FU-A
    // fragments of at most 1000 bytes for larger ones), marker on the last.
    QList<QByteArray> unit(const QList<QByteArray>& nals, bool marker = true)
    {
        QList<QByteArray> packets;
        for (int n = 0; n < nals.size(); ++n) {
            const QByteArray& nal = nals[n];
            const bool last = n == nals.size() - 1;
            if (nal.size() <= 1000) {
                packets.append(packet(nal, marker && last));
                continue;
            }
            const int body = int(nal.size()) - 1;
            for (int from = 0; from < body; from += 1000) {
                const bool end = from + 1000 >= body;
                packets.append(packet(fuA(nal, from, 1000, from == 0, end), marker && last && end));
            }
        }
        m_timestamp += 3600;
        return packets;
    }
    // Access units one after the other (the operands of + are evaluated
    // in no fixed order).
    QList<QByteArray> units(const QList<QList<QByteArray>>& list, bool marker = true)
    {
        QList<QByteArray> packets;
        for (const QList<QByteArray>& nals : list)
            packets += unit(nals, marker);
        return packets;
    }
    void skip(int packets = 1) { m_sequence += packets; }
    void nextTimestamp() { m_timestamp += 3600; }
    void setSsrc(std::uint32_t ssrc) { m_ssrc = ssrc; }
    void setSequence(int sequence) { m_sequence = sequence; }
    std::uint32_t timestamp() const { return m_timestamp; }

private:
    int m_sequence = 65530;
    std::uint32_t m_timestamp = 90000;
    std::uint32_t m_ssrc = 0x11223344;
};

// Packets expected, lost, out of order; access units dropped; packets
// refused.
struct Figures
{
    int expected = 0;
    int lost = 0;
    int outOfOrder = 0;
    int dropped = 0;
    int refused = 0;
    bool operator==(const Figures&) const = default;
};

QByteArray rtcpReceiverReport()
{
    QByteArray b;
    b.append(char(0x80));
    b.append(char(201));
    put16(b, 1);
    put32(b, 0x11223344);
    return b;
}

} // namespace

Q_DECLARE_METATYPE(Figures)

namespace QTest {
template <> char* toString(const Figures& f)
{
    return qstrdup(QStringLiteral("expected %1 lost %2 outOfOrder %3 dropped %4 refused %5")
                       .arg(f.expected)
                       .arg(f.lost)
                       .arg(f.outOfOrder)
                       .arg(f.dropped)
                       .arg(f.refused)
                       .toLatin1()
                       .constData());
}
} // namespace QTest

class tst_Rtp2H264 : public QObject
{
    Q_OBJECT

private slots:
    void accessUnits_data();
    void accessUnits();
    void parameterSets_data();
    void parameterSets();
    void frameBound();
    void sprop_data();
    void sprop();
    void idrScan_data();
    void idrScan();
    void packetizerRoundTrip_data();
    void packetizerRoundTrip();
    void splitAccessUnits();
};

void tst_Rtp2H264::accessUnits_data()
{
    QTest::addColumn<QList<QByteArray>>("packets");
    QTest::addColumn<QList<QByteArray>>("frames");
    QTest::addColumn<Figures>("figures");

    const QByteArray idrUnit = annexB({Sps, Pps, Idr});
    const QByteArray sliceUnit = annexB({Slice});
    {
        Stream s;
        const auto p = s.units({{Sps, Pps, Idr}, {Slice}, {Slice}});
        QTest::newRow("single NAL units and FU-A, across the sequence wrap")
            << p << QList<QByteArray>{idrUnit, sliceUnit, sliceUnit}
            << Figures{.expected = int(p.size())};
    }
    {
        Stream s;
        QList<QByteArray> p = {s.packet(stapA({Sps, Pps}))};
        p += s.unit({Idr});
        QTest::newRow("STAP-A") << p << QList<QByteArray>{idrUnit}
                                << Figures{.expected = int(p.size())};
    }
    {
        Stream s;
        auto p = s.units({{Sps, Pps, Idr}, {Slice}}, false);
        p += s.unit({Slice});
        QTest::newRow("no marker: a unit ends at the next timestamp")
            << p << QList<QByteArray>{idrUnit, sliceUnit, sliceUnit} << Figures{.expected = 7};
    }
    {
        Stream s;
        const auto p = s.units({{Slice}, {Sps, Pps, Idr}, {Slice}});
        QTest::newRow("joined between IDR units: waits for one")
            << p << QList<QByteArray>{idrUnit, sliceUnit} << Figures{.expected = 7, .dropped = 1};
    }
    {
        Stream s;
        auto p = s.units({{Sps, Pps, Idr}, {Slice}});
        s.skip();
        p += s.unit({Slice}); // its first packet was lost
        p += s.unit({Slice});
        p += s.unit({Sps, Pps, Idr});
        p += s.unit({Slice});
        QTest::newRow("loss: dropped until the next IDR unit")
            << p << QList<QByteArray>{idrUnit, sliceUnit, idrUnit, sliceUnit}
            << Figures{.expected = int(p.size()) + 1, .lost = 1, .dropped = 2};
    }
    {
        Stream s;
        auto p = s.unit({Sps, Pps, Idr});
        QList<QByteArray> idr2 = s.unit({Sps, Pps, Idr});
        idr2.removeAt(3); // a middle fragment of the IDR slice
        p += idr2;
        p += s.units({{Slice}, {Sps, Pps, Idr}});
        QTest::newRow("loss inside an IDR unit")
            << p << QList<QByteArray>{idrUnit, idrUnit}
            << Figures{.expected = int(p.size()) + 1, .lost = 1, .dropped = 2};
    }
    {
        Stream s;
        QList<QByteArray> p = s.unit({Sps, Pps, Idr});
        QList<QByteArray> u = s.unit({Slice, Slice});
        p += {u[1], u[0]};
        p += s.unit({Slice});
        QTest::newRow("reordered: the early packet's gap and the late one counted")
            << p << QList<QByteArray>{idrUnit}
            << Figures{.expected = 8, .lost = 1, .outOfOrder = 1, .dropped = 2};
    }
    {
        Stream s;
        QList<QByteArray> p = s.unit({Sps, Pps, Idr});
        QList<QByteArray> u = s.unit({Slice, Slice});
        p += {u[0], u[0], u[1]};
        QTest::newRow("repeated packet: counted, the unit kept")
            << p << QList<QByteArray>{idrUnit, annexB({Slice, Slice})}
            << Figures{.expected = 7, .outOfOrder = 1};
    }
    {
        Stream s;
        QList<QByteArray> p = s.unit({Sps, Pps, Idr});
        s.setSsrc(0x55667788);
        p += s.unit({Slice});
        p += s.unit({Sps, Pps, Idr});
        QTest::newRow("another SSRC: taken up anew, waits for an IDR unit")
            << p << QList<QByteArray>{idrUnit, idrUnit} << Figures{.expected = 11, .dropped = 1};
    }
    {
        Stream s;
        QList<QByteArray> p = s.unit({Sps, Pps, Idr});
        s.skip(5000);
        p += s.unit({Slice});
        p += s.unit({Sps, Pps, Idr});
        QTest::newRow("sequence jump: a restart, not loss")
            << p << QList<QByteArray>{idrUnit, idrUnit} << Figures{.expected = 11, .dropped = 1};
    }
    {
        Stream s;
        QList<QByteArray> p = s.unit({Sps, Pps, Idr});
        p += rtcpReceiverReport();
        p += s.packet(QByteArray()); // an empty payload
        p += s.unit({Slice});
        QTest::newRow("RTCP and an empty payload")
            << p << QList<QByteArray>{idrUnit, sliceUnit} << Figures{.expected = 7};
    }
    {
        Stream s;
        QList<QByteArray> p = s.unit({Sps, Pps, Idr});
        p += h264Packet({.marker = true,
                         .sequence = 65535,
                         .timestamp = s.timestamp(),
                         .ssrc = 0x11223344,
                         .paddingBytes = 7,
                         .extensionWords = 2,
                         .payloadType = 96},
                        Slice);
        QTest::newRow("padding and header extension")
            << p << QList<QByteArray>{idrUnit, sliceUnit} << Figures{.expected = 6};
    }

    // Malformed and refused payloads, each the second packet of a slice
    // unit between two IDR units.
    struct Bad
    {
        const char* name;
        QByteArray payload;
        bool damages;
    };
    const QByteArray fu = fuA(Slice, 0, 100, true, false);
    const QList<Bad> bad = {
        {"FU-A without start", fuA(Slice, 100, 100, false, true), true},
        {"FU-A with start and end", fuA(Slice, 0, 699, true, true), true},
        {"FU-A of an aggregation type", QByteArray("\x7C\x98\x01\x02", 4), true},
        {"FU-A of type 0", QByteArray("\x7C\x80\x01\x02", 4), true},
        {"FU-A without its header", QByteArray("\x7C", 1), true},
        {"STAP-A size past the packet end", QByteArray("\x78\x00\x05\x61\x01", 5), true},
        {"STAP-A size of zero", QByteArray("\x78\x00\x00", 3), true},
        {"STAP-A half a size", QByteArray("\x78\x00\x01\x61\x00", 5), true},
        {"STAP-A without units", QByteArray("\x78", 1), true},
        {"STAP-A of a reserved type", stapA({QByteArray("\x7E\x01", 2)}), true},
        {"STAP-B", QByteArray("\x79\x00\x01\x00\x02\x61\x01", 7), true},
        {"MTAP16", QByteArray("\x7A\x00\x01", 3), true},
        {"MTAP24", QByteArray("\x7B\x00\x01", 3), true},
        {"FU-B", QByteArray("\x7D\x81\x00\x01\x02", 5), true},
        {"forbidden bit", QByteArray("\xE1\x01\x02", 3), true},
        {"type 0 ignored", QByteArray("\x60\x01\x02", 3), false},
        {"type 30 ignored", QByteArray("\x7E\x01\x02", 3), false},
        {"type 31 ignored", QByteArray("\x7F\x01\x02", 3), false},
    };
    for (const Bad& b : bad) {
        Stream s;
        QList<QByteArray> p = s.unit({Sps, Pps, Idr});
        s.nextTimestamp();
        QList<QByteArray> u = s.unit({Slice, Slice});
        // Replace the first packet's payload, keeping its RTP header.
        u[0] = u[0].left(12) + b.payload;
        p += u;
        p += s.unit({Sps, Pps, Idr});
        const QList<QByteArray> frames = b.damages ? QList<QByteArray>{idrUnit, idrUnit}
                                                   : QList<QByteArray>{idrUnit, sliceUnit, idrUnit};
        QTest::newRow(b.name) << p << frames
                              << Figures{.expected = int(p.size()),
                                         .dropped = b.damages ? 1 : 0,
                                         .refused = 1};
    }
    {
        Stream s;
        QList<QByteArray> p = s.unit({Sps, Pps, Idr});
        p += s.packet(fu);
        p += s.packet(Slice, true); // before the fragmented unit's end
        p += s.unit({Sps, Pps, Idr});
        QTest::newRow("FU-A cut short by a single NAL unit")
            << p << QList<QByteArray>{idrUnit, idrUnit}
            << Figures{.expected = int(p.size()), .dropped = 1};
    }
    {
        Stream s;
        QList<QByteArray> p = s.unit({Sps, Pps, Idr});
        p += s.packet(fu, true); // the marker before the fragmented unit's end
        s.nextTimestamp();
        p += s.unit({Sps, Pps, Idr});
        QTest::newRow("FU-A without end at the marker")
            << p << QList<QByteArray>{idrUnit, idrUnit}
            << Figures{.expected = int(p.size()), .dropped = 1};
    }
}

void tst_Rtp2H264::accessUnits()
{
    QFETCH(QList<QByteArray>, packets);
    QFETCH(QList<QByteArray>, frames);
    QFETCH(Figures, figures);

    RecordingSink sink;
    RtpCounters counters;
    Rtp2H264 decoder(&sink);
    decoder.setDeviceCounters(&counters);
    QCOMPARE(sink.contentType(), QStringLiteral("video/h264"));
    for (const QByteArray& p : packets)
        feed(decoder, p);

    QList<QByteArray> delivered;
    for (const RecordingSink::Frame& f : sink.frames)
        delivered.append(f.data);
    QCOMPARE(delivered.size(), frames.size());
    for (int i = 0; i < frames.size(); ++i)
        QVERIFY2(delivered[i] == frames[i], qPrintable(QStringLiteral("frame %1").arg(i)));
    const Figures seen{int(counters.expected), int(counters.lost), int(counters.outOfOrder),
                       int(decoder.figures().dropped), int(decoder.figures().refusedPackets)};
    QCOMPARE(seen, figures);
    QCOMPARE(qint64(counters.framesDropped), qint64(decoder.figures().dropped));
}

void tst_Rtp2H264::parameterSets_data()
{
    QTest::addColumn<QString>("sprop");
    QTest::addColumn<QList<QList<QByteArray>>>("units");
    QTest::addColumn<QList<QByteArray>>("frames");
    QTest::addColumn<bool>("problem");

    const QByteArray otherSps = nalUnit(h264::NalSps, 12, 0x50);
    QTest::newRow("in-band sets put in front of a later IDR unit")
        << QString() << QList<QList<QByteArray>>{{Sps, Pps, Idr}, {Slice}, {Idr}}
        << QList<QByteArray>{annexB({Sps, Pps, Idr}), annexB({Slice}), annexB({Sps, Pps, Idr})}
        << false;
    QTest::newRow("only the missing kind added")
        << QString() << QList<QList<QByteArray>>{{Sps, Pps, Idr}, {otherSps, Idr}}
        << QList<QByteArray>{annexB({Sps, Pps, Idr}), annexB({otherSps, Pps, Idr})} << false;
    QTest::newRow("behind a leading access unit delimiter")
        << QString() << QList<QList<QByteArray>>{{Sps, Pps, Idr}, {Aud, Idr}}
        << QList<QByteArray>{annexB({Sps, Pps, Idr}), annexB({Aud, Sps, Pps, Idr})} << false;
    QTest::newRow("newer in-band sets replace older ones")
        << QString() << QList<QList<QByteArray>>{{Sps, Pps, Idr}, {otherSps, Slice}, {Idr}}
        << QList<QByteArray>{annexB({Sps, Pps, Idr}), annexB({otherSps, Slice}),
                             annexB({otherSps, Pps, Idr})}
        << false;
    QTest::newRow("from sprop-parameter-sets")
        << QString::fromLatin1(Sps.toBase64() + ',' + Pps.toBase64())
        << QList<QList<QByteArray>>{{Idr}, {Slice}}
        << QList<QByteArray>{annexB({Sps, Pps, Idr}), annexB({Slice})} << false;
    QTest::newRow("none known: delivered as it came")
        << QString() << QList<QList<QByteArray>>{{Idr}} << QList<QByteArray>{annexB({Idr})} << true;
}

void tst_Rtp2H264::parameterSets()
{
    QFETCH(QString, sprop);
    QFETCH(QList<QList<QByteArray>>, units);
    QFETCH(QList<QByteArray>, frames);
    QFETCH(bool, problem);

    RecordingSink sink;
    const QByteArray text = sprop.toLatin1();
    Rtp2H264 decoder(&sink, std::string_view(text.constData(), std::size_t(text.size())));
    Stream s;
    for (const QList<QByteArray>& u : units) {
        for (const QByteArray& p : s.unit(u))
            feed(decoder, p);
    }
    QCOMPARE(sink.frames.size(), frames.size());
    for (int i = 0; i < frames.size(); ++i) {
        QVERIFY2(sink.frames[i].data == frames[i], qPrintable(QStringLiteral("frame %1").arg(i)));
        const auto* bytes = reinterpret_cast<const unsigned char*>(frames[i].constData());
        QCOMPARE(h264AccessUnitIsIdr(bytes, std::size_t(frames[i].size())),
                 frames[i].contains(annexB({Idr})));
    }
    QCOMPARE(!sink.problems.isEmpty(), problem);
}

void tst_Rtp2H264::frameBound()
{
    // One fragmented unit larger than any frame may be: dropped, without
    // writing past the bound, and the stream goes on at the next IDR unit.
    RecordingSink sink;
    Rtp2H264 decoder(&sink);
    Stream s;
    for (const QByteArray& p : s.unit({Sps, Pps, Idr}))
        feed(decoder, p);
    const QByteArray chunk = ramp(60000, 3);
    const int fragments = MaxFrameBytes / 60000 + 4;
    for (int i = 0; i < fragments; ++i) {
        QByteArray payload("\x7C\x05", 2);
        payload[1] = char((i == 0 ? 0x80 : 0) | (i == fragments - 1 ? 0x40 : 0) | 5);
        feed(decoder, s.packet(payload + chunk, i == fragments - 1));
        QVERIFY(sink.curLen() < sink.writeCapacity());
    }
    s.nextTimestamp();
    for (const QByteArray& p : s.unit({Sps, Pps, Idr}))
        feed(decoder, p);
    QCOMPARE(sink.frames.size(), 2);
    QCOMPARE(sink.frames[1].data, annexB({Sps, Pps, Idr}));
    QCOMPARE(decoder.figures().dropped, 1);
}

void tst_Rtp2H264::sprop_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("allUsed");
    QTest::addColumn<QByteArray>("annexB");

    const QByteArray sps64 = Sps.toBase64();
    const QByteArray pps64 = Pps.toBase64();
    QTest::newRow("SPS and PPS") << sps64 + ',' + pps64 << true << annexB({Sps, Pps});
    QTest::newRow("padding left off, blanks")
        << " " + Sps.toBase64(QByteArray::OmitTrailingEquals) + " , " + pps64 << true
        << annexB({Sps, Pps});
    QTest::newRow("not base64") << sps64 + ",aM4*" << false << annexB({Sps});
    QTest::newRow("one character too many") << sps64 + ",aM4G4" << false << annexB({Sps});
    QTest::newRow("a slice, not a parameter set")
        << sps64 + ',' + Slice.toBase64() << false << annexB({Sps});
    QTest::newRow("a set too large")
        << nalUnit(h264::NalSps, int(H264ParameterSets::MaxSetBytes)).toBase64() + ',' + pps64
        << false << annexB({Pps});
    QTest::newRow("empty parts") << QByteArray(",,") << true << QByteArray();
    QTest::newRow("text too long")
        << QByteArray(int(H264ParameterSets::MaxSpropChars) + 1, 'A') << false << QByteArray();
    QByteArray many = sps64;
    for (std::size_t i = 0; i <= H264ParameterSets::MaxSets; ++i)
        many += ',' + pps64;
    QTest::newRow("more sets than kept")
        << many << false
        << annexB(QList<QByteArray>{Sps} + QList<QByteArray>(int(H264ParameterSets::MaxSets), Pps));
}

void tst_Rtp2H264::sprop()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, allUsed);
    QFETCH(QByteArray, annexB);

    H264ParameterSets sets;
    QCOMPARE(sets.setFromSprop(std::string_view(text.constData(), std::size_t(text.size()))),
             allUsed);
    const H264ParameterSets::Bytes bytes = sets.annexB(true, true);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size())),
             annexB);
}

void tst_Rtp2H264::idrScan_data()
{
    QTest::addColumn<QByteArray>("unit");
    QTest::addColumn<bool>("idr");

    QTest::newRow("IDR behind SPS, PPS") << annexB({Sps, Pps, Idr}) << true;
    QTest::newRow("non-IDR slice") << annexB({Slice}) << false;
    QTest::newRow("three-byte start code") << QByteArray("\x00\x00\x01\x65\x88", 5) << true;
    QTest::newRow("start code at the very end") << QByteArray("\x61\x00\x00\x01", 4) << false;
    QTest::newRow("type 5 in a slice body") << QByteArray("\x00\x00\x01\x61\x65\x65", 6) << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void tst_Rtp2H264::idrScan()
{
    QFETCH(QByteArray, unit);
    QFETCH(bool, idr);
    QCOMPARE(h264AccessUnitIsIdr(reinterpret_cast<const unsigned char*>(unit.constData()),
                                 std::size_t(unit.size())),
             idr);
}

void tst_Rtp2H264::packetizerRoundTrip_data()
{
    QTest::addColumn<int>("maxPayload");
    QTest::addColumn<bool>("aggregate");
    QTest::addColumn<int>("firstType"); // of the first unit's first packet
    QTest::addColumn<int>("packets");   // of the first unit (SPS, PPS, IDR)

    // The IDR slice's 3000 bytes behind its header go in FU-A fragments of
    // maxPayload - 2 bytes.
    QTest::newRow("1400 bytes, STAP-A") << 1400 << true << 24 << 1 + 3;
    QTest::newRow("1400 bytes, single units") << 1400 << false << 7 << 2 + 3;
    QTest::newRow("SPS and PPS just fit a STAP-A") << 19 << true << 24 << 1 + 177;
    QTest::newRow("smallest packets: everything in FU-A") << 3 << true << 28 << 9 + 3 + 3000;
}

void tst_Rtp2H264::packetizerRoundTrip()
{
    // The simulator's packetizer and the depacketizer undo each other.
    QFETCH(int, maxPayload);
    QFETCH(bool, aggregate);
    QFETCH(int, firstType);
    QFETCH(int, packets);

    simlib::RtpH264Packetizer packetizer({.maxPayload = maxPayload, .aggregate = aggregate});
    const QList<QByteArray> units = {annexB({Sps, Pps, Idr}), annexB({Slice}),
                                     annexB({Aud, Slice, Slice})};
    RecordingSink sink;
    Rtp2H264 decoder(&sink);
    for (int i = 0; i < units.size(); ++i) {
        QList<QByteArray> sent;
        QVERIFY(packetizer.packetize(units[i], std::uint32_t(3600 * i), &sent) > 0);
        for (const QByteArray& p : sent)
            QVERIFY(p.size() <= 12 + maxPayload);
        if (i == 0) {
            QCOMPARE(sent.size(), packets);
            QCOMPARE(sent.first()[12] & 0x1F, firstType);
        }
        for (const QByteArray& p : sent)
            feed(decoder, p);
    }
    QCOMPARE(sink.frames.size(), units.size());
    for (int i = 0; i < units.size(); ++i)
        QCOMPARE(sink.frames[i].data, units[i]);
    QCOMPARE(decoder.figures().refusedPackets, 0);
}

void tst_Rtp2H264::splitAccessUnits()
{
    // Three- and four-byte start codes, zeros in front, units that begin
    // at a delimiter, at parameter sets after a slice, and at a slice whose
    // first macroblock is 0.
    const QByteArray second = nalUnit(h264::NalNonIdrSlice, 20, 0x80); // first_mb_in_slice 0
    const QByteArray more = nalUnit(h264::NalNonIdrSlice, 20, 0x40);   // a later slice
    QByteArray stream = QByteArray(2, '\0') + annexB({Sps, Pps, Idr});
    stream += QByteArray("\x00\x00\x01", 3) + second + QByteArray("\x00\x00\x01", 3) + more;
    stream += annexB({Aud, Slice}) + annexB({Sps, Pps, Idr});
    const QList<QByteArray> expected = {annexB({Sps, Pps, Idr}), annexB({second, more}),
                                        annexB({Aud, Slice}), annexB({Sps, Pps, Idr})};
    QCOMPARE(simlib::splitAccessUnits(stream), expected);
}

QTEST_GUILESS_MAIN(tst_Rtp2H264)
#include "tst_rtp2h264.moc"
