// SPDX-License-Identifier: MIT
// An RTSP device against GStreamer's RTSP server (run by rtspserver.py
// through the Python GObject bindings): the session is set up, RTP/JPEG
// arrives over UDP or interleaved TCP, and every frame is pixel-identical
// to what the same jpegenc writes into files; RTP H.264 from x264enc is
// decoded as FFmpeg decodes the same access units. A server that sends only
// to a multicast group runs in a network namespace of its own, joined to
// the test's own namespace by a veth pair: the group's datagrams never reach
// the machine's interfaces, and where no namespace can be made those rows
// skip.
#include "h264decoder.h"
#include "netnamespace.h"
#include "testfiles.h"
#include "threadedworker.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

using LinkState = ImageGetWorker::LinkState;

constexpr int Frames = 40;
const QString Source =
    QStringLiteral("videotestsrc pattern=ball num-buffers=%1 ! "
                   "video/x-raw,format=I420,width=320,height=240,framerate=20/1 ! jpegenc");

// The Python with the system's GObject bindings: the distribution's own
// before any other on the path.
QString python()
{
    const QString system = QStringLiteral("/usr/bin/python3");
    return QFile::exists(system) ? system
                                 : QStandardPaths::findExecutable(QStringLiteral("python3"));
}

const QString H264Source =
    QStringLiteral("videotestsrc pattern=ball num-buffers=%1 ! "
                   "video/x-raw,format=I420,width=320,height=240,framerate=20/1 ! "
                   "x264enc tune=zerolatency key-int-max=10 bframes=0 ! rtph264pay name=pay0");

// The multicast server's namespace: its end of the veth pair and the
// addresses of both ends.
const QString ServerLink = QStringLiteral("fsrv0");
const QString ViewerLink = QStringLiteral("fview0");
const QString ServerAddress = QStringLiteral("10.213.0.2");
const QString ViewerAddress = QStringLiteral("10.213.0.1");

QString serverHost(const QString& lower)
{
    return lower == QLatin1String("mcast") ? ServerAddress : QStringLiteral("127.0.0.1");
}

// The device's keys; a multicast group is joined on the veth end.
QVariantMap deviceKeys(const QString& url, const QString& clientLower, const QString& serverLower)
{
    QVariantMap keys{{QStringLiteral("url"), url}, {QStringLiteral("rtsp_transport"), clientLower}};
    if (serverLower == QLatin1String("mcast"))
        keys.insert(QStringLiteral("interface"), ViewerLink);
    return keys;
}

bool run(const QString& command, QString* error)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
    if (p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        return true;
    *error = command + QStringLiteral(": ") + QString::fromLocal8Bit(p.readAll()).trimmed();
    return false;
}

// Inside the test's namespace: starts `server` in a namespace of its own
// (unshare --net), moves one end of a new veth pair into it and gives both
// ends an address and the route for multicast groups, then lets the child
// run `command`.
bool startInChildNamespace(QProcess& server, const QString& command, QString* error)
{
    const QString child =
        QStringLiteral("echo ready; read go; ip link set lo up && ip addr add %1/30 dev %2 && "
                       "ip link set %2 up && ip route add 224.0.0.0/4 dev %2 && exec %3")
            .arg(ServerAddress, ServerLink, command);
    server.start(QStringLiteral("unshare"),
                 {QStringLiteral("--net"), QStringLiteral("--"), QStringLiteral("/bin/sh"),
                  QStringLiteral("-c"), child});
    if (!server.waitForStarted(10000) || !server.waitForReadyRead(10000)
        || server.readLine().trimmed() != "ready") {
        *error = QStringLiteral("the server's namespace was not made: ")
                 + QString::fromLocal8Bit(server.readAllStandardError());
        return false;
    }
    // unshare runs the shell in its own process: the child's namespace.
    // The pair of a previous row may not be gone yet with its namespace.
    if (!run(QStringLiteral("ip link del %1 2>/dev/null; "
                            "ip link add %1 type veth peer name %2 netns %3 && "
                            "ip addr add %4/30 dev %1 && ip link set %1 up")
                 .arg(ViewerLink, ServerLink)
                 .arg(server.processId())
                 .arg(ViewerAddress),
             error))
        return false;
    server.write("go\n");
    return true;
}

