// SPDX-License-Identifier: MIT
// JPEG marker walks over hostile bytes: the APP9 time stamp reader on frames
// that end anywhere inside a marker, and the RTP/JPEG header store built
// from reference files of a few bytes. Every input sits in an allocation of
// exactly its size, so that a read beyond it is caught by the address
// sanitizer.
#include "framemetadata.h"
#include "recordingsink.h"
#include "rtp2jpeg.h"
#include "rtppackets.h"
#include "testfiles.h"

#include <QTest>

#include <vector>

using namespace rtptest;

namespace {

QByteArray bytes(std::initializer_list<int> list)
{
    QByteArray b;
    for (int v : list)
        b.append(char(v));
    return b;
}

const QByteArray Stamp = app9Segment(7, 1, 2);

} // namespace

class tst_BadStreamsJpeg : public QObject
{
    Q_OBJECT

private slots:
    void app9Walk_data();
    void app9Walk();
    void referenceFile_data();
    void referenceFile();
};

void tst_BadStreamsJpeg::app9Walk_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("found");

    const QByteArray soi = bytes({0xFF, 0xD8});
    QTest::newRow("one byte FF") << bytes({0xFF}) << false;
    QTest::newRow("SOI only") << soi << false;
    QTest::newRow("ends after FF") << soi + bytes({0xFF}) << false;
    QTest::newRow("ends after the APP9 marker byte") << soi + bytes({0xFF, 0xE9}) << false;
    QTest::newRow("ends inside the length field") << soi + bytes({0xFF, 0xE9, 0x00}) << false;
    QTest::newRow("ends after the length field") << soi + bytes({0xFF, 0xE9, 0x00, 0x0C}) << false;
    QTest::newRow("ends one byte short of the time stamp") << soi + Stamp.left(13) << false;
    QTest::newRow("ends with the time stamp") << soi + Stamp << true;
    QTest::newRow("ends after an APP0 marker byte") << soi + bytes({0xFF, 0xE0}) << false;
    QTest::newRow("APP0 skip lands on the last byte")
        << soi + bytes({0xFF, 0xE0, 0x00, 0x03, 0x00, 0xFF}) << false;
    QTest::newRow("APP0 skip lands exactly on the end")
        << soi + bytes({0xFF, 0xE0, 0x00, 0x03, 0x00}) << false;
    QTest::newRow("APP0 of length 65535 in a short frame")
        << soi + bytes({0xFF, 0xE0, 0xFF, 0xFF}) + QByteArray(40, '\0') << false;
    QTest::newRow("APP9 length 0") << soi + bytes({0xFF, 0xE9, 0x00, 0x00}) + Stamp << false;
    QTest::newRow("APP9 length 1") << soi + bytes({0xFF, 0xE9, 0x00, 0x01}) + Stamp << false;
    QTest::newRow("APP9 length 65535") << soi + bytes({0xFF, 0xE9, 0xFF, 0xFF}) + Stamp << false;
    QTest::newRow("SOI split by the end of the frame")
        << QByteArray(99, '\0') + bytes({0xFF}) << false;
    QTest::newRow("fill bytes only") << soi + QByteArray(200, char(0xFF)) << false;
}

// The readers say no, or find a segment wholly inside the frame, and never
// look past its last byte.
void tst_BadStreamsJpeg::app9Walk()
{
    QFETCH(QByteArray, frame);
    QFETCH(bool, found);

    std::vector<unsigned char> copy(frame.begin(), frame.end());
    const unsigned char* data = copy.data();
    const int len = int(copy.size());
    const unsigned char* payload = nullptr;
    int payloadLen = 0;
    QCOMPARE(findApp9Segment(data, len, &payload, &payloadLen), found);
    if (found) {
        QVERIFY(payload > data && payload + payloadLen <= data + len);
    } else {
        QCOMPARE(payload, nullptr);
        QCOMPARE(payloadLen, -1);
    }
    unsigned short field = 0;
    long long timeUs = 0;
    QCOMPARE(readFrameTimestamp(data, len, &field, &timeUs), found);
    if (found) {
        QCOMPARE(field, 7);
        QCOMPARE(timeUs, 1000002LL);
    }
}

void tst_BadStreamsJpeg::referenceFile_data()
{
    QTest::addColumn<QByteArray>("file");

    QTest::newRow("1 byte") << bytes({0xFF});
    QTest::newRow("3 bytes") << bytes({0xFF, 0xD8, 0xFF});
    QTest::newRow("ends with FF DB") << bytes({0xFF, 0xD8, 0xFF, 0xDB});
    QTest::newRow("ends inside the DQT length") << bytes({0xFF, 0xD8, 0xFF, 0xDB, 0x00});
    QTest::newRow("DQT length and no table") << bytes({0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43});
    QTest::newRow("DQT table cut short")
        << bytes({0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00}) + QByteArray(20, char(9));
    QTest::newRow("ends with FF C0") << bytes({0xFF, 0xD8, 0xFF, 0xC0});
    QTest::newRow("SOF0 shorter than its size fields")
        << bytes({0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x05, 0x08, 0x01, 0xE0});
    QTest::newRow("ends with FF DA") << bytes({0xFF, 0xD8, 0xFF, 0xDA});
    QTest::newRow("SOS running past the file")
        << bytes({0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01});
    QTest::newRow("only fill bytes") << QByteArray(1024, char(0xFF));
    QTest::newRow("1024 bytes ending with FF DB")
        << bytes({0xFF, 0xD8}) + QByteArray(1020, '\0') + bytes({0xFF, 0xDB});
}

// The store holds what was read and nothing more is ever looked at or
// written; synchronising patches within those bytes only, and a frame still
// comes out: the header found (possibly none), the scan data and EOI.
void tst_BadStreamsJpeg::referenceFile()
{
    QFETCH(QByteArray, file);

    RecordingSink sink;
    Rtp2Jpeg decoder(&sink, referenceHeader(file));
    const int dataLen = decoder.headerDataLen();
    QCOMPARE(dataLen, std::min(int(file.size()), int(Rtp2Jpeg::HeaderStoreBytes)));
    QVERIFY(decoder.headerLen() >= 0 && decoder.headerLen() <= dataLen);

    feed(decoder, packet({.marker = true}, {.tables = ramp(128, 50)}, ramp(40, 3)));
    QVERIFY(decoder.updateHeader() <= 0);

    for (int i = dataLen; i < Rtp2Jpeg::HeaderStoreBytes; ++i)
        QCOMPARE(decoder.header()[i], 0);
    QCOMPARE(sink.frames.size(), 1);
    const QByteArray frame = sink.frames[0].data;
    const int headerLen = decoder.headerLen();
    QCOMPARE(frame.size(), headerLen + 40 + 2);
    QCOMPARE(frame.left(headerLen), byteArray(decoder.header(), headerLen));
    QCOMPARE(frame.mid(headerLen, 40), ramp(40, 3));
    QCOMPARE(frame.right(2), QByteArray("\xFF\xD9", 2));
}

QTEST_GUILESS_MAIN(tst_BadStreamsJpeg)
#include "tst_badstreams_jpeg.moc"
