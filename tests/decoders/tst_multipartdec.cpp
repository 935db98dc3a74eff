// SPDX-License-Identifier: MIT
#include "framelimits.h"
#include "multipartdec.h"
#include "multipartwriter.h"
#include "recordingsink.h"

#include <QRandomGenerator>
#include <QTest>

#include <algorithm>
#include <map>
#include <memory>

using FrameList = QList<QByteArray>;

namespace {

const QByteArray Boundary = "---jworudfg83h23lsow2z04";

QByteArray part(const QByteArray& headers, const QByteArray& body)
{
    return Boundary + "\r\n" + headers + body;
}

QByteArray longType(int lineLength)
{
    QByteArray line = "Content-Type: image/jpeg;x=";
    line += QByteArray(lineLength - line.size(), 'a');
    return line;
}

// Feeds `stream` to a fresh decoder in the given blocks and returns the
// frames delivered, with their content types.
struct DecodeResult
{
    FrameList frames;
    QStringList types;
    long long cutShort = 0;
};

DecodeResult decodeInBlocks(const QString& protocol, const QByteArray& stream,
                            const QList<int>& cuts)
{
    // One sink serves every call: building one fills two 2 MiB arrays, which
    // would dominate the thousands of split-point runs. Each call gets a
    // fresh decoder.
    static RecordingSink sink;
    sink.clear();
    MultipartDec decoder(&sink, multipartFraming(protocol));
    int start = 0;
    QList<int> ends = cuts;
    ends.append(stream.size());
    for (int end : ends) {
        if (end > start)
            feed(decoder, stream.mid(start, end - start));
        start = std::max(start, end);
    }
    DecodeResult result;
    result.cutShort = decoder.partsCutShort();
    for (const auto& f : sink.frames) {
        result.frames.append(f.data);
        result.types.append(f.contentType);
    }
    return result;
}

// The decoder's rules applied one byte at a time, the plainest reading of
// them, to compare the decoder's faster paths against.
struct ByteModel
{
    int match = 0;
    int state = -1;
    int remaining = -1;
    int afterBoundary = -1; // body bytes since a boundary inside the body
    int contentLength = 0;
    QByteArray typeLine;
    QByteArray lengthLine;
    QByteArray frame;
    QString type;
    DecodeResult result;

    void finishIfLast()
    {
        if (remaining-- == 0) {
            // Cut short by a part whose header began inside the body.
            if (!(afterBoundary > 0 && state != -1)) {
                result.frames.append(frame);
                result.types.append(type);
            }
            afterBoundary = -1;
            frame.clear();
        } else if (afterBoundary >= 0) {
            ++afterBoundary;
        }
    }

