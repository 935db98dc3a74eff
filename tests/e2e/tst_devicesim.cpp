// SPDX-License-Identifier: MIT
// framescope-devicesim as a program: its command line, its refusal of
// addresses off the loopback interface, and how it ends.
#include "simprocess.h"

#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <sys/types.h>

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
    QVERIFY(p.readAllStandardOutput().isEmpty()); // nothing was sent or opened
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
    QTest::newRow("tcp") << QStringList{"--mode", "tcp", "--port", "0"};
    QTest::newRow("udp gray") << QStringList{
        "--mode", "udp", "--port", QString::number(freeUdpPort()), "--content", "gray"};
    QTest::newRow("rtp") << QStringList{"--mode", "rtp", "--port", QString::number(freeUdpPort())};
}

void DeviceSimTest::stopsAfterCount()
{
    QFETCH(QStringList, args);
    SimProcess sim;
    QVERIFY(
        sim.start(args
                  + QStringList{"--count", "12", "--fps", "100", "--width", "64", "--height", "48"})
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

QTEST_GUILESS_MAIN(DeviceSimTest)
#include "tst_devicesim.moc"
