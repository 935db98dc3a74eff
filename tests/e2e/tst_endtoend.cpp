// SPDX-License-Identifier: MIT
// The framescope executable against framescope-devicesim processes on
// 127.0.0.1: every transport, impaired and hostile streams, reconnects and
// a prompt exit. What the viewer does is read from its log files and from
// the simulators' reports (connections, figures).
#include "simprocess.h"

#include "testfiles.h"
#include "viewerprocess.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Device
{
    QString protocol;
    int port = 0;
    int sizeX = 160;
    int sizeY = 120;
    QString logfile;
};

// The configuration of `devices` as `path`.
void writeIni(const QString& path, const QList<Device>& devices)
{
    QByteArray ini;
    for (int i = 0; i < devices.size(); ++i) {
        const Device& d = devices[i];
        ini += deviceGroup(i, d.port,
                           QStringLiteral("protocol=%1\nsizeX=%2\nsizeY=%3\n")
                               .arg(d.protocol)
                               .arg(d.sizeX)
                               .arg(d.sizeY));
        if (!d.logfile.isEmpty())
            ini += "logfile=" + d.logfile.toUtf8() + "\n";
    }
    writeFile(path, ini);
}

constexpr int HistogramTimeoutMs = 40000;

bool hasHistogram(const QString& log, int frame)
{
    return readFile(log).contains(QStringLiteral("MARK histogram frame%1 ").arg(frame).toUtf8());
}

} // namespace

class EndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void framesArrive_data();
    void framesArrive();
    void rtpLossReorderSsrcChange();
    void quietDeviceReconnects();
    void killedDeviceReconnects();
    void badStreams_data();
    void badStreams();
    void exitsPromptlyWhileStreaming();

private:
    QString path(const QString& name) const { return m_dir.filePath(name); }
    // Writes the devices' configuration as `name`.ini and starts the viewer
    // on it.
    bool startViewer(ViewerProcess& viewer, const QString& name, const QList<Device>& devices)
    {
        writeIni(path(name + QStringLiteral(".ini")), devices);
        return viewer.start(QStringLiteral(FRAMESCOPE_BIN), path(name + QStringLiteral(".ini")),
                            m_dir.path());
    }
    // Starts the simulator (`simArgs` and a port) and the viewer on `device`
    // in the order its protocol needs: a TCP simulator first, for the port
    // it listens on; for datagrams the viewer first, bound to a free port
    // the simulator then sends to.
    bool startBoth(SimProcess& sim, ViewerProcess& viewer, const QString& name, Device device,
                   const QString& simArgs)
    {
        const QString args =
            QStringLiteral("--mode %1 %2 --port ").arg(device.protocol.toLower(), simArgs);
        if (device.protocol == QLatin1String("TCP")) {
            device.port = sim.start(args + QLatin1Char('0'));
            return device.port > 0 && startViewer(viewer, name, {device});
        }
        device.port = freeUdpPort();
        return device.port > 0 && startViewer(viewer, name, {device})
               && QTest::qWaitFor([&] { return udpPortTaken(device.port); }, 10000)
               && sim.start(args + QString::number(device.port)) > 0;
    }
    QTemporaryDir m_dir;
};

void EndToEndTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(QFile::exists(QStringLiteral(FRAMESCOPE_BIN)));
    QVERIFY(QFile::exists(QStringLiteral(DEVICESIM_BIN)));
}

void EndToEndTest::framesArrive_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QString>("content");
    QTest::newRow("tcp JPEG") << QStringLiteral("TCP") << QStringLiteral("jpeg");
    QTest::newRow("udp raw gray") << QStringLiteral("UDP") << QStringLiteral("gray");
    QTest::newRow("udp JPEG") << QStringLiteral("UDP") << QStringLiteral("jpeg");
}

void EndToEndTest::framesArrive()
{
    QFETCH(QString, protocol);
    QFETCH(QString, content);
    const QString name = protocol.toLower() + QLatin1Char('-') + content;
    const QString log = path(name + QStringLiteral(".log"));
    SimProcess sim;
    ViewerProcess viewer;
    QVERIFY(
        startBoth(sim, viewer, name, {protocol, 0, 160, 120, log},
                  QStringLiteral("--content %1 --width 160 --height 120 --fps 500 --duration 60")
                      .arg(content)));
    QTRY_VERIFY_WITH_TIMEOUT(hasHistogram(log, 1000), HistogramTimeoutMs);
    QVERIFY(viewer.running());
    if (protocol == QLatin1String("TCP")) {
        // One connection served the whole run.
        QVERIFY(sim.hasLine(QStringLiteral("client 1 connected")));
        QVERIFY(!sim.hasLine(QStringLiteral("client 2 connected")));
    }
    QCOMPARE(viewer.stop(), 0);
    QVERIFY2(!viewer.output().contains("null image"), viewer.output().constData());
}

