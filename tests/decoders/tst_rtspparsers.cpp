// SPDX-License-Identifier: MIT
// The RTSP response parser (status, headers, body, bounds, interleaved
// frames), the Transport and WWW-Authenticate values, the SDP parser and
// control URL resolution.
#include "rtspresponse.h"
#include "sdpsession.h"
#include "testfiles.h"

#include <QTest>

using Parse = RtspResponse::Parse;
Q_DECLARE_METATYPE(RtspResponse::Parse)

namespace {

const unsigned char* bytes(const QByteArray& b)
{
    return reinterpret_cast<const unsigned char*>(b.constData());
}

QByteArray text(const std::string& s)
{
    return QByteArray::fromStdString(s);
}

} // namespace

class tst_RtspParsers : public QObject
{
    Q_OBJECT

private slots:
    void response_data();
    void response();
    void responseTruncated_data() { response_data(); }
    void responseTruncated();
    void transport_data();
    void transport();
    void challenge_data();
    void challenge();
    void serverRequest_data();
    void serverRequest();
    void interleaved_data();
    void interleaved();
    void sdp_data();
    void sdp();
    void controlUrl_data();
    void controlUrl();
};

void tst_RtspParsers::response_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<Parse>("parse");
    QTest::addColumn<int>("consumed");
    QTest::addColumn<QByteArray>("statusText");
    QTest::addColumn<int>("cseq");
    QTest::addColumn<QByteArray>("session");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<QByteArray>("body");

    const QByteArray ok = "RTSP/1.0 200 OK\r\nCSeq: 3\r\n\r\n";
    QTest::newRow("plain") << ok << Parse::Complete << int(ok.size()) << QByteArray("RTSP 200 OK")
                           << 3 << QByteArray() << 60 << QByteArray();
    const QByteArray session =
        "RTSP/1.0 200 OK\r\ncseq:  7 \r\nSession: 12AB;timeout=30\r\n\r\nRTSP/1.0";
    QTest::newRow("session with timeout, next response behind")
        << session << Parse::Complete << int(session.size() - 8) << QByteArray("RTSP 200 OK") << 7
        << QByteArray("12AB") << 30 << QByteArray();
    const QByteArray huge = "RTSP/1.0 200 OK\r\nSession: s ; timeout=99999999\r\n\r\n";
    QTest::newRow("timeout bounded")
        << huge << Parse::Complete << int(huge.size()) << QByteArray("RTSP 200 OK") << -1
        << QByteArray("s") << 3600 << QByteArray();
    const QByteArray body = "RTSP/1.0 200 OK\nContent-Length: 5\n\nv=0\r\nX";
    QTest::newRow("body of Content-Length, bare LFs")
        << body << Parse::Complete << int(body.size() - 1) << QByteArray("RTSP 200 OK") << -1
        << QByteArray() << 60 << QByteArray("v=0\r\n");
    QTest::newRow("454 without reason takes the usual one")
        << QByteArray("RTSP/1.0 454\r\nCSeq: 9\r\n\r\n") << Parse::Complete << 25
        << QByteArray("RTSP 454 Session Not Found") << 9 << QByteArray() << 60 << QByteArray();
    QTest::newRow("known code reads as usual")
        << QByteArray("RTSP/1.0 401 Unauthorised\r\n\r\n") << Parse::Complete << 29
        << QByteArray("RTSP 401 Unauthorized") << -1 << QByteArray() << 60 << QByteArray();
    QTest::newRow("unknown code keeps its reason")
        << QByteArray("RTSP/1.0 599 Odd\x01 Thing\r\n\r\n") << Parse::Complete << 27
        << QByteArray("RTSP 599 Odd Thing") << -1 << QByteArray() << 60 << QByteArray();
    QTest::newRow("HTTP answer") << QByteArray("HTTP/1.1 200 OK\r\n\r\n") << Parse::Malformed << 0
                                 << QByteArray() << -1 << QByteArray() << 60 << QByteArray();
    QTest::newRow("bad status code")
        << QByteArray("RTSP/1.0 2x0 OK\r\n\r\n") << Parse::Malformed << 0 << QByteArray() << -1
        << QByteArray() << 60 << QByteArray();
    QTest::newRow("negative Content-Length")
        << QByteArray("RTSP/1.0 200 OK\r\nContent-Length: -1\r\n\r\n") << Parse::Malformed << 0
        << QByteArray() << -1 << QByteArray() << 60 << QByteArray();
    QTest::newRow("Content-Length past the bound")
        << QByteArray("RTSP/1.0 200 OK\r\nContent-Length: 65537\r\n\r\n") << Parse::TooLarge << 0
        << QByteArray() << -1 << QByteArray() << 60 << QByteArray();
    QTest::newRow("Content-Length overflowing")
        << QByteArray("RTSP/1.0 200 OK\r\nContent-Length: 18446744073709551617\r\n\r\n")
        << Parse::Malformed << 0 << QByteArray() << -1 << QByteArray() << 60 << QByteArray();
    QTest::newRow("head past the bound")
        << QByteArray("RTSP/1.0 200 OK\r\nX: ") + QByteArray(int(RtspResponse::MaxHeadBytes), 'a')
        << Parse::TooLarge << 0 << QByteArray() << -1 << QByteArray() << 60 << QByteArray();
}

