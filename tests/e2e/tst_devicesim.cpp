// SPDX-License-Identifier: MIT
// framescope-devicesim as a program: its command line, its refusal of
// addresses off the loopback interface, and how it ends, also when the
// recording it replays is hostile.
#include "recordingformat.h"
#include "simprocess.h"
#include "testfiles.h"

#include <QImage>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/types.h>

namespace {

QByteArray jpegPart(int number, qint64 timeUs)
{
    return recordingPart("image/jpeg", patternJpeg(16, 16, number), timeUs);
}

// --mode http with small frames on a free port.
QStringList httpArgs(const QStringList& more = {})
{
    return QStringList{"--mode", "http", "--port", "0", "--width", "64", "--height", "48"} + more;
}

QByteArray get(const QByteArray& path, const QByteArray& more = {})
{
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + more + "\r\n";
}

// The value of a field in a response head (name in any case), or empty.
QByteArray fieldOf(const QByteArray& head, const QByteArray& name)
{
    for (const QByteArray& line : head.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).toLower() == name.toLower())
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

// Waits until `buffer` holds at least `size` bytes or up to `marker`
// (when given), reading from the socket; false after 10 s or at its end.
bool fill(QTcpSocket& socket, QByteArray* buffer, qsizetype size, const QByteArray& marker = {})
{
    QElapsedTimer t;
    t.start();
    while (marker.isEmpty() ? buffer->size() < size : !buffer->contains(marker)) {
        if (t.elapsed() > 10000)
            return false;
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(200)
            && socket.state() != QAbstractSocket::ConnectedState && socket.bytesAvailable() == 0)
            return false;
        *buffer += socket.readAll();
    }
    return true;
}

struct HttpReply
{
    int status = 0;
    QByteArray head;
    QByteArray body;
};

// Takes one response from the front of `buffer`, reading more as needed;
// its body is Content-Length bytes (none after a HEAD).
bool readReply(QTcpSocket& socket, QByteArray* buffer, HttpReply* reply, bool headOnly)
{
    if (!fill(socket, buffer, 0, "\r\n\r\n"))
        return false;
    const qsizetype headEnd = buffer->indexOf("\r\n\r\n") + 4;
    reply->head = buffer->left(headEnd);
    const QList<QByteArray> statusLine = reply->head.split(' ');
    reply->status = statusLine.size() > 1 ? statusLine[1].toInt() : 0;
    const qsizetype length = headOnly ? 0 : fieldOf(reply->head, "Content-Length").toLongLong();
    if (!fill(socket, buffer, headEnd + length))
        return false;
    reply->body = buffer->mid(headEnd, length);
    buffer->remove(0, headEnd + length);
    return true;
}

bool isFrame(const QByteArray& jpeg)
{
    const QImage image = QImage::fromData(jpeg, "JPEG");
    return image.size() == QSize(64, 48);
}

} // namespace

class DeviceSimTest : public QObject
{
    Q_OBJECT

private slots:
    void rejectedCommandLines_data();
    void rejectedCommandLines();
    void helpNamesEveryAcceptedOption();
    void stopsAfterCount_data();
    void stopsAfterCount();
    void stopsOnSignal_data();
    void stopsOnSignal();
    void hostileReplays_data();
    void hostileReplays();
    void httpAnswers_data();
    void httpAnswers();
    void httpStream_data();
    void httpStream();
    void httpHostileClients_data();
    void httpHostileClients();
    void httpWithCurl_data();
    void httpWithCurl();
};

