// SPDX-License-Identifier: MIT
// The simulator's 16-bit gray ramp in the window, in both byte orders: the
// value read-out at known pixels, pause, stepping back through the kept
// frames and saving the raw values as a 16-bit PNG, in the newest-frame
// view and in the tiles.
#include "frameexaminer.h"
#include "getstreamimage.h"
#include "gray16frame.h"
#include "imagelabel.h"
#include "onlydisplay.h"
#include "simprocess.h"
#include "testfiles.h"
#include "testpattern.h"
#include "tileview.h"

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

namespace {

constexpr int Width = 160;
constexpr int Height = 120;

// The raw value of pixel (0, 0): the simulator's frame number.
int rawNumber(const ShownFrame* f)
{
    return f != nullptr && !f->raw.isNull()
               ? reinterpret_cast<const quint16*>(f->raw.constScanLine(0))[0]
               : -1;
}

} // namespace

class ExamineTest : public QObject
{
    Q_OBJECT

private slots:
    void gray16Ramp_data();
    void gray16Ramp();
};

void ExamineTest::gray16Ramp_data()
{
    QTest::addColumn<QString>("order");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<bool>("tiles");
    // Little-endian is the default; levels alone declares the device 16-bit.
    QTest::newRow("little-endian, newest frame") << "little"
                                                 << "levels=auto\n"
                                                 << false;
    QTest::newRow("big-endian, newest frame") << "big"
                                              << "pixel_order=big\n"
                                              << false;
    QTest::newRow("big-endian, tiles") << "big"
                                       << "pixel_order=big\nlevels=0,40000\n"
                                       << true;
}

