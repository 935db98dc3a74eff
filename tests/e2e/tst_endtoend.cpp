// SPDX-License-Identifier: MIT
// The framescope executable against framescope-devicesim processes on
// 127.0.0.1: every transport, impaired and hostile streams, reconnects and
// a prompt exit. What the viewer does is read from its log files and from
// the simulators' reports (connections, figures).
#include "simprocess.h"

#include "testfiles.h"

#include <QDir>
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

void writeIni(const QString& path, const QList<Device>& devices)
{
    QByteArray ini;
    for (int i = 0; i < devices.size(); ++i) {
        const Device& d = devices[i];
        ini += QStringLiteral("[dev%1]\nhost=127.0.0.1\nport=%2\nprotocol=%3\nsizeX=%4\nsizeY=%5\n")
                   .arg(i)
                   .arg(d.port)
                   .arg(d.protocol)
                   .arg(d.sizeX)
                   .arg(d.sizeY)
                   .toUtf8();
        if (!d.logfile.isEmpty())
            ini += "logfile=" + d.logfile.toUtf8() + "\n";
    }
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(ini);
}

// The framescope executable on the offscreen platform, in its own working
// directory.
class ViewerProcess
{
public:
    ~ViewerProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    bool start(const QString& iniPath, const QString& workDir)
    {
        m_process.setProcessEnvironment(viewerEnvironment(workDir));
        m_process.setWorkingDirectory(workDir);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QStringLiteral(FRAMESCOPE_BIN), {iniPath});
        return m_process.waitForStarted(10000);
    }
    bool running() const { return m_process.state() == QProcess::Running; }
    // SIGTERM, as a desktop session ending the program would send.
    void terminate() { m_process.terminate(); }
    bool waitFinished(int ms) { return m_process.waitForFinished(ms); }
    int exitCode() const
    {
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    QByteArray output() { return m_output += m_process.readAll(); }

private:
    QProcess m_process;
    QByteArray m_output;
};

constexpr int HistogramTimeoutMs = 40000;

bool hasHistogram(const QString& log, int frame)
{
    return readWholeFile(log).contains(
        QStringLiteral("MARK histogram frame%1 ").arg(frame).toUtf8());
}

} // namespace

class EndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void tcpJpegHistogram();
    void udpFramesArrive_data();
    void udpFramesArrive();
    void rtpLossReorderSsrcChange();
    void quietDeviceReconnects();
    void killedDeviceReconnects();
    void badStreams_data();
    void badStreams();
    void exitsPromptlyWhileStreaming();

private:
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
};

void EndToEndTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(QFile::exists(QStringLiteral(FRAMESCOPE_BIN)));
    QVERIFY(QFile::exists(QStringLiteral(DEVICESIM_BIN)));
}

void EndToEndTest::tcpJpegHistogram()
{
    SimProcess sim;
    const int port = sim.start({"--mode", "tcp", "--port", "0", "--width", "160", "--height", "120",
                                "--fps", "500", "--duration", "60"});
    QVERIFY(port > 0);
    const QString log = path(QStringLiteral("tcp.log"));
    writeIni(path(QStringLiteral("tcp.ini")), {{"TCP", port, 160, 120, log}});
    ViewerProcess viewer;
    QVERIFY(viewer.start(path(QStringLiteral("tcp.ini")), m_dir.path()));

    QTRY_VERIFY_WITH_TIMEOUT(hasHistogram(log, 1000), HistogramTimeoutMs);
    QVERIFY(viewer.running());
    // One connection served the whole run.
    QVERIFY(sim.hasLine(QStringLiteral("client 1 connected")));
    QVERIFY(!sim.hasLine(QStringLiteral("client 2 connected")));
    viewer.terminate();
    QVERIFY(viewer.waitFinished(10000));
    QCOMPARE(viewer.exitCode(), 0);
    QVERIFY2(!viewer.output().contains("null image"), viewer.output().constData());
}

void EndToEndTest::udpFramesArrive_data()
{
    QTest::addColumn<QString>("content");
    QTest::newRow("raw gray") << QStringLiteral("gray");
    QTest::newRow("JPEG") << QStringLiteral("jpeg");
}

