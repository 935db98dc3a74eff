// SPDX-License-Identifier: MIT
// The View menu: tiles per device, fit and zoom, the pixel read-out in every
// view, and the layout kept in the per-user settings.
#include "onlydisplay.h"

#include "deviceindicator.h"
#include "frameconversion.h"
#include "frameexaminer.h"
#include "getstreamimage.h"
#include "imagelabel.h"
#include "testfiles.h"
#include "testpattern.h"
#include "tileview.h"
#include "usersettings.h"

#include <QApplication>
#include <QDir>
#include <QDockWidget>
#include <QFileInfo>
#include <QImageReader>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>

namespace {

// The number simlib's test pattern draws, read from `area` of `picture`
// scaled back to the frame's own size.
int numberIn(const QImage& picture, const QRect& area, const QSize& frameSize)
{
    return area.isEmpty() ? -1 : patternNumber(picture.copy(area), frameSize);
}

// The simulator's picture as the controller converts it: RGB32 for JPEG,
// 8-bit indexed with a gray ramp for raw gray frames.
QImage patternFrame(const QSize& size, int number, bool gray = false)
{
    const int components = gray ? 1 : 3;
    const QByteArray pixels =
        simlib::renderTestPattern(size.width(), size.height(), components, number);
    QImage img(ubytes(pixels), size.width(), size.height(), size.width() * components,
               gray ? QImage::Format_Indexed8 : QImage::Format_RGB888);
    if (!gray)
        return img.convertToFormat(QImage::Format_RGB32);
    img = img.copy();
    img.setColorTable(grayColorTable());
    return img;
}

// The number each device's frames carry in these tests.
int deviceNumber(int device)
{
    return 111111 * (device + 1);
}

} // namespace

class tst_ImageView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void readout_data();
    void readout();
    void eachTileShowsItsDevice_data();
    void eachTileShowsItsDevice();
    void selectAndSolo_data();
    void selectAndSolo();
    void tilesKeptWhileDevicesStart();
    void saveWhileFramesArrive_data();
    void saveWhileFramesArrive();
    void keysAndWheel_data();
    void keysAndWheel();
    void layoutKept_data();
    void layoutKept();
    void resetLayout();
    void settingsFileKinds_data();
    void settingsFileKinds();
    void statusLineWholeAtFirstStart_data();
    void statusLineWholeAtFirstStart();

private:
    // A window with `devices` controllers (port 1 refuses, so nothing
    // arrives but what the test shows) and `extra` top-level keys.
    QString writeIni(int devices, const QByteArray& extra = {});
    void showPatterns(onlyDisplay& window, const QSize& size, bool gray = false);
    QTemporaryDir m_dir;
    QTemporaryDir m_userSettings;
};

void tst_ImageView::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(m_userSettings.isValid());
    QCoreApplication::setOrganizationName(QStringLiteral("framescope-test"));
    QCoreApplication::setApplicationName(QStringLiteral("tst_imageview"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_userSettings.path());
}

void tst_ImageView::init()
{
    QSettings().clear();
}

QString tst_ImageView::writeIni(int devices, const QByteArray& extra)
{
    QByteArray text = extra;
    for (int i = 0; i < devices; ++i)
        text += QStringLiteral("[dev%1]\nhost=127.0.0.1\nport=1\n").arg(i).toLatin1();
    const QString path = m_dir.filePath(QStringLiteral("view.ini"));
    writeFile(path, text);
    return path;
}

void tst_ImageView::showPatterns(onlyDisplay& window, const QSize& size, bool gray)
{
    for (int i = 0; i < window.streams().size(); ++i) {
        QImage frame = patternFrame(size, deviceNumber(i), gray);
        window.showFrame(frame, window.streams()[i], 40);
    }
}