void EndToEndTest::rtpLossReorderSsrcChange()
{
    const int port = freeUdpPort();
    QVERIFY(port > 0);
    const QString log = path(QStringLiteral("rtp.log"));
    // The working directory holds no reference.jpg: the built-in header,
    // which fits type 65 with interval 60.
    ViewerProcess viewer;
    QVERIFY(startViewer(viewer, QStringLiteral("rtp"), {{"RTP", port, 160, 128, log}}));
    QTRY_VERIFY_WITH_TIMEOUT(udpPortTaken(port), 10000);

    // 1300 frames with 3 % loss, 1 % reordering and duplication, two SSRC
    // changes, and sequence numbers that wrap.
    SimProcess lossy;
    QVERIFY(lossy.start(
                QStringLiteral("--mode rtp --port %1 --width 160 --height 128 --fps 300 --count "
                               "1300 --payload-size 300 --loss 3 --reorder 1 --duplicate 1 --seed "
                               "11 --ssrc-change-every 500 --first-sequence 60000")
                    .arg(port))
            > 0);
    QVERIFY(lossy.waitFinished(60000));
    QCOMPARE(lossy.exitCode(), 0);
    // A clean stream from another source follows: the viewer synchronises
    // on it, and its frames carry the last log lines of the lossy run, which
    // reach the log file with the next delivered frame.
    SimProcess clean;
    QVERIFY(clean.start(QStringLiteral("--mode rtp --port %1 --width 160 --height 128 --fps 300 "
                                       "--duration 60 --ssrc 0x777")
                            .arg(port))
            > 0);
    QTRY_VERIFY_WITH_TIMEOUT(hasHistogram(log, 1000), HistogramTimeoutMs);
    QCOMPARE(clean.stop(), 0);
    const QByteArray text = readFile(log);
    QVERIFY(text.contains("MARK 64k packets"));

    // The gaps the viewer logged are the packets the sender dropped, plus
    // those it sent behind their successor. Around an SSRC change the
    // viewer starts counting afresh, so it may count a few frames' worth
    // fewer, never more.
    long long missed = 0;
    int gapLines = 0;
    static const QRegularExpression gap(QStringLiteral("missed (\\d+) packets after (\\d+)"));
    for (auto it = gap.globalMatch(QString::fromLatin1(text)); it.hasNext();) {
        missed += it.next().captured(1).toLongLong();
        ++gapLines;
    }
    const long long dropped = lossy.figure(QStringLiteral("dropped"));
    const long long reordered = lossy.figure(QStringLiteral("reordered"));
    const long long packets = lossy.figure(QStringLiteral("packets"));
    QVERIFY(dropped > 0 && reordered > 0 && packets > 0);
    QCOMPARE(lossy.figure(QStringLiteral("ssrc-changes")), 2);
    const long long perFrame = packets / 1300 + 1;
    const long long slack = 2 * perFrame * (2 + 2);
    qInfo("logged %lld missed packets in %d gap lines; sender dropped %lld, reordered %lld", missed,
          gapLines, dropped, reordered);
    QVERIFY(gapLines > 0);
    QVERIFY2(missed <= dropped + reordered && missed >= dropped + reordered - slack,
             qPrintable(QStringLiteral("logged %1, dropped %2, reordered %3, slack %4")
                            .arg(missed)
                            .arg(dropped)
                            .arg(reordered)
                            .arg(slack)));
    QCOMPARE(viewer.stop(), 0);
}