    void feed(const QByteArray& block, bool tcp)
    {
        int i = 0;
        if (tcp && match == 0 && state == -1) {
            i = remaining > block.size() ? int(block.size()) : remaining - 1;
            i = std::min(i, int(block.size()) - int(Boundary.size() - 1));
            // Every boundary that begins within the copy ends it, also one
            // that ends behind it.
            const qsizetype searched = std::min(block.size(), i + Boundary.size() - 1);
            const int at = i > 0 ? int(block.left(searched).indexOf(Boundary)) : -1;
            if (at >= 0 && at < i)
                i = at;
            if (i > 0) {
                frame += block.left(i);
                remaining -= i;
            } else {
                i = 0;
            }
        }
        for (int j = i; j < block.size(); ++j) {
            const char c = block[j];
            if (c == Boundary[match]) {
                match = (match == Boundary.size() - 1) ? 0 : match + 1;
                if (match == 0) {
                    state = 0;
                    if (remaining >= 0)
                        afterBoundary = 0;
                }
            } else if (c == '-') {
                match = match == 3 ? 3 : 1; // more dashes keep a full run of three
            } else {
                match = 0;
            }
            switch (state) {
            case 0:
                if (c == '\n') {
                    typeLine.clear();
                    lengthLine.clear();
                    state = 1;
                }
                break;
            case 1:
            case 2: {
                QByteArray& line = state == 1 ? typeLine : lengthLine;
                if (line.size() >= 256) {
                    state = -1;
                    afterBoundary = -1;
                    break;
                }
                if (c != '\r' && c != '\n')
                    line += c;
                if (c == '\n')
                    ++state;
                break;
            }
            case 3:
                state = c == '\n' ? 5 : 4;
                if (typeLine.startsWith("Content-Type: "))
                    type = QString::fromLatin1(typeLine.mid(14));
                else
                    state = -1;
                if (lengthLine.startsWith("Content-Length: "))
                    contentLength = QString::fromLatin1(lengthLine.mid(16)).toInt();
                else
                    state = -1;
                if (state == -1)
                    afterBoundary = -1;
                frame.clear();
                break;
            case 4:
                state = 5;
                break;
            case 5:
                if (contentLength > 0) {
                    remaining = contentLength - 1;
                    frame.clear();
                }
                afterBoundary = -1;
                state = -1;
                break;
            default:
                break;
            }
            if (remaining >= 0) {
                frame += c;
                finishIfLast();
            }
        }
    }
};

// A stream of well-formed, short, long and broken parts whose bodies are
// full of dashes and pieces of the boundary text.
QByteArray randomStream(QRandomGenerator& rng, int parts)
{
    const QList<QByteArray> pieces = {"-",
                                      "--",
                                      "---",
                                      "---jwor",
                                      Boundary.left(23),
                                      Boundary,
                                      "\n",
                                      "\r\n",
                                      "Content-Length: 3\n",
                                      "x",
                                      "----",
                                      "-------",
                                      "---j",
                                      "--j"};
    auto body = [&](int size) {
        QByteArray b;
        while (b.size() < size) {
            if (rng.bounded(4) == 0)
                b += pieces[rng.bounded(int(pieces.size()))];
            else
                b += char(rng.bounded(256));
        }
        return b.left(size);
    };
    QByteArray stream;
    for (int p = 0; p < parts; ++p) {
        const QByteArray b = body(1 + rng.bounded(700));
        switch (rng.bounded(6)) {
        case 0: // announces more than it carries
            stream += Boundary + "\r\nContent-Type: image/jpeg\r\nContent-Length: "
                      + QByteArray::number(b.size() + rng.bounded(1, 300)) + "\r\n\r\n" + b;
            break;
        case 1: // announces less
            stream += Boundary + "\nContent-Type: video/x-raw-gray\nContent-Length: "
                      + QByteArray::number(rng.bounded(1, int(b.size()) + 1)) + "\n\n" + b;
            break;
        case 2:
            stream += body(rng.bounded(200)); // bytes between parts
            break;
        default:
            stream += simlib::multipartPart(rng.bounded(2) ? "image/jpeg" : "image/png", b);
            break;
        }
    }
    return stream;
}

} // namespace

class tst_MultipartDec : public QObject
{
    Q_OBJECT

private slots:
    void frames_data();
    void frames();
    void everySplitPoint_data() { frames_data(); }
    void everySplitPoint();
    void everyTruncation();
    void shortBodyRecovery_data();
    void shortBodyRecovery();
    void largeFrameGrowsBuffer();
    void matchesByteModel();
    void oversizedLengthSkipped_data();
    void oversizedLengthSkipped();
    void garbageKeepsCountdownNegative();
    void parseDecimalMatchesToolkit_data();
    void parseDecimalMatchesToolkit();
};