void EndToEndTest::udpFramesArrive()
{
    QFETCH(QString, content);
    const int port = freeUdpPort();
    QVERIFY(port > 0);
    const QString log = path(QStringLiteral("udp-%1.log").arg(content));
    const QString ini = path(QStringLiteral("udp-%1.ini").arg(content));
    writeIni(ini, {{"UDP", port, 160, 120, log}});
    ViewerProcess viewer;
    QVERIFY(viewer.start(ini, m_dir.path()));
    QTRY_VERIFY_WITH_TIMEOUT(udpPortTaken(port), 10000);

    SimProcess sim;
    QVERIFY(sim.start({"--mode", "udp", "--port", QString::number(port), "--content", content,
                       "--width", "160", "--height", "120", "--fps", "500", "--duration", "60"})
            > 0);
    QTRY_VERIFY_WITH_TIMEOUT(hasHistogram(log, 1000), HistogramTimeoutMs);
    viewer.terminate();
    QVERIFY(viewer.waitFinished(10000));
    QCOMPARE(viewer.exitCode(), 0);
    QVERIFY2(!viewer.output().contains("null image"), viewer.output().constData());
}

void EndToEndTest::rtpLossReorderSsrcChange()
{
    const int port = freeUdpPort();
    QVERIFY(port > 0);
    const QString log = path(QStringLiteral("rtp.log"));
    const QString ini = path(QStringLiteral("rtp.ini"));
    writeIni(ini, {{"RTP", port, 160, 128, log}});
    // The working directory holds no reference.jpg: the built-in header,
    // which fits type 65 with interval 60.
    ViewerProcess viewer;
    QVERIFY(viewer.start(ini, m_dir.path()));
    QTRY_VERIFY_WITH_TIMEOUT(udpPortTaken(port), 10000);

    // 1300 frames with 3 % loss, 1 % reordering and duplication, two SSRC
    // changes, and sequence numbers that wrap.
    SimProcess lossy;
    QVERIFY(lossy.start({"--mode",
                         "rtp",
                         "--port",
                         QString::number(port),
                         "--width",
                         "160",
                         "--height",
                         "128",
                         "--fps",
                         "300",
                         "--count",
                         "1300",
                         "--payload-size",
                         "300",
                         "--loss",
                         "3",
                         "--reorder",
                         "1",
                         "--duplicate",
                         "1",
                         "--seed",
                         "11",
                         "--ssrc-change-every",
                         "500",
                         "--first-sequence",
                         "60000"})
            > 0);
    QVERIFY(lossy.waitFinished(60000));
    QCOMPARE(lossy.exitCode(), 0);
    // A clean stream from another source follows: the viewer synchronises
    // on it, and its frames carry the last log lines of the lossy run, which
    // reach the log file with the next delivered frame.
    SimProcess clean;
    QVERIFY(clean.start({"--mode", "rtp", "--port", QString::number(port), "--width", "160",
                         "--height", "128", "--fps", "300", "--duration", "60", "--ssrc", "0x777"})
            > 0);
    QTRY_VERIFY_WITH_TIMEOUT(hasHistogram(log, 1000), HistogramTimeoutMs);
    QCOMPARE(clean.stop(), 0);
    const QByteArray text = readWholeFile(log);
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
    viewer.terminate();
    QVERIFY(viewer.waitFinished(10000));
    QCOMPARE(viewer.exitCode(), 0);
}

void EndToEndTest::quietDeviceReconnects()
{
    // The device goes quiet for 2 s every 400 frames: the viewer gives up
    // after 1 s of silence and connects again.
    SimProcess sim;
    const int port =
        sim.start({"--mode", "tcp", "--port", "0", "--width", "160", "--height", "120", "--fps",
                   "300", "--pause-every", "400", "--pause-ms", "2000", "--duration", "60"});
    QVERIFY(port > 0);
    const QString log = path(QStringLiteral("quiet.log"));
    writeIni(path(QStringLiteral("quiet.ini")), {{"TCP", port, 160, 120, log}});
    ViewerProcess viewer;
    QVERIFY(viewer.start(path(QStringLiteral("quiet.ini")), m_dir.path()));

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
    viewer.terminate();
    QVERIFY(viewer.waitFinished(10000));
    QCOMPARE(viewer.exitCode(), 0);
}

