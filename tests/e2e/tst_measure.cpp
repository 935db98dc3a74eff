// SPDX-License-Identifier: MIT
// framescope --measure against framescope-devicesim processes: the JSON
// summary against what the simulators say they sent, and the exit codes of
// the thresholds. The viewer runs with a GUI platform that does not exist,
// so that a run needing one fails.
#include "loopbackpeer.h"
#include "simprocess.h"
#include "testfiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr double Fps = 25.0;

// framescope --measure with `args`; the environment has no display.
struct Run
{
    QProcess process;

    void start(const QStringList& args)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("no-such-platform"));
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral(FRAMESCOPE_BIN), args);
        QVERIFY(process.waitForStarted(10000));
    }
    int finish(int timeoutMs)
    {
        if (!process.waitForFinished(timeoutMs)) {
            process.kill();
            process.waitForFinished(5000);
            return -1;
        }
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    QString output() { return QString::fromLocal8Bit(process.readAll()); }
};

QJsonObject deviceIn(const QByteArray& json, const QString& name)
{
    const QJsonArray devices = QJsonDocument::fromJson(json).object().value("devices").toArray();
    for (const QJsonValue& d : devices) {
        if (d.toObject().value("name").toString() == name)
            return d.toObject();
    }
    return {};
}

} // namespace

class tst_Measure : public QObject
{
    Q_OBJECT

private slots:
    void againstSimulators();
    void exitCodes_data();
    void exitCodes();
};

void tst_Measure::againstSimulators()
{
    // A TCP device that sends its 200 frames once the viewer has connected,
    // and an RTP device that drops 2 % of its packets. The seed is one whose
    // first and last packets go through: a loss there is invisible to any
    // receiver, as no packet around it tells of it.
    QTemporaryDir dir;
    SimProcess tcpSim(QStringLiteral("tcp"));
    const int tcpPort =
        tcpSim.start(QStringLiteral("--mode tcp --port 0 --wait-client --count 200 --fps 25 "
                                    "--width 320 --height 240"));
    QVERIFY(tcpPort > 0);
    const int rtpPort = freeUdpPort();
    const QString ini = dir.filePath("measure.ini");
    writeFile(ini, deviceGroup(0, tcpPort) + deviceGroup(1, rtpPort, "protocol=RTP\n"));

    Run run;
    const QString json = dir.filePath("summary.json");
    const QString csv = dir.filePath("records.csv");
    run.start({"--measure", "10", "--json", json, "--stats", csv, "--expect",
               "fps>=24,period_p99<=200ms,corrupt==0", ini});
    // The RTP sender starts once the viewer listens, so that it misses none.
    QTRY_VERIFY_WITH_TIMEOUT(udpPortTaken(rtpPort), 10000);
    SimProcess rtpSim(QStringLiteral("rtp"));
    QVERIFY(rtpSim.start(QStringLiteral("--mode rtp --port %1 --count 200 --fps 25 --loss 2 "
                                        "--seed 7 --width 320 --height 240")
                             .arg(rtpPort))
            > 0);

    const int exitCode = run.finish(30000);
    const QString output = run.output();
    QVERIFY2(tcpSim.waitFinished(10000), "the TCP simulator has sent its frames");
    QVERIFY2(rtpSim.waitFinished(10000), "the RTP simulator has sent its frames");
    QVERIFY2(exitCode == 1 || exitCode == 0, qPrintable(output));
    const QByteArray summary = readFile(json);
    const QJsonObject tcp = deviceIn(summary, "dev0");
    const QJsonObject rtp = deviceIn(summary, "dev1");
    QVERIFY2(!tcp.isEmpty() && !rtp.isEmpty(), summary.constData());
    qInfo().noquote() << output;

    // Over TCP every frame sent arrives.
    QCOMPARE(tcp.value("frames").toDouble(), double(tcpSim.figure("frames")));
    QCOMPARE(tcp.value("corrupt").toDouble(), 0.0);
    QVERIFY(tcp.value("connected").toBool());
    // The rate of the frames' arrival, which a busy machine delays by some
    // tens of milliseconds here and there: within 4 % of the sent rate.
    for (const QJsonObject& device : {tcp, rtp}) {
        const double fps = device.value("fps").toDouble();
        QVERIFY2(qAbs(fps - Fps) <= Fps * 0.04, qPrintable(QString::number(fps)));
    }
    // Every packet the RTP sender dropped is counted lost, no more.
    QCOMPARE(rtp.value("packets_lost").toDouble(), double(rtpSim.figure("dropped")));
    QVERIFY(rtpSim.figure("dropped") > 0);
    QCOMPARE(rtp.value("packets_expected").toDouble(), double(rtpSim.figure("packets")));
    // corrupt==0 fails on the RTP device, whose frames miss packets, and
    // the output names it; the TCP device meets every threshold.
    QCOMPARE(exitCode, 1);
    QVERIFY2(output.contains("FAILED corrupt==0 on dev1"), qPrintable(output));
    QVERIFY2(!output.contains("on dev0"), qPrintable(output));

    // The export has a row per frame of each device, and the connection.
    const QList<QByteArray> rows = readFile(csv).split('\n');
    QVERIFY(rows.first().startsWith("device,record,frame,wall_time"));
    int tcpFrames = 0;
    int connected = 0;
    for (const QByteArray& row : rows) {
        tcpFrames += row.startsWith("dev0,frame,") ? 1 : 0;
        connected += row.startsWith("dev0,connected,") ? 1 : 0;
    }
    QCOMPARE(tcpFrames, tcpSim.figure("frames"));
    QCOMPARE(connected, 1);
}