void tst_MultipartDec::frames_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<FrameList>("expected");
    QTest::addColumn<QString>("type");

    const QByteArray headers = "Content-Type: image/jpeg\r\nContent-Length: 5\r\n\r\n";
    QTest::newRow("one part after a line feed")
        << QByteArray("\n") + part(headers, "ABCDE") << FrameList{"ABCDE"} << "image/jpeg";
    QTest::newRow("two parts back to back")
        << simlib::multipartPart("image/jpeg", "first")
               + simlib::multipartPart("video/x-raw-gray", "second!")
        << FrameList{"first", "second!"} << "video/x-raw-gray";
    QTest::newRow("bare line feeds")
        << part("Content-Type: image/jpeg\nContent-Length: 3\n\r\n", "xyz") << FrameList{"xyz"}
        << "image/jpeg";
    QTest::newRow("headers in the opposite order")
        << part("Content-Length: 5\r\nContent-Type: image/jpeg\r\n\r\n", "ABCDE") << FrameList{}
        << "";
    QTest::newRow("content-type with lower-case t")
        << part("Content-type: image/jpeg\r\nContent-Length: 5\r\n\r\n", "ABCDE") << FrameList{}
        << "";
    QTest::newRow("no blank after the colon")
        << part("Content-Type:image/jpeg\r\nContent-Length: 5\r\n\r\n", "ABCDE") << FrameList{}
        << "";
    QTest::newRow("length zero") << part("Content-Type: image/jpeg\r\nContent-Length: 0\r\n\r\n",
                                         "ABCDE")
                                 << FrameList{} << "image/jpeg";
    QTest::newRow("empty line as a bare LF")
        << part("Content-Type: image/jpeg\r\nContent-Length: 5\r\n\n", "ABCDEX")
        << FrameList{"ABCDE"} << "image/jpeg";
    QTest::newRow("line feeds only, as embedded senders write them")
        << Boundary + "\nContent-Type: image/jpeg\nContent-Length: 5\n\nABCDE\n" + Boundary
               + "\nContent-Type: video/x-raw-gray\nContent-Length: 3\n\n\n\r\n\n"
        << FrameList{"ABCDE", "\n\r\n"} << "video/x-raw-gray";
    QTest::newRow("third header line")
        << part("Content-Type: image/jpeg\r\nContent-Length: 5\r\nX-Extra: 1\r\n\r\n", "ABCDE")
        << FrameList{"Extra"} << "image/jpeg";
    QTest::newRow("seven dashes find the boundary")
        << QByteArray("----") + part(headers, "ABCDE") << FrameList{"ABCDE"} << "image/jpeg";
    QTest::newRow("five dashes: the delimiter of RFC 2046")
        << QByteArray("--") + part(headers, "ABCDE") + QByteArray("\r\n--") + part(headers, "FGHIJ")
        << FrameList{"ABCDE", "FGHIJ"} << "image/jpeg";
    QTest::newRow("a dash run broken inside the boundary text")
        << QByteArray("---jwo") + part(headers, "ABCDE") << FrameList{"ABCDE"} << "image/jpeg";
    QTest::newRow("Content-Length longer than the body: the next part cuts it short")
        << part("Content-Type: image/jpeg\r\nContent-Length: 100\r\n\r\n", "shrt")
               + simlib::multipartPart("image/jpeg", "good")
               + simlib::multipartPart("image/jpeg", "next")
        << FrameList{"good", "next"} << "image/jpeg";
    QTest::newRow("a body that ends inside the next part's header is dropped")
        << part("Content-Type: image/jpeg\r\nContent-Length: 35\r\n\r\n", "shrt")
               + simlib::multipartPart("image/jpeg", "good")
        << FrameList{"good"} << "image/jpeg";
    QTest::newRow("header line of 255 characters")
        << part(longType(255) + "\r\nContent-Length: 2\r\n\r\n", "ok") << FrameList{"ok"}
        << QString::fromLatin1(longType(255).mid(14));
    QTest::newRow("header line of 256 characters")
        << part(longType(256) + "\r\nContent-Length: 2\r\n\r\n", "ok") << FrameList{} << "";
    QTest::newRow("content type parameters verbatim")
        << part("Content-Type: image/jpeg; q=0.5\r\nContent-Length: 2\r\n\r\n", "ok")
        << FrameList{"ok"} << "image/jpeg; q=0.5";
    QTest::newRow("length with sign")
        << part("Content-Type: image/jpeg\r\nContent-Length: +2\r\n\r\n", "ok") << FrameList{"ok"}
        << "image/jpeg";
    for (const char* bad :
         {"-1", "abc", "12abc", "", "99999999999999999999", "2147483648", "4294967296"}) {
        QTest::addRow("length \"%s\" skipped, next part intact", bad)
            << part(QByteArray("Content-Type: image/jpeg\r\nContent-Length: ") + bad + "\r\n\r\n",
                    "zzzz")
                   + simlib::multipartPart("image/jpeg", "good")
            << FrameList{"good"} << "image/jpeg";
    }
    QTest::newRow("garbage between parts")
        << simlib::multipartPart("image/jpeg", "one")
               + QByteArray("\x00\xff garbage --- ---jworud\n", 25)
               + simlib::multipartPart("image/jpeg", "two")
        << FrameList{"one", "two"} << "image/jpeg";
    QTest::newRow("boundary text inside a body is data")
        << simlib::multipartPart("image/jpeg", Boundary) << FrameList{Boundary} << "image/jpeg";
}

