// SPDX-License-Identifier: MIT
#include "multipartdec.h"
#include "recordingformat.h"
#include "recordingreader.h"
#include "recordingsink.h"
#include "testfiles.h"

#include <QTest>

namespace {

struct Part
{
    QByteArray type;
    QByteArray body;
    qint64 timeUs = 0;
};
using Parts = QList<Part>;

QByteArray recordingOf(const Parts& parts)
{
    QByteArray bytes;
    for (const Part& p : parts)
        bytes += recordingPart(p.type, p.body, p.timeUs);
    return bytes;
}

// The frames MultipartDec delivers for `stream` fed in two calls cut at
// `cut` (or byte by byte for -1).
QList<RecordingSink::Frame> decode(const QByteArray& stream, int cut, MultipartDec::Framing framing)
{
    static RecordingSink sink;
    sink.clear();
    MultipartDec decoder(&sink, framing);
    if (cut < 0) {
        feed(decoder, stream, 1);
    } else {
        if (cut > 0)
            feed(decoder, stream.left(cut));
        if (cut < stream.size())
            feed(decoder, stream.mid(cut));
    }
    return sink.frames;
}

} // namespace

Q_DECLARE_METATYPE(Parts)

// A recording read back by our own multipart decoder: the time on the
// boundary line is stepped over, the frames come out as they went in.
class tst_RecordingFormat : public QObject
{
    Q_OBJECT

private slots:
    void readBack_data();
    void readBack();
    void parseTime_data();
    void parseTime();
    void foreignPartsHaveNoTime();
};

void tst_RecordingFormat::readBack_data()
{
    QTest::addColumn<Parts>("parts");
    const QByteArray jpeg = jpegFile(solidFrame(16, 8, Qt::red), 90);
    QTest::newRow("one JPEG frame") << Parts{{"image/jpeg", jpeg, 1733744076123456}};
    QTest::newRow("JPEG and raw gray with NULs and line ends")
        << Parts{{"image/jpeg", jpeg, 1000},
                 {"video/x-raw-gray", raw("\0\r\n\0\n\r\r\n\r\n--"), 2001},
                 {"image/jpeg", jpeg, 3002}};
    QTest::newRow("a body that starts like the boundary")
        << Parts{{"image/jpeg", "---jworudfg\r\n", 5}, {"image/jpeg", "x", 6}};
    QTest::newRow("a hostile type kept as delivered")
        << Parts{{"text/html; charset=\"x\"", "<b>", 0}, {"", "no type", 1}};
    QTest::newRow("a one-byte frame and a zero time")
        << Parts{{"video/x-raw-gray", raw("\0"), 0}, {"video/x-raw-gray", "\xff", 0}};
}

void tst_RecordingFormat::readBack()
{
    QFETCH(Parts, parts);
    const QByteArray stream = recordingOf(parts);

    const auto check = [&](const QList<RecordingSink::Frame>& frames, const QByteArray& how) {
        QVERIFY2(frames.size() == parts.size(), how.constData());
        for (int i = 0; i < parts.size(); ++i) {
            QVERIFY2(frames.at(i).data == parts.at(i).body, how.constData());
            QVERIFY2(frames.at(i).contentType == QString::fromLatin1(parts.at(i).type),
                     how.constData());
        }
    };
    for (const auto framing : {MultipartDec::Framing::Stream, MultipartDec::Framing::Datagrams}) {
        const QByteArray name = framing == MultipartDec::Framing::Stream ? "stream" : "datagrams";
        for (int cut = 0; cut <= stream.size(); ++cut) {
            check(decode(stream, cut, framing), name + " cut at " + QByteArray::number(cut));
            if (QTest::currentTestFailed())
                return;
        }
        check(decode(stream, -1, framing), name + " byte by byte");
    }

    // The replay reader gets the same frames and the time of each.
    const QList<simlib::RecordedFrame> read = simlib::readRecording(stream);
    QCOMPARE(read.size(), parts.size());
    for (int i = 0; i < parts.size(); ++i) {
        QCOMPARE(read.at(i).bytes, parts.at(i).body);
        QCOMPARE(read.at(i).contentType, parts.at(i).type);
        QCOMPARE(read.at(i).timeUs, parts.at(i).timeUs);
    }
    // Every truncation gives a prefix of the frames, never a wrong one.
    for (int len = 0; len < stream.size(); ++len) {
        const QList<simlib::RecordedFrame> prefix = simlib::readRecording(stream.left(len));
        QVERIFY(prefix.size() <= parts.size());
        for (int i = 0; i < prefix.size(); ++i)
            QVERIFY(prefix.at(i).bytes == parts.at(i).body);
    }
}

void tst_RecordingFormat::parseTime_data()
{
    QTest::addColumn<QByteArray>("rest");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qint64>("time");
    QTest::newRow("time and line end")
        << QByteArray(" t=1733744076123456\r\n") << true << qint64(1733744076123456);
    QTest::newRow("zero") << QByteArray(" t=0\r\n") << true << qint64(0);
    QTest::newRow("cut after the digits") << QByteArray(" t=12") << true << qint64(12);
    QTest::newRow("no digits") << QByteArray(" t=\r\n") << false << qint64(0);
    QTest::newRow("plain line end") << QByteArray("\r\n") << false << qint64(0);
    QTest::newRow("other key") << QByteArray(" x=5\r\n") << false << qint64(0);
    QTest::newRow("a negative time is none") << QByteArray(" t=-5\r\n") << false << qint64(0);
    QTest::newRow("digits beyond 18 are not read")
        << QByteArray(" t=1234567890123456789999") << true << qint64(123456789012345678);
}

void tst_RecordingFormat::parseTime()
{
    QFETCH(QByteArray, rest);
    QFETCH(bool, ok);
    QFETCH(qint64, time);
    std::int64_t parsed = 0;
    QCOMPARE(recording::parseTime(rest.constData(), rest.size(), &parsed), ok);
    if (ok)
        QCOMPARE(qint64(parsed), time);
}

void tst_RecordingFormat::foreignPartsHaveNoTime()
{
    // A stream a camera sent, saved by another tool, replays without times.
    const QByteArray stream = QByteArray("garbage") + MultipartDec::BoundaryText
                              + "\r\nContent-Type: image/jpeg\r\nContent-Length: 3\r\n\r\nabc\r\n";
    const QList<simlib::RecordedFrame> read = simlib::readRecording(stream);
    QCOMPARE(read.size(), 1);
    QCOMPARE(read.at(0).bytes, QByteArray("abc"));
    QCOMPARE(read.at(0).timeUs, -1);
}

QTEST_GUILESS_MAIN(tst_RecordingFormat)
#include "tst_recordingformat.moc"
