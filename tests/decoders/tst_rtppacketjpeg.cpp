// SPDX-License-Identifier: MIT
#include "rtppacketjpeg.h"
#include "rtppackets.h"
#include "testfiles.h"

#include <QTest>

#include <cstring>

using namespace rtptest;

namespace {
constexpr unsigned char Untouched = 0xEE;

QByteArray store(const RTPPacketJpeg& p, int index)
{
    return byteArray(p.m_qTable[index], RTPPacketJpeg::TableStoreBytes);
}

QByteArray untouchedStore()
{
    return QByteArray(RTPPacketJpeg::TableStoreBytes, char(Untouched));
}

// A store holding `table` at its start and the marking behind it.
QByteArray storeWith(const QByteArray& table)
{
    QByteArray s = untouchedStore();
    s.replace(0, int(table.size()), table);
    return s;
}

void markStores(RTPPacketJpeg& p)
{
    std::memset(p.m_qTable, Untouched, sizeof p.m_qTable);
    p.m_qTableBytes = 0;
}

// Parses a copy of exactly `len` bytes on the heap, so that a read past the
// end is caught by the address sanitizer. Returns the scan data offset or -1,
// and the payload length.
int parseCopy(RTPPacketJpeg& p, const QByteArray& bytes, int len, int* payloadLen = nullptr)
{
    const ExactCopy copy(bytes, len);
    const unsigned char* scan = p.parse(copy.get(), len);
    if (scan == nullptr)
        return -1;
    if (payloadLen)
        *payloadLen = int(p.payloadEnd() - scan);
    return int(scan - copy.get());
}
} // namespace

class tst_RTPPacketJpeg : public QObject
{
    Q_OBJECT

private slots:
    void layout_data();
    void layout();
    void fields();
    void laterFragmentKeepsTables();
    void malformed_data();
    void malformed();
    void everyTruncation_data();
    void everyTruncation();
};

void tst_RTPPacketJpeg::layout_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("scanOffset");
    QTest::addColumn<int>("payloadLen");
    QTest::addColumn<QByteArray>("store0");
    QTest::addColumn<QByteArray>("store1");

    const QByteArray scan = ramp(100, 7);
    const QByteArray t128 = ramp(128, 1);
    const QByteArray untouched = untouchedStore();
    const QByteArray t129 = ramp(129, 9);
    const QByteArray t64 = ramp(64, 40);

    QTest::newRow("three CSRCs put the JPEG header at 24")
        << packet({.csrcCount = 3}, {.q = 80}, scan) << 32 << 100 << untouched << untouched;
    QTest::newRow("type 65 Q 255 with two 64-byte tables")
        << packet({}, {.type = 65, .tables = t128}, scan) << 156 << 100 << storeWith(t128.left(64))
        << storeWith(t128.mid(64));
    QTest::newRow("type 1 Q 80: no restart, no tables")
        << packet({}, {.q = 80}, scan) << 20 << 100 << untouched << untouched;
    QTest::newRow("table length 0: header read, nothing stored")
        << packet({}, {}, scan) << 24 << 100 << untouched << untouched;
    QTest::newRow("table length 256 is stepped over")
        << packet({}, {.tables = ramp(256, 3)}, scan) << 280 << 100 << untouched << untouched;
    QTest::newRow("table length 129: 64 bytes each, the last skipped")
        << packet({}, {.tables = t129}, scan) << 24 + 129 << 100 << storeWith(t129.left(64))
        << storeWith(t129.mid(64, 64));
    QTest::newRow("one 64-byte table serves both components")
        << packet({}, {.tables = t64}, scan) << 24 + 64 << 100 << storeWith(t64) << storeWith(t64);
    QTest::newRow("a 16-bit table is stepped over")
        << packet({}, {.tablePrecision = 1, .tables = ramp(128, 5)}, scan) << 24 + 128 << 100
        << untouched << untouched;
    QTest::newRow("header extension is skipped") << packet({.extensionWords = 2}, {.q = 80}, scan)
                                                 << 12 + 12 + 8 << 100 << untouched << untouched;
    QTest::newRow("padding is cut off the payload")
        << packet({.paddingBytes = 5}, {.q = 80}, scan) << 20 << 100 << untouched << untouched;
    QTest::newRow("CSRCs, extension, padding, restart and tables together")
        << packet({.csrcCount = 2, .paddingBytes = 1, .extensionWords = 1},
                  {.type = 64, .tables = t128}, scan)
        << 12 + 8 + 8 + 8 + 4 + 4 + 128 << 100 << storeWith(t128.left(64))
        << storeWith(t128.mid(64));
    QTest::newRow("no scan data") << packet({}, {.q = 80}, QByteArray()) << 20 << 0 << untouched
                                  << untouched;
}

void tst_RTPPacketJpeg::layout()
{
    QFETCH(QByteArray, datagram);
    QFETCH(int, scanOffset);
    QFETCH(int, payloadLen);
    QFETCH(QByteArray, store0);
    QFETCH(QByteArray, store1);

    RTPPacketJpeg p;
    markStores(p);
    int len = -1;
    QCOMPARE(parseCopy(p, datagram, int(datagram.size()), &len), scanOffset);
    QCOMPARE(len, payloadLen);
    QCOMPARE(store(p, 0), store0);
    QCOMPARE(store(p, 1), store1);
}