// Starts rtspserver.py serving `launch` over `lower` (for mcast, in a
// namespace of its own); its port, or nothing with the reason in `skip`
// (the server cannot run here) or `error`.
QString startServer(QProcess& server, const QString& interpreter, const QString& script,
                    const QString& lower, const QString& launch, QString* skip, QString* error)
{
    server.setProcessChannelMode(QProcess::SeparateChannels);
    if (lower == QLatin1String("mcast")) {
        const auto quoted = [](QString text) {
            return QLatin1Char('\'') + text.replace(QLatin1Char('\''), QLatin1String("'\\''"))
                   + QLatin1Char('\'');
        };
        if (!startInChildNamespace(server,
                                   quoted(interpreter) + QLatin1Char(' ') + quoted(script)
                                       + QStringLiteral(" mcast ") + quoted(launch)
                                       + QLatin1Char(' ') + ServerAddress,
                                   error))
            return {};
    } else {
        server.start(interpreter, {script, lower, launch});
    }
    if (!server.waitForStarted(10000) || !server.waitForReadyRead(20000)) {
        *error = QStringLiteral("the RTSP server did not start: ")
                 + QString::fromLocal8Bit(server.readAllStandardError());
        return {};
    }
    const QString first = QString::fromLocal8Bit(server.readLine()).trimmed();
    if (server.waitForFinished(0) && server.exitCode() == 77) {
        *skip = QStringLiteral("the RTSP server cannot run: ") + first;
        return {};
    }
    const QRegularExpressionMatch port =
        QRegularExpression(QStringLiteral("^port (\\d+)$")).match(first);
    if (!port.hasMatch())
        *error = first;
    return port.captured(1);
}

void stopServer(QProcess& server)
{
    server.closeWriteChannel();
    if (!server.waitForFinished(5000)) {
        server.kill();
        server.waitForFinished(5000);
    }
}

QImage decode(const QByteArray& jpeg)
{
    return QImage::fromData(jpeg, "JPEG").convertToFormat(QImage::Format_RGB32);
}

} // namespace

class tst_RtspInterop : public QObject
{
    Q_OBJECT

private slots:
    void multicastInNetworkNamespace();
    void gstreamerServer_data();
    void gstreamerServer();
    void gstreamerH264_data();
    void gstreamerH264();
};

// Runs the multicast rows again in a namespace of their own.
void tst_RtspInterop::multicastInNetworkNamespace()
{
    if (const QString skip = netnamespace::skipReason(QStringLiteral("GStreamer's multicast RTSP"));
        !skip.isEmpty())
        QSKIP(qPrintable(skip));
    const QStringList rows{QStringLiteral("gstreamerServer:multicast"),
                           QStringLiteral("gstreamerH264:multicast")};
    QByteArray output;
    QVERIFY2(netnamespace::runSelfInside(rows, 60000, &output) == 0, output.constData());
    QVERIFY2(netnamespace::rowsPassed(output, rows, true), output.constData());
    qInfo("%s", output.constData());
}

// Only inside the test's namespace, where the server gets one of its own.
bool multicastHere(const QString& lower)
{
    return lower != QLatin1String("mcast") || netnamespace::inside();
}

void tst_RtspInterop::gstreamerServer_data()
{
    QTest::addColumn<QString>("serverLower");
    QTest::addColumn<QString>("clientLower");
    QTest::addColumn<bool>("fellBack");

    QTest::newRow("udp") << "udp"
                         << "udp" << false;
    QTest::newRow("interleaved tcp") << "tcp"
                                     << "tcp" << false;
    QTest::newRow("auto against a server refusing udp") << "tcp"
                                                        << "auto" << true;
    // The device joins the group on the interface named.
    QTest::newRow("multicast") << "mcast"
                               << "udp" << false;
}

