// SPDX-License-Identifier: MIT
// The simulated HTTP camera's request parsing and authentication: request
// heads within their bounds, Basic credentials, Digest parameters and
// responses, and the authenticator's challenges and nonces.
#include "httpauth.h"
#include "httprequest.h"

#include <QTest>

#include <vector>

using simlib::HttpParse;

Q_DECLARE_METATYPE(simlib::HttpParse)
Q_DECLARE_METATYPE(simlib::HttpAuthenticator::Scheme)

namespace {

// The RFC 2617 example (section 3.5).
const QByteArray RfcAuthorization =
    "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
    "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", qop=auth, "
    "nc=00000001, cnonce=\"0a4f113b\", response=\"6629fae49393a05397450978507c4ef1\", "
    "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"";
const simlib::DigestAccount RfcAccount{"Mufasa", "Circle Of Life", "testrealm@host.com"};

// Parses from a buffer of exactly the input's size, so that a read past
// its end is seen by the address sanitizer.
HttpParse parse(const QByteArray& input, simlib::HttpRequest* request, qsizetype* consumed)
{
    const std::vector<char> exact(input.begin(), input.end());
    return simlib::parseHttpRequest(exact.data(), qsizetype(exact.size()), request, consumed);
}

QStringList sortedParams(const QHash<QByteArray, QByteArray>& params)
{
    QStringList out;
    for (auto it = params.begin(); it != params.end(); ++it)
        out.append(QString::fromLatin1(it.key() + '=' + it.value()));
    out.sort();
    return out;
}

QByteArray digestFor(const QByteArray& nonce, const QByteArray& password, const QByteArray& uri)
{
    const QByteArray response =
        simlib::digestResponse("cam", simlib::HttpAuthenticator::Realm, password, "GET", uri, nonce,
                               "00000001", "c0ffee", "auth");
    return "Digest username=\"cam\", realm=\"" + QByteArray(simlib::HttpAuthenticator::Realm)
           + "\", nonce=\"" + nonce + "\", uri=\"" + uri
           + "\", qop=auth, nc=00000001, cnonce=\"c0ffee\", response=\"" + response + '"';
}

} // namespace

class HttpRequestTest : public QObject
{
    Q_OBJECT

private slots:
    void requestHeads_data();
    void requestHeads();
    void basicCredentials_data();
    void basicCredentials();
    void authParams_data();
    void authParams();
    void digestAnswers_data();
    void digestAnswers();
    void authenticator_data();
    void authenticator();
};