void ExamineTest::gray16Ramp()
{
    QFETCH(QString, order);
    QFETCH(QString, keys);
    QFETCH(bool, tiles);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    SimProcess sim;
    const int port =
        sim.start(QStringLiteral("--mode tcp --port 0 --content gray16 --pixel-order %1 --width %2 "
                                 "--height %3 --fps 25 --duration 60")
                      .arg(order)
                      .arg(Width)
                      .arg(Height)
                      .split(QLatin1Char(' ')));
    QVERIFY(port > 0);
    const QString file = dir.filePath(QStringLiteral("gray16.ini"));
    writeFile(file, (tiles ? QByteArray("[General]\nview=tiles\n") : QByteArray())
                        + deviceGroup(0, port,
                                      QStringLiteral("sizeX=%1\nsizeY=%2\n").arg(Width).arg(Height)
                                          + keys));
    onlyDisplay window(file, dir.filePath(QStringLiteral("reference.jpg")));
    window.resize(900, 700);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    FrameExaminer* examiner = window.examiner();
    GetStreamImage* device = window.streams().at(0);
    QCOMPARE(device->transferLength(), Width * Height * 2 + 1024);
    const int view = tiles ? 0 : -1;
    QTRY_VERIFY_WITH_TIMEOUT(rawNumber(examiner->shownFrame(view)) >= 0, 20000);

    // The read-out at known pixels, the pointer dragged over them.
    auto* label = window.findChild<ImageLabel*>(QStringLiteral("mainImage"));
    auto* readout = window.findChild<QLabel*>(QStringLiteral("pixelReadout"));
    for (const QPoint p : {QPoint(1, 0), QPoint(7, 3), QPoint(159, 119), QPoint(100, 50)}) {
        QPoint at;
        if (tiles) {
            const QRect r = window.tileView()->imageRect(0);
            // The first window pixel showing image pixel p.
            const QPoint first((p.x() * r.width() + Width - 1) / Width,
                               (p.y() * r.height() + Height - 1) / Height);
            at = window.tileView()->mapTo(&window, r.topLeft() + first);
        } else {
            at = label->mapTo(&window, p);
        }
        QMouseEvent move(QEvent::MouseMove, at, window.mapToGlobal(at), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &move);
        const QString expected = QStringLiteral("%1, %2: raw %3")
                                     .arg(p.x())
                                     .arg(p.y())
                                     .arg(simlib::gray16RampValue(p.x(), p.y(), 0));
        QCOMPARE(examiner->readoutText(), expected);
        if (tiles)
            QVERIFY(examiner->captionText(0).contains(expected));
        else
            QCOMPARE(readout->text(), expected);
    }

    // Paused: the picture stays while the frames are still counted.
    QTRY_VERIFY_WITH_TIMEOUT(examiner->shownFrame(view)->number >= 5, 10000);
    QTest::keyClick(&window, Qt::Key_Space);
    QVERIFY(examiner->isPaused());
    const int pausedAt = rawNumber(examiner->shownFrame(view));
    const qint64 counted = device->figures().frames;
    QTRY_VERIFY_WITH_TIMEOUT(device->figures().frames >= counted + 5, 10000);
    QCOMPARE(rawNumber(examiner->shownFrame(view)), pausedAt);
    if (tiles)
        QVERIFY(examiner->captionText(0).startsWith(QLatin1String("paused")));
    else
        QVERIFY(window.findChild<QLabel*>(QStringLiteral("pauseIndicator"))->isVisible());

    // Stepping back: earlier frames, each with its own number.
    qint64 number = examiner->shownFrame(view)->number;
    int simFrame = pausedAt;
    for (int i = 0; i < 3; ++i) {
        QTest::keyClick(&window, Qt::Key_Left);
        const ShownFrame* f = examiner->shownFrame(view);
        QVERIFY(f->stored.has_value());
        QVERIFY2(f->number < number, qPrintable(QString::number(f->number)));
        QCOMPARE(f->stored->number, f->number);
        QVERIFY(rawNumber(f) < simFrame);
        QVERIFY(examiner->captionText(view).contains(QStringLiteral("frame %1").arg(f->number)));
        number = f->number;
        simFrame = rawNumber(f);
    }
    QTest::keyClick(&window, Qt::Key_Right);
    QVERIFY(examiner->shownFrame(view)->number > number);
    QTest::keyClick(&window, Qt::Key_Home);
    QCOMPARE(examiner->shownFrame(view)->number, examiner->history().oldest(0).value());
    QTest::keyClick(&window, Qt::Key_End);
    QCOMPARE(examiner->shownFrame(view)->number, examiner->history().newest(0).value());

    // View > Levels: the paused frame is shown again with the new levels;
    // a text that names none changes nothing.
    QVERIFY(examiner->setLevels(QStringLiteral("0,1000")));
    QCOMPARE(device->levels(), (GrayLevels{false, 0, 1000}));
    QCOMPARE(int(examiner->shownFrame(view)->shown.pixelColor(7, 3).red()),
             gray16::levelled(simlib::gray16RampValue(7, 3, 0), 0, 1000));
    QVERIFY(!examiner->setLevels(QStringLiteral("5,5")));
    QCOMPARE(device->levels(), (GrayLevels{false, 0, 1000}));

    // With FRAMESCOPE_SCREENSHOT set, the README's picture: the paused frame
    // zoomed in far enough for the pixel grid, with a read-out.
    const QString screenshot = qEnvironmentVariable("FRAMESCOPE_SCREENSHOT");
    if (!screenshot.isEmpty() && !tiles) {
        QVERIFY(examiner->setLevels(QStringLiteral("auto")));
        QTest::keyClick(&window, Qt::Key_Left);
        window.resize(1200, 700);
        const double zoom = std::pow(1.25, 12);
        window.setZoom(zoom);
        QApplication::processEvents();
        const QPoint at = label->mapTo(&window, QPoint(int(6.5 * zoom), int(4.5 * zoom)));
        QMouseEvent move(QEvent::MouseMove, at, window.mapToGlobal(at), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &move);
        QCOMPARE(readout->text(), QStringLiteral("6, 4: raw 449"));
        QVERIFY(window.grab().save(screenshot));
        window.setZoom(1.0);
    }

    // Save Image writes the raw values of the frame on screen.
    const QString path = dir.filePath(QStringLiteral("saved.png"));
    ImageSaveDialogs hooks;
    hooks.getSaveFileNameAndFilter = [&](QWidget*, const QString&, const QString&, const QString&,
                                         QString*) { return path; };
    hooks.warning = [](QWidget*, const QString&, const QString& text) { QFAIL(qPrintable(text)); };
    label->setSaveDialogs(hooks);
    window.saveImage();
    const QImage saved(path);
    QCOMPARE(saved.format(), QImage::Format_Grayscale16);
    QCOMPARE(saved.size(), QSize(Width, Height));
    QCOMPARE(int(reinterpret_cast<const quint16*>(saved.constScanLine(0))[0]),
             rawNumber(examiner->shownFrame(view)));
    QCOMPARE(int(reinterpret_cast<const quint16*>(saved.constScanLine(50))[100]),
             simlib::gray16RampValue(100, 50, 0));

    // Space again: the newest frames are shown once more.
    QTest::keyClick(&window, Qt::Key_Space);
    QVERIFY(!examiner->isPaused());
    QTRY_VERIFY_WITH_TIMEOUT(rawNumber(examiner->shownFrame(view)) > pausedAt + 5, 10000);
    sim.stop();
}

QTEST_MAIN(ExamineTest)
#include "tst_examine.moc"
