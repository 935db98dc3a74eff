// SPDX-License-Identifier: MIT
// The framescope executable stops cleanly on each termination signal.
#include "loopbackpeer.h"

#include "testfiles.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class tst_Signals : public QObject
{
    Q_OBJECT

private slots:
    void signalStopsViewer_data();
    void signalStopsViewer();
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
    {
        QFile file(ini);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("[dev0]\nhost=127.0.0.1\nport=%1\n").arg(peer.port()).toLatin1());
    }

    QProcess viewer;
    viewer.setProcessEnvironment(viewerEnvironment(dir.path()));
    viewer.setWorkingDirectory(dir.path());
    viewer.setProcessChannelMode(QProcess::ForwardedChannels);
    viewer.start(QStringLiteral(FRAMESCOPE_BIN), {ini});
    QVERIFY2(viewer.waitForStarted(10000), qPrintable(viewer.errorString()));
    // The device connects once the window exists, and the handlers are
    // installed before the window.
    QTRY_VERIFY_WITH_TIMEOUT(peer.hasPendingConnection(), 20000);

    QCOMPARE(::kill(pid_t(viewer.processId()), sig), 0);
    QVERIFY2(viewer.waitForFinished(10000), "viewer still running 10 s after the signal");
    QCOMPARE(viewer.exitStatus(), QProcess::NormalExit);
    QCOMPARE(viewer.exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_Signals)
#include "tst_signals.moc"