void DeviceSimTest::rejectedCommandLines_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");

    QTest::newRow("LAN address") << QStringList{"--host", "192.168.1.10"} << "refusing host";
    QTest::newRow("any address") << QStringList{"--host", "0.0.0.0"} << "refusing host";
    QTest::newRow("host name") << QStringList{"--host", "localhost"} << "refusing host";
    QTest::newRow("rtp destination off loopback")
        << QStringList{"--mode", "rtp", "--port", "5004", "--host", "10.0.0.1"} << "refusing host";
    QTest::newRow("unknown option") << QStringList{"--frobnicate", "1"} << "unknown option";
    QTest::newRow("missing value") << QStringList{"--width"} << "needs a value";
    QTest::newRow("value given to a switch") << QStringList{"--quiet=0"} << "--quiet";
    QTest::newRow("argument that is no option")
        << QStringList{"--width", "64", "64"} << "unexpected argument";
    QTest::newRow("bad value before --help")
        << QStringList{"--width", "0", "--help"} << "invalid value";
    QTest::newRow("width 0") << QStringList{"--width", "0"} << "invalid value";
    QTest::newRow("quality 101") << QStringList{"--quality", "101"} << "invalid value";
    QTest::newRow("Q between 100 and 127") << QStringList{"--q", "110"} << "invalid value";
    QTest::newRow("rtp gray") << QStringList{"--mode", "rtp", "--port", "5004", "--content", "gray"}
                              << "JPEG frames only";
    QTest::newRow("rtp size beyond 2040")
        << QStringList{"--mode", "rtp", "--port", "5004", "--width", "2048"} << "multiples of 8";
    QTest::newRow("rtp type 65 without restart interval")
        << QStringList{"--mode", "rtp", "--port", "5004", "--restart-interval", "0"}
        << "restart interval";
    QTest::newRow("loss on a multipart stream") << QStringList{"--loss", "5"} << "rtp only";
    QTest::newRow("udp to port 0") << QStringList{"--mode", "udp", "--port", "0"} << "port";
    QTest::newRow("replay speed 0") << QStringList{"--speed", "0"} << "invalid value";
    QTest::newRow("replay speed in words") << QStringList{"--speed", "fast"} << "invalid value";
    QTest::newRow("replay of no file") << QStringList{"--replay", ""} << "invalid value";
    QTest::newRow("unknown bad kind") << QStringList{"--bad-kinds", "nasty"} << "invalid value";
    QTest::newRow("only RTP bad kinds on tcp")
        << QStringList{"--bad-every", "2", "--bad-kinds", "huge-offset"} << "no multipart kind";
    QTest::newRow("http gray") << QStringList{"--mode", "http", "--content", "gray"}
                               << "JPEG frames only";
    QTest::newRow("http option on tcp") << QStringList{"--drop-after", "3"} << "--mode http only";
    QTest::newRow("http path without slash")
        << QStringList{"--mode", "http", "--http-path", "video"} << "invalid value";
    QTest::newRow("http paths the same")
        << QStringList{"--mode", "http", "--http-path", "/a", "--snapshot-path", "/a"}
        << "must differ";
    QTest::newRow("unknown http style")
        << QStringList{"--mode", "http", "--http-style", "quoted,fancy"} << "invalid value";
    QTest::newRow("user without password")
        << QStringList{"--mode", "http", "--user", "cam"} << "--user needs --password";
    QTest::newRow("password without user")
        << QStringList{"--mode", "http", "--password", "S3cr3t"} << "--password needs --user";
    QTest::newRow("user with a colon")
        << QStringList{"--mode", "http", "--user", "a:b", "--password", "S3cr3t"}
        << "invalid value 'a:b' for --user";
    QTest::newRow("unknown scheme")
        << QStringList{"--mode", "http", "--user", "cam", "--password", "S3cr3t", "--auth", "ntlm"}
        << "invalid value 'ntlm' for --auth";
}

void DeviceSimTest::rejectedCommandLines()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    QProcess p;
    p.start(QStringLiteral(DEVICESIM_BIN), args);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 2);
    const QString err = QString::fromLocal8Bit(p.readAllStandardError());
    QVERIFY2(err.contains(message), qPrintable(err));
    QVERIFY2(!err.contains("S3cr3t"), qPrintable(err)); // a password is never repeated
    QVERIFY(p.readAllStandardOutput().isEmpty());       // nothing was sent or opened
}

void DeviceSimTest::helpNamesEveryAcceptedOption()
{
    QProcess p;
    p.start(QStringLiteral(DEVICESIM_BIN), {"--help"});
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 0);
    const QString help = QString::fromLocal8Bit(p.readAllStandardOutput());

    // Every option the help names is one the program accepts: with a valid
    // value it gives no "unknown option".
    static const QRegularExpression option(QStringLiteral("--[a-z][a-z-]+"));
    QStringList names;
    for (auto it = option.globalMatch(help); it.hasNext();) {
        const QString name = it.next().captured(0);
        if (!names.contains(name))
            names.append(name);
    }
    QVERIFY(names.size() >= 30);
    for (const QString& name : std::as_const(names)) {
        QProcess probe;
        probe.start(QStringLiteral(DEVICESIM_BIN), {name, "1", "--count", "1", "--port", "0"});
        QVERIFY(probe.waitForFinished(10000));
        const QByteArray err = probe.readAllStandardError();
        QVERIFY2(!err.contains("unknown option"), qPrintable(name));
    }
}