void HttpRequestTest::requestHeads_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<HttpParse>("result");
    QTest::addColumn<int>("consumed"); // -1: the whole input
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<bool>("keepAlive");
    QTest::addColumn<QByteArray>("host"); // the Host field's value

    const QByteArray get = "GET /video.mjpg HTTP/1.1\r\nHost: 127.0.0.1:80\r\n\r\n";
    QTest::newRow("GET") << get << HttpParse::Complete << -1 << QByteArray("/video.mjpg")
                         << QByteArray("/video.mjpg") << true << QByteArray("127.0.0.1:80");
    QTest::newRow("LF line ends, blanks around the value")
        << QByteArray("GET /a HTTP/1.1\nhost:  x \t\n\n") << HttpParse::Complete << -1
        << QByteArray("/a") << QByteArray("/a") << true << QByteArray("x");
    QTest::newRow("two requests: the first only")
        << get + get << HttpParse::Complete << int(get.size()) << QByteArray("/video.mjpg")
        << QByteArray("/video.mjpg") << true << QByteArray("127.0.0.1:80");
    QTest::newRow("empty line before the request line")
        << "\r\n" + get << HttpParse::Complete << -1 << QByteArray("/video.mjpg")
        << QByteArray("/video.mjpg") << true << QByteArray("127.0.0.1:80");
    QTest::newRow("query and absolute form")
        << QByteArray("GET http://127.0.0.1:8080/snapshot.jpg?size=2#x HTTP/1.1\r\n\r\n")
        << HttpParse::Complete << -1 << QByteArray("http://127.0.0.1:8080/snapshot.jpg?size=2#x")
        << QByteArray("/snapshot.jpg") << true << QByteArray();
    QTest::newRow("HTTP/1.0 closes")
        << QByteArray("GET / HTTP/1.0\r\n\r\n") << HttpParse::Complete << -1 << QByteArray("/")
        << QByteArray("/") << false << QByteArray();
    QTest::newRow("HTTP/1.0 with keep-alive")
        << QByteArray("GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n") << HttpParse::Complete
        << -1 << QByteArray("/") << QByteArray("/") << true << QByteArray();
    QTest::newRow("HTTP/1.1 with close among options")
        << QByteArray("GET / HTTP/1.1\r\nConnection: TE, close\r\n\r\n") << HttpParse::Complete
        << -1 << QByteArray("/") << QByteArray("/") << false << QByteArray();

    const auto incomplete = [](const char* name, const QByteArray& input) {
        QTest::newRow(name) << input << HttpParse::Incomplete << 0 << QByteArray() << QByteArray()
                            << false << QByteArray();
    };
    incomplete("nothing", QByteArray());
    incomplete("request line only", "GET / HTTP/1.1\r\n");
    incomplete("a field without the empty line", "GET / HTTP/1.1\r\nHost: x\r\n");
    incomplete("one byte short of the bound", "GET / HTTP/1.1\r\nX: " + QByteArray(8172, 'a'));

    const auto refused = [](const char* name, const QByteArray& input, HttpParse result) {
        QTest::newRow(name) << input << result << 0 << QByteArray() << QByteArray() << false
                            << QByteArray();
    };
    refused("no version", "GET /\r\n\r\n", HttpParse::Bad);
    refused("HTTP/2.0", "GET / HTTP/2.0\r\n\r\n", HttpParse::Bad);
    refused("version in lower case", "GET / http/1.1\r\n\r\n", HttpParse::Bad);
    refused("two blanks", "GET  / HTTP/1.1\r\n\r\n", HttpParse::Bad);
    refused("no method", " / HTTP/1.1\r\n\r\n", HttpParse::Bad);
    refused("control byte in the target", "GET /a\x01 HTTP/1.1\r\n\r\n", HttpParse::Bad);
    refused("blank before the colon", "GET / HTTP/1.1\r\nHost : x\r\n\r\n", HttpParse::Bad);
    refused("folded field", "GET / HTTP/1.1\r\nA: b\r\n c\r\n\r\n", HttpParse::Bad);
    refused("field without colon", "GET / HTTP/1.1\r\nHost\r\n\r\n", HttpParse::Bad);
    refused("NUL in a value", QByteArray("GET / HTTP/1.1\r\nA: b\0c\r\n\r\n", 26), HttpParse::Bad);
    refused("CR within a line", "GET / HTTP/1.1\r\nA: b\rc\r\n\r\n", HttpParse::Bad);
    refused("three empty lines first", "\r\n\r\n\r\nGET / HTTP/1.1\r\n\r\n", HttpParse::Bad);
    refused("bad early in a long head", "GET / HTTP/9.9\r\n" + QByteArray(9000, 'a'),
            HttpParse::Bad);
    refused("endless line", "GET /" + QByteArray(9000, 'a'), HttpParse::TooLarge);
    refused("head ending one byte past the bound",
            "GET / HTTP/1.1\r\nX: " + QByteArray(8170, 'a') + "\r\n\r\n", HttpParse::TooLarge);
    QByteArray manyFields = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 100; ++i)
        manyFields += "X: y\r\n";
    refused("101 lines", manyFields + "\r\n", HttpParse::TooLarge);
    QTest::newRow("100 lines") << manyFields.left(manyFields.size() - 6) + "\r\n"
                               << HttpParse::Complete << -1 << QByteArray("/") << QByteArray("/")
                               << true << QByteArray();
    QTest::newRow("head of exactly 8192 bytes")
        << "GET / HTTP/1.1\r\nHost: " + QByteArray(8166, 'h') + "\r\n\r\n"
        << HttpParse::Complete << -1 << QByteArray("/") << QByteArray("/") << true
        << QByteArray(8166, 'h');
}