void tst_ImageView::readout_data()
{
    QTest::addColumn<QString>("view");
    QTest::addColumn<QSize>("frame");
    // Where `at` is taken from: the label, the scroll area's viewport or
    // the picture of tile 1; negative coordinates count from its far edge.
    QTest::addColumn<QString>("anchor");
    QTest::addColumn<QPoint>("at");
    QTest::addColumn<QString>("text"); // empty: no read-out
    // "jpeg": frames delivered to the controllers as JPEG files, twice, so
    // that the second is decoded for the size the first was shown at.
    QTest::addColumn<QString>("source");

    const QSize small(200, 150);
    QTest::newRow("1:1") << "1:1" << small << "label" << QPoint(101, 75) << "100, 74" << QString();
    QTest::newRow("1:1, first pixel")
        << "1:1" << small << "label" << QPoint(0, 0) << "0, 0" << QString();
    QTest::newRow("1:1, last pixel")
        << "1:1" << small << "label" << QPoint(-1, -1) << "198, 148" << QString();
    QTest::newRow("1:1, right of the image")
        << "1:1" << small << "label" << QPoint(200, 10) << "" << QString();
    QTest::newRow("1:1, below the image")
        << "1:1" << small << "label" << QPoint(10, 150) << "" << QString();
    QTest::newRow("2x") << "zoom 2" << small << "label" << QPoint(101, 75) << "50, 36" << QString();
    QTest::newRow("2x, last pixel")
        << "zoom 2" << small << "label" << QPoint(-1, -1) << "198, 148" << QString();
    QTest::newRow("fit, first pixel")
        << "fit" << small << "label" << QPoint(0, 0) << "0, 0" << QString();
    QTest::newRow("fit, last pixel")
        << "fit" << small << "label" << QPoint(-1, -1) << "198, 148" << QString();
    QTest::newRow("scrolled") << "scrolled" << QSize(2000, 1500) << "viewport" << QPoint(10, 10)
                              << "310, 210" << QString();
    QTest::newRow("scrolled, over the status bar")
        << "scrolled" << QSize(2000, 1500) << "viewport" << QPoint(10, -1) << "" << QString();
    QTest::newRow("tile") << "tiles" << QSize(320, 240) << "tile" << QPoint(0, 0) << "dev1: 0, 0"
                          << QString();
    QTest::newRow("tile, last pixel")
        << "tiles" << QSize(320, 240) << "tile" << QPoint(-1, -1) << "dev1: 318, 238" << QString();
    QTest::newRow("tile, in its caption")
        << "tiles" << QSize(320, 240) << "caption" << QPoint(10, -5) << "" << QString();
    // About four picture pixels to a screen pixel: the last screen pixel
    // reads beyond anything the image decoded at half size holds.
    QTest::newRow("tile, JPEG decoded smaller: full-size pixels")
        << "tiles" << QSize(1280, 960) << "tile" << QPoint(-1, -1) << "dev1: 1276, 956"
        << "jpeg";
    QTest::newRow("tile, JPEG decoded smaller, first pixel")
        << "tiles" << QSize(1280, 960) << "tile" << QPoint(0, 0) << "dev1: 0, 0"
        << "jpeg";
    QTest::newRow("fit, JPEG decoded smaller: full-size pixels")
        << "fit" << QSize(2560, 1920) << "label" << QPoint(-1, -1) << "2556, 1916"
        << "jpeg";
}