void tst_MultipartDec::frames()
{
    QFETCH(QByteArray, stream);
    QFETCH(FrameList, expected);
    QFETCH(QString, type);
    for (const QString& protocol : {QStringLiteral("TCP"), QStringLiteral("UDP")}) {
        const DecodeResult r = decodeInBlocks(protocol, stream, {});
        QCOMPARE(r.frames, expected);
        if (!expected.isEmpty())
            QCOMPARE(r.types.last(), type);
    }
}

void tst_MultipartDec::everySplitPoint()
{
    QFETCH(QByteArray, stream);
    QFETCH(FrameList, expected);
    for (const QString& protocol : {QStringLiteral("TCP"), QStringLiteral("UDP")}) {
        for (int cut = 1; cut < stream.size(); ++cut)
            QCOMPARE(decodeInBlocks(protocol, stream, {cut}).frames, expected);
        QList<int> everyByte;
        for (int i = 1; i < stream.size(); ++i)
            everyByte.append(i);
        QCOMPARE(decodeInBlocks(protocol, stream, everyByte).frames, expected);
    }
}

void tst_MultipartDec::everyTruncation()
{
    const QByteArray stream = simlib::multipartPart("image/jpeg", "0123456789");
    const int bodyEnd = stream.size() - 2; // the part's trailing CR LF is not body
    for (const QString& protocol : {QStringLiteral("TCP"), QStringLiteral("UDP")}) {
        for (int len = 0; len < bodyEnd; ++len)
            QVERIFY(decodeInBlocks(protocol, stream.left(len), {}).frames.isEmpty());
    }
}

void tst_MultipartDec::shortBodyRecovery_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QList<int>>("cuts");
    QTest::addColumn<FrameList>("expected");

    // The first part claims 100 bytes but carries 4; the next part's header
    // is recognised inside the countdown and its frame arrives intact.
    QTest::newRow("UDP, one datagram") << "UDP" << QList<int>{} << FrameList{"good", "third"};
    QTest::newRow("TCP, one block") << "TCP" << QList<int>{} << FrameList{"good", "third"};
    // A TCP block that starts inside the claimed body is copied in one
    // piece, up to the boundary found in it: the next part is not swallowed.
    QTest::newRow("TCP, block starting inside the claimed body")
        << "TCP" << QList<int>{76} << FrameList{"good", "third"};
    QTest::newRow("TCP, next part's boundary cut by a block's end")
        << "TCP" << QList<int>{76, 90} << FrameList{"good", "third"};
    // The block [76, 106) starts inside the claimed body; the next boundary
    // begins at its 4th byte and ends behind the bytes a quick copy could
    // take without it (all but the last 23).
    QTest::newRow("TCP, next part's boundary ending behind the quick copy")
        << "TCP" << QList<int>{76, 106} << FrameList{"good", "third"};
}

void tst_MultipartDec::shortBodyRecovery()
{
    QFETCH(QString, protocol);
    QFETCH(QList<int>, cuts);
    QFETCH(FrameList, expected);
    QByteArray stream = part("Content-Type: image/jpeg\r\nContent-Length: 100\r\n\r\n", "shrt")
                        + simlib::multipartPart("image/jpeg", "good") + QByteArray(64, '.')
                        + simlib::multipartPart("image/jpeg", "third");
    QCOMPARE(stream.indexOf("shrt"), 75);
    const DecodeResult r = decodeInBlocks(protocol, stream, cuts);
    QCOMPARE(r.frames, expected);
    QCOMPARE(r.cutShort, 1); // the 4-byte part that claimed 100
}

void tst_MultipartDec::largeFrameGrowsBuffer()
{
    QByteArray body(5 * 1024 * 1024 + 17, '\0');
    for (int i = 0; i < body.size(); ++i)
        body[i] = char(i * 7 + (i >> 12));
    const QByteArray stream =
        simlib::multipartPart("image/jpeg", body) + simlib::multipartPart("image/jpeg", "after");
    for (const QString& protocol : {QStringLiteral("TCP"), QStringLiteral("UDP")}) {
        // Blocks of the receive size, and an odd size, for both modes.
        for (int blockSize : {ReceiveBlockBytes, 65507}) {
            QList<int> cuts;
            for (int c = blockSize; c < stream.size(); c += blockSize)
                cuts.append(c);
            const FrameList frames = decodeInBlocks(protocol, stream, cuts).frames;
            QCOMPARE(frames.size(), 2);
            QVERIFY(frames[0] == body);
            QCOMPARE(frames[1], QByteArray("after"));
        }
    }
}

