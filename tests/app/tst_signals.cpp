// SPDX-License-Identifier: MIT
// The framescope executable stops cleanly on each termination signal.
#include "loopbackpeer.h"

#include "testfiles.h"
#include "viewerprocess.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class tst_Signals : public QObject
{
    Q_OBJECT

private slots:
    void signalStopsViewer_data();
    void signalStopsViewer();
    void signalStopsStartUpOfManyDevices_data();
    void signalStopsStartUpOfManyDevices();
};

void tst_Signals::signalStopsViewer_data()
{
    QTest::addColumn<int>("sig");
    QTest::newRow("SIGHUP") << int(SIGHUP);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void tst_Signals::signalStopsViewer()
{
    QFETCH(int, sig);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    LoopbackPeer peer;
    QVERIFY(peer.isListening());
    const QString ini = dir.filePath(QStringLiteral("viewer.ini"));
    writeFile(ini, deviceGroup(0, peer.port()));
    ViewerProcess viewer(QProcess::ForwardedChannels);
    QVERIFY(viewer.start(QStringLiteral(FRAMESCOPE_BIN), ini, dir.path()));
    // The device connects once the window exists, and the handlers are
    // installed before the window.
    QTRY_VERIFY_WITH_TIMEOUT(peer.hasPendingConnection(), 20000);

    QCOMPARE(viewer.stop(sig), 0);
}

void tst_Signals::signalStopsStartUpOfManyDevices_data()
{
    QTest::addColumn<int>("sig");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

// A signal that arrives while a thousand devices are still being created
// ends the viewer in order: the devices left are not started, those
// started are stopped together.
void tst_Signals::signalStopsStartUpOfManyDevices()
{
    QFETCH(int, sig);
    constexpr int Devices = 1000;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Every device connects to a port nobody listens on: refused at once,
    // silent and cheap.
    quint16 closedPort = 0;
    {
        LoopbackPeer peer;
        QVERIFY(peer.isListening());
        closedPort = peer.port();
    }
    QByteArray ini;
    for (int n = 0; n < Devices; ++n)
        ini += deviceGroup(n, closedPort);
    writeFile(dir.filePath(QStringLiteral("viewer.ini")), ini);
    ViewerProcess viewer;
    QVERIFY(viewer.start(QStringLiteral(FRAMESCOPE_BIN), dir.filePath(QStringLiteral("viewer.ini")),
                         dir.path()));
    // The handlers are installed before the first device is described.
    QTRY_VERIFY_WITH_TIMEOUT(viewer.output().contains("dev0: TCP"), 20000);

    QElapsedTimer clock;
    clock.start();
    // A hang detector only: stop() gives up after 10 s.
    QCOMPARE(viewer.stop(sig), 0);
    const qint64 exitMs = clock.elapsed();
    // Each device started is described in one line.
    const qsizetype started = viewer.output().count(", raw frames ");
    qInfo("exit %lld ms after the signal, %lld of %d devices started", exitMs, qlonglong(started),
          Devices);
}

QTEST_GUILESS_MAIN(tst_Signals)
#include "tst_signals.moc"