void DeviceSimTest::stopsAfterCount_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("count"); // as written; twelve frames

    QTest::newRow("count with a leading zero is decimal")
        << QStringList{"--mode", "tcp", "--port", "0"} << "012";
    QTest::newRow("count in hex") << QStringList{"--mode", "tcp", "--port", "0"} << "0xC";
    QTest::newRow("tcp") << QStringList{"--mode", "tcp", "--port", "0"} << "12";
    QTest::newRow("udp gray") << QStringList{"--mode",    "udp",
                                             "--port",    QString::number(freeUdpPort()),
                                             "--content", "gray"}
                              << "12";
    QTest::newRow("rtp") << QStringList{"--mode", "rtp", "--port", QString::number(freeUdpPort())}
                         << "12";
    QTest::newRow("http") << QStringList{"--mode", "http", "--port", "0"} << "12";
    QTest::newRow("tcp, five pre-encoded frames sent over and over")
        << QStringList{"--mode", "tcp", "--port", "0", "--pregenerate", "5"} << "12";
    QTest::newRow("rtp, pre-encoded")
        << QStringList{"--mode",        "rtp", "--port", QString::number(freeUdpPort()),
                       "--pregenerate", "3"}
        << "12";
}

void DeviceSimTest::stopsAfterCount()
{
    QFETCH(QStringList, args);
    QFETCH(QString, count);
    SimProcess sim;
    QVERIFY(
        sim.start(
            args + QStringList{"--count", count, "--fps", "100", "--width", "64", "--height", "48"})
        > 0);
    QVERIFY(sim.waitFinished(10000));
    QCOMPARE(sim.exitCode(), 0);
    QCOMPARE(sim.figure(QStringLiteral("frames")), 12);
}

void DeviceSimTest::stopsOnSignal_data()
{
    QTest::addColumn<bool>("interrupt");
    QTest::newRow("SIGTERM") << false;
    QTest::newRow("SIGINT") << true;
}

void DeviceSimTest::stopsOnSignal()
{
    QFETCH(bool, interrupt);
    // A slow rate and a long pause: the signal must end the wait at once.
    SimProcess sim;
    QVERIFY(sim.start({"--mode", "tcp", "--port", "0", "--fps", "0.5", "--pause-every", "1",
                       "--pause-ms", "600000"})
            > 0);
    QElapsedTimer t;
    t.start();
    ::kill(pid_t(sim.process().processId()), interrupt ? SIGINT : SIGTERM);
    QVERIFY(sim.waitFinished(10000));
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY2(t.elapsed() < 3000, qPrintable(QString::number(t.elapsed())));
    QTRY_VERIFY_WITH_TIMEOUT(sim.hasLine(QStringLiteral("sent: frames")), 5000);
}

