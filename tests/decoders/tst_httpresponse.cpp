// SPDX-License-Identifier: MIT
// The head of an HTTP response (status, content type and its boundary, the
// authentication schemes offered) and the multipart decoder reading parts
// that begin with the delimiter a response announced.
#include "httpresponsehead.h"
#include "multipartdec.h"
#include "recordingsink.h"

#include <QTest>

using Kind = ContentTypeInfo::Kind;
Q_DECLARE_METATYPE(ContentTypeInfo::Kind)

class tst_HttpResponse : public QObject
{
    Q_OBJECT

private slots:
    void contentType_data();
    void contentType();
    void head_data();
    void head();
    void announcedParts_data();
    void announcedParts();
};

void tst_HttpResponse::contentType_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QByteArray>("mediaType");
    QTest::addColumn<QByteArray>("delimiter");

    const auto row = [](const char* name, const char* value, Kind kind, const char* media,
                        const char* delimiter) {
        QTest::newRow(name) << QByteArray(value) << kind << QByteArray(media)
                            << QByteArray(delimiter);
    };
    const Kind M = Kind::Multipart;
    row("unquoted", "multipart/x-mixed-replace;boundary=myboundary", M, "multipart/x-mixed-replace",
        "--myboundary");
    row("quoted, blanks", "multipart/x-mixed-replace; boundary=\"my boundary\"", M,
        "multipart/x-mixed-replace", "--my boundary");
    row("any case", "Multipart/X-Mixed-Replace; BOUNDARY=Frame", M, "multipart/x-mixed-replace",
        "--Frame");
    row("leading dashes dropped", "multipart/x-mixed-replace; boundary=--ffserver", M,
        "multipart/x-mixed-replace", "--ffserver");
    row("dashes inside kept", "multipart/x-mixed-replace; boundary=---a-b--c", M,
        "multipart/x-mixed-replace", "--a-b--c");
    row("parameters around it", "multipart/x-mixed-replace; charset=x; boundary=\"b;1\"; q=2", M,
        "multipart/x-mixed-replace", "--b;1");
    row("quoted escape", "multipart/mixed; boundary=\"a\\\"b\"", M, "multipart/mixed", "--a\"b");
    row("jpeg", "image/jpeg", Kind::Jpeg, "image/jpeg", "");
    row("jpeg with parameters", " IMAGE/JPEG ; q=1", Kind::Jpeg, "image/jpeg", "");
    row("html", "text/html; charset=utf-8", Kind::Other, "text/html", "");
    row("png is not a frame", "image/png", Kind::Other, "image/png", "");
    row("multipart without boundary", "multipart/x-mixed-replace", Kind::Other,
        "multipart/x-mixed-replace", "");
    row("only dashes, kept", "multipart/x-mixed-replace; boundary=----", M,
        "multipart/x-mixed-replace", "------");
    row("boundary of 71", ("multipart/mixed; boundary=" + std::string(71, 'b')).c_str(),
        Kind::Other, "multipart/mixed", "");
    row("control byte", "multipart/mixed; boundary=\"a\x01\"", Kind::Other, "multipart/mixed", "");
    row("empty", "  ", Kind::None, "", "");
}

void tst_HttpResponse::contentType()
{
    QFETCH(QByteArray, value);
    QFETCH(Kind, kind);
    QFETCH(QByteArray, mediaType);
    QFETCH(QByteArray, delimiter);
    const ContentTypeInfo info = ContentTypeInfo::parse(value.toStdString());
    QCOMPARE(info.kind, kind);
    QCOMPARE(QByteArray::fromStdString(info.mediaType), mediaType);
    QCOMPARE(QByteArray::fromStdString(info.delimiter), delimiter);
    QCOMPARE(info.problem.empty(), kind != Kind::Other || !mediaType.startsWith("multipart/"));
}

// The rule from a response head to what the device shows: the status text,
// the schemes a 401 offers, the content type; a later status line (after a
// redirect or an authentication round) replaces the earlier head.
void tst_HttpResponse::head_data()
{
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QByteArray>("schemes");
    QTest::addColumn<QByteArray>("contentType");

    QTest::newRow("200 stream") << QByteArray("HTTP/1.1 200 OK\r\nContent-Type: multipart/"
                                              "x-mixed-replace;boundary=b\r\n\r\n")
                                << QByteArray("HTTP 200 OK") << QByteArray()
                                << QByteArray("multipart/x-mixed-replace;boundary=b");
    QTest::newRow("404 with reason")
        << QByteArray("HTTP/1.0 404 Not Found\r\n\r\n") << QByteArray("HTTP 404 Not Found")
        << QByteArray() << QByteArray();
    QTest::newRow("HTTP/2 without reason")
        << QByteArray("HTTP/2 503\r\n\r\n") << QByteArray("HTTP 503 Service Unavailable")
        << QByteArray() << QByteArray();
    QTest::newRow("reason stripped of control bytes")
        << QByteArray("HTTP/1.1 500 Bad\x01\x7f Day\r\n\r\n") << QByteArray("HTTP 500 Bad Day")
        << QByteArray() << QByteArray();
    QTest::newRow("401 Basic and Digest in two headers")
        << QByteArray("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"cam\"\r\n"
                      "www-authenticate: digest realm=\"cam\", qop=\"auth\", nonce=\"a,b\"\r\n\r\n")
        << QByteArray("HTTP 401 Unauthorized") << QByteArray("Basic Digest") << QByteArray();
    QTest::newRow("401 two challenges in one header")
        << QByteArray("HTTP/1.1 401 X\r\nWWW-Authenticate: Digest realm=\"a\", nonce=\"n\", "
                      "Basic realm=\"b\", Negotiate\r\n\r\n")
        << QByteArray("HTTP 401 X") << QByteArray("Digest Basic Negotiate") << QByteArray();
    QTest::newRow("redirect, then the final response")
        << QByteArray("HTTP/1.1 302 Found\r\nLocation: /b\r\nContent-Type: text/html\r\n\r\n"
                      "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\n\r\n")
        << QByteArray("HTTP 200 OK") << QByteArray() << QByteArray("image/jpeg");
    QTest::newRow("an over-long line is ignored")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Type: ") + QByteArray(9000, 'x')
               + "\r\nContent-Type: image/jpeg\r\n\r\n"
        << QByteArray("HTTP 200 OK") << QByteArray() << QByteArray("image/jpeg");
    QTest::newRow("no status line")
        << QByteArray("Content-Type: image/jpeg\r\n\r\n") << QByteArray("HTTP 0") << QByteArray()
        << QByteArray("image/jpeg");
}