void tst_RtspParsers::response()
{
    QFETCH(QByteArray, input);
    QFETCH(Parse, parse);
    QFETCH(int, consumed);
    QFETCH(QByteArray, statusText);
    QFETCH(int, cseq);
    QFETCH(QByteArray, session);
    QFETCH(int, timeout);
    QFETCH(QByteArray, body);

    RtspResponse r;
    std::size_t used = 99;
    QCOMPARE(r.parse(bytes(input), std::size_t(input.size()), &used), parse);
    QCOMPARE(int(used), consumed);
    if (parse != Parse::Complete)
        return;
    QCOMPARE(text(r.statusText()), statusText);
    QCOMPARE(r.cseq(), cseq);
    QCOMPARE(text(r.session()), session);
    QCOMPARE(r.sessionTimeoutS(), timeout);
    QCOMPARE(text(r.body()), body);
}

void tst_RtspParsers::responseTruncated()
{
    // Every response cut short is waited for (or refused at once when its
    // start already shows it is none), never read past its end.
    QFETCH(QByteArray, input);
    QFETCH(Parse, parse);
    QFETCH(int, consumed);
    const int whole = parse == Parse::Complete ? consumed : int(input.size());
    for (int n = 0; n < whole; ++n) {
        const QByteArray cut = input.left(n);
        RtspResponse r;
        std::size_t used = 0;
        const Parse got = r.parse(bytes(cut), std::size_t(n), &used);
        QVERIFY2(got != Parse::Complete, qPrintable(QStringLiteral("complete at %1").arg(n)));
        if (parse == Parse::Complete)
            QCOMPARE(got, Parse::NeedMore);
    }
}

void tst_RtspParsers::transport_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("tcp");
    QTest::addColumn<bool>("multicast");
    QTest::addColumn<QList<int>>("numbers"); // client, server, channels, port pairs; ttl
    QTest::addColumn<QByteArray>("destination");

    QTest::newRow("udp unicast") << QByteArray(
        "RTP/AVP;unicast;client_port=5000-5001;server_port=6970-6971;ssrc=1A")
                                 << false << false
                                 << QList<int>{5000, 5001, 6970, 6971, -1, -1, -1, -1, -1}
                                 << QByteArray();
    QTest::newRow("interleaved") << QByteArray("RTP/AVP/TCP;unicast;interleaved=2-3") << true
                                 << false << QList<int>{-1, -1, -1, -1, 2, 3, -1, -1, -1}
                                 << QByteArray();
    QTest::newRow("multicast group, first of a list")
        << QByteArray("RTP/AVP;multicast;destination=\"224.1.2.3\";port=5004-5005;ttl=16,"
                      "RTP/AVP/TCP;interleaved=0-1")
        << false << true << QList<int>{-1, -1, -1, -1, -1, -1, 5004, 5005, 16}
        << QByteArray("224.1.2.3");
    QTest::newRow("values out of range")
        << QByteArray("rtp/avp/udp;client_port=70000-x;interleaved=256-1;ttl=300") << false << false
        << QList<int>{-1, -1, -1, -1, -1, 1, -1, -1, -1} << QByteArray();
}

void tst_RtspParsers::transport()
{
    QFETCH(QByteArray, value);
    QFETCH(bool, tcp);
    QFETCH(bool, multicast);
    QFETCH(QList<int>, numbers);
    QFETCH(QByteArray, destination);
    const RtspTransport t = RtspTransport::parse(value.toStdString());
    QVERIFY(t.present);
    QCOMPARE(t.tcp, tcp);
    QCOMPARE(t.multicast, multicast);
    const QList<int> got{t.clientRtpPort,    t.clientRtcpPort,    t.serverRtpPort,
                         t.serverRtcpPort,   t.rtpChannel,        t.rtcpChannel,
                         t.multicastRtpPort, t.multicastRtcpPort, t.ttl};
    QCOMPARE(got, numbers);
    QCOMPARE(text(t.destination), destination);
}