void DeviceSimTest::hostileReplays_data()
{
    QTest::addColumn<QString>("kind"); // as pathOfKind takes it, or "sparse"
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("args"); // behind --replay
    QTest::addColumn<qint64>("shrinkTo");  // the file's size once replay runs; -1 kept
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QList<qint64>>("frames"); // sent, at least and at most; -1 none sent
    QTest::addColumn<QString>("message");

    const QList<qint64> none{-1, -1};
    const QStringList udp{"--mode", "udp"};
    // Two frames 2 s apart, then one of 1.5 MiB and one more: read in
    // pieces, the big one is still to be read when the file shrinks in the
    // wait before the second frame.
    const QByteArray big = jpegPart(0, 0) + jpegPart(1, 2000000)
                           + recordingPart("image/jpeg", QByteArray(3 << 19, 'x'), 2100000)
                           + jpegPart(3, 2200000);
    QTest::newRow("file shrinking while replayed")
        << "file" << big << udp << qint64(1 << 20) + 100000 << 1 << QList<qint64>{2, 2}
        << "shrank from";
    QTest::newRow("FIFO") << "fifo" << QByteArray() << udp << qint64(-1) << 1 << none
                          << "not a regular file";
    QTest::newRow("device") << "/dev/zero" << QByteArray() << udp << qint64(-1) << 1 << none
                            << "not a regular file";
    QTest::newRow("sparse 2 GiB before its frame")
        << "sparse" << jpegPart(0, 0) << udp << qint64(-1) << 0 << QList<qint64>{1, 1}
        << "end of the recording: 1 frames in 1 parts (21474";

    QByteArray gray;
    for (int i = 0; i < 3; ++i)
        gray += recordingPart("video/x-raw-gray", QByteArray(64, char(i)), i * 1000);
    QTest::newRow("every frame refused, in a loop")
        << "file" << gray << QStringList{"--mode", "rtp", "--loop", "--duration", "3"} << qint64(-1)
        << 1 << QList<qint64>{3, 3} << "(3 read, all refused)";
    const QByteArray oneTime = jpegPart(0, 5) + jpegPart(1, 5) + jpegPart(2, 5);
    QTest::newRow("frames sharing one time, in a loop")
        << "file" << oneTime << udp + QStringList{"--loop", "--duration", "2", "--fps", "20"}
        << qint64(-1) << 0 << QList<qint64>{4, 60} << "end of the recording: 3 frames";
    QTest::newRow("jump of 10^12 s")
        << "file" << jpegPart(0, 1) + jpegPart(1, 999999999999999999) + jpegPart(2, 1)
        << udp + QStringList{"--max-gap", "0.3", "--duration", "20"} << qint64(-1) << 0
        << QList<qint64>{3, 3} << "a wait of 1e+12 s before frame 1 is shortened to 0.3 s";
    QTest::newRow("jump of 10^7 s")
        << "file" << jpegPart(0, 0) + jpegPart(1, 10000000000000)
        << udp + QStringList{"--max-gap", "0.3", "--duration", "20"} << qint64(-1) << 0
        << QList<qint64>{2, 2} << "a wait of 1e+07 s before frame 1 is shortened to 0.3 s";

    QTest::newRow("empty file") << "file" << QByteArray() << udp << qint64(-1) << 1 << none
                                << "is empty";
    QByteArray noise(65536, '\0');
    QRandomGenerator rng(7);
    for (char& c : noise)
        c = char(rng.generate());
    QTest::newRow("random bytes") << "file" << noise << udp << qint64(-1) << 1 << none
                                  << "holds no frame to replay: 0 frames in 0 parts (65536 bytes)";
    QByteArray junk;
    for (int i = 0; i < 3; ++i)
        junk += QByteArray(MultipartDec::BoundaryText) + " t=5\r\nnot a header\r\n\r\njunk";
    QTest::newRow("junk between boundaries") << "file" << junk << udp << qint64(-1) << 1 << none
                                             << "holds no frame to replay: 0 frames in 3 parts";
    QTest::newRow("part over 64 MiB beside a frame")
        << "file" << recording::partHeader("image/jpeg", 67108865, 0) + "short" + jpegPart(1, 1000)
        << udp << qint64(-1) << 0 << QList<qint64>{1, 1}
        << "the part at byte 0 declares 67108865 bytes, more than the 67108864";
}

void DeviceSimTest::hostileReplays()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, content);
    QFETCH(QStringList, args);
    QFETCH(qint64, shrinkTo);
    QFETCH(int, exitCode);
    QFETCH(QList<qint64>, frames);
    QFETCH(QString, message);

    QTemporaryDir dir;
    QString path;
    if (kind == QLatin1String("sparse")) {
        // A hole of 2 GiB, then a part: read whole, it would take 2 GiB.
        path = dir.filePath(QStringLiteral("sparse.mjpeg"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(qint64(2) << 30)
                && file.seek(qint64(2) << 30) && file.write(content) == content.size());
    } else {
        path = pathOfKind(dir.path(), kind, content);
    }
    QVERIFY(!path.isEmpty());

    SimProcess sim;
    const int port = sim.start(
        args + QStringList{"--port", QString::number(freeUdpPort()), "--replay", path}, 30000);
    if (shrinkTo >= 0) {
        QVERIFY(port > 0);
        QVERIFY(QFile::resize(path, shrinkTo));
    }
    // Every row ends by itself: with an error, at the recording's end or
    // at --duration.
    QVERIFY(sim.process().state() == QProcess::NotRunning || sim.waitFinished(30000));
    QCOMPARE(sim.exitCode(), exitCode);
    const QString out = sim.lines().join(QLatin1Char('\n')) + QLatin1Char('\n')
                        + QString::fromLocal8Bit(sim.process().readAllStandardError());
    QVERIFY2(out.contains(message), qPrintable(out));
    QVERIFY2(sim.figure(QStringLiteral("frames")) >= frames.at(0)
                 && sim.figure(QStringLiteral("frames")) <= frames.at(1),
             qPrintable(out));
    // Neither a line per frame without end nor a file held in memory.
    QVERIFY2(sim.lines().size() <= 20, qPrintable(QString::number(sim.lines().size())));
    rusage usage{};
    QCOMPARE(::getrusage(RUSAGE_CHILDREN, &usage), 0);
    QVERIFY2(usage.ru_maxrss < 512 * 1024, qPrintable(QString::number(usage.ru_maxrss)));
}