void tst_MultipartDec::matchesByteModel()
{
    QRandomGenerator rng(20261209);
    for (int round = 0; round < 40; ++round) {
        const QByteArray stream = randomStream(rng, 40);
        QList<int> cuts;
        const int maxBlock = round % 2 ? 64 : 1500;
        for (int c = rng.bounded(1, maxBlock); c < stream.size(); c += rng.bounded(1, maxBlock))
            cuts.append(c);
        for (const QString& protocol : {QStringLiteral("TCP"), QStringLiteral("UDP")}) {
            ByteModel model;
            int start = 0;
            for (int end : cuts + QList<int>{int(stream.size())}) {
                model.feed(stream.mid(start, end - start), protocol == QLatin1String("TCP"));
                start = end;
            }
            const DecodeResult r = decodeInBlocks(protocol, stream, cuts);
            QVERIFY(!model.result.frames.isEmpty());
            QCOMPARE(r.frames, model.result.frames);
            QCOMPARE(r.types, model.result.types);
        }
    }
}

void tst_MultipartDec::oversizedLengthSkipped_data()
{
    QTest::addColumn<qint64>("length");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("at the bound") << qint64(MaxFrameBytes) << true;
    QTest::newRow("one past the bound") << qint64(MaxFrameBytes) + 1 << false;
    QTest::newRow("int max") << qint64(INT_MAX) << false;
}

void tst_MultipartDec::oversizedLengthSkipped()
{
    QFETCH(qint64, length);
    QFETCH(bool, accepted);
    RecordingSink sink;
    MultipartDec decoder(&sink, MultipartDec::Framing::Stream);
    feed(decoder, Boundary + "\r\nContent-Type: image/jpeg\r\nContent-Length: "
                      + QByteArray::number(length) + "\r\n\r\n");
    feed(decoder, QByteArray(64, 'x'));
    // An accepted length is counting down into a body; a refused one is not,
    // and the buffer did not grow for it.
    QCOMPARE(decoder.remaining() >= 0, accepted);
    QCOMPARE(sink.writeCapacity(), InitialFrameBufferBytes);
    if (!accepted) {
        feed(decoder, simlib::multipartPart("image/jpeg", "good"));
        QCOMPARE(sink.frames.size(), 1);
        QCOMPARE(sink.frames[0].data, QByteArray("good"));
    }
}

void tst_MultipartDec::garbageKeepsCountdownNegative()
{
    RecordingSink sink;
    MultipartDec decoder(&sink, MultipartDec::Framing::Datagrams);
    QByteArray garbage(1024 * 1024, '\0');
    for (int i = 0; i < garbage.size(); ++i)
        garbage[i] = char((i * 131) ^ (i >> 8));
    for (int round = 0; round < 10; ++round) {
        feed(decoder, garbage);
        QCOMPARE(decoder.remaining(), -1);
    }
    QCOMPARE(sink.writeCapacity(), InitialFrameBufferBytes);
}

void tst_MultipartDec::parseDecimalMatchesToolkit_data()
{
    QTest::addColumn<QByteArray>("text");
    for (const char* t : {"5",
                          "0",
                          "+5",
                          "-1",
                          " 42",
                          "42 ",
                          "\t7\t",
                          "12abc",
                          "abc",
                          "",
                          " ",
                          "+",
                          "-",
                          "2147483647",
                          "2147483648",
                          "-2147483648",
                          "-2147483649",
                          "4294967296",
                          "99999999999999999999",
                          "0x10",
                          "1 2",
                          "007",
                          "5\r"})
        QTest::newRow(t) << QByteArray(t);
}

void tst_MultipartDec::parseDecimalMatchesToolkit()
{
    QFETCH(QByteArray, text);
    QCOMPARE(MultipartDec::parseDecimal(text.constData(), int(text.size())),
             QString::fromLatin1(text).toInt());
}

QTEST_GUILESS_MAIN(tst_MultipartDec)
#include "tst_multipartdec.moc"