void HttpRequestTest::requestHeads()
{
    QFETCH(QByteArray, input);
    QFETCH(HttpParse, result);
    QFETCH(int, consumed);
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, path);
    QFETCH(bool, keepAlive);
    QFETCH(QByteArray, host);

    simlib::HttpRequest request;
    qsizetype used = -1;
    QCOMPARE(parse(input, &request, &used), result);
    if (result != HttpParse::Complete)
        return;
    const qsizetype headSize = consumed < 0 ? input.size() : consumed;
    QCOMPARE(used, headSize);
    QCOMPARE(request.target, target);
    QCOMPARE(request.path(), path);
    QCOMPARE(request.keepAlive(), keepAlive);
    QCOMPARE(request.field("HOST"), host);
    // Whatever part of the head has arrived, it is waited for, not judged.
    for (qsizetype n = 0; n < headSize; ++n)
        QCOMPARE(parse(input.left(n), &request, &used), HttpParse::Incomplete);
}

void HttpRequestTest::basicCredentials_data()
{
    QTest::addColumn<QByteArray>("authorization");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("password");

    QTest::newRow("RFC 2617 example") << QByteArray("Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==") << true
                                      << QByteArray("Aladdin") << QByteArray("open sesame");
    QTest::newRow("scheme in lower case, blanks around")
        << "  basic   " + QByteArray("Mufasa:Circle Of Life").toBase64() + " " << true
        << QByteArray("Mufasa") << QByteArray("Circle Of Life");
    QTest::newRow("colon in the password") << "Basic " + QByteArray("a:b:c").toBase64() << true
                                           << QByteArray("a") << QByteArray("b:c");
    QTest::newRow("empty password")
        << "Basic " + QByteArray("user:").toBase64() << true << QByteArray("user") << QByteArray();
    QTest::newRow("no colon") << "Basic " + QByteArray("user").toBase64() << false << QByteArray()
                              << QByteArray();
    QTest::newRow("not Base64") << QByteArray("Basic dXNl*jpw") << false << QByteArray()
                                << QByteArray();
    QTest::newRow("no credentials") << QByteArray("Basic") << false << QByteArray() << QByteArray();
    QTest::newRow("other scheme") << RfcAuthorization << false << QByteArray() << QByteArray();
    QTest::newRow("scheme name longer")
        << "Basicx " + QByteArray("u:p").toBase64() << false << QByteArray() << QByteArray();
}

void HttpRequestTest::basicCredentials()
{
    QFETCH(QByteArray, authorization);
    QFETCH(bool, valid);
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, password);
    QByteArray u;
    QByteArray p;
    QCOMPARE(simlib::parseBasicCredentials(authorization, &u, &p), valid);
    if (valid) {
        QCOMPARE(u, user);
        QCOMPARE(p, password);
    }
}

void HttpRequestTest::authParams_data()
{
    QTest::addColumn<QByteArray>("authorization");
    QTest::addColumn<QStringList>("params"); // sorted name=value; empty: refused

    QTest::newRow("RFC 2617 example") << RfcAuthorization
                                      << QStringList{"cnonce=0a4f113b",
                                                     "nc=00000001",
                                                     "nonce=dcd98b7102dd2f0e8b11d0f600bfb0c093",
                                                     "opaque=5ccc069c403ebaf9f0171e9517f40e41",
                                                     "qop=auth",
                                                     "realm=testrealm@host.com",
                                                     "response=6629fae49393a05397450978507c4ef1",
                                                     "uri=/dir/index.html",
                                                     "username=Mufasa"};
    QTest::newRow("names in any case, blanks around =, empty elements")
        << QByteArray("digest  UserName = \"a\" ,, QOP=auth ,")
        << QStringList{"qop=auth", "username=a"};
    QTest::newRow("escapes and commas within quotes")
        << QByteArray(R"(Digest username="a\"b\\c", realm="x, y")")
        << QStringList{R"(realm=x, y)", R"(username=a"b\c)"};
    QTest::newRow("empty quoted value")
        << QByteArray("Digest opaque=\"\"") << QStringList{"opaque="};
    const QStringList refused;
    QTest::newRow("unterminated quote") << QByteArray("Digest username=\"a, qop=auth") << refused;
    QTest::newRow("backslash at the end") << QByteArray("Digest username=\"a\\") << refused;
    QTest::newRow("name given twice") << QByteArray("Digest nc=1, NC=2") << refused;
    QTest::newRow("name without value") << QByteArray("Digest username") << refused;
    QTest::newRow("empty unquoted value") << QByteArray("Digest username=, qop=auth") << refused;
    QTest::newRow("two values without comma") << QByteArray("Digest a=1 b=2") << refused;
    QTest::newRow("other scheme") << QByteArray("Basic dTpw") << refused;
    QByteArray many = "Digest ";
    for (int i = 0; i < 33; ++i)
        many += "p" + QByteArray::number(i) + "=1,";
    QTest::newRow("33 parameters") << many << refused;
}

