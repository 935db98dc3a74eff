// SPDX-License-Identifier: MIT
#include "framemetadata.h"
#include "testfiles.h"

#include <QByteArray>
#include <QTest>

namespace {

const QByteArray Soi = raw("\xFF\xD8");

// The segments a JPEG file carries after its time stamp: a quantisation
// table, the frame header and some scan bytes.
QByteArray jpegTail()
{
    return jpegSegment(0xDB, QByteArray(65, '\x01')) + jpegSegment(0xC0, QByteArray(15, '\x02'))
           + QByteArray(40, '\x55') + raw("\xFF\xD9");
}

struct Reading
{
    bool ok = false;
    unsigned short field = 0;
    long long timeUs = 0;
};

Reading readExact(const QByteArray& frame, int len)
{
    const ExactCopy block(frame, len);
    Reading r;
    r.ok = readFrameTimestamp(block.get(), len, &r.field, &r.timeUs);
    return r;
}

} // namespace

class tst_FrameMetadata : public QObject
{
    Q_OBJECT

private slots:
    void readTimestamp_data();
    void readTimestamp();
    void shortPayloadGivesFieldOnly();
    void findReportsPayload();
    void missingOutParameters();
    void everyTruncation_data();
    void everyTruncation();
};

void tst_FrameMetadata::readTimestamp_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("found");
    QTest::addColumn<int>("field");
    QTest::addColumn<long long>("timeUs");

    const QByteArray stamp = app9Segment(7, 1, 2);
    QTest::newRow("APP9 right after SOI") << Soi + stamp + jpegTail() << true << 7 << 1000002LL;
    QTest::newRow("APP9 behind APP0 of length 16")
        << Soi + jpegSegment(0xE0, QByteArray(14, 'J')) + stamp + jpegTail() << true << 7
        << 1000002LL;
    QTest::newRow("APP9 after SOF0 is not used")
        << Soi + jpegSegment(0xC0, QByteArray(15, '\x02')) + stamp + jpegTail() << false << 0
        << 0LL;
    QTest::newRow("negative seconds")
        << Soi + app9Segment(1, 0xFFFFFFFFu, 5) + jpegTail() << true << 1 << -999995LL;
    QTest::newRow("negative microseconds")
        << Soi + app9Segment(1, 2, 0xFFFFFFFFu) + jpegTail() << true << 1 << 1999999LL;
    QTest::newRow("largest seconds") << Soi + app9Segment(0xFFFF, 0x7FFFFFFF, 999999) + jpegTail()
                                     << true << 0xFFFF << 2147483647999999LL;

    // SOI must begin within the first 100 bytes.
    QTest::newRow("SOI at byte 99")
        << QByteArray(99, '\0') + Soi + stamp + jpegTail() << true << 7 << 1000002LL;
    QTest::newRow("SOI at byte 100")
        << QByteArray(100, '\0') + Soi + stamp + jpegTail() << false << 0 << 0LL;
    QTest::newRow("no SOI") << stamp + jpegTail() << false << 0 << 0LL;
    QTest::newRow("byte other than FF after SOI")
        << Soi + raw("\x00") + stamp + jpegTail() << false << 0 << 0LL;

    // A frame of 1000 bytes may skip fewer than 500 bytes before APP9.
    const auto budgetFrame = [&](int skipped) {
        QByteArray f = Soi + jpegSegment(0xE1, QByteArray(skipped - 4, 'x')) + stamp;
        return f + QByteArray(1000 - int(f.size()), '\0');
    };
    QTest::newRow("skip 498 of budget 500") << budgetFrame(498) << true << 7 << 1000002LL;
    QTest::newRow("skip 500 of budget 500") << budgetFrame(500) << false << 0 << 0LL;
    QTest::newRow("budget split over two segments") << [&] {
        QByteArray f = Soi + jpegSegment(0xE1, QByteArray(246, 'x'))
                       + jpegSegment(0xE2, QByteArray(246, 'y')) + stamp;
        return f + QByteArray(1000 - int(f.size()), '\0');
    }() << false << 0 << 0LL;

    // Lengths that cannot be right end the walk instead of steering it.
    QTest::newRow("segment length 0")
        << Soi + raw("\xFF\xE0\x00\x00") + stamp + jpegTail() << false << 0 << 0LL;
    QTest::newRow("segment length 1")
        << Soi + raw("\xFF\xE0\x00\x01") + raw("\xFF") + stamp + jpegTail() << false << 0 << 0LL;
    QTest::newRow("APP9 payload runs past the frame")
        << Soi + raw("\xFF\xE9\x00\x40") + app9Segment(7, 1, 2).mid(4) << false << 0 << 0LL;
    QTest::newRow("skip runs past the frame")
        << Soi + raw("\xFF\xE0\xFF\xF0") + stamp + jpegTail() << false << 0 << 0LL;
    QTest::newRow("empty") << QByteArray() << false << 0 << 0LL;
}

