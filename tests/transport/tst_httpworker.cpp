// SPDX-License-Identifier: MIT
// A worker of protocol=HTTP against scripted web cameras on 127.0.0.1:
// streams with announced boundaries, refusals and what the device then
// shows, Basic and Digest authentication checked by the peer, snapshot
// polling on one connection, reconnects, stopping, and FFmpeg's own MJPEG
// server.
#include "devicestatus.h"
#include "imagegetworker.h"
#include "loopbackpeer.h"
#include "testfiles.h"
#include "threadedworker.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <sys/socket.h>

using Link = ImageGetWorker::LinkState;
Q_DECLARE_METATYPE(ImageGetWorker::LinkState)

namespace {

QString urlOf(quint16 port, const char* path = "/video.mjpg")
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(QLatin1String(path));
}

// Frame-like bodies full of what a delimiter search trips over.
QByteArray body(int k)
{
    QRandomGenerator rng(quint32(k + 1));
    QByteArray b("\xff\xd8");
    while (b.size() < 3000 + 700 * k)
        b += rng.bounded(5) == 0 ? QByteArray("\r\n--") : QByteArray(1, char(rng.bounded(256)));
    return b + "\xff\xd9";
}

QByteArray okHead(const QByteArray& contentType, const QByteArray& more = {})
{
    return "HTTP/1.1 200 OK\r\nContent-Type: " + contentType + "\r\n" + more + "\r\n";
}

QByteArray jpegResponse(const QByteArray& jpeg)
{
    return okHead("image/jpeg", "Content-Length: " + QByteArray::number(jpeg.size()) + "\r\n")
           + jpeg;
}

QByteArray unauthorized(const QByteArray& challenges)
{
    return "HTTP/1.1 401 Unauthorized\r\n" + challenges + "Content-Length: 0\r\n\r\n";
}

// The value of `name` in a request head; empty without it.
QByteArray header(const QByteArray& request, const QByteArray& name)
{
    for (const QByteArray& line : request.split('\n')) {
        if (line.toLower().startsWith(name.toLower() + ":"))
            return line.mid(name.size() + 1).trimmed();
    }
    return {};
}

QByteArray md5(const QByteArray& text)
{
    return QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex();
}

// The response a Digest Authorization header must carry (RFC 7616 with
// qop=auth, MD5), computed from its own nonce, cnonce, nc and uri.
QByteArray expectedDigest(const QByteArray& authorization, const QByteArray& user,
                          const QByteArray& password)
{
    QMap<QByteArray, QByteArray> p;
    const QRegularExpression param(QStringLiteral("(\\w+)=(\"([^\"]*)\"|[^,\\s]*)"));
    for (auto it = param.globalMatch(QString::fromLatin1(authorization)); it.hasNext();) {
        const auto m = it.next();
        p[m.captured(1).toLatin1()] =
            (m.captured(3).isNull() ? m.captured(2) : m.captured(3)).toLatin1();
    }
    if (p.value("username") != user)
        return "wrong user";
    const QByteArray ha1 = md5(user + ':' + p.value("realm") + ':' + password);
    const QByteArray ha2 = md5("GET:" + p.value("uri"));
    return md5(ha1 + ':' + p.value("nonce") + ':' + p.value("nc") + ':' + p.value("cnonce") + ':'
               + p.value("qop") + ':' + ha2);
}

QByteArray digestResponse(const QByteArray& authorization)
{
    const QRegularExpression response(QStringLiteral("response=\"([0-9a-f]+)\""));
    return response.match(QString::fromLatin1(authorization)).captured(1).toLatin1();
}

} // namespace

class tst_HttpWorker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void stream_data();
    void stream();
    void refusals_data();
    void refusals();
    void authenticated_data();
    void authenticated();
    void snapshotPolling();
    void reconnectsAfterTheCameraClosed();
    void stopEndsAStalledTransfer();
    void tcpDeviceAnsweringHttpGetsAHint();
    void ffmpegServer();
};