void DeviceSimTest::httpAnswers_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QList<QByteArray>>("requests"); // sent at once, answered in order
    QTest::addColumn<QList<int>>("statuses");
    QTest::addColumn<QString>("heads"); // found in the heads of the answers
    QTest::addColumn<bool>("closed");   // the simulator ends the connection

    const QByteArray snap = get("/snapshot.jpg");
    const QStringList account{"--user", "cam", "--password", "Pa55 w:rd"};
    const QByteArray good =
        "Authorization: Basic " + QByteArray("cam:Pa55 w:rd").toBase64() + "\r\n";
    const QByteArray bad =
        "Authorization: Basic " + QByteArray("cam:Pa55 w:rD").toBase64() + "\r\n";
    const QString basic = "WWW-Authenticate: Basic realm=\"framescope-devicesim\"";
    const QString digest =
        "WWW-Authenticate: Digest realm=\"framescope-devicesim\", qop=\"auth\", nonce=\"";

    QTest::newRow("snapshot twice on one connection")
        << httpArgs() << QList<QByteArray>{snap, snap} << QList<int>{200, 200}
        << "Content-Type: image/jpeg" << false;
    QTest::newRow("snapshot on its own path")
        << httpArgs({"--snapshot-path", "/cgi/still.jpg"})
        << QList<QByteArray>{get("/cgi/still.jpg?resolution=64x48"), snap} << QList<int>{200, 404}
        << "Connection: keep-alive" << false;
    QTest::newRow("HEAD, then GET")
        << httpArgs() << QList<QByteArray>{"HEAD /snapshot.jpg HTTP/1.1\r\n\r\n", snap}
        << QList<int>{200, 200} << "Content-Length: " << false;
    QTest::newRow("unknown path, and on")
        << httpArgs() << QList<QByteArray>{get("/index.html"), snap} << QList<int>{404, 200}
        << "404 Not Found" << false;
    QTest::newRow("POST") << httpArgs()
                          << QList<QByteArray>{"POST /snapshot.jpg HTTP/1.1\r\nContent-Length: "
                                               "0\r\n\r\n",
                                               snap}
                          << QList<int>{405, 200} << "Allow: GET, HEAD" << false;
    QTest::newRow("HTTP/1.0 ends after the answer")
        << httpArgs() << QList<QByteArray>{"GET /snapshot.jpg HTTP/1.0\r\n\r\n"} << QList<int>{200}
        << "Connection: close" << true;
    QTest::newRow("body after a GET ends the connection")
        << httpArgs() << QList<QByteArray>{get("/snapshot.jpg", "Content-Length: 5\r\n") + "hello"}
        << QList<int>{200} << "Connection: close" << true;
    QTest::newRow("401, then Basic")
        << httpArgs(account) << QList<QByteArray>{snap, get("/snapshot.jpg", good)}
        << QList<int>{401, 200} << basic << false;
    QTest::newRow("wrong Basic password")
        << httpArgs(account)
        << QList<QByteArray>{get("/snapshot.jpg", bad), get("/video.mjpg", bad), get("/x", bad)}
        << QList<int>{401, 401, 401} << basic << false;
    QTest::newRow("Basic to a Digest camera")
        << httpArgs(account + QStringList{"--auth", "digest"})
        << QList<QByteArray>{get("/snapshot.jpg", good)} << QList<int>{401} << digest << false;
    QTest::newRow("both schemes offered")
        << httpArgs(account + QStringList{"--auth", "any"})
        << QList<QByteArray>{snap, get("/snapshot.jpg", good)} << QList<int>{401, 200}
        << basic + "\r\n" + digest << false;
    QTest::newRow("malformed request") << httpArgs() << QList<QByteArray>{"HELLO\r\n\r\n"}
                                       << QList<int>{400} << "Connection: close" << true;
    QTest::newRow("endless line") << httpArgs()
                                  << QList<QByteArray>{"GET /" + QByteArray(1 << 20, 'a')}
                                  << QList<int>{431} << "431 Request Header Fields Too Large"
                                  << true;
    QByteArray fields;
    for (int i = 0; i < 120; ++i)
        fields += "X-Field: " + QByteArray::number(i) + "\r\n";
    QTest::newRow("120 fields") << httpArgs() << QList<QByteArray>{get("/snapshot.jpg", fields)}
                                << QList<int>{431} << "Connection: close" << true;
}