void EndToEndTest::quietDeviceReconnects()
{
    // The device goes quiet for 2 s every 400 frames: the viewer gives up
    // after 1 s of silence and connects again.
    SimProcess sim;
    ViewerProcess viewer;
    const QString log = path(QStringLiteral("quiet.log"));
    QVERIFY(startBoth(sim, viewer, QStringLiteral("quiet"), {"TCP", 0, 160, 120, log},
                      QStringLiteral("--width 160 --height 120 --fps 300 --pause-every 400 "
                                     "--pause-ms 2000 --duration 60")));

    QTRY_VERIFY_WITH_TIMEOUT(sim.hasLine(QStringLiteral("client 1 connected")), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(sim.hasLine(QStringLiteral("pause of")), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(sim.hasLine(QStringLiteral("client 2 connected")), 10000);
    const qint64 after = sim.lineTime(QStringLiteral("client 2 connected"))
                         - sim.lineTime(QStringLiteral("pause of"));
    qInfo("reconnected %lld ms after the device went quiet", after);
    // 1 s of silence, then the next reconnect tick (every 1 s).
    QVERIFY2(after >= 900 && after <= 3000, qPrintable(QString::number(after)));
    // Frames flow again after each pause.
    QTRY_VERIFY_WITH_TIMEOUT(hasHistogram(log, 1000), HistogramTimeoutMs);
    QCOMPARE(viewer.stop(), 0);
}

void EndToEndTest::killedDeviceReconnects()
{
    SimProcess first;
    const int port = first.start(
        QStringLiteral("--mode tcp --port 0 --width 160 --height 120 --fps 100 --duration 60"));
    QVERIFY(port > 0);
    ViewerProcess viewer;
    QVERIFY(startViewer(viewer, QStringLiteral("killed"), {{"TCP", port, 160, 120, QString()}}));
    QTRY_VERIFY_WITH_TIMEOUT(first.hasLine(QStringLiteral("client 1 connected")), 10000);

    first.stop(true);
    SimProcess second;
    QCOMPARE(
        second.start(
            QStringLiteral("--mode tcp --port %1 --width 160 --height 120 --fps 100 --duration 60")
                .arg(port)),
        port);
    QTRY_VERIFY_WITH_TIMEOUT(second.hasLine(QStringLiteral("client 1 connected")), 10000);
    const qint64 after = second.lineTime(QStringLiteral("client 1 connected"))
                         - second.lineTime(QStringLiteral("listening on"));
    qInfo("reconnected %lld ms after the device was restarted", after);
    QVERIFY2(after <= 3000, qPrintable(QString::number(after)));
    QCOMPARE(viewer.stop(), 0);
}

void EndToEndTest::badStreams_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("content");
    QTest::newRow("tcp JPEG") << QStringLiteral("tcp") << QStringLiteral("jpeg");
    QTest::newRow("tcp raw gray") << QStringLiteral("tcp") << QStringLiteral("gray");
    QTest::newRow("udp JPEG") << QStringLiteral("udp") << QStringLiteral("jpeg");
    QTest::newRow("rtp") << QStringLiteral("rtp") << QStringLiteral("jpeg");
}

void EndToEndTest::badStreams()
{
    QFETCH(QString, mode);
    QFETCH(QString, content);

    // Every other frame comes with a broken item; the viewer keeps showing
    // frames and ends cleanly.
    const QString tag = mode + content;
    const QString log = path(QStringLiteral("bad-%1.log").arg(tag));
    SimProcess sim;
    ViewerProcess viewer;
    QVERIFY(startBoth(sim, viewer, QStringLiteral("bad-") + tag, {mode.toUpper(), 0, 160, 128, log},
                      QStringLiteral("--width 160 --height 128 --fps 500 --content %1 "
                                     "--bad-every 2 --duration 60 --seed 3")
                          .arg(content)));
    QTRY_VERIFY_WITH_TIMEOUT(hasHistogram(log, 1000), HistogramTimeoutMs);
    QVERIFY(viewer.running());
    QCOMPARE(sim.stop(), 0);
    QVERIFY(sim.figure(QStringLiteral("bad")) >= 100);
    // On failure, the end of what the viewer printed (a sanitizer report).
    QVERIFY2(viewer.stop() == 0, viewer.output().right(4000).constData());
}

void EndToEndTest::exitsPromptlyWhileStreaming()
{
    SimProcess tcp;
    const int tcpPort = tcp.start(
        QStringLiteral("--mode tcp --port 0 --width 160 --height 120 --fps 200 --duration 60"));
    QVERIFY(tcpPort > 0);
    const int udpPort = freeUdpPort();
    int rtpPort = freeUdpPort();
    for (int i = 0; i < 10 && rtpPort == udpPort; ++i)
        rtpPort = freeUdpPort();
    QVERIFY(udpPort > 0 && rtpPort > 0 && udpPort != rtpPort);
    const QString log = path(QStringLiteral("three.log"));
    ViewerProcess viewer;
    QVERIFY(startViewer(viewer, QStringLiteral("three"),
                        {{"TCP", tcpPort, 160, 120, QString()},
                         {"UDP", udpPort, 160, 120, QString()},
                         {"RTP", rtpPort, 160, 128, log}}));
    QTRY_VERIFY_WITH_TIMEOUT(udpPortTaken(udpPort) && udpPortTaken(rtpPort), 10000);
    SimProcess udp;
    QVERIFY(udp.start(QStringLiteral("--mode udp --port %1 --content gray --width 160 --height 120 "
                                     "--fps 200 --duration 60")
                          .arg(udpPort))
            > 0);
    SimProcess rtp;
    QVERIFY(rtp.start(QStringLiteral(
                          "--mode rtp --port %1 --width 160 --height 128 --fps 200 --duration 60")
                          .arg(rtpPort))
            > 0);
    QTRY_VERIFY_WITH_TIMEOUT(hasHistogram(log, 1000), HistogramTimeoutMs);

    QElapsedTimer closing;
    closing.start();
    QCOMPARE(viewer.stop(), 0);
    qInfo("exited %lld ms after SIGTERM", closing.elapsed());
    QVERIFY2(closing.elapsed() < 2500, qPrintable(QString::number(closing.elapsed())));
}

QTEST_GUILESS_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
