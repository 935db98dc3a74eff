// SPDX-License-Identifier: MIT
// Four simulated devices in the tiles: each tile shows its own device's
// frames. The devices send different frame sizes, and each tile's picture
// is read back at its own device's size, so a tile showing another device's
// frame reads no number.
#include "getstreamimage.h"
#include "onlydisplay.h"
#include "simprocess.h"
#include "testfiles.h"
#include "tileview.h"

#include <QApplication>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <memory>

namespace {

// The number in tile `index` of `shown`, read at the device's frame size.
int tileNumber(const TileView* tiles, const QImage& shown, int index, const QSize& size)
{
    const QRect area = tiles->imageRect(index);
    return area.isEmpty() ? -1 : patternNumber(shown.copy(area), size);
}

} // namespace

class TilesTest : public QObject
{
    Q_OBJECT

private slots:
    void eachTileShowsItsOwnDevice_data();
    void eachTileShowsItsOwnDevice();
};

void TilesTest::eachTileShowsItsOwnDevice_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QStringList>("simArgs");
    QTest::newRow("TCP JPEG") << QStringLiteral("TCP") << QStringList{"--mode", "tcp"};
    QTest::newRow("RTP JPEG") << QStringLiteral("RTP") << QStringList{"--mode", "rtp"};
}

void TilesTest::eachTileShowsItsOwnDevice()
{
    QFETCH(QString, protocol);
    QFETCH(QStringList, simArgs);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    // Multiples of 8, as RTP/JPEG needs.
    const std::array<QSize, 4> sizes = {QSize(320, 240), QSize(400, 304), QSize(480, 360),
                                        QSize(240, 176)};
    const std::array<int, 4> fps = {10, 15, 20, 25};
    std::array<std::unique_ptr<SimProcess>, 4> sims;
    QByteArray ini = "[General]\nview=tiles\n";
    for (int i = 0; i < 4; ++i) {
        sims[i] = std::make_unique<SimProcess>();
        const int port = protocol == QLatin1String("TCP") ? 0 : freeUdpPort();
        const int simPort = sims[i]->start(
            simArgs
            + QStringLiteral("--port %1 --width %2 --height %3 --fps %4 --duration 60")
                  .arg(port)
                  .arg(sizes[i].width())
                  .arg(sizes[i].height())
                  .arg(fps[i])
                  .split(QLatin1Char(' ')));
        QVERIFY(simPort > 0);
        ini += deviceGroup(i, simPort,
                           QStringLiteral("protocol=%1\nsizeX=%2\nsizeY=%3\n")
                               .arg(protocol)
                               .arg(sizes[i].width())
                               .arg(sizes[i].height()));
    }
    const QString file = dir.filePath(QStringLiteral("tiles.ini"));
    writeFile(file, ini);

    onlyDisplay window(file, dir.filePath(QStringLiteral("reference.jpg")));
    window.resize(1000, 900);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.viewMode(), imageDisplay::ViewMode::Tiles);
    TileView* tiles = window.tileView();
    QCOMPARE(tiles->count(), 4);

    std::array<int, 4> first = {-1, -1, -1, -1};
    for (int i = 0; i < 4; ++i) {
        QTRY_VERIFY_WITH_TIMEOUT(
            (first[i] = tileNumber(tiles, tiles->grab().toImage(), i, sizes[i])) >= 0, 20000);
        QCOMPARE(tiles->frame(i).size(), sizes[i]);
    }
    // Every tile moves on with later frames of its own device.
    for (int i = 0; i < 4; ++i)
        QTRY_VERIFY_WITH_TIMEOUT(tileNumber(tiles, tiles->grab().toImage(), i, sizes[i]) > first[i],
                                 10000);
    // The status line counts the frames of all four together.
    qint64 perDevice = 0;
    for (const GetStreamImage* device : window.streams())
        perDevice += device->figures().frames;
    QVERIFY(window.frameCount() > 0);
    QVERIFY(window.frameCount() <= perDevice);
    for (auto& sim : sims)
        sim->stop();
}

QTEST_MAIN(TilesTest)
#include "tst_tiles.moc"