void tst_HttpWorker::initTestCase()
{
    // The peers are on 127.0.0.1, never behind a proxy.
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        qunsetenv(name);
}

void tst_HttpWorker::stream_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("delimiter"); // as the camera writes it
    QTest::addColumn<bool>("withLength");
    QTest::addColumn<QByteArray>("eol");

    const QByteArray mixed = "multipart/x-mixed-replace";
    QTest::newRow("unquoted, lengths") << mixed + ";boundary=myboundary"
                                       << QByteArray("--myboundary") << true << QByteArray("\r\n");
    QTest::newRow("quoted, other parameters, no lengths")
        << mixed + "; charset=x; boundary=\"frame boundary\"" << QByteArray("--frame boundary")
        << false << QByteArray("\r\n");
    QTest::newRow("dashes in the parameter and inside, LF only")
        << QByteArray("Multipart/X-Mixed-Replace; BOUNDARY=--a-b--c") << QByteArray("--a-b--c")
        << false << QByteArray("\n");
    QTest::newRow("more dashes written than announced, lengths, LF only")
        << mixed + "; boundary=ffmpeg" << QByteArray("----ffmpeg") << true << QByteArray("\n");
}

// Each part is sent up to the next delimiter, so that every frame is
// complete, and delivered, before the next one is sent.
void tst_HttpWorker::stream()
{
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, delimiter);
    QFETCH(bool, withLength);
    QFETCH(QByteArray, eol);
    LoopbackPeer peer;
    ThreadedWorker w(QStringLiteral("HTTP"), {{QStringLiteral("url"), urlOf(peer.port())}});
    w.request();
    w.start(QString(), 0);
    QVERIFY(peer.acceptClient());
    const QByteArray request = peer.receiveRequest();
    QVERIFY(request.startsWith("GET /video.mjpg HTTP/1.1\r\n"));
    QVERIFY(peer.send(okHead(contentType) + delimiter));
    for (int k = 0; k < 3; ++k) {
        QByteArray part = eol + "Content-Type: image/jpeg" + eol;
        if (withLength)
            part += "Content-Length: " + QByteArray::number(body(k).size()) + eol;
        QVERIFY(peer.send(part + eol + body(k) + eol + delimiter));
        QTRY_COMPARE_WITH_TIMEOUT(w.frames.size(), k + 1, 5000);
        QVERIFY(w.frames[k] == body(k));
        QCOMPARE(w.types[k], QStringLiteral("image/jpeg"));
    }
    QCOMPARE(w.states().mid(0, 2), (QList<Link>{Link::Connecting, Link::Connected}));
    QCOMPARE(w.links[1].detail, urlOf(peer.port()));
}

void tst_HttpWorker::refusals_data()
{
    QTest::addColumn<QVariantMap>("keys");
    QTest::addColumn<QList<QByteArray>>("responses"); // one per request, in order
    QTest::addColumn<Link>("state");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QString>("shown"); // the device's state text

    const QByteArray both =
        "WWW-Authenticate: Basic realm=\"cam\"\r\n"
        "WWW-Authenticate: Digest realm=\"cam\", qop=\"auth\", nonce=\"n1\"\r\n";
    QTest::newRow("401, Basic and Digest offered, no credentials")
        << QVariantMap{} << QList<QByteArray>{unauthorized(both)} << Link::Unauthorized
        << "Basic, Digest"
        << "unauthorized (Basic, Digest)";
    // Credentials in the URL are used, never shown.
    QTest::newRow("wrong password: 401 again")
        << QVariantMap{{"url", "viewer:pw7@"}}
        << QList<QByteArray>{unauthorized(both), unauthorized(both)} << Link::Unauthorized
        << "Basic, Digest"
        << "unauthorized (Basic, Digest)";
    QTest::newRow("404") << QVariantMap{}
                         << QList<QByteArray>{"HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\n"
                                              "not found"}
                         << Link::HttpStatus << "HTTP 404 Not Found"
                         << "HTTP 404 Not Found";
    QTest::newRow("a web page") << QVariantMap{}
                                << QList<QByteArray>{okHead("text/html; charset=utf-8") + "<html>"}
                                << Link::BadContent << "text/html"
                                << "not a stream: text/html";
    QTest::newRow("a stream that goes quiet")
        << QVariantMap{{"quiet_ms", 300}}
        << QList<QByteArray>{okHead("multipart/x-mixed-replace; boundary=b") + "--b\r\n"}
        << Link::Quiet << "no data for 0.3 s"
        << "silent";
}