void tst_RtspInterop::gstreamerServer()
{
    QFETCH(QString, serverLower);
    QFETCH(QString, clientLower);
    QFETCH(bool, fellBack);
    if (!multicastHere(serverLower))
        QSKIP("runs inside the test's own network namespace, from multicastInNetworkNamespace()");

    const QString interpreter = python();
    if (interpreter.isEmpty())
        QSKIP("not installed: python3");
    if (QStandardPaths::findExecutable(QStringLiteral("gst-launch-1.0")).isEmpty())
        QSKIP("not installed: gst-launch-1.0");

    // The frames the server's pipeline encodes, written by the same jpegenc.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess encode;
    encode.setWorkingDirectory(dir.path());
    encode.setProcessChannelMode(QProcess::MergedChannels);
    encode.start(
        QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"), QStringLiteral("exec gst-launch-1.0 -q ") + Source.arg(Frames)
                                   + QStringLiteral(" ! multifilesink location=f%05d.jpg")});
    QVERIFY(encode.waitForFinished(60000));
    QVERIFY2(encode.exitCode() == 0, encode.readAll().constData());
    QList<QImage> expected;
    for (int i = 0; i < Frames; ++i) {
        expected.append(decode(
            readFile(dir.filePath(QStringLiteral("f%1.jpg").arg(i, 5, 10, QLatin1Char('0'))))));
        QVERIFY(!expected.last().isNull());
    }

    QProcess server;
    QString skip;
    QString error;
    const QString port =
        startServer(server, interpreter, QFINDTESTDATA("rtspserver.py"), serverLower,
                    Source.arg(Frames) + QStringLiteral(" ! rtpjpegpay name=pay0"), &skip, &error);
    if (!skip.isEmpty())
        QSKIP(qPrintable(skip));
    QVERIFY2(!port.isEmpty(), qPrintable(error));

    const QString url = QStringLiteral("rtsp://%1:%2/test").arg(serverHost(serverLower), port);
    // From the stop request to the worker's end, TEARDOWN included: shown,
    // not asserted.
    QElapsedTimer stopping;
    {
        ThreadedWorker worker(QStringLiteral("RTSP"), deviceKeys(url, clientLower, serverLower));
        worker.worker()->setReferenceHeaderFile(dir.filePath(QStringLiteral("absent.jpg")));
        worker.start(QString(), 0);
        worker.request();
        QTRY_VERIFY_WITH_TIMEOUT(worker.frames.size() >= 10, 20000);
        QVERIFY(worker.states().contains(LinkState::Connected));
        const QString notices = worker.notices.join(QLatin1Char('\n'));
        QCOMPARE(notices.contains(QLatin1String("trying RTP interleaved over TCP")), fellBack);
        QCOMPARE(notices.contains(
                     QLatin1String("RTSP: receiving multicast group 239.255.42.1 port 5000")),
                 serverLower == QLatin1String("mcast"));

        // Each frame is one of the encoded ones, in order, pixel for pixel.
        int next = 0;
        for (qsizetype i = 0; i < worker.frames.size(); ++i) {
            QCOMPARE(worker.types[i], QStringLiteral("image/jpeg"));
            const QImage image = decode(worker.frames[i]);
            QVERIFY2(!image.isNull(),
                     qPrintable(QStringLiteral("frame %1 does not decode").arg(i)));
            while (next < Frames && image != expected[next])
                ++next;
            QVERIFY2(next < Frames,
                     qPrintable(QStringLiteral("frame %1 matches no encoded frame after the "
                                               "previous one")
                                    .arg(i)));
        }
        // The packets went through the RTP path's counters; inside a TCP
        // connection none can be lost.
        const RtpCounters& rtp = worker.worker()->rtpCounters();
        QVERIFY(rtp.expected.load() > 0);
        if (clientLower != QLatin1String("udp"))
            QCOMPARE(rtp.lost.load(), 0);
        qInfo("%s: %lld frames compared, all pixel-identical", QTest::currentDataTag(),
              qint64(worker.frames.size()));
        stopping.start();
    }
    qInfo("stopped within %lld ms", stopping.elapsed());
    stopServer(server);
}

void tst_RtspInterop::gstreamerH264_data()
{
    QTest::addColumn<QString>("lower");
    QTest::newRow("udp") << "udp";
    QTest::newRow("interleaved tcp") << "tcp";
    QTest::newRow("multicast") << "mcast";
}