void DeviceSimTest::httpAnswers()
{
    QFETCH(QStringList, args);
    QFETCH(QList<QByteArray>, requests);
    QFETCH(QList<int>, statuses);
    QFETCH(QString, heads);
    QFETCH(bool, closed);

    SimProcess sim;
    const int port = sim.start(args);
    QVERIFY(port > 0);
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    QVERIFY(socket.waitForConnected(5000));
    socket.write(requests.join());
    QByteArray buffer;
    QByteArray allHeads;
    for (int i = 0; i < statuses.size(); ++i) {
        HttpReply reply;
        QVERIFY2(readReply(socket, &buffer, &reply, requests[i].startsWith("HEAD")),
                 qPrintable(QString::number(i)));
        QCOMPARE(reply.status, statuses[i]);
        allHeads += reply.head;
        if (reply.status == 200 && !requests[i].startsWith("HEAD"))
            QVERIFY(isFrame(reply.body));
    }
    QVERIFY2(allHeads.contains(heads.toUtf8()), allHeads.constData());
    if (closed) {
        QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 10000);
    } else {
        QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);
        socket.disconnectFromHost();
    }
    QVERIFY(buffer.isEmpty());
    QCOMPARE(sim.stop(), 0);
    QCOMPARE(sim.figure(QStringLiteral("requests")), statuses.size());
    QVERIFY(!sim.lines().join(QLatin1Char('\n')).contains(QLatin1String("Pa55")));
}

void DeviceSimTest::httpStream_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("eol");
    QTest::addColumn<bool>("withLength");
    QTest::addColumn<int>("dropAfter"); // parts before the simulator closes; 0 never

    const QByteArray type = "multipart/x-mixed-replace;boundary=framescope-devicesim-frame";
    QTest::newRow("plain") << httpArgs() << QByteArray("/video.mjpg") << type << QByteArray("\r\n")
                           << true << 0;
    QTest::newRow("own path") << httpArgs({"--http-path", "/cgi-bin/stream.cgi"})
                              << QByteArray("/cgi-bin/stream.cgi?fps=5") << type
                              << QByteArray("\r\n") << true << 0;
    QTest::newRow("quoted") << httpArgs({"--http-style", "quoted"}) << QByteArray("/video.mjpg")
                            << QByteArray("multipart/x-mixed-replace; "
                                          "boundary=\"framescope-devicesim-frame\"")
                            << QByteArray("\r\n") << true << 0;
    QTest::newRow("dashed") << httpArgs({"--http-style", "dashed"}) << QByteArray("/video.mjpg")
                            << QByteArray("multipart/x-mixed-replace;boundary=--framescope-"
                                          "devicesim-frame")
                            << QByteArray("\r\n") << true << 0;
    QTest::newRow("no-length") << httpArgs({"--http-style", "no-length"})
                               << QByteArray("/video.mjpg") << type << QByteArray("\r\n") << false
                               << 0;
    QTest::newRow("quoted, no-length, lf")
        << httpArgs({"--http-style", "quoted,no-length,lf"}) << QByteArray("/video.mjpg")
        << QByteArray("multipart/x-mixed-replace; boundary=\"framescope-devicesim-frame\"")
        << QByteArray("\n") << false << 0;
    QTest::newRow("dropped after 3 frames")
        << httpArgs({"--drop-after", "3"}) << QByteArray("/video.mjpg") << type
        << QByteArray("\r\n") << true << 3;
}

