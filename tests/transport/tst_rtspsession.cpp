// SPDX-License-Identifier: MIT
// An RTSP device against a server scripted in the test on 127.0.0.1: the
// request sequence, RTP over UDP and interleaved TCP, the fall-back from a
// silent UDP stream, Digest after a 401, redirects, keep-alives, a session
// the server lost, an SDP without a media we can show, TEARDOWN at stop, and
// a server that sends only to a multicast group. The group's datagrams stay
// inside a network namespace the test makes for itself (loopback only);
// where none can be made, those rows skip.
#include "loopbackpeer.h"
#include "netnamespace.h"
#include "rtppackets.h"
#include "rtspauth.h"
#include "threadedworker.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

using LinkState = ImageGetWorker::LinkState;

// How the server answers a SETUP over UDP.
enum class Multicast
{
    No,      // unicast to the client's ports
    Only,    // 461 to unicast, a group to multicast
    Refused, // 461 to both
};

constexpr char Group[] = "239.255.9.1";
constexpr quint16 GroupPort = 5004; // in the test's own namespace: always free

// The rows that receive the group, run by multicastInNetworkNamespace().
constexpr const char* GroupRows[] = {
    "multicast after 461: the group is joined",
    "multicast, joined on the interface named",
    "multicast group silent: auto falls back to tcp",
    "multicast group silent: udp fails",
    "multicast on no such interface",
};

// What the scripted server does differently from a plain JPEG camera.
struct Script
{
    bool challenge = false;     // DESCRIBE wants Digest credentials first
    bool basicOnly = false;     // ... or Basic ones, the only scheme offered
    bool redirect = false;      // DESCRIBE of /cam answers 302 to /moved
    bool silentUdp = false;     // no RTP is ever sent over UDP
    int timeoutS = 60;          // the Session header's timeout
    bool expireSession = false; // a keep-alive is answered 454
    bool probe = false;         // asks the client OPTIONS after PLAY
    QByteArray rtpmap = "26 JPEG/90000";
    Multicast multicast = Multicast::No;
    const char* interfaceSetting = nullptr; // the device's interface= key
};

} // namespace

Q_DECLARE_METATYPE(Script)

namespace {

QByteArray md5(const QByteArray& text)
{
    return QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex();
}

QByteArray field(const QByteArray& request, const char* name)
{
    const QRegularExpression re(
        QStringLiteral("(?:^|\\r\\n)%1:\\s*([^\\r]*)").arg(QLatin1String(name)),
        QRegularExpression::CaseInsensitiveOption);
    return re.match(QString::fromLatin1(request)).captured(1).toLatin1();
}

QByteArray param(const QByteArray& header, const char* name)
{
    const QRegularExpression re(QStringLiteral("%1=\"?([^\",]*)").arg(QLatin1String(name)));
    return re.match(QString::fromLatin1(header)).captured(1).toLatin1();
}

// A server on 127.0.0.1 answering one request at a time as `Script` says,
// and sending three RTP/JPEG frames after each PLAY (then one more with
// every request it serves).
class ScriptedServer
{
public:
    explicit ScriptedServer(const Script& script) : m_script(script) {}

    QString url(const char* path = "/cam") const
    {
        return QStringLiteral("rtsp://127.0.0.1:%1%2").arg(m_peer.port()).arg(QLatin1String(path));
    }

    // Serves until `done` holds or timeoutMs pass, letting the test's
    // events run between requests.
    bool serveUntil(const std::function<bool()>& done, int timeoutMs)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!done()) {
            if (deadline.hasExpired())
                return false;
            if (m_peer.hasPendingConnection())
                m_peer.acceptClient(100);
            const QByteArray chunk = m_peer.receiveRequest(50);
            answerAll(chunk);
            if (m_playing)
                sendFrame();
            QCoreApplication::processEvents();
            if (chunk.isEmpty())
                QTest::qWait(20);
        }
        return true;
    }

    QByteArrayList requests; // "METHOD URL" of each, in order
    QByteArrayList transports;
    QByteArray authorization;
    int keepAlives = 0;