void tst_HttpWorker::refusals()
{
    QFETCH(QVariantMap, keys);
    QFETCH(QList<QByteArray>, responses);
    QFETCH(Link, state);
    QFETCH(QString, detail);
    QFETCH(QString, shown);
    LoopbackPeer peer;
    // A url key in the row holds the credentials written into the URL.
    keys.insert(QStringLiteral("url"),
                urlOf(peer.port())
                    .replace(QLatin1String("//"),
                             QLatin1String("//") + keys.value(QStringLiteral("url")).toString()));
    ThreadedWorker w(QStringLiteral("HTTP"), keys);
    w.start(QString(), 0);
    QVERIFY(peer.acceptClient());
    for (const QByteArray& response : responses) {
        QVERIFY(!peer.receiveRequest().isEmpty());
        QVERIFY(peer.send(response));
    }
    QTRY_VERIFY_WITH_TIMEOUT(!w.links.isEmpty() && w.links.last().state != Link::Connecting
                                 && w.links.last().state != Link::Connected,
                             5000);
    QCOMPARE(w.links.last().state, state);
    QCOMPARE(w.links.last().detail, detail);
    QCOMPARE(peer.accepted(), 1);
    for (const ThreadedWorker::Link& link : std::as_const(w.links))
        QVERIFY2(!link.detail.contains(QLatin1String("pw7")), qPrintable(link.detail));

    DeviceStatus status(QStringLiteral("dev0"), QString(), 0, ImageGetWorker::Protocol::Http);
    status.setUrl(urlOf(peer.port()));
    for (const ThreadedWorker::Link& link : std::as_const(w.links))
        status.linkChanged(link.state, link.detail, 0);
    QVERIFY2(status.stateText(0).startsWith(shown), qPrintable(status.stateText(0)));
    if (state != Link::Quiet)
        QVERIFY(status.isFailure());
}