void tst_ImageView::readout()
{
    QFETCH(QString, view);
    QFETCH(QSize, frame);
    QFETCH(QString, anchor);
    QFETCH(QPoint, at);
    QFETCH(QString, text);
    QFETCH(QString, source);

    onlyDisplay window(writeIni(4));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    if (view == QLatin1String("tiles"))
        window.setViewMode(imageDisplay::ViewMode::Tiles);
    else if (view == QLatin1String("zoom 2"))
        window.setZoom(2.0);
    else if (view == QLatin1String("fit"))
        window.setFitToWindow(true);
    if (source == QLatin1String("jpeg")) {
        const auto showJpegs = [&] {
            for (int i = 0; i < window.streams().size(); ++i) {
                const QByteArray jpeg = patternJpeg(frame.width(), frame.height(), deviceNumber(i));
                window.streams()[i]->convertImage(QStringLiteral("image/jpeg"),
                                                  const_cast<unsigned char*>(ubytes(jpeg)),
                                                  int(jpeg.size()));
            }
        };
        // Frames are decoded at display size once the layout has told the
        // devices their size, which takes a few event loop rounds; a slow
        // machine needs more of them.
        QTRY_VERIFY_WITH_TIMEOUT((showJpegs(), window.streams()[1]->shownScaled()), 10000);
        // Decoded smaller than the picture, and read out in its pixels.
        QVERIFY(window.streams()[1]->image().width() < frame.width());
    } else {
        showPatterns(window, frame);
    }
    // The label's new size reaches the scroll area through two rounds of
    // layout requests.
    QTest::qWait(50);

    auto* label = window.findChild<ImageLabel*>(QStringLiteral("mainImage"));
    auto* scroll = window.findChild<QScrollArea*>(QStringLiteral("scrollArea"));
    if (view == QLatin1String("scrolled")) {
        scroll->horizontalScrollBar()->setValue(300);
        scroll->verticalScrollBar()->setValue(200);
        QApplication::processEvents();
    }
    QWidget* from = label;
    QRect area = label->rect();
    if (anchor == QLatin1String("viewport")) {
        from = scroll->viewport();
        area = from->rect();
        // Below the viewport lies the horizontal scroll bar, then the
        // status bar: go below both.
        if (at.y() < 0)
            at.setY(area.height() + scroll->horizontalScrollBar()->height() + 8);
    } else if (anchor == QLatin1String("tile")) {
        from = window.tileView();
        area = window.tileView()->imageRect(1);
        QVERIFY(!area.isEmpty());
    } else if (anchor == QLatin1String("caption")) {
        from = window.tileView();
        area = window.tileView()->tileRect(1);
    }
    const QPoint inAnchor(at.x() < 0 ? area.right() + 1 + at.x() : area.left() + at.x(),
                          at.y() < 0 ? area.bottom() + 1 + at.y() : area.top() + at.y());
    const QPoint inWindow = from->mapTo(&window, inAnchor);
    QCOMPARE(window.pointerReadout(inWindow).value_or(QString()), text);
    if (source == QLatin1String("jpeg")) {
        // The pixel values are read from the frame on screen decoded again
        // at full size, as a full-size conversion gives it.
        const ShownFrame* shown =
            window.examiner()->shownFrame(anchor == QLatin1String("tile") ? 1 : -1);
        QVERIFY(shown != nullptr && shown->device != nullptr);
        const QByteArray jpeg =
            patternJpeg(frame.width(), frame.height(),
                        deviceNumber(int(window.streams().indexOf(shown->device))));
        QCOMPARE(inspectionImage(*shown),
                 shown->device->convertStored(QStringLiteral("image/jpeg"), jpeg).image);
    }
}

void tst_ImageView::eachTileShowsItsDevice_data()
{
    QTest::addColumn<bool>("gray");
    QTest::addColumn<QSize>("windowSize");
    QTest::newRow("JPEG frames, scaled up") << false << QSize(900, 800);
    QTest::newRow("raw gray frames, scaled up") << true << QSize(900, 800);
    QTest::newRow("JPEG frames, scaled down") << false << QSize(560, 500);
}

void tst_ImageView::eachTileShowsItsDevice()
{
    QFETCH(bool, gray);
    QFETCH(QSize, windowSize);
    onlyDisplay window(writeIni(4));
    window.resize(windowSize);
    window.setViewMode(imageDisplay::ViewMode::Tiles);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QSize size(320, 240);
    showPatterns(window, size, gray);

    TileView* tiles = window.tileView();
    QCOMPARE(tiles->columns(), 2);
    const QImage shown = tiles->grab().toImage();
    for (int i = 0; i < 4; ++i)
        QCOMPARE(numberIn(shown, tiles->imageRect(i), size), deviceNumber(i));
    // The status line still counts the frames of all devices together.
    QCOMPARE(window.frameCount(), 4);
    QVERIFY(window.statusBar()->currentMessage().startsWith(QStringLiteral("frameNr:     4 ")));
    QVERIFY(tiles->caption(2).startsWith(QStringLiteral("dev2  TCP 127.0.0.1:1")));
}