void HttpRequestTest::authParams()
{
    QFETCH(QByteArray, authorization);
    QFETCH(QStringList, params);
    QHash<QByteArray, QByteArray> parsed;
    QCOMPARE(simlib::parseAuthParams(authorization, "Digest", &parsed), !params.isEmpty());
    if (!params.isEmpty())
        QCOMPARE(sortedParams(parsed), params);
}

void HttpRequestTest::digestAnswers_data()
{
    QTest::addColumn<QByteArray>("authorization");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<bool>("accepted");

    const QByteArray uri = "/dir/index.html";
    const QByteArray pw = RfcAccount.password;
    QTest::newRow("RFC 2617 example") << RfcAuthorization << QByteArray("GET") << uri << pw << true;
    QByteArray upper = RfcAuthorization;
    upper.replace("6629fae49393a05397450978507c4ef1", "6629FAE49393A05397450978507C4EF1");
    QTest::newRow("response in upper case") << upper << QByteArray("GET") << uri << pw << true;
    QTest::newRow("algorithm MD5 named")
        << RfcAuthorization + ", algorithm=md5" << QByteArray("GET") << uri << pw << true;
    QTest::newRow("qop quoted") << QByteArray(RfcAuthorization).replace("qop=auth", "qop=\"auth\"")
                                << QByteArray("GET") << uri << pw << true;
    QTest::newRow("wrong password")
        << RfcAuthorization << QByteArray("GET") << uri << QByteArray("Circle of Life") << false;
    QTest::newRow("other method") << RfcAuthorization << QByteArray("HEAD") << uri << pw << false;
    QTest::newRow("uri not the request's")
        << RfcAuthorization << QByteArray("GET") << QByteArray("/dir/other.html") << pw << false;
    QTest::newRow("algorithm SHA-256")
        << RfcAuthorization + ", algorithm=SHA-256" << QByteArray("GET") << uri << pw << false;
    QTest::newRow("hashed user name")
        << RfcAuthorization + ", userhash=true" << QByteArray("GET") << uri << pw << false;
    QTest::newRow("qop auth-int")
        << QByteArray(RfcAuthorization).replace("qop=auth", "qop=auth-int") << QByteArray("GET")
        << uri << pw << false;
    QTest::newRow("no qop") << QByteArray(RfcAuthorization).replace(" qop=auth,", "")
                            << QByteArray("GET") << uri << pw << false;
    QTest::newRow("nc changed")
        << QByteArray(RfcAuthorization).replace("nc=00000001", "nc=00000002") << QByteArray("GET")
        << uri << pw << false;
    QTest::newRow("nc not hex") << QByteArray(RfcAuthorization).replace("nc=00000001", "nc=1")
                                << QByteArray("GET") << uri << pw << false;
    QTest::newRow("other user") << QByteArray(RfcAuthorization).replace("Mufasa", "Simba")
                                << QByteArray("GET") << uri << pw << false;
    QTest::newRow("other realm") << QByteArray(RfcAuthorization).replace("testrealm@host.com", "x")
                                 << QByteArray("GET") << uri << pw << false;
    QTest::newRow("no cnonce") << QByteArray(RfcAuthorization).replace("cnonce=\"0a4f113b\", ", "")
                               << QByteArray("GET") << uri << pw << false;
    QTest::newRow("response cut short") << QByteArray(RfcAuthorization).replace("4ef1\"", "4ef\"")
                                        << QByteArray("GET") << uri << pw << false;
}