void tst_HttpWorker::authenticated_data()
{
    QTest::addColumn<QByteArray>("challenge");
    QTest::newRow("Basic") << QByteArray("WWW-Authenticate: Basic realm=\"cam\"\r\n");
    QTest::newRow("Digest") << QByteArray("WWW-Authenticate: Digest realm=\"cam 1\", qop=\"auth\", "
                                          "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", "
                                          "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"\r\n");
}

// The peer asks for credentials, then checks what the worker sends: the
// Basic token, or a Digest response computed here from the same inputs.
void tst_HttpWorker::authenticated()
{
    QFETCH(QByteArray, challenge);
    LoopbackPeer peer;
    QTemporaryDir dir;
    const QString passwordFile = dir.filePath(QStringLiteral("cam.pass"));
    writeFile(passwordFile, "se:cret\nnot this line\n");
    ThreadedWorker w(QStringLiteral("HTTP"), {{QStringLiteral("url"), urlOf(peer.port(), "/snap")},
                                              {QStringLiteral("user"), QStringLiteral("viewer")},
                                              {QStringLiteral("password_file"), passwordFile}});
    w.request();
    w.start(QString(), 0);
    QVERIFY(peer.acceptClient());
    const QByteArray first = peer.receiveRequest();
    QVERIFY(!first.isEmpty());
    QVERIFY(header(first, "Authorization").isEmpty()); // only once the camera asks
    QVERIFY(peer.send(unauthorized(challenge)));
    const QByteArray second = peer.receiveRequest();
    const QByteArray authorization = header(second, "Authorization");
    if (challenge.contains("Basic"))
        QCOMPARE(authorization, "Basic " + QByteArray("viewer:se:cret").toBase64());
    else
        QCOMPARE(digestResponse(authorization),
                 expectedDigest(authorization.mid(7), "viewer", "se:cret"));
    const QByteArray jpeg = body(1);
    QVERIFY(peer.send(jpegResponse(jpeg)));
    QTRY_COMPARE_WITH_TIMEOUT(w.frames.size(), 1, 5000);
    QVERIFY(w.frames.first() == jpeg);
    for (const ThreadedWorker::Link& link : std::as_const(w.links))
        QVERIFY2(!link.detail.contains(QLatin1String("se:cret")), qPrintable(link.detail));
}

// poll_ms: one frame per response, every request on the same connection.
void tst_HttpWorker::snapshotPolling()
{
    LoopbackPeer peer;
    ThreadedWorker w(QStringLiteral("HTTP"), {{QStringLiteral("url"), urlOf(peer.port(), "/s.jpg")},
                                              {QStringLiteral("poll_ms"), 50}});
    w.request();
    w.start(QString(), 0);
    QVERIFY(peer.acceptClient());
    for (int k = 0; k < 3; ++k) {
        QVERIFY(peer.receiveRequest().startsWith("GET /s.jpg "));
        QVERIFY(peer.send(jpegResponse(body(k))));
        QTRY_COMPARE_WITH_TIMEOUT(w.frames.size(), k + 1, 5000);
        QVERIFY(w.frames[k] == body(k));
    }
    QCOMPARE(peer.accepted(), 1);
    QVERIFY(!peer.hasPendingConnection());
    QCOMPARE(w.states(), (QList<Link>{Link::Connecting, Link::Connected}));
}

void tst_HttpWorker::reconnectsAfterTheCameraClosed()
{
    LoopbackPeer peer;
    ThreadedWorker w(QStringLiteral("HTTP"), {{QStringLiteral("url"), urlOf(peer.port())}});
    w.request();
    const QByteArray head = okHead("multipart/x-mixed-replace; boundary=myboundary");
    const QByteArray part = "--myboundary\r\nContent-Type: image/jpeg\r\n\r\n";
    for (int round = 0; round < 2; ++round) {
        w.start(QString(), 0);
        QVERIFY(peer.acceptClient());
        QVERIFY(!peer.receiveRequest().isEmpty());
        QVERIFY(peer.send(head + part + body(round) + "\r\n--myboundary"));
        QTRY_COMPARE_WITH_TIMEOUT(w.frames.size(), round + 1, 5000);
        QVERIFY(w.frames[round] == body(round));
        peer.closeClient(); // in the middle of the next part
        QTRY_VERIFY_WITH_TIMEOUT(w.links.last().state == Link::Lost, 5000);
    }
    QCOMPARE(w.links.last().detail, QStringLiteral("closed by the peer"));
    QCOMPARE(w.states().count(Link::Connected), 2);
}

// A transfer whose camera sends nothing more ends on a stop request (the
// fixture's destructor waits for the worker's thread without a limit, so a
// stop that did not work would hang here).
void tst_HttpWorker::stopEndsAStalledTransfer()
{
    LoopbackPeer peer;
    auto w = std::make_unique<ThreadedWorker>(
        QStringLiteral("HTTP"),
        QVariantMap{{QStringLiteral("url"), urlOf(peer.port())}, {"quiet_ms", 600000}});
    w->start(QString(), 0);
    QVERIFY(peer.acceptClient());
    QVERIFY(!peer.receiveRequest().isEmpty());
    QVERIFY(peer.send(okHead("multipart/x-mixed-replace; boundary=b") + "--b\r\nContent-"));
    QTRY_VERIFY_WITH_TIMEOUT(w->states().contains(Link::Connected), 5000);
    w.reset();
}

void tst_HttpWorker::tcpDeviceAnsweringHttpGetsAHint()
{
    LoopbackPeer peer;
    ThreadedWorker w(QStringLiteral("TCP"));
    QVERIFY(w.connectTo(peer));
    QVERIFY(peer.send("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(w.notices.size(), 1, 5000);
    QCOMPARE(w.notices.first(),
             QStringLiteral("the device answers like a web server (\"HTTP/1.1 400 Bad Request\"); "
                            "for a camera on the web set protocol=HTTP and "
                            "url=http://HOST[:PORT]/PATH"));
}

// FFmpeg's MJPEG server (-f mpjpeg -listen 1), fed JPEG files as they are:
// every frame the worker delivers is byte for byte one of them, in order.
// Its server announces application/octet-stream unless told the type.
void tst_HttpWorker::ffmpegServer()
{
    const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    if (ffmpeg.isEmpty())
        QSKIP("ffmpeg is not installed");
    QTemporaryDir dir;
    constexpr int Frames = 50;
    QList<QByteArray> sent;
    for (int k = 0; k < Frames; ++k) {
        sent << patternJpeg(320, 240, k);
        writeFile(dir.filePath(QStringLiteral("f_%1.jpg").arg(k, 3, 10, QLatin1Char('0'))),
                  sent.last());
    }
    const quint16 port = LoopbackSocket(SOCK_STREAM).port();
    QProcess server;
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start(ffmpeg, {"-hide_banner", "-loglevel", "error", "-re", "-framerate", "25", "-i",
                          dir.filePath(QStringLiteral("f_%03d.jpg")), "-c:v", "copy", "-f",
                          "mpjpeg", "-content_type", "multipart/x-mixed-replace;boundary=ffmpeg",
                          "-listen", "1", urlOf(port, "/stream")});
    QVERIFY(server.waitForStarted(5000));
    ThreadedWorker w(QStringLiteral("HTTP"), {{QStringLiteral("url"), urlOf(port, "/stream")},
                                              {QStringLiteral("quiet_ms"), 5000}});
    w.request();
    // The server listens a moment after it started: connect until it does.
    for (int attempt = 0; attempt < 50 && !w.states().contains(Link::Connected); ++attempt) {
        w.start(QString(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!w.links.isEmpty() && w.links.last().state != Link::Connecting,
                                 5000);
        if (!w.states().contains(Link::Connected))
            QTest::qWait(100);
    }
    QVERIFY(w.states().contains(Link::Connected));
    // Waited for with events, so that each delivery is answered with the
    // next request as the device controller does.
    QTRY_VERIFY_WITH_TIMEOUT(server.state() == QProcess::NotRunning, 30000);
    QTRY_VERIFY_WITH_TIMEOUT(w.links.last().state == Link::Lost, 5000);
    int identical = 0;
    int next = 0;
    for (const QByteArray& frame : std::as_const(w.frames)) {
        const int at = int(sent.indexOf(frame, next));
        identical += at >= 0 ? 1 : 0;
        next = at >= 0 ? at + 1 : next;
    }
    qInfo("FFmpeg mpjpeg over HTTP: %d frames sent, %d received, %d identical", Frames,
          int(w.frames.size()), identical);
    QCOMPARE(identical, int(w.frames.size()));
    // The worker keeps only the newest frame between requests; at 25
    // frames a second nearly all are delivered.
    QVERIFY2(w.frames.size() >= Frames * 9 / 10, qPrintable(QString::number(w.frames.size())));
}

QTEST_GUILESS_MAIN(tst_HttpWorker)
#include "tst_httpworker.moc"