void tst_FrameMetadata::readTimestamp()
{
    QFETCH(QByteArray, frame);
    QFETCH(bool, found);
    QFETCH(int, field);
    QFETCH(long long, timeUs);

    const Reading r = readExact(frame, int(frame.size()));
    QCOMPARE(r.ok, found);
    if (found) {
        QCOMPARE(int(r.field), field);
        QCOMPARE(r.timeUs, timeUs);
    }
}

void tst_FrameMetadata::shortPayloadGivesFieldOnly()
{
    // Two payload bytes hold the field but no time stamp.
    const QByteArray frame = Soi + jpegSegment(0xE9, raw("\x00\x07")) + jpegTail();
    const ExactCopy block(frame);
    const unsigned char* payload = nullptr;
    int payloadLen = 0;
    QVERIFY(findApp9Segment(block.get(), int(frame.size()), &payload, &payloadLen));
    QCOMPARE(payloadLen, 2);
    QCOMPARE(payload, block.get() + 6);

    unsigned short field = 0;
    long long timeUs = 0;
    QVERIFY(!readFrameTimestamp(block.get(), int(frame.size()), &field, &timeUs));
    QCOMPARE(int(field), 7);
    QCOMPARE(timeUs, -1LL);
}

void tst_FrameMetadata::findReportsPayload()
{
    const QByteArray frame = Soi + jpegSegment(0xE0, QByteArray(14, 'J')) + app9Segment(7, 1, 2);
    const ExactCopy block(frame);
    const unsigned char* payload = nullptr;
    int payloadLen = 0;
    // Budget: a frame this short may skip only half its length.
    QVERIFY(!findApp9Segment(block.get(), int(frame.size()), &payload, &payloadLen));
    QCOMPARE(payload, nullptr);
    QCOMPARE(payloadLen, -1);

    const QByteArray longer = frame + jpegTail();
    const ExactCopy block2(longer);
    QVERIFY(findApp9Segment(block2.get(), int(longer.size()), &payload, &payloadLen));
    QCOMPARE(payload, block2.get() + 2 + 18 + 4);
    QCOMPARE(payloadLen, 10);
}

void tst_FrameMetadata::missingOutParameters()
{
    const QByteArray frame = Soi + app9Segment(7, 1, 2) + jpegTail();
    const auto* data = ubytes(frame);
    const int len = int(frame.size());
    const unsigned char* payload = nullptr;
    int payloadLen = 0;
    unsigned short field = 0;
    long long timeUs = 0;
    QVERIFY(!findApp9Segment(data, len, nullptr, &payloadLen));
    QVERIFY(!findApp9Segment(data, len, &payload, nullptr));
    QVERIFY(!readFrameTimestamp(data, len, nullptr, &timeUs));
    QVERIFY(!readFrameTimestamp(data, len, &field, nullptr));
    QVERIFY(!readFrameTimestamp(nullptr, len, &field, &timeUs));
    QVERIFY(readFrameTimestamp(data, len, &field, &timeUs));
}

void tst_FrameMetadata::everyTruncation_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("skipped");

    QTest::newRow("APP9 first") << Soi + app9Segment(7, 1, 2) + jpegTail() << 0;
    QTest::newRow("APP9 behind APP0")
        << Soi + jpegSegment(0xE0, QByteArray(14, 'J')) + app9Segment(7, 1, 2) + jpegTail() << 18;
    QTest::newRow("SOI late") << QByteArray(60, '\x11') + Soi
                                     + jpegSegment(0xEE, QByteArray(8, 'A')) + app9Segment(7, 1, 2)
                                     + jpegTail()
                              << 12;
}

void tst_FrameMetadata::everyTruncation()
{
    QFETCH(QByteArray, frame);
    QFETCH(int, skipped);

    // Where the APP9 payload ends within the full frame.
    const unsigned char* payload = nullptr;
    int payloadLen = 0;
    const auto* full = ubytes(frame);
    QVERIFY(findApp9Segment(full, int(frame.size()), &payload, &payloadLen));
    const int app9End = int(payload - full) + payloadLen;

    // Each truncation lives in a block of exactly its length; the time stamp
    // is read only when its whole segment is inside and the walk's budget
    // (half the frame) covers the segments before it.
    for (int n = 0; n <= frame.size(); ++n) {
        const Reading r = readExact(frame, n);
        const bool expected = n >= app9End && n / 2 > skipped;
        QVERIFY2(r.ok == expected, qPrintable(QStringLiteral("length %1").arg(n)));
        if (r.ok)
            QCOMPARE(r.timeUs, 1000002LL);
    }
}

QTEST_GUILESS_MAIN(tst_FrameMetadata)
#include "tst_framemetadata.moc"
