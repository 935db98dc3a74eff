// SPDX-License-Identifier: MIT
// The pictures the window shows are the simulated device's: the frame
// number drawn into each sent frame is read back from the image label, for
// every transport and content type.
#include "imagelabel.h"
#include "onlydisplay.h"
#include "simprocess.h"
#include "testfiles.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>

namespace {

// The number drawn in the label's current picture, or -1.
int shownNumber(const ImageLabel* label)
{
    return patternNumber(label->currentPixmap().toImage());
}

} // namespace

class ShownFramesTest : public QObject
{
    Q_OBJECT

private slots:
    void senderFramesShown_data();
    void senderFramesShown();
};

void ShownFramesTest::senderFramesShown_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QStringList>("simArgs");

    QTest::newRow("TCP JPEG") << QStringLiteral("TCP") << QStringList{"--mode", "tcp"};
    QTest::newRow("TCP JPEG 4:4:4, restart interval")
        << QStringLiteral("TCP")
        << QStringList{"--mode", "tcp", "--sampling", "444", "--restart-interval", "7"};
    QTest::newRow("UDP raw gray") << QStringLiteral("UDP")
                                  << QStringList{"--mode", "udp", "--content", "gray"};
    QTest::newRow("UDP JPEG") << QStringLiteral("UDP") << QStringList{"--mode", "udp"};
    QTest::newRow("RTP type 65, built-in header")
        << QStringLiteral("RTP") << QStringList{"--mode", "rtp"};
    QTest::newRow("RTP type 1 with reference file")
        << QStringLiteral("RTP")
        << QStringList{"--mode", "rtp", "--rtp-type", "1", "--write-reference", "reference.jpg"};
}

void ShownFramesTest::senderFramesShown()
{
    QFETCH(QString, protocol);
    QFETCH(QStringList, simArgs);

    // The configuration, and the reference.jpg a simulator writes, live in a
    // directory of their own.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    constexpr int W = 320;
    constexpr int H = 240;
    SimProcess sim;
    sim.process().setWorkingDirectory(dir.path());
    // The simulator starts first, so that a reference.jpg it writes is in
    // place when the RTP device's reassembler reads it.
    const int port = protocol == QLatin1String("TCP") ? 0 : freeUdpPort();
    const int simPort =
        sim.start(simArgs
                  + QStringLiteral("--port %1 --width %2 --height %3 --fps 50 --duration 60")
                        .arg(port)
                        .arg(W)
                        .arg(H)
                        .split(QLatin1Char(' ')));
    QVERIFY(simPort > 0);
    const QString ini = dir.filePath(QStringLiteral("tcp_streaming.ini"));
    writeFile(ini,
              deviceGroup(
                  0, simPort,
                  QStringLiteral("protocol=%1\nsizeX=%2\nsizeY=%3\n").arg(protocol).arg(W).arg(H)));

    onlyDisplay window(ini, dir.filePath(QStringLiteral("reference.jpg")));
    window.show();
    auto* label = window.findChild<ImageLabel*>();
    QVERIFY(label);

    QTRY_VERIFY_WITH_TIMEOUT(shownNumber(label) >= 0, 20000);
    QCOMPARE(label->currentPixmap().size(), QSize(W, H));
    const int first = shownNumber(label);
    // The picture moves on: a later frame of the same sender.
    QTRY_VERIFY_WITH_TIMEOUT(shownNumber(label) > first, 10000);
    QCOMPARE(sim.stop(), 0);
    QVERIFY(sim.figure(QStringLiteral("frames")) > shownNumber(label));
}

QTEST_MAIN(ShownFramesTest)
#include "tst_shownframes.moc"