// Devices created after the window is shown add tiles; the frames and the
// selection of the tiles already there stay.
void tst_ImageView::tilesKeptWhileDevicesStart()
{
    const int devices = onlyDisplay::DevicesAtOnce + 4;
    onlyDisplay window(writeIni(devices));
    window.resize(900, 800);
    window.setViewMode(imageDisplay::ViewMode::Tiles);
    window.show();
    QCOMPARE(window.streams().size(), onlyDisplay::DevicesAtOnce);
    showPatterns(window, QSize(32, 24));
    TileView* tiles = window.tileView();
    QTest::mouseClick(tiles, Qt::LeftButton, Qt::NoModifier, tiles->tileRect(1).center());
    QCOMPARE(tiles->selected(), 1);

    QTRY_COMPARE_WITH_TIMEOUT(tiles->count(), devices, 10000);
    QCOMPARE(window.streams().size(), devices);
    QCOMPARE(tiles->selected(), 1);
    QVERIFY(!tiles->frame(0).isNull());
    QVERIFY(tiles->frame(devices - 1).isNull());
    QCOMPARE(tiles->name(devices - 1), QStringLiteral("dev%1").arg(devices - 1));
    // A device's change of state rewrites its own caption, and only that
    // one, through every set of devices the tiles were given.
    for (int i = 0; i < devices; ++i)
        tiles->setCaption(i, QStringLiteral("old"));
    emit window.streams().last()->statusChanged();
    QVERIFY(tiles->caption(devices - 1).startsWith(QStringLiteral("dev%1  ").arg(devices - 1)));
    for (int i = 0; i < devices - 1; ++i)
        QCOMPARE(tiles->caption(i), QStringLiteral("old"));
}

void tst_ImageView::selectAndSolo_data()
{
    QTest::addColumn<int>("tile");
    QTest::newRow("first tile") << 0;
    QTest::newRow("last tile of five, alone in its row") << 4;
}

void tst_ImageView::selectAndSolo()
{
    QFETCH(int, tile);
    onlyDisplay window(writeIni(5));
    window.resize(900, 800);
    window.setViewMode(imageDisplay::ViewMode::Tiles);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QSize size(320, 240);
    showPatterns(window, size);
    TileView* tiles = window.tileView();

    const QRect grid = tiles->tileRect(tile);
    QTest::mouseClick(tiles, Qt::LeftButton, Qt::NoModifier, grid.center());
    QCOMPARE(tiles->selected(), tile);
    QImage shown = tiles->grab().toImage();
    QCOMPARE(shown.pixelColor(grid.topLeft() + QPoint(1, grid.height() / 2)), QColor(30, 136, 229));
    const int other = (tile + 1) % tiles->count();
    const QRect otherRect = tiles->tileRect(other);
    QVERIFY(shown.pixelColor(otherRect.topLeft() + QPoint(1, otherRect.height() / 2))
            != QColor(30, 136, 229));

    QTest::mouseDClick(tiles, Qt::LeftButton, Qt::NoModifier, grid.center());
    QCOMPARE(tiles->solo(), tile);
    QCOMPARE(tiles->tileRect(tile), tiles->rect());
    QVERIFY(tiles->tileRect(other).isEmpty());
    shown = tiles->grab().toImage();
    QCOMPARE(numberIn(shown, tiles->imageRect(tile), size), deviceNumber(tile));
    // Frames of the hidden tiles do not disturb the one shown.
    QImage late = patternFrame(size, 999999);
    window.showFrame(late, window.streams()[other], 40);
    QCOMPARE(numberIn(tiles->grab().toImage(), tiles->imageRect(tile), size), deviceNumber(tile));

    QTest::mouseDClick(tiles, Qt::LeftButton, Qt::NoModifier, tiles->rect().center());
    QCOMPARE(tiles->solo(), -1);
    QCOMPARE(tiles->tileRect(tile), grid);
}