void HttpRequestTest::digestAnswers()
{
    QFETCH(QByteArray, authorization);
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, password);
    QFETCH(bool, accepted);

    QCOMPARE(simlib::digestResponse(RfcAccount.user, RfcAccount.realm, RfcAccount.password, "GET",
                                    "/dir/index.html", "dcd98b7102dd2f0e8b11d0f600bfb0c093",
                                    "00000001", "0a4f113b", "auth"),
             QByteArray("6629fae49393a05397450978507c4ef1"));
    QHash<QByteArray, QByteArray> params;
    QVERIFY(simlib::parseAuthParams(authorization, "Digest", &params));
    simlib::DigestAccount account = RfcAccount;
    account.password = password;
    QCOMPARE(simlib::digestAnswers(params, account, method, target), accepted);
}

void HttpRequestTest::authenticator_data()
{
    using Scheme = simlib::HttpAuthenticator::Scheme;
    QTest::addColumn<Scheme>("scheme");
    // basic, digest (with a nonce of the challenge), forged-nonce, none
    QTest::addColumn<QByteArray>("credential");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<bool>("accepted");

    const QByteArray right = "s3cret";
    const QByteArray wrong = "s3cre7";
    QTest::newRow("basic: none") << Scheme::Basic << QByteArray("none") << right << false;
    QTest::newRow("basic: right") << Scheme::Basic << QByteArray("basic") << right << true;
    QTest::newRow("basic: wrong") << Scheme::Basic << QByteArray("basic") << wrong << false;
    QTest::newRow("basic: digest not offered")
        << Scheme::Basic << QByteArray("digest") << right << false;
    QTest::newRow("digest: right") << Scheme::Digest << QByteArray("digest") << right << true;
    QTest::newRow("digest: wrong") << Scheme::Digest << QByteArray("digest") << wrong << false;
    QTest::newRow("digest: nonce not issued")
        << Scheme::Digest << QByteArray("forged-nonce") << right << false;
    QTest::newRow("digest: basic not offered")
        << Scheme::Digest << QByteArray("basic") << right << false;
    QTest::newRow("any: basic") << Scheme::Any << QByteArray("basic") << right << true;
    QTest::newRow("any: digest") << Scheme::Any << QByteArray("digest") << right << true;
    QTest::newRow("any: wrong digest") << Scheme::Any << QByteArray("digest") << wrong << false;
}

void HttpRequestTest::authenticator()
{
    using Scheme = simlib::HttpAuthenticator::Scheme;
    QFETCH(Scheme, scheme);
    QFETCH(QByteArray, credential);
    QFETCH(QByteArray, password);
    QFETCH(bool, accepted);

    simlib::HttpAuthenticator auth("cam", "s3cret", scheme);
    const QByteArrayList challenges = auth.challenges();
    QCOMPARE(challenges.size(), scheme == Scheme::Any ? 2 : 1);
    QByteArray nonce;
    for (const QByteArray& challenge : challenges) {
        QHash<QByteArray, QByteArray> params;
        if (challenge.startsWith("Basic")) {
            QCOMPARE(challenge, QByteArray("Basic realm=\"framescope-devicesim\""));
            continue;
        }
        // The challenge reads back as a list of parameters.
        QVERIFY(simlib::parseAuthParams(challenge, "Digest", &params));
        QCOMPARE(params.value("realm"), QByteArray("framescope-devicesim"));
        QCOMPARE(params.value("qop"), QByteArray("auth"));
        QCOMPARE(params.value("algorithm"), QByteArray("MD5"));
        nonce = params.value("nonce");
        QVERIFY(auth.issued(nonce));
        QVERIFY(!auth.issued(QByteArray(nonce).replace(0, 1, nonce.startsWith('0') ? "1" : "0")));
    }
    if (nonce.isEmpty())
        nonce = "00000000" + QByteArray(32, 'a');

    simlib::HttpRequest request;
    request.method = "GET";
    request.target = "/snapshot.jpg?x=1";
    request.minorVersion = 1;
    if (credential == "basic")
        request.fields.append({"authorization", "Basic " + ("cam:" + password).toBase64()});
    else if (credential == "digest")
        request.fields.append({"Authorization", digestFor(nonce, password, request.target)});
    else if (credential == "forged-nonce")
        request.fields.append({"Authorization", digestFor("00000007" + QByteArray(32, 'b'),
                                                          password, request.target)});
    QCOMPARE(auth.accepts(request), accepted);
}

QTEST_GUILESS_MAIN(HttpRequestTest)
#include "tst_httprequest.moc"