void tst_RtspParsers::challenge_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QByteArrayList>("fields"); // scheme, realm, nonce, opaque, algorithm
    QTest::addColumn<bool>("qopAuth");
    QTest::addColumn<bool>("stale");

    QTest::newRow("digest, qop list, commas in quotes")
        << QByteArray("Digest realm=\"cam, front\", qop=\"auth,auth-int\", nonce=\"abc\", "
                      "opaque=\"5c\", algorithm=MD5")
        << QByteArrayList{"Digest", "cam, front", "abc", "5c", "MD5"} << true << false;
    QTest::newRow("digest without qop, stale")
        << QByteArray("digest realm=r,nonce=n,stale=TRUE")
        << QByteArrayList{"digest", "r", "n", "", ""} << false << true;
    QTest::newRow("auth-int only") << QByteArray("Digest realm=r, nonce=n, qop=\"auth-int\"")
                                   << QByteArrayList{"Digest", "r", "n", "", ""} << false << false;
    QTest::newRow("basic") << QByteArray("Basic realm=\"IP Camera\"")
                           << QByteArrayList{"Basic", "IP Camera", "", "", ""} << false << false;
}

void tst_RtspParsers::challenge()
{
    QFETCH(QByteArray, value);
    QFETCH(QByteArrayList, fields);
    QFETCH(bool, qopAuth);
    QFETCH(bool, stale);
    const RtspChallenge c = RtspChallenge::parse(value.toStdString());
    QCOMPARE((QByteArrayList{text(c.scheme), text(c.realm), text(c.nonce), text(c.opaque),
                             text(c.algorithm)}),
             fields);
    QCOMPARE(c.qopAuth, qopAuth);
    QCOMPARE(c.stale, stale);
}

void tst_RtspParsers::serverRequest_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<Parse>("parse");
    QTest::addColumn<int>("consumed");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<int>("cseq");

    QTest::newRow("options probe") << QByteArray("OPTIONS * RTSP/1.0\r\nCSeq: 12\r\n\r\n$")
                                   << Parse::Complete << 32 << QByteArray("OPTIONS") << 12;
    QTest::newRow("announce with a body")
        << QByteArray("ANNOUNCE rtsp://c/x RTSP/1.0\nCSeq: 3\nContent-Length: 4\n\nv=0\n")
        << Parse::Complete << 60 << QByteArray("ANNOUNCE") << 3;
    QTest::newRow("body still coming")
        << QByteArray("SET_PARAMETER * RTSP/1.0\r\nContent-Length: 9\r\n\r\nab") << Parse::NeedMore
        << 0 << QByteArray() << -1;
    QTest::newRow("method cut short")
        << QByteArray("GET_PA") << Parse::NeedMore << 0 << QByteArray() << -1;
    QTest::newRow("not RTSP") << QByteArray("GET / HTTP/1.1\r\n\r\n") << Parse::Malformed << 0
                              << QByteArray() << -1;
    QTest::newRow("lower-case junk")
        << QByteArray("hello\r\n\r\n") << Parse::Malformed << 0 << QByteArray() << -1;
}

void tst_RtspParsers::serverRequest()
{
    QFETCH(QByteArray, input);
    QFETCH(Parse, parse);
    QFETCH(int, consumed);
    QFETCH(QByteArray, method);
    QFETCH(int, cseq);
    RtspServerRequest request;
    std::size_t used = 99;
    QCOMPARE(RtspServerRequest::parse(bytes(input), std::size_t(input.size()), &request, &used),
             parse);
    QCOMPARE(int(used), consumed);
    if (parse == Parse::Complete) {
        QCOMPARE(text(request.method), method);
        QCOMPARE(request.cseq, cseq);
    }
}

void tst_RtspParsers::interleaved_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("whole");
    QTest::addColumn<int>("channel");
    QTest::addColumn<int>("length");

    QTest::newRow("whole frame") << raw("$\x01\x00\x03"
                                        "abcRTSP")
                                 << true << 1 << 3;
    QTest::newRow("empty frame") << raw("$\x00\x00\x00") << true << 0 << 0;
    QTest::newRow("data short") << raw("$\x00\x01\x00"
                                       "ab")
                                << false << 0 << 256;
    QTest::newRow("header short") << raw("$\x00\x01") << false << -1 << 0;
    QTest::newRow("largest length") << raw("$\xff\xff\xff") << false << 255 << 65535;
}

void tst_RtspParsers::interleaved()
{
    QFETCH(QByteArray, input);
    QFETCH(bool, whole);
    QFETCH(int, channel);
    QFETCH(int, length);
    QVERIFY(RtspInterleaved::startsFrame(bytes(input), std::size_t(input.size())));
    RtspInterleaved frame;
    QCOMPARE(RtspInterleaved::parse(bytes(input), std::size_t(input.size()), &frame), whole);
    QCOMPARE(frame.channel, channel);
    QCOMPARE(int(frame.length), length);
}