// x264enc's stream over RTSP: the access units the device delivers decode
// as FFmpeg decodes them, picture for picture, within the rounding of the
// two YUV to RGB conversions.
void tst_RtspInterop::gstreamerH264()
{
    QFETCH(QString, lower);
    if (!multicastHere(lower))
        QSKIP("runs inside the test's own network namespace, from multicastInNetworkNamespace()");
    const QString interpreter = python();
    if (interpreter.isEmpty())
        QSKIP("not installed: python3");
    const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    if (ffmpeg.isEmpty())
        QSKIP("not installed: ffmpeg");

    QProcess server;
    QString skip;
    QString error;
    const QString port = startServer(server, interpreter, QFINDTESTDATA("rtspserver.py"), lower,
                                     H264Source.arg(Frames), &skip, &error);
    if (!skip.isEmpty())
        QSKIP(qPrintable(skip));
    QVERIFY2(!port.isEmpty(), qPrintable(error));

    QList<QByteArray> units;
    {
        ThreadedWorker worker(
            QStringLiteral("RTSP"),
            deviceKeys(QStringLiteral("rtsp://%1:%2/test").arg(serverHost(lower), port),
                       lower == QLatin1String("mcast") ? QStringLiteral("udp") : lower, lower));
        worker.start(QString(), 0);
        worker.request();
        QTRY_VERIFY_WITH_TIMEOUT(worker.frames.size() >= 20, 20000);
        QVERIFY(worker.types.count(QStringLiteral("video/h264")) == worker.types.size());
        units = worker.frames;
        if (lower == QLatin1String("tcp"))
            QCOMPARE(worker.worker()->rtpCounters().lost.load(), 0);
    }
    stopServer(server);

    // FFmpeg's decode of the same access units, one after the other.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile stream(dir.filePath(QStringLiteral("units.h264")));
    QVERIFY(stream.open(QIODevice::WriteOnly));
    for (const QByteArray& unit : std::as_const(units))
        stream.write(unit);
    stream.close();
    QProcess reference;
    reference.setProcessChannelMode(QProcess::MergedChannels);
    reference.start(ffmpeg,
                    {"-hide_banner", "-loglevel", "error", "-y", "-i", stream.fileName(), "-f",
                     "rawvideo", "-pix_fmt", "rgb24", dir.filePath(QStringLiteral("units.rgb"))});
    QVERIFY(reference.waitForFinished(30000));
    QVERIFY2(reference.exitCode() == 0, reference.readAll().constData());
    const QByteArray rgb = readFile(dir.filePath(QStringLiteral("units.rgb")));
    constexpr int Width = 320;
    constexpr int Height = 240;
    constexpr qsizetype PictureBytes = Width * Height * 3;

    H264Decoder decoder;
    qsizetype picture = 0;
    int worst = 0;
    for (const QByteArray& unit : std::as_const(units)) {
        const H264Decoder::Result result =
            decoder.decode(reinterpret_cast<const unsigned char*>(unit.constData()),
                           int(unit.size()), DefaultMaxPixels);
        QCOMPARE(int(result.outcome), int(H264Decoder::Outcome::Picture));
        QCOMPARE(result.image.size(), QSize(Width, Height));
        QVERIFY((picture + 1) * PictureBytes <= rgb.size());
        const auto* ref =
            reinterpret_cast<const unsigned char*>(rgb.constData()) + picture * PictureBytes;
        for (int y = 0; y < Height; ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(result.image.constScanLine(y));
            for (int x = 0; x < Width; ++x, ref += 3) {
                worst = std::max({worst, std::abs(qRed(line[x]) - ref[0]),
                                  std::abs(qGreen(line[x]) - ref[1]),
                                  std::abs(qBlue(line[x]) - ref[2])});
            }
        }
        ++picture;
    }
    QCOMPARE(picture * PictureBytes, rgb.size());
    QVERIFY2(worst <= 3, qPrintable(QString::number(worst)));
    qInfo("%s: %lld H.264 pictures compared with FFmpeg's decode, largest difference %d",
          QTest::currentDataTag(), qint64(picture), worst);
}

QTEST_GUILESS_MAIN(tst_RtspInterop)
#include "tst_rtspinterop.moc"