void tst_HttpResponse::head()
{
    QFETCH(QByteArray, lines);
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, schemes);
    QFETCH(QByteArray, contentType);
    HttpResponseHead head;
    // As libcurl hands them over: one line with its line end per call.
    qsizetype start = 0;
    while (start < lines.size()) {
        const qsizetype end = lines.indexOf('\n', start);
        const qsizetype len = (end < 0 ? lines.size() : end + 1) - start;
        const QByteArray line = lines.mid(start, len);
        head.addLine(line.constData(), std::size_t(line.size()));
        start += len;
    }
    QCOMPARE(QByteArray::fromStdString(head.statusText()), status);
    QByteArray offered;
    for (const std::string& scheme : head.authSchemes())
        offered += (offered.isEmpty() ? "" : " ") + QByteArray::fromStdString(scheme);
    QCOMPARE(offered, schemes);
    QCOMPARE(QByteArray::fromStdString(head.contentType()), contentType);
    QCOMPARE(head.complete(), head.hasStatus());
}

void tst_HttpResponse::announcedParts_data()
{
    QTest::addColumn<QByteArray>("delimiter");
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QList<QByteArray>>("frames");

    const QByteArray a("\xff\xd8 first -- frame \r\n--almost\r\n\xff\xd9");
    const QByteArray b("\xff\xd8 second\xff\xd9");
    const auto part = [](const QByteArray& line, const QByteArray& headers, const QByteArray& body,
                         const char* eol) { return line + eol + headers + eol + body + eol; };
    const QByteArray len = "Content-Length: ";
    QTest::newRow("lengths, CRLF, any header order and case")
        << QByteArray("--myboundary")
        << "--myboundary\r\nX-Time: 1\r\ncontent-length: " + QByteArray::number(a.size())
               + "\r\nCONTENT-TYPE: image/jpeg\r\n\r\n" + a + "\r\n"
               + part("--myboundary", len + QByteArray::number(b.size()) + "\r\n", b, "\r\n")
        << QList<QByteArray>{a, b};
    QTest::newRow("no lengths: the body ends at the next delimiter")
        << QByteArray("--myboundary")
        << part("--myboundary", "Content-Type: image/jpeg\r\n", a, "\r\n")
               + part("--myboundary", "Content-Type: image/jpeg\r\n", b, "\r\n") + "--myboundary"
        << QList<QByteArray>{a, b};
    QTest::newRow("LF only, no lengths")
        << QByteArray("--b")
        << part("--b", "Content-Type: image/jpeg\n", a, "\n")
               + part("--b", "Content-Type: image/jpeg\n", b, "\n") + "--b--\n"
        << QList<QByteArray>{a, b};
    QTest::newRow("odd boundary with dashes inside, written with extra dashes")
        << QByteArray("--a-b--c")
        << part("----a-b--c", "", a, "\r\n") + part("----a-b--c", "", b, "\r\n") + "----a-b--c"
        << QList<QByteArray>{a, b};
    QTest::newRow("a body longer than its length is cut at it")
        << QByteArray("--x")
        << part("--x", len + "4\r\n", QByteArray("abcdEXTRA"), "\r\n") + part("--x", "", b, "\r\n")
               + "--x"
        << QList<QByteArray>{QByteArray("abcd"), b};
    QTest::newRow("too many header lines abandon the part")
        << QByteArray("--x")
        << part("--x", QByteArray("H: v\r\n").repeated(MultipartDec::MaxPartHeaderLines + 1), a,
                "\r\n")
               + part("--x", "", b, "\r\n") + "--x"
        << QList<QByteArray>{b};
}

// Whole, and split in two at every byte.
void tst_HttpResponse::announcedParts()
{
    QFETCH(QByteArray, delimiter);
    QFETCH(QByteArray, stream);
    QFETCH(QList<QByteArray>, frames);
    for (qsizetype cut = 0; cut < stream.size(); ++cut) {
        RecordingSink sink(4096); // small arrays: one sink per cut
        MultipartDec decoder(&sink, delimiter.toStdString());
        if (cut > 0)
            feed(decoder, stream.left(cut));
        feed(decoder, stream.mid(cut));
        QList<QByteArray> got;
        for (const RecordingSink::Frame& frame : sink.frames)
            got << frame.data;
        QCOMPARE(got, frames);
    }
}

QTEST_GUILESS_MAIN(tst_HttpResponse)
#include "tst_httpresponse.moc"