void tst_ImageView::saveWhileFramesArrive_data()
{
    QTest::addColumn<bool>("tiles");
    QTest::addColumn<bool>("gray");
    QTest::newRow("newest frame, JPEG frames") << false << false;
    QTest::newRow("newest frame, raw gray frames") << false << true;
    QTest::newRow("selected tile") << true << false;
}

// Frames keep arriving while the save dialog is open; what is saved is the
// frame shown when it returns.
void tst_ImageView::saveWhileFramesArrive()
{
    QFETCH(bool, tiles);
    QFETCH(bool, gray);
    onlyDisplay window(writeIni(4));
    if (tiles)
        window.setViewMode(imageDisplay::ViewMode::Tiles);
    const QSize size(320, 240);
    showPatterns(window, size, gray);
    constexpr int Device = 2;
    window.tileView()->setSelected(Device);

    const QString path = m_dir.filePath(QStringLiteral("saved"));
    QFile::remove(path + QStringLiteral(".bmp"));
    ImageSaveDialogs hooks;
    constexpr int Arrived = 424242;
    hooks.getSaveFileNameAndFilter = [&](QWidget*, const QString&, const QString&, const QString&,
                                         QString* selected) {
        // As in the dialog's own event loop: frames of the selected device
        // and of the others are shown meanwhile, the device's last.
        for (int i = 0; i < 3; ++i) {
            QImage other = patternFrame(size, 1000 + i, gray);
            window.showFrame(other, window.streams()[(Device + 1) % 4], 100 + i);
            QImage mine = patternFrame(size, Arrived - 2 + i, gray);
            window.showFrame(mine, window.streams()[Device], 100 + i);
        }
        QCoreApplication::processEvents();
        *selected = QStringLiteral("Bitmap file (*.bmp)");
        return path;
    };
    int warnings = 0;
    hooks.warning = [&](QWidget*, const QString&, const QString&) { ++warnings; };
    window.findChild<ImageLabel*>(QStringLiteral("mainImage"))->setSaveDialogs(hooks);
    window.saveImage();

    QCOMPARE(warnings, 0);
    QImageReader reader(path + QStringLiteral(".bmp"));
    QCOMPARE(reader.format(), QByteArray("bmp"));
    const QImage saved = reader.read();
    QCOMPARE(saved.size(), size);
    QCOMPARE(numberIn(saved, saved.rect(), size), Arrived);
}

void tst_ImageView::keysAndWheel_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<double>("zoom");
    QTest::addColumn<bool>("fullScreen");
    QTest::addColumn<bool>("open");
    QTest::newRow("Ctrl++") << "Ctrl++" << 1.25 << false << true;
    QTest::newRow("Ctrl+=") << "Ctrl+=" << 1.25 << false << true;
    QTest::newRow("Ctrl+-") << "Ctrl+-" << 0.8 << false << true;
    QTest::newRow("Ctrl+0 after zooming") << "Ctrl++,Ctrl++,Ctrl+0" << 1.0 << false << true;
    QTest::newRow("zoom stops at 3200 % in the newest-frame view")
        << QStringList(40, "Ctrl++").join(',') << 32.0 << false << true;
    QTest::newRow("zoom stops at 25 %")
        << QStringList(40, "Ctrl+-").join(',') << 0.25 << false << true;
    QTest::newRow("Ctrl+wheel up") << "wheel+" << 1.25 << false << true;
    QTest::newRow("Ctrl+wheel down") << "wheel-" << 0.8 << false << true;
    QTest::newRow("plain wheel does not zoom") << "wheel" << 1.0 << false << true;
    QTest::newRow("F11") << "F11" << 1.0 << true << true;
    QTest::newRow("F11, Esc") << "F11,Esc" << 1.0 << false << true;
    QTest::newRow("Esc alone changes nothing") << "Esc" << 1.0 << false << true;
    QTest::newRow("Ctrl+Q") << "Ctrl+Q" << 1.0 << false << false;
}