void DeviceSimTest::httpStream()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, eol);
    QFETCH(bool, withLength);
    QFETCH(int, dropAfter);

    SimProcess sim;
    const int port = sim.start(args + QStringList{"--fps", "50"});
    QVERIFY(port > 0);
    const QByteArray delimiter = "--framescope-devicesim-frame" + eol;
    for (int connection = 0; connection < (dropAfter > 0 ? 2 : 1); ++connection) {
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
        QVERIFY(socket.waitForConnected(5000));
        socket.write(get(path));
        QByteArray buffer;
        HttpReply reply;
        QVERIFY(readReply(socket, &buffer, &reply, true));
        QCOMPARE(reply.status, 200);
        QCOMPARE(fieldOf(reply.head, "Content-Type"), contentType);
        const int wanted = dropAfter > 0 ? dropAfter : 4;
        for (int n = 0; n < wanted; ++n) {
            // The part's head, then its body by its length or up to the
            // next delimiter.
            QVERIFY(fill(socket, &buffer, 0, eol + eol));
            QVERIFY2(buffer.startsWith(delimiter), buffer.left(80).constData());
            const qsizetype bodyAt = buffer.indexOf(eol + eol) + 2 * eol.size();
            const QByteArray head = buffer.left(bodyAt);
            QVERIFY(head.contains("Content-Type: image/jpeg" + eol));
            QCOMPARE(head.contains("Content-Length: "), withLength);
            qsizetype length = fieldOf(head, "Content-Length").toLongLong();
            if (!withLength) {
                QVERIFY(fill(socket, &buffer, 0, eol + delimiter));
                length = buffer.indexOf(eol + delimiter, bodyAt) - bodyAt;
            }
            QVERIFY(fill(socket, &buffer, bodyAt + length + eol.size()));
            QVERIFY2(isFrame(buffer.mid(bodyAt, length)), qPrintable(QString::number(n)));
            QCOMPARE(buffer.mid(bodyAt + length, eol.size()), eol);
            buffer.remove(0, bodyAt + length + eol.size());
        }
        if (dropAfter > 0) {
            // The simulator lets the client go after its last part and goes
            // on listening.
            QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 10000);
            buffer += socket.readAll();
            QCOMPARE(buffer.size(), 0);
        }
    }
    QCOMPARE(sim.stop(), 0);
    QCOMPARE(sim.figure(QStringLiteral("dropped")), dropAfter > 0 ? 2 : 0);
    QCOMPARE(sim.figure(QStringLiteral("clients")), dropAfter > 0 ? 2 : 1);
}

void DeviceSimTest::httpHostileClients_data()
{
    QTest::addColumn<QByteArray>("sent");     // by each hostile client
    QTest::addColumn<int>("clients");         // hostile connections held open
    QTest::addColumn<QByteArray>("answer");   // what the first hostile client gets
    QTest::addColumn<bool>("closedByServer"); // the first is let go within 10 s

    QTest::newRow("silent client") << QByteArray() << 1 << QByteArray() << true;
    QTest::newRow("endless field")
        << QByteArray("GET /video.mjpg HTTP/1.1\r\nCookie: ") + QByteArray(4 << 20, 'c') << 1
        << QByteArray("HTTP/1.1 431 ") << true;
    QTest::newRow("half a request")
        << QByteArray("GET /video.mjpg HTTP/1.1\r\nHost:") << 1 << QByteArray() << true;
    QTest::newRow("more silent clients than places") << QByteArray() << 40 << QByteArray() << true;
}