private:
    void answerAll(const QByteArray& chunk)
    {
        // Requests that came together are answered one by one.
        int at = 0;
        while (at < chunk.size()) {
            const int end = chunk.indexOf("\r\n\r\n", at);
            if (end < 0)
                break;
            answer(chunk.mid(at, end + 4 - at));
            at = end + 4;
        }
    }

    void reply(const QByteArray& cseq, const QByteArray& status, const QByteArray& headers = {},
               const QByteArray& body = {})
    {
        QByteArray r = "RTSP/1.0 " + status + "\r\nCSeq: " + cseq + "\r\n" + headers;
        if (!body.isEmpty())
            r += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
        m_peer.send(r + "\r\n" + body);
    }

    void answer(const QByteArray& request)
    {
        const QByteArrayList line = request.left(request.indexOf('\r')).split(' ');
        if (line.size() < 3)
            return;
        if (line[0].startsWith("RTSP/")) {
            requests << "REPLY " + line[1]; // to a request of ours
            return;
        }
        const QByteArray method = line[0];
        const QByteArray url = line[1];
        const QByteArray cseq = field(request, "CSeq");
        requests << method + ' ' + url;
        const QByteArray session =
            "Session: 4711;timeout=" + QByteArray::number(m_script.timeoutS) + "\r\n";
        if (method == "OPTIONS" && !field(request, "Session").isEmpty())
            ++keepAlives;
        if (method == "GET_PARAMETER")
            ++keepAlives;
        if ((method == "GET_PARAMETER" || method == "OPTIONS") && m_script.expireSession
            && keepAlives > 0) {
            reply(cseq, "454 Session Not Found");
        } else if (method == "OPTIONS" || method == "GET_PARAMETER") {
            reply(cseq, "200 OK",
                  "Public: OPTIONS, DESCRIBE, SETUP, PLAY, GET_PARAMETER, TEARDOWN\r\n");
        } else if (method == "DESCRIBE" && m_script.redirect && url.endsWith("/cam")) {
            reply(cseq, "302 Moved Temporarily", "Location: " + url.chopped(4) + "/moved\r\n");
            m_peer.closeClient();
        } else if (method == "DESCRIBE" && m_script.challenge && !authorized(request)) {
            const QByteArray basic = "WWW-Authenticate: Basic realm=\"cam\"\r\n";
            reply(cseq, "401 Unauthorized",
                  m_script.basicOnly
                      ? basic
                      : "WWW-Authenticate: Digest realm=\"cam\", nonce=\"n0nce\", qop=\"auth\", "
                        "opaque=\"op\"\r\n"
                            + basic);
        } else if (method == "DESCRIBE") {
            const QByteArray pt = m_script.rtpmap.left(m_script.rtpmap.indexOf(' '));
            reply(cseq, "200 OK", "Content-Type: application/sdp\r\nContent-Base: " + url + "/\r\n",
                  "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=x\r\nt=0 0\r\nm=audio 0 RTP/AVP 0\r\n"
                  "a=control:audio\r\nm=video 0 RTP/AVP "
                      + pt + "\r\na=rtpmap:" + m_script.rtpmap + "\r\na=control:video\r\n");
        } else if (method == "SETUP") {
            const QByteArray transport = field(request, "Transport");
            transports << transport;
            m_interleaved = transport.contains("TCP");
            m_clientPort = quint16(param(transport, "client_port").split('-').value(0).toInt());
            const bool multicast = transport.contains(";multicast");
            if (!m_interleaved && m_script.multicast != Multicast::No
                && (!multicast || m_script.multicast == Multicast::Refused)) {
                reply(cseq, "461 Unsupported Transport");
                return;
            }
            m_group = multicast;
            if (multicast) {
                reply(cseq, "200 OK",
                      session + "Transport: RTP/AVP;multicast;destination=" + Group
                          + ";port=" + QByteArray::number(GroupPort) + "-"
                          + QByteArray::number(GroupPort + 1) + ";ttl=1\r\n");
                return;
            }
            reply(cseq, "200 OK",
                  session + "Transport: " + transport
                      + ";server_port=" + QByteArray::number(m_rtpSource.port()) + "-"
                      + QByteArray::number(m_rtpSource.port() + 1) + "\r\n");
        } else if (method == "PLAY") {
            reply(cseq, "200 OK", session);
            m_playing = true;
            for (int i = 0; i < 3; ++i)
                sendFrame();
            if (m_script.probe)
                m_peer.send("OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n");
        } else if (method == "TEARDOWN") {
            reply(cseq, "200 OK");
            m_playing = false;
        } else {
            reply(cseq, "501 Not Implemented");
        }
    }

    // Checks the Digest answer the way a camera does, independently of the
    // client's code.
    bool authorized(const QByteArray& request)
    {
        authorization = field(request, "Authorization");
        if (m_script.basicOnly)
            return authorization == "Basic " + QByteArray("user:secret").toBase64();
        if (!authorization.startsWith("Digest "))
            return false;
        const QByteArray ha1 = md5("user:cam:secret");
        const QByteArray ha2 = md5("DESCRIBE:" + param(authorization, "uri"));
        const QByteArray expected = md5(ha1 + ":n0nce:" + param(authorization, "nc") + ':'
                                        + param(authorization, "cnonce") + ":auth:" + ha2);
        return param(authorization, "response") == expected
               && param(authorization, "opaque") == "op";
    }

    void sendFrame()
    {
        const QByteArray packet = rtptest::packet(
            {.marker = true, .sequence = m_sequence, .timestamp = 3000u * m_sequence}, {},
            QByteArray(64, char(m_sequence)));
        ++m_sequence;
        if (m_interleaved) {
            m_peer.send(QByteArray("$\0", 2) + QByteArray(1, char(packet.size() >> 8))
                        + QByteArray(1, char(packet.size() & 0xFF)) + packet);
            m_peer.send(QByteArray("$\x01\x00\x04\x80\xc8\x00\x00", 8)); // RTCP, passed over
        } else if (m_script.silentUdp) {
            return;
        } else if (m_group) {
            sendToGroup(packet);
        } else if (m_clientPort != 0) {
            sendDatagramFrom(m_rtpSource, m_clientPort, packet);
        }
    }

    // Out of the loopback interface, from the same source as unicast RTP.
    void sendToGroup(const QByteArray& packet)
    {
        in_addr out{};
        out.s_addr = htonl(INADDR_LOOPBACK);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(GroupPort);
        inet_pton(AF_INET, Group, &to.sin_addr);
        ::setsockopt(m_rtpSource.fd(), IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out);
        ::sendto(m_rtpSource.fd(), packet.constData(), std::size_t(packet.size()), 0,
                 reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }

    Script m_script;
    LoopbackPeer m_peer;
    LoopbackSocket m_rtpSource{SOCK_DGRAM};
    bool m_interleaved = false;
    bool m_playing = false;
    bool m_group = false; // RTP goes to the multicast group
    quint16 m_clientPort = 0;
    int m_sequence = 0;
};

} // namespace

