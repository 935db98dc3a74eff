// SPDX-License-Identifier: MIT
// Hostile multipart streams: endless header lines, megabytes without a
// boundary, connections that end inside a part. Each row asserts that the
// decoder stays inside its bounds (no growth of the frame buffer for bytes
// that are no body, no countdown left running) and that the next good part
// is delivered intact.
#include "framelimits.h"
#include "multipartdec.h"
#include "multipartwriter.h"
#include "recordingsink.h"

#include <QTest>

#include <memory>

namespace {

const QByteArray Boundary = "---jworudfg83h23lsow2z04";

QByteArray goodBody()
{
    QByteArray body(3000, '\0');
    for (int i = 0; i < body.size(); ++i)
        body[i] = char(i * 13 + 1);
    return body;
}

// Bytes that never complete the boundary: random bytes, the boundary text
// without its last character over and over, dashes, header lines.
QByteArray garbage(int kind, int size)
{
    QByteArray g;
    g.reserve(size);
    quint32 x = 12345;
    while (g.size() < size) {
        switch (kind) {
        case 0:
            x = x * 1103515245u + 12345u;
            g.append(char(((x >> 16) & 0xFF) == '-' ? 0 : (x >> 16) & 0xFF));
            break;
        case 1:
            g.append(Boundary.left(Boundary.size() - 1));
            break;
        case 2:
            g.append('-');
            break;
        default:
            g.append("Content-Type: image/jpeg\r\nContent-Length: 1000\r\n\r\n");
            break;
        }
    }
    g.truncate(size);
    return g;
}

QByteArray goodPart()
{
    return simlib::multipartPart(simlib::ContentTypeJpeg, goodBody());
}

} // namespace

class tst_BadStreamsMultipart : public QObject
{
    Q_OBJECT

private slots:
    void hostileStream_data();
    void hostileStream();
    void connectionEndsMidPart_data();
    void connectionEndsMidPart();
};

void tst_BadStreamsMultipart::hostileStream_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QByteArray>("bad");
    QTest::addColumn<int>("block");

    const QByteArray longLine(64 * 1024, 'a');
    const QByteArray tenMiB = QByteArray::number(10 * 1024 * 1024);
    for (const char* protocol : {"TCP", "UDP"}) {
        QTest::addRow("%s: type line of 64 KiB without a line feed", protocol)
            << protocol << Boundary + "\r\nContent-Type: " + longLine << ReceiveBlockBytes;
        QTest::addRow("%s: length line of 64 KiB without a line feed", protocol)
            << protocol << Boundary + "\r\nContent-Type: image/jpeg\r\nContent-Length: 1" + longLine
            << ReceiveBlockBytes;
        QTest::addRow("%s: boundary line of 64 KiB without a line feed", protocol)
            << protocol << Boundary + longLine << 1400;
        QTest::addRow("%s: 64 KiB of line feeds after the boundary", protocol)
            << protocol << Boundary + QByteArray(64 * 1024, '\n') << 1400;
        const char* names[] = {"random bytes", "boundary without its last byte", "dashes",
                               "header lines without boundary"};
        for (int kind = 0; kind < 4; ++kind)
            QTest::addRow("%s: 10 MiB of %s", protocol, names[kind])
                << protocol << garbage(kind, 10 * 1024 * 1024) << ReceiveBlockBytes;
    }
}

// The hostile bytes leave the frame buffer at its initial size and no
// countdown running; the good part that follows arrives intact and alone.
void tst_BadStreamsMultipart::hostileStream()
{
    QFETCH(QString, protocol);
    QFETCH(QByteArray, bad);
    QFETCH(int, block);

    RecordingSink sink;
    MultipartDec decoder(&sink, multipartFraming(protocol));

    feed(decoder, bad, block);
    QCOMPARE(decoder.remaining(), -1);
    QCOMPARE(sink.writeCapacity(), InitialFrameBufferBytes);
    QCOMPARE(sink.frames.size(), 0);

    // A line feed ends whatever line was open; the part then starts fresh.
    feed(decoder, "\n" + goodPart(), block);
    QCOMPARE(sink.frames.size(), 1);
    QCOMPARE(sink.frames[0].data, goodBody());
    QCOMPARE(sink.frames[0].contentType, QStringLiteral("image/jpeg"));
}

void tst_BadStreamsMultipart::connectionEndsMidPart_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<int>("cut");

    const QByteArray part = goodPart();
    const int bodyStart = int(part.indexOf("\r\n\r\n")) + 4;
    for (const char* protocol : {"TCP", "UDP"}) {
        QTest::addRow("%s: inside the boundary", protocol) << protocol << 10;
        QTest::addRow("%s: inside the type line", protocol) << protocol << 30;
        QTest::addRow("%s: before the empty line", protocol) << protocol << bodyStart - 2;
        QTest::addRow("%s: at the first body byte", protocol) << protocol << bodyStart;
        QTest::addRow("%s: inside the body", protocol) << protocol << bodyStart + 1500;
        QTest::addRow("%s: one byte before the end", protocol) << protocol << int(part.size()) - 3;
    }
}

// The receive loop gives every connection a decoder of its own and starts a
// new frame; nothing of the broken part is delivered, and the first part of
// the next connection arrives intact.
void tst_BadStreamsMultipart::connectionEndsMidPart()
{
    QFETCH(QString, protocol);
    QFETCH(int, cut);

    RecordingSink sink;
    QByteArray broken = goodPart();
    for (int i = 0; i < broken.size(); ++i)
        if (broken[i] == char(1))
            broken[i] = char(2); // the broken part's body differs from the good one
    {
        auto decoder = std::make_unique<MultipartDec>(&sink, multipartFraming(protocol));
        feed(*decoder, broken.left(cut), 1000);
    }
    QCOMPARE(sink.frames.size(), 0);

    sink.restartFrame();
    MultipartDec next(&sink, multipartFraming(protocol));
    feed(next, goodPart(), 1000);
    QCOMPARE(sink.frames.size(), 1);
    QCOMPARE(sink.frames[0].data, goodBody());
}

QTEST_GUILESS_MAIN(tst_BadStreamsMultipart)
#include "tst_badstreams_multipart.moc"