void tst_Measure::exitCodes_data()
{
    QTest::addColumn<QString>("expect");
    QTest::addColumn<bool>("simulated"); // a sending device, else one never reached
    QTest::addColumn<int>("terminateAfterMs");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said");

    QTest::newRow("thresholds met")
        << "fps>=20,frames>=10,delay_p99<=2s" << true << 0 << 0 << "dev0 ";
    QTest::newRow("an impossible threshold")
        << "fps>=1000" << true << 0 << 1 << "FAILED fps>=1000 on dev0";
    QTest::newRow("a device that never connects")
        << "frames>=0" << false << 0 << 1 << "FAILED dev0 (TCP 127.0.0.1:";
    QTest::newRow("SIGTERM ends it with the summary")
        << "frames>=1" << true << 2500 << 0 << "dev0 ";
    QTest::newRow("unknown key") << "fsp>=1" << true << 0 << 2 << "unknown key 'fsp'";
    QTest::newRow("unknown operator") << "fps=>1" << true << 0 << 2 << "unknown operator '=>'";
    QTest::newRow("unknown unit") << "delay_p99<=40min" << true << 0 << 2
                                  << "unknown unit 'min' for delay_p99";
    QTest::newRow("a unit where none belongs")
        << "frames>=10ms" << true << 0 << 2 << "unknown unit 'ms' for frames";
}

void tst_Measure::exitCodes()
{
    QFETCH(QString, expect);
    QFETCH(bool, simulated);
    QFETCH(int, terminateAfterMs);
    QFETCH(int, exitCode);
    QFETCH(QString, said);

    QTemporaryDir dir;
    SimProcess sim;
    int port = 0;
    if (simulated) {
        port = sim.start(QStringLiteral("--mode tcp --port 0 --fps 25 --width 160 --height 120"));
        QVERIFY(port > 0);
    } else {
        // A port nothing listens on: taken and released at once.
        const LoopbackPeer peer;
        port = peer.port();
    }
    const QString ini = dir.filePath("measure.ini");
    writeFile(ini, deviceGroup(0, port));
    Run run;
    const QString json = dir.filePath("summary.json");
    run.start(
        {"--measure", terminateAfterMs > 0 ? "60" : "2", "--json", json, "--expect", expect, ini});
    if (terminateAfterMs > 0) {
        QTest::qWait(terminateAfterMs);
        run.process.terminate();
    }
    QCOMPARE(run.finish(20000), exitCode);
    const QString output = run.output();
    QVERIFY2(output.contains(said), qPrintable(output));
    if (exitCode != 2) {
        const QJsonObject device = deviceIn(readFile(json), "dev0");
        QCOMPARE(device.value("failed").toBool(), !simulated);
        QCOMPARE(device.value("frames").toDouble() > 0, simulated);
    }
}

QTEST_GUILESS_MAIN(tst_Measure)
#include "tst_measure.moc"
