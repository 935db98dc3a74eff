// SPDX-License-Identifier: MIT
// The framescope executable stops cleanly on each termination signal.
#include "loopbackpeer.h"

#include "testfiles.h"
#include "viewerprocess.h"

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
    writeFile(ini, deviceGroup(0, peer.port()));
    ViewerProcess viewer(QProcess::ForwardedChannels);
    QVERIFY(viewer.start(QStringLiteral(FRAMESCOPE_BIN), ini, dir.path()));
    // The device connects once the window exists, and the handlers are
    // installed before the window.
    QTRY_VERIFY_WITH_TIMEOUT(peer.hasPendingConnection(), 20000);

    QCOMPARE(viewer.stop(sig), 0);
}

QTEST_GUILESS_MAIN(tst_Signals)
#include "tst_signals.moc"