void EndToEndTest::killedDeviceReconnects()
{
    SimProcess first;
    const int port = first.start({"--mode", "tcp", "--port", "0", "--width", "160", "--height",
                                  "120", "--fps", "100", "--duration", "60"});
    QVERIFY(port > 0);
    writeIni(path(QStringLiteral("killed.ini")), {{"TCP", port, 160, 120, QString()}});
    ViewerProcess viewer;
    QVERIFY(viewer.start(path(QStringLiteral("killed.ini")), m_dir.path()));
    QTRY_VERIFY_WITH_TIMEOUT(first.hasLine(QStringLiteral("client 1 connected")), 10000);

    first.stop(true);
    SimProcess second;
    QCOMPARE(second.start({"--mode", "tcp", "--port", QString::number(port), "--width", "160",
                           "--height", "120", "--fps", "100", "--duration", "60"}),
             port);
    QTRY_VERIFY_WITH_TIMEOUT(second.hasLine(QStringLiteral("client 1 connected")), 10000);
    const qint64 after = second.lineTime(QStringLiteral("client 1 connected"))
                         - second.lineTime(QStringLiteral("listening on"));
    qInfo("reconnected %lld ms after the device was restarted", after);
    QVERIFY2(after <= 3000, qPrintable(QString::number(after)));
    viewer.terminate();
    QVERIFY(viewer.waitFinished(10000));
    QCOMPARE(viewer.exitCode(), 0);
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
    const QString ini = path(QStringLiteral("bad-%1.ini").arg(tag));
    const QString protocol = mode.toUpper();
    SimProcess sim;
    ViewerProcess viewer;
    const QStringList common = {"--width",   "160",   "--height",    "128", "--fps",      "500",
                                "--content", content, "--bad-every", "2",   "--duration", "60",
                                "--seed",    "3"};
    if (mode == QLatin1String("tcp")) {
        const int port = sim.start(QStringList{"--mode", mode, "--port", "0"} + common);
        QVERIFY(port > 0);
        writeIni(ini, {{protocol, port, 160, 128, log}});
        QVERIFY(viewer.start(ini, m_dir.path()));
    } else {
        const int port = freeUdpPort();
        writeIni(ini, {{protocol, port, 160, 128, log}});
        QVERIFY(viewer.start(ini, m_dir.path()));
        QTRY_VERIFY_WITH_TIMEOUT(udpPortTaken(port), 10000);
        QVERIFY(sim.start(QStringList{"--mode", mode, "--port", QString::number(port)} + common)
                > 0);
    }
    QTRY_VERIFY_WITH_TIMEOUT(hasHistogram(log, 1000), HistogramTimeoutMs);
    QVERIFY(viewer.running());
    QCOMPARE(sim.stop(), 0);
    QVERIFY(sim.figure(QStringLiteral("bad")) >= 100);
    viewer.terminate();
    QVERIFY(viewer.waitFinished(10000));
    // On failure, the end of what the viewer printed (a sanitizer report).
    QVERIFY2(viewer.exitCode() == 0, viewer.output().right(4000).constData());
}

void EndToEndTest::exitsPromptlyWhileStreaming()
{
    SimProcess tcp;
    const int tcpPort = tcp.start({"--mode", "tcp", "--port", "0", "--width", "160", "--height",
                                   "120", "--fps", "200", "--duration", "60"});
    QVERIFY(tcpPort > 0);
    const int udpPort = freeUdpPort();
    int rtpPort = freeUdpPort();
    for (int i = 0; i < 10 && rtpPort == udpPort; ++i)
        rtpPort = freeUdpPort();
    QVERIFY(udpPort > 0 && rtpPort > 0 && udpPort != rtpPort);
    const QString log = path(QStringLiteral("three.log"));
    writeIni(path(QStringLiteral("three.ini")), {{"TCP", tcpPort, 160, 120, QString()},
                                                 {"UDP", udpPort, 160, 120, QString()},
                                                 {"RTP", rtpPort, 160, 128, log}});
    ViewerProcess viewer;
    QVERIFY(viewer.start(path(QStringLiteral("three.ini")), m_dir.path()));
    QTRY_VERIFY_WITH_TIMEOUT(udpPortTaken(udpPort) && udpPortTaken(rtpPort), 10000);
    SimProcess udp;
    QVERIFY(udp.start({"--mode", "udp", "--port", QString::number(udpPort), "--content", "gray",
                       "--width", "160", "--height", "120", "--fps", "200", "--duration", "60"})
            > 0);
    SimProcess rtp;
    QVERIFY(rtp.start({"--mode", "rtp", "--port", QString::number(rtpPort), "--width", "160",
                       "--height", "128", "--fps", "200", "--duration", "60"})
            > 0);
    QTRY_VERIFY_WITH_TIMEOUT(hasHistogram(log, 1000), HistogramTimeoutMs);

    QElapsedTimer closing;
    closing.start();
    viewer.terminate();
    QVERIFY(viewer.waitFinished(10000));
    QCOMPARE(viewer.exitCode(), 0);
    qInfo("exited %lld ms after SIGTERM", closing.elapsed());
    QVERIFY2(closing.elapsed() < 2500, qPrintable(QString::number(closing.elapsed())));
}

QTEST_GUILESS_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