void tst_RtspParsers::sdp_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("mediaCount");
    // Of the last media: type, port, encoding of the first format, its
    // payload type and clock rate, fmtp, control, c= address, multicast, ttl.
    QTest::addColumn<QByteArrayList>("media");
    QTest::addColumn<QList<int>>("numbers"); // port, payload type, clock rate, multicast, ttl

    QTest::newRow("GStreamer's jpeg")
        << QByteArray("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=x\r\nt=0 0\r\na=control:*\r\n"
                      "m=video 0 RTP/AVP 26\r\nc=IN IP4 0.0.0.0\r\na=rtpmap:26 JPEG/90000\r\n"
                      "a=control:stream=0\r\n")
        << 1 << QByteArrayList{"video", "JPEG", "", "stream=0", "0.0.0.0"}
        << QList<int>{0, 26, 90000, 0, -1};
    QTest::newRow("static type without rtpmap, session c= multicast")
        << QByteArray("v=0\nc=IN IP4 239.1.1.1/32\nm=audio 5000 RTP/AVP 0\n"
                      "m=video 5002 RTP/AVP 26\n")
        << 2 << QByteArrayList{"video", "JPEG", "", "", "239.1.1.1"}
        << QList<int>{5002, 26, 90000, 1, 32};
    QTest::newRow("h264 with fmtp kept raw")
        << QByteArray("v=0\r\nm=video 0 RTP/AVP 96 97\r\na=rtpmap:96 h264/90000\r\n"
                      "a=fmtp:96 packetization-mode=1;sprop-parameter-sets=Z0IAH+KQ,aM4xUg==\r\n"
                      "a=control:rtsp://cam/track1\r\nc=IN IP4 224.0.0.9/5/2\r\n")
        << 1
        << QByteArrayList{"video", "H264",
                          "packetization-mode=1;sprop-parameter-sets=Z0IAH+KQ,aM4xUg==",
                          "rtsp://cam/track1", "224.0.0.9"}
        << QList<int>{0, 96, 90000, 1, 5};
    QTest::newRow("rtpmap of an absent type, bad port, junk lines")
        << QByteArray("v=0\r\nm=video 99999 RTP/AVP 96 x 200\r\na=rtpmap:97 JPEG/90000\r\n"
                      "garbage\r\n=\r\na=rtpmap:96\r\n")
        << 1 << QByteArrayList{"video", "", "", "", ""} << QList<int>{0, 96, 0, 0, -1};
}

void tst_RtspParsers::sdp()
{
    QFETCH(QByteArray, input);
    QFETCH(int, mediaCount);
    QFETCH(QByteArrayList, media);
    QFETCH(QList<int>, numbers);
    const SdpSession s = SdpSession::parse(bytes(input), std::size_t(input.size()));
    QVERIFY(s.valid);
    QCOMPARE(int(s.media.size()), mediaCount);
    const SdpMedia& m = s.media.back();
    QVERIFY(!m.formats.empty());
    const SdpFormat& f = m.formats.front();
    QCOMPARE((QByteArrayList{text(m.type), text(f.encoding), text(f.fmtp), text(m.control),
                             text(m.connection.address)}),
             media);
    QCOMPARE((QList<int>{m.port, f.payloadType, f.clockRate, int(m.connection.multicast),
                         m.connection.ttl}),
             numbers);
}

void tst_RtspParsers::controlUrl_data()
{
    QTest::addColumn<QByteArray>("base");
    QTest::addColumn<QByteArray>("control");
    QTest::addColumn<QByteArray>("url");

    QTest::newRow("relative to a base with slash")
        << QByteArray("rtsp://h:8554/test/") << QByteArray("stream=0")
        << QByteArray("rtsp://h:8554/test/stream=0");
    QTest::newRow("relative to a base without slash")
        << QByteArray("rtsp://h/live") << QByteArray("trackID=1")
        << QByteArray("rtsp://h/live/trackID=1");
    QTest::newRow("absolute") << QByteArray("rtsp://h/live/") << QByteArray("RTSP://other/x")
                              << QByteArray("RTSP://other/x");
    QTest::newRow("from the host")
        << QByteArray("rtsp://h:554/a/b") << QByteArray("/c/d") << QByteArray("rtsp://h:554/c/d");
    QTest::newRow("aggregate star")
        << QByteArray("rtsp://h/a/") << QByteArray("*") << QByteArray("rtsp://h/a/");
    QTest::newRow("none") << QByteArray("rtsp://h/a") << QByteArray("") << QByteArray("rtsp://h/a");
}

void tst_RtspParsers::controlUrl()
{
    QFETCH(QByteArray, base);
    QFETCH(QByteArray, control);
    QFETCH(QByteArray, url);
    QCOMPARE(text(resolveControlUrl(base.toStdString(), control.toStdString())), url);
}

QTEST_GUILESS_MAIN(tst_RtspParsers)
#include "tst_rtspparsers.moc"