class tst_RtspSession : public QObject
{
    Q_OBJECT

private slots:
    void multicastInNetworkNamespace();
    void session_data();
    void session();
    void digestResponse();
};

// Runs the rows that receive a multicast group again in a namespace of
// their own.
void tst_RtspSession::multicastInNetworkNamespace()
{
    if (const QString skip = netnamespace::skipReason(QStringLiteral("a multicast RTSP session"));
        !skip.isEmpty())
        QSKIP(qPrintable(skip));
    QStringList rows;
    for (const char* tag : GroupRows)
        rows << QStringLiteral("session:") + QLatin1String(tag);
    QByteArray output;
    QVERIFY2(netnamespace::runSelfInside(rows, 120000, &output) == 0, output.constData());
    QVERIFY2(netnamespace::rowsPassed(output, rows), output.constData());
}

void tst_RtspSession::session_data()
{
    QTest::addColumn<QString>("lower");
    QTest::addColumn<QString>("password");
    QTest::addColumn<Script>("script");
    // The indicator text the session ends with; empty: frames arrive.
    QTest::addColumn<QString>("failure");
    // A request the server must have seen ("METHOD" or "METHOD url-suffix").
    QTest::addColumn<QByteArray>("request");

    QTest::newRow("udp") << "udp" << QString() << Script{} << QString() << QByteArray("PLAY");
    QTest::newRow("interleaved tcp")
        << "tcp" << QString() << Script{} << QString() << QByteArray("PLAY");
    QTest::newRow("auto falls back to tcp when udp stays silent")
        << "auto" << QString() << Script{.silentUdp = true} << QString() << QByteArray("PLAY");
    QTest::newRow("udp only, silent")
        << "udp" << QString() << Script{.silentUdp = true}
        << QStringLiteral("no RTP within 2 s over UDP") << QByteArray("TEARDOWN");
    QTest::newRow("digest after 401")
        << "tcp" << QStringLiteral("secret") << Script{.challenge = true} << QString()
        << QByteArray("PLAY");
    QTest::newRow("basic after 401")
        << "udp" << QStringLiteral("secret") << Script{.challenge = true, .basicOnly = true}
        << QString() << QByteArray("PLAY");
    QTest::newRow("wrong password")
        << "tcp" << QStringLiteral("guess") << Script{.challenge = true}
        << QStringLiteral("RTSP 401 Unauthorized") << QByteArray("DESCRIBE");
    QTest::newRow("redirect") << "tcp" << QString() << Script{.redirect = true} << QString()
                              << QByteArray("DESCRIBE rtsp://127.0.0.1:PORT/moved");
    QTest::newRow("keep-alive within the timeout")
        << "tcp" << QString() << Script{.timeoutS = 1} << QString() << QByteArray("GET_PARAMETER");
    QTest::newRow("the server's probe is answered")
        << "tcp" << QString() << Script{.probe = true} << QString() << QByteArray("REPLY 200");
    QTest::newRow("session lost") << "udp" << QString()
                                  << Script{.timeoutS = 1, .expireSession = true}
                                  << QStringLiteral("RTSP 454 Session Not Found")
                                  << QByteArray("GET_PARAMETER");
    QTest::newRow("h265 only") << "auto" << QString() << Script{.rtpmap = "96 H265/90000"}
                               << QStringLiteral("RTSP: no supported video media (H265)")
                               << QByteArray("DESCRIBE");
    QTest::newRow("multicast only: udp and auto fall back to tcp")
        << "auto" << QString() << Script{.multicast = Multicast::Refused} << QString()
        << QByteArray("PLAY");
    QTest::newRow("multicast only, refused: udp fails")
        << "udp" << QString() << Script{.multicast = Multicast::Refused}
        << QStringLiteral("RTSP 461 Unsupported Transport") << QByteArray("SETUP");
    // Inside the test's network namespace only (GroupRows).
    QTest::newRow(GroupRows[0]) << "udp" << QString() << Script{.multicast = Multicast::Only}
                                << QString() << QByteArray("PLAY");
    QTest::newRow(GroupRows[1]) << "auto" << QString()
                                << Script{.multicast = Multicast::Only, .interfaceSetting = "lo"}
                                << QString() << QByteArray("PLAY");
    QTest::newRow(GroupRows[2]) << "auto" << QString()
                                << Script{.silentUdp = true,
                                          .multicast = Multicast::Only,
                                          .interfaceSetting = "127.0.0.1"}
                                << QString() << QByteArray("PLAY");
    QTest::newRow(GroupRows[3]) << "udp" << QString()
                                << Script{.silentUdp = true, .multicast = Multicast::Only}
                                << QStringLiteral("no RTP within 2 s from multicast group "
                                                  "239.255.9.1 port 5004")
                                << QByteArray("TEARDOWN");
    QTest::newRow(GroupRows[4])
        << "udp" << QString() << Script{.multicast = Multicast::Only, .interfaceSetting = "nosuch0"}
        << QStringLiteral("no network interface \"nosuch0\" to join group 239.255.9.1 on")
        << QByteArray("TEARDOWN");
}