void tst_RTPPacketJpeg::fields()
{
    const QByteArray d = packet({.csrcCount = 3,
                                 .marker = true,
                                 .sequence = 0xFEDC,
                                 .timestamp = 0xFFFFFFF0u,
                                 .ssrc = 0x89ABCDEFu},
                                {.fragmentOffset = 0x123456,
                                 .type = 65,
                                 .restartHeader = QByteArray("\x00\x3C\xC0\x05", 4)},
                                ramp(10));

    RTPPacketJpeg p;
    QVERIFY(parseCopy(p, d, int(d.size())) >= 0);
    QCOMPARE(p.m_version, 2);
    QCOMPARE(p.m_padding, 0);
    QCOMPARE(p.m_extension, 0);
    QCOMPARE(p.m_csrcCount, 3);
    QCOMPARE(p.m_marker, 1);
    QCOMPARE(p.m_payloadType, 26);
    QCOMPARE(p.m_sequenceNumber, 0xFEDC);
    QCOMPARE(p.m_timestamp, 0xFFFFFFF0u);
    QCOMPARE(p.m_ssrc, 0x89ABCDEFu);
    QCOMPARE(p.m_csrc[0], 0xC0000000u);
    QCOMPARE(p.m_csrc[2], 0xC0000002u);
    QCOMPARE(p.m_fragmentOffset, 0x123456);
    QCOMPARE(p.m_type, 65);
    QCOMPARE(p.m_q, 255);
    QCOMPARE(p.m_width, 640);
    QCOMPARE(p.m_height, 480);
    QCOMPARE(p.m_restartInterval, 60);
    QCOMPARE(p.m_restartFirst, 1);
    QCOMPARE(p.m_restartLast, 1);
    QCOMPARE(p.m_restartCount, 5);
}

void tst_RTPPacketJpeg::laterFragmentKeepsTables()
{
    const JpegFields first{.type = 65, .tables = ramp(128, 1)};
    // Tables on a later fragment are not read: only a first fragment has them.
    const JpegFields later{.fragmentOffset = 1000, .type = 65, .tables = ramp(128, 200)};

    RTPPacketJpeg p;
    QVERIFY(parseCopy(p, packet({}, first, ramp(10)), 20 + 4 + 128 + 10) >= 0);
    const QByteArray l = packet({}, later, ramp(10));
    QCOMPARE(parseCopy(p, l, int(l.size())), 24);
    QCOMPARE(store(p, 0).left(64), first.tables.left(64));
    QCOMPARE(store(p, 1).left(64), first.tables.mid(64));
}

void tst_RTPPacketJpeg::malformed_data()
{
    QTest::addColumn<QByteArray>("datagram");

    const QByteArray good = packet({}, {.q = 80}, ramp(20));

    // The P bit set and the last byte made the padding count.
    const auto padded = [&good](int count) {
        QByteArray p = good;
        p[0] = char(p[0] | 0x20);
        p[p.size() - 1] = char(count);
        return p;
    };
    QTest::newRow("padding count 0") << padded(0);
    QTest::newRow("padding larger than the payload") << padded(29);
    QTest::newRow("padding that eats the JPEG header") << padded(25);

    QByteArray manyCsrc = good;
    manyCsrc[0] = char(0x8F);
    QTest::newRow("CSRC count 15 in a short packet") << manyCsrc;

    QByteArray longExt = good;
    longExt[0] = char(longExt[0] | 0x10);
    longExt[14] = char(0x40); // extension length 0x40xx words
    QTest::newRow("extension longer than the packet") << longExt;

    QTest::newRow("table length past the end")
        << packet({}, {.tables = ramp(128), .tableLength = 200}, ramp(20));
}

void tst_RTPPacketJpeg::malformed()
{
    QFETCH(QByteArray, datagram);
    RTPPacketJpeg p;
    markStores(p);
    QCOMPARE(parseCopy(p, datagram, int(datagram.size())), -1);
    QCOMPARE(store(p, 0), untouchedStore());
    QCOMPARE(p.m_qTableBytes, 0);
}

void tst_RTPPacketJpeg::everyTruncation_data()
{
    layout_data();
}

// Every prefix of a valid packet that cuts into its headers is rejected
// without reading past it or touching the table stores; a prefix that cuts
// only scan data is a shorter packet. Padded packets lose their padding count
// when cut, so for them only the bounds are checked.
void tst_RTPPacketJpeg::everyTruncation()
{
    QFETCH(QByteArray, datagram);
    QFETCH(int, scanOffset);
    const bool padded = (datagram[0] & 0x20) != 0;

    for (int n = 0; n < datagram.size(); ++n) {
        RTPPacketJpeg p;
        markStores(p);
        int len = -1;
        const int at = parseCopy(p, datagram, n, &len);
        if (padded) {
            if (at >= 0)
                QVERIFY2(at + len <= n, qPrintable(QString::number(n)));
            continue;
        }
        if (n < scanOffset) {
            QVERIFY2(at == -1, qPrintable(QStringLiteral("accepted %1 bytes").arg(n)));
            QCOMPARE(store(p, 0), untouchedStore());
            QCOMPARE(store(p, 1), untouchedStore());
        } else {
            QCOMPARE(at, scanOffset);
            QCOMPARE(len, n - scanOffset);
        }
    }
}

QTEST_GUILESS_MAIN(tst_RTPPacketJpeg)
#include "tst_rtppacketjpeg.moc"