void tst_ImageView::keysAndWheel()
{
    QFETCH(QString, input);
    QFETCH(double, zoom);
    QFETCH(bool, fullScreen);
    QFETCH(bool, open);
    onlyDisplay window(writeIni(1));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QImage frame = patternFrame(QSize(200, 150), 1);
    window.showFrame(frame, window.streams()[0], 40);

    QWidget* viewport = window.findChild<QScrollArea*>(QStringLiteral("scrollArea"))->viewport();
    for (const QString& step : input.split(QLatin1Char(','))) {
        if (step.startsWith(QLatin1String("wheel"))) {
            const int delta = step.endsWith(QLatin1Char('-')) ? -120 : 120;
            const Qt::KeyboardModifiers mods =
                step == QLatin1String("wheel") ? Qt::NoModifier : Qt::ControlModifier;
            QWheelEvent wheel(QPointF(10, 10), viewport->mapToGlobal(QPointF(10, 10)), QPoint(),
                              QPoint(0, delta), Qt::NoButton, mods, Qt::NoScrollPhase, false);
            QApplication::sendEvent(viewport, &wheel);
        } else {
            const QKeySequence keys(step);
            QTest::keySequence(&window, keys);
        }
        QApplication::processEvents();
    }
    QCOMPARE(window.zoom(), zoom);
    // The label follows the zoom: the frame's size times the zoom.
    QCOMPARE(window.findChild<ImageLabel*>(QStringLiteral("mainImage"))->maximumSize(),
             QSize(qRound(200 * zoom), qRound(150 * zoom)));
    QCOMPARE(window.isFullScreen(), fullScreen);
    QCOMPARE(window.isVisible(), open);
}

void tst_ImageView::layoutKept_data()
{
    QTest::addColumn<QByteArray>("iniKeys");
    QTest::addColumn<bool>("tilesKept");
    QTest::addColumn<bool>("tilesExpected");
    QTest::addColumn<bool>("panelKept"); // View > Statistics
    QTest::newRow("tiles kept, statistics open") << QByteArray() << true << true << true;
    QTest::newRow("newest frame kept") << QByteArray() << false << false << false;
    QTest::newRow("view=tiles outranks the kept view")
        << QByteArray("view=tiles\n") << false << true << true;
}

void tst_ImageView::layoutKept()
{
    QFETCH(QByteArray, iniKeys);
    QFETCH(bool, tilesKept);
    QFETCH(bool, tilesExpected);
    QFETCH(bool, panelKept);
    const QString ini = writeIni(2, iniKeys);
    const QByteArray iniBefore = readFile(ini);
    {
        onlyDisplay window(ini);
        window.restoreLayout();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.resize(800, 600);
        window.setViewMode(tilesKept ? imageDisplay::ViewMode::Tiles
                                     : imageDisplay::ViewMode::Newest);
        window.setZoom(2.0);
        auto* statistics = window.findChild<QAction*>(QStringLiteral("actionStatistics"));
        if (statistics->isChecked() != panelKept)
            statistics->trigger();
    }
    QCOMPARE(readFile(ini), iniBefore);
    QVERIFY(QSettings().childGroups().contains(QLatin1String(imageDisplay::LayoutGroup)));

    onlyDisplay window(ini);
    QCOMPARE(window.viewMode() == imageDisplay::ViewMode::Tiles, iniKeys.contains("tiles"));
    window.restoreLayout();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.viewMode() == imageDisplay::ViewMode::Tiles, tilesExpected);
    QCOMPARE(window.size(), QSize(800, 600));
    QCOMPARE(window.tileView()->isVisible(), tilesExpected);
    QCOMPARE(window.findChild<QDockWidget*>(QStringLiteral("statisticsDock"))->isVisible(),
             panelKept);
    if (tilesExpected == tilesKept) {
        QCOMPARE(window.zoom(), 2.0);
        QVERIFY(!window.fitToWindow());
    }
}