void tst_RtspSession::session()
{
    QFETCH(QString, lower);
    QFETCH(QString, password);
    QFETCH(Script, script);
    QFETCH(QString, failure);
    QFETCH(QByteArray, request);
    const bool group = script.multicast == Multicast::Only;
    if (group && !netnamespace::inside())
        QSKIP("receives a multicast group: runs inside the test's own network namespace, from "
              "multicastInNetworkNamespace()");

    ScriptedServer server(script);
    const QString url = server.url();
    request.replace("PORT",
                    url.section(QLatin1Char(':'), 2).section(QLatin1Char('/'), 0, 0).toLatin1());
    QVariantMap keys{{QStringLiteral("url"), url}, {QStringLiteral("rtsp_transport"), lower}};
    if (!password.isEmpty()) {
        keys.insert(QStringLiteral("user"), QStringLiteral("user"));
        keys.insert(QStringLiteral("password"), password);
    }
    if (script.interfaceSetting != nullptr)
        keys.insert(QStringLiteral("interface"), QLatin1String(script.interfaceSetting));
    auto worker = std::make_unique<ThreadedWorker>(QStringLiteral("RTSP"), keys);
    worker->start(QString(), 0);
    worker->request();

    const auto seen = [&] {
        for (const QByteArray& r : std::as_const(server.requests)) {
            if (r.startsWith(request))
                return true;
        }
        return false;
    };
    const auto failed = [&] {
        for (const ThreadedWorker::Link& link : std::as_const(worker->links)) {
            if (link.state == LinkState::HttpStatus || link.state == LinkState::BindFailed)
                return true;
        }
        return false;
    };
    if (!failure.isEmpty()) {
        QVERIFY2(server.serveUntil([&] { return failed() && seen(); }, 15000),
                 server.requests.join(", ").constData());
        QCOMPARE(worker->links.constLast().detail, failure);
        QCOMPARE(worker->links.constLast().state, script.interfaceSetting != nullptr
                                                      ? LinkState::BindFailed
                                                      : LinkState::HttpStatus);
        return;
    }

    QVERIFY2(server.serveUntil([&] { return worker->frames.size() >= 3 && seen(); }, 15000),
             server.requests.join(", ").constData());
    QVERIFY(worker->states().contains(LinkState::Connected));
    for (const QString& type : std::as_const(worker->types))
        QCOMPARE(type, QStringLiteral("image/jpeg"));
    // The RTP figures are those of the RTP path.
    QVERIFY(worker->worker()->rtpCounters().expected.load() >= 3);

    const bool fellBack = lower == QLatin1String("auto")
                          && (script.silentUdp || script.multicast == Multicast::Refused);
    const QByteArray transport = server.transports.constLast();
    if (lower == QLatin1String("tcp") || fellBack) {
        QVERIFY(transport.startsWith("RTP/AVP/TCP;unicast;interleaved=0-1"));
    } else if (group) {
        QCOMPARE(transport, QByteArray("RTP/AVP;multicast"));
    } else {
        const QList<QByteArray> ports = param(transport, "client_port").split('-');
        QCOMPARE(ports.size(), 2);
        QCOMPARE(ports[0].toInt() % 2, 0);
        QCOMPARE(ports[1].toInt(), ports[0].toInt() + 1);
    }
    const QString notices = worker->notices.join('\n');
    QCOMPARE(notices.contains(QLatin1String("trying RTP interleaved over TCP")), fellBack);
    QCOMPARE(
        notices.contains(QLatin1String("RTSP: receiving multicast group 239.255.9.1 port 5004")),
        group);
    if (script.challenge && !script.basicOnly)
        QVERIFY(server.authorization.contains("username=\"user\""));
    if (script.timeoutS == 1)
        QVERIFY(server.keepAlives >= 1);

    // Stopping ends the session with a TEARDOWN of the aggregate URL.
    worker->worker()->requestStop();
    QVERIFY(server.serveUntil([&] { return server.requests.constLast().startsWith("TEARDOWN"); },
                              5000));
    worker.reset();
}

void tst_RtspSession::digestResponse()
{
    // RFC 2617, 3.5: the example's request digest.
    QCOMPARE(RtspAuth::digestResponse("Mufasa", "testrealm@host.com", "Circle Of Life", "GET",
                                      "/dir/index.html", "dcd98b7102dd2f0e8b11d0f600bfb0c093",
                                      "00000001", "0a4f113b", "auth"),
             QByteArray("6629fae49393a05397450978507c4ef1"));
}

QTEST_GUILESS_MAIN(tst_RtspSession)
#include "tst_rtspsession.moc"
