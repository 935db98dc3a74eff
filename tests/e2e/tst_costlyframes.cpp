// SPDX-License-Identifier: MIT
// The framescope executable fed hostile JPEG frames over loopback: frames of
// a few hundred bytes that declare huge pictures or a hundred empty scans,
// and frames that are decoded but cost a while each. The viewer reports the
// refused ones in the device log and still exits promptly on SIGTERM.
#include "loopbackpeer.h"
#include "multipartwriter.h"
#include "testfiles.h"
#include "viewerprocess.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>
#include <vector>

class tst_CostlyFrames : public QObject
{
    Q_OBJECT

private slots:
    void exitsPromptlyWhileCostlyFramesArrive();
};

// 98 empty scans over 8000 x 8000 and over 7680 x 4320 (refused before
// decoding), and 3840 x 2160 in a dozen scans (decoded), at 25 frames/s on
// each of four devices.
void tst_CostlyFrames::exitsPromptlyWhileCostlyFramesArrive()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray progressive = jpegFile(solidFrame(16, 16, Qt::green), 90, true);
    const QList<QByteArray> frames = {
        withRepeatedLastScan(withDeclaredSize(progressive, 8000, 8000), 88),
        withRepeatedLastScan(withDeclaredSize(progressive, 7680, 4320), 88),
        withRepeatedLastScan(withDeclaredSize(progressive, 3840, 2160), 2),
    };
    constexpr int Devices = 4;
    std::vector<std::unique_ptr<LoopbackPeer>> peers;
    const QString log = dir.filePath(QStringLiteral("dev0.log"));
    QByteArray ini;
    for (int d = 0; d < Devices; ++d) {
        peers.push_back(std::make_unique<LoopbackPeer>());
        QVERIFY(peers.back()->isListening());
        ini += deviceGroup(d, peers.back()->port(), QStringLiteral("sizeX=160\nsizeY=120\n"));
    }
    ini += "[dev0]\nlogfile=" + log.toUtf8() + "\n";
    writeFile(dir.filePath(QStringLiteral("costly.ini")), ini);

    ViewerProcess viewer;
    QVERIFY(viewer.start(QStringLiteral(FRAMESCOPE_BIN), dir.filePath(QStringLiteral("costly.ini")),
                         dir.path()));
    for (auto& peer : peers)
        QVERIFY(peer->acceptClient(10000));

    int sent = 0;
    QTimer feed;
    connect(&feed, &QTimer::timeout, this, [&] {
        for (auto& peer : peers)
            peer->send(simlib::multipartPart("image/jpeg", frames[sent % frames.size()]));
        ++sent;
    });
    feed.start(40);
    // Both refusals reach the device log.
    QTRY_VERIFY_WITH_TIMEOUT(readFile(log).count("such frames are not decoded") >= 2, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(sent >= 50, 10000);

    QElapsedTimer closing;
    closing.start();
    const int exitCode = viewer.stop();
    feed.stop();
    QCOMPARE(exitCode, 0);
    qInfo("exited %lld ms after SIGTERM", static_cast<long long>(closing.elapsed()));
    // The bound is generous; a conversion in progress finishes first.
    QVERIFY2(closing.elapsed() < 2500, qPrintable(QString::number(closing.elapsed())));
}

QTEST_GUILESS_MAIN(tst_CostlyFrames)
#include "tst_costlyframes.moc"