void tst_ImageView::resetLayout()
{
    {
        onlyDisplay window(writeIni(1));
        window.restoreLayout();
        window.resize(800, 600);
        window.setViewMode(imageDisplay::ViewMode::Tiles);
        window.setFitToWindow(false);
    }
    onlyDisplay window(writeIni(1));
    window.restoreLayout();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.viewMode(), imageDisplay::ViewMode::Tiles);
    window.findChild<QAction*>(QStringLiteral("actionResetLayout"))->trigger();
    QCOMPARE(window.viewMode(), imageDisplay::ViewMode::Newest);
    QVERIFY(!window.fitToWindow());
    QCOMPARE(window.zoom(), 1.0);
    QCOMPARE(window.size(), imageDisplay::DefaultSize);
    QVERIFY(!QSettings().childGroups().contains(QLatin1String(imageDisplay::LayoutGroup)));
    window.setViewMode(imageDisplay::ViewMode::Tiles);
    QVERIFY(window.fitToWindow());
}

void tst_ImageView::settingsFileKinds_data()
{
    QTest::addColumn<QString>("kind");   // what the settings path is, or points to
    QTest::addColumn<bool>("linked");    // a symbolic link to it
    QTest::addColumn<qint64>("padding"); // a comment making the file this large
    QTest::addColumn<bool>("used");
    QTest::newRow("regular file") << "file" << false << qint64(0) << true;
    QTest::newRow("missing file") << "missing" << false << qint64(0) << true;
    QTest::newRow("FIFO") << "fifo" << false << qint64(0) << false;
    QTest::newRow("file over 1 MiB") << "file" << false << usersettings::MaxBytes << false;
    QTest::newRow("link into a dotfiles folder") << "file" << true << qint64(0) << true;
    QTest::newRow("link to a device") << "/dev/null" << true << qint64(0) << false;
    QTest::newRow("link to a folder") << "folder" << true << qint64(0) << false;
}

void tst_ImageView::settingsFileKinds()
{
    QFETCH(QString, kind);
    QFETCH(bool, linked);
    QFETCH(qint64, padding);
    QFETCH(bool, used);
    // A settings file of its own for each row, so that each warns once.
    static int row = 0;
    const QString application = QStringLiteral("settingskind%1").arg(++row);
    const QString defaultApplication = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName(application);
    const auto restoreName =
        qScopeGuard([&] { QCoreApplication::setApplicationName(defaultApplication); });
    const QString path =
        m_userSettings.filePath(QStringLiteral("framescope-test/%1.conf").arg(application));
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QCOMPARE(usersettings::filePath(), path);

    QTemporaryDir dotfiles;
    QByteArray content = "[layout]\nview=tiles\n";
    if (padding > 0)
        content += "; " + QByteArray(padding, 'x') + '\n';
    const QString target = pathOfKind(dotfiles.path(), kind, content);
    QVERIFY(!target.isEmpty());
    if (linked)
        QVERIFY(QFile::link(target, path));
    else if (kind != QLatin1String("missing"))
        QVERIFY(QFile::rename(target, path));
    const QFileInfo before(path);

    const QRegularExpression refused(
        QStringLiteral("^Settings file \"%1\" is not used").arg(QRegularExpression::escape(path)));
    if (!used)
        QTest::ignoreMessage(QtWarningMsg, refused);
    // Once, though the layout is both read and written.
    QTest::failOnWarning(refused);
    {
        onlyDisplay window(writeIni(1));
        window.restoreLayout();
        QCOMPARE(window.viewMode() == imageDisplay::ViewMode::Tiles,
                 used && kind != QLatin1String("missing"));
        window.resize(700, 650);
    }
    const QFileInfo after(path);
    QCOMPARE(after.isSymLink(), linked);
    if (linked)
        QCOMPARE(after.symLinkTarget(), before.symLinkTarget());
    if (used) {
        // Written where the link points; the link stays.
        QVERIFY(after.isFile());
        QVERIFY(readFile(path).contains("geometry="));
        return;
    }
    QVERIFY(after.exists());
    QVERIFY(!after.isFile() || readFile(path) == content);
    QCOMPARE(after.isDir(), kind == QLatin1String("folder"));
    if (kind == QLatin1String("folder"))
        QVERIFY(QDir(target).isEmpty());
    QVERIFY(!QFileInfo(QStringLiteral("/dev/null")).isFile());
}