void DeviceSimTest::httpHostileClients()
{
    QFETCH(QByteArray, sent);
    QFETCH(int, clients);
    QFETCH(QByteArray, answer);
    QFETCH(bool, closedByServer);

    SimProcess sim;
    const int port = sim.start(httpArgs({"--fps", "50"}));
    QVERIFY(port > 0);
    std::vector<std::unique_ptr<QTcpSocket>> hostile;
    for (int i = 0; i < clients; ++i) {
        hostile.push_back(std::make_unique<QTcpSocket>());
        hostile.back()->connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
        QVERIFY(hostile.back()->waitForConnected(5000));
        hostile.back()->write(sent);
        hostile.back()->flush();
    }
    QTRY_VERIFY_WITH_TIMEOUT(sim.hasLine(QStringLiteral("client %1 connected").arg(clients)),
                             10000);

    // Others are served meanwhile: a stream and a snapshot.
    QTcpSocket viewer;
    viewer.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    QVERIFY(viewer.waitForConnected(5000));
    viewer.write(get("/snapshot.jpg") + get("/video.mjpg"));
    QByteArray buffer;
    HttpReply reply;
    QVERIFY(readReply(viewer, &buffer, &reply, false));
    QCOMPARE(reply.status, 200);
    QVERIFY(isFrame(reply.body));
    QVERIFY(readReply(viewer, &buffer, &reply, true));
    QCOMPARE(reply.status, 200);
    QVERIFY(fill(viewer, &buffer, 0, "\r\n\r\n"));
    QVERIFY(buffer.startsWith("--framescope-devicesim-frame\r\n"));

    QTcpSocket& first = *hostile.front();
    if (closedByServer)
        QTRY_COMPARE_WITH_TIMEOUT(first.state(), QAbstractSocket::UnconnectedState, 10000);
    const QByteArray got = first.readAll();
    QVERIFY2(got.startsWith(answer), got.left(80).constData());
    QVERIFY(!answer.isEmpty() || got.isEmpty());
    // The viewer's stream goes on.
    QVERIFY(fill(viewer, &buffer, buffer.size() + 10000));
    QCOMPARE(viewer.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(sim.stop(), 0);
}

void DeviceSimTest::httpWithCurl_data()
{
    QTest::addColumn<QString>("auth");
    QTest::addColumn<QStringList>("curlArgs");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("code");
    QTest::addColumn<bool>("frame"); // the output is a snapshot (or else a stream's start)

    const QString account = QStringLiteral("cam:Pa55 w:rd");
    QTest::newRow("digest") << "digest" << QStringList{"--digest", "-u", account} << "/snapshot.jpg"
                            << "200" << true;
    QTest::newRow("basic") << "basic" << QStringList{"--basic", "-u", account} << "/snapshot.jpg"
                           << "200" << true;
    QTest::newRow("either, curl chooses")
        << "any" << QStringList{"--anyauth", "-u", account} << "/snapshot.jpg?x=1"
        << "200" << true;
    QTest::newRow("digest, stream")
        << "digest" << QStringList{"--digest", "-u", account} << "/video.mjpg"
        << "200" << false;
    QTest::newRow("digest, wrong password")
        << "digest" << QStringList{"--digest", "-u", "cam:Pa55 w:rD"} << "/snapshot.jpg"
        << "401" << false;
    QTest::newRow("digest asked, basic given")
        << "digest" << QStringList{"--basic", "-u", account} << "/snapshot.jpg"
        << "401" << false;
}

void DeviceSimTest::httpWithCurl()
{
    QFETCH(QString, auth);
    QFETCH(QStringList, curlArgs);
    QFETCH(QString, path);
    QFETCH(QString, code);
    QFETCH(bool, frame);

    const QString curl = QStandardPaths::findExecutable(QStringLiteral("curl"));
    if (curl.isEmpty())
        QSKIP("curl is not installed (scripts/install-deps.sh test)");
    SimProcess sim;
    const int port =
        sim.start(httpArgs({"--user", "cam", "--password", "Pa55 w:rd", "--auth", auth}));
    QVERIFY(port > 0);
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("out"));
    QProcess p;
    // A stream goes on without end: curl stops it after a second.
    p.start(curl, curlArgs
                      + QStringList{"-s", "-o", out, "-w", "%{http_code}", "--max-time",
                                    frame || code != "200" ? "10" : "1",
                                    QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path)});
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(QString::fromLatin1(p.readAllStandardOutput()), code);
    const QByteArray body = readFile(out);
    if (frame)
        QVERIFY(isFrame(body));
    else if (code == "200")
        QVERIFY(body.startsWith("--framescope-devicesim-frame\r\nContent-Type: image/jpeg\r\n"));
    QCOMPARE(sim.stop(), 0);
    QVERIFY(!sim.lines().join(QLatin1Char('\n')).contains(QLatin1String("Pa55")));
}

QTEST_GUILESS_MAIN(DeviceSimTest)
#include "tst_devicesim.moc"
