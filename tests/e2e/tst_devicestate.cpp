// SPDX-License-Identifier: MIT
// A simulated device that dies and comes back: the window's indicator and
// the device log follow it, against real framescope-devicesim processes.
#include "deviceindicator.h"
#include "onlydisplay.h"
#include "simprocess.h"
#include "testfiles.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

bool isReceiving(const DeviceIndicator* indicator)
{
    return indicator->stateText().startsWith(QLatin1String("dev0 receiving "));
}

} // namespace

class DeviceStateTest : public QObject
{
    Q_OBJECT

private slots:
    void simulatorDiesAndReturns_data();
    void simulatorDiesAndReturns();
};

void DeviceStateTest::simulatorDiesAndReturns_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("kill");
    QTest::addColumn<QString>("gone");
    QTest::addColumn<QString>("goneLine");

    // Over TCP the closed connection is noticed at once; UDP datagrams just
    // stop coming.
    QTest::newRow("TCP, simulator killed")
        << QStringLiteral("tcp") << true << QStringLiteral("^dev0 (lost|refused|connecting)$")
        << QStringLiteral(": connection lost: closed by the peer$");
    QTest::newRow("TCP, simulator terminated")
        << QStringLiteral("tcp") << false << QStringLiteral("^dev0 (lost|refused|connecting)$")
        << QStringLiteral(": connection lost: closed by the peer$");
    QTest::newRow("UDP, simulator killed")
        << QStringLiteral("udp") << true << QStringLiteral("^dev0 silent \\d+ s$")
        << QStringLiteral(": silent: no data for 1 s$");
}

void DeviceStateTest::simulatorDiesAndReturns()
{
    QFETCH(QString, mode);
    QFETCH(bool, kill);
    QFETCH(QString, gone);
    QFETCH(QString, goneLine);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const bool tcp = mode == QLatin1String("tcp");
    const QString common =
        QStringLiteral("--mode %1 --width 160 --height 120 --fps 25 --duration 120 --port ")
            .arg(mode);
    auto sim = std::make_unique<SimProcess>();
    const int port =
        sim->start(common + (tcp ? QStringLiteral("0") : QString::number(freeUdpPort())));
    QVERIFY(port > 0);

    const QString log = dir.filePath(QStringLiteral("dev0.log"));
    const QString ini = dir.filePath(QStringLiteral("tcp_streaming.ini"));
    writeFile(
        ini, deviceGroup(
                 0, port,
                 QStringLiteral("protocol=%1\nsizeX=160\nsizeY=120\nlogfile=%2\n").arg(mode, log)));

    onlyDisplay window(ini);
    window.show();
    auto* indicator = window.findChild<DeviceIndicator*>(QStringLiteral("deviceIndicator_dev0"));
    QVERIFY(indicator);
    QTRY_VERIFY_WITH_TIMEOUT(isReceiving(indicator), 20000);

    // The device dies: within about 2 s the indicator and the log say so.
    sim->stop(kill);
    QElapsedTimer sinceDeath;
    sinceDeath.start();
    const QRegularExpression goneState(gone);
    QTRY_VERIFY2_WITH_TIMEOUT(goneState.match(indicator->stateText()).hasMatch(),
                              qPrintable(indicator->stateText()), 2500);
    const QRegularExpression goneLog(goneLine);
    // The log line is written with the change of state.
    QTRY_COMPARE_WITH_TIMEOUT(countLines(log, goneLog), 1, 500);
    QVERIFY2(sinceDeath.elapsed() < 3000, qPrintable(QString::number(sinceDeath.elapsed())));

    // The device comes back on the same port: receiving again.
    sim = std::make_unique<SimProcess>();
    QCOMPARE(sim->start(common + QString::number(port)), port);
    QTRY_VERIFY_WITH_TIMEOUT(isReceiving(indicator), 10000);
    if (tcp)
        QTRY_COMPARE_WITH_TIMEOUT(
            countLines(log, QRegularExpression(
                                QStringLiteral(": connected to 127\\.0\\.0\\.1:%1$").arg(port))),
            2, 2000);
    else
        QTRY_COMPARE_WITH_TIMEOUT(
            countLines(log, QRegularExpression(QStringLiteral(": receiving again after \\d+ s$"))),
            1, 2000);
    QCOMPARE(countLines(log, goneLog), 1);
}

QTEST_MAIN(DeviceStateTest)
#include "tst_devicestate.moc"