void tst_ImageView::statusLineWholeAtFirstStart_data()
{
    QTest::addColumn<int>("devices");
    QTest::addColumn<bool>("firstStart"); // else the default width
    QTest::addColumn<bool>("compact");    // the indicators without their words
    QTest::newRow("one device") << 1 << true << false;
    QTest::newRow("two devices, none receiving") << 2 << true << false;
    QTest::newRow("four devices, none receiving") << 4 << true << false;
    QTest::newRow("default width, one device") << 1 << false << false;
    QTest::newRow("default width, four devices") << 4 << false << true;
    QTest::newRow("default width, twelve devices, cut short") << 12 << false << true;
}

// Without a kept layout the window starts wide enough for the status line
// with lost packets, beside every device's indicator; at the default width
// the indicators give way to it.
void tst_ImageView::statusLineWholeAtFirstStart()
{
    QFETCH(int, devices);
    QFETCH(bool, firstStart);
    QFETCH(bool, compact);
    onlyDisplay window(writeIni(devices));
    if (firstStart) {
        window.restoreLayout();
        const int screenWidth = window.screen()->availableGeometry().width();
        QCOMPARE(window.width(), std::min(window.statusLineWidth(), screenWidth));
        QVERIFY(window.width() > 676);
        // As on a screen wide enough (the test's own screen may be narrower).
        window.resize(window.statusLineWidth(), window.height());
    } else {
        window.resize(imageDisplay::DefaultSize);
    }
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QStatusBar* bar = window.statusBar();
    // The form with lost packets where the window was widened for it, the
    // form without at the default width.
    const QString text =
        firstStart ? FrameStatistics::statusText(999999, 999.999, 9999, 99999, 9999, 99999, 0.0)
                   : FrameStatistics::statusText(999999, 999.999, 9999, 0, 0, 0, 99999.9999);
    bar->showMessage(text);
    // Indicators carry a state word until frames arrive: wait for it.
    QTRY_VERIFY_WITH_TIMEOUT(window.streams().first()->status().isFailure(), 5000);
    QCoreApplication::processEvents();
    int firstIndicator = bar->width();
    for (const QWidget* w : bar->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (w->isVisible() && w->x() > 0 && w->width() < bar->width() / 2)
            firstIndicator = std::min(firstIndicator, w->x());
    }
    QVERIFY2(bar->fontMetrics().horizontalAdvance(text) <= firstIndicator - 8,
             qPrintable(QStringLiteral("text %1 px, room %2 px in a window of %3 px")
                            .arg(bar->fontMetrics().horizontalAdvance(text))
                            .arg(firstIndicator - 8)
                            .arg(window.width())));
    // Compact indicators still tell their state in the tool tip.
    const auto* indicator = bar->findChild<DeviceIndicator*>();
    QVERIFY(indicator != nullptr);
    QCOMPARE(indicator->isCompact(), compact);
    QVERIFY(indicator->toolTip().contains(indicator->stateText().section(QLatin1Char(' '), 1)));
}

QTEST_MAIN(tst_ImageView)
#include "tst_imageview.moc"
