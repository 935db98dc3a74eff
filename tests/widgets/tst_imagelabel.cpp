// SPDX-License-Identifier: MIT
#include "imagelabel.h"
#include "testfiles.h"
#include "viewgeometry.h"
#include "zoomedpaint.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QImage>
#include <QImageReader>
#include <QMenu>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

// Counts the pixels of `color` in column x between rows y0 and y1.
int countInColumn(const QImage& image, int x, int y0, int y1, QColor color)
{
    int n = 0;
    for (int y = y0; y <= y1; ++y)
        n += image.pixelColor(x, y) == color ? 1 : 0;
    return n;
}

struct RecordedDialogs
{
    QString answer;
    QString caption;
    QString dir = QStringLiteral("unset");
    QString filter;
    QWidget* dialogParent = nullptr;
    int warnings = 0;
    QString warningTitle;
    QString warningText;
    QWidget* warningParent = nullptr;

    ImageSaveDialogs hooks()
    {
        ImageSaveDialogs d;
        d.getSaveFileName = [this](QWidget* parent, const QString& c, const QString& dirArg,
                                   const QString& f) {
            dialogParent = parent;
            caption = c;
            dir = dirArg;
            filter = f;
            return answer;
        };
        d.warning = [this](QWidget* parent, const QString& title, const QString& text) {
            ++warnings;
            warningParent = parent;
            warningTitle = title;
            warningText = text;
        };
        return d;
    }
};

} // namespace

class tst_ImageLabel : public QObject
{
    Q_OBJECT

private slots:
    void zoomedPaint_data();
    void zoomedPaint();
    void initialState();
    void outlineWithoutImage_data();
    void outlineWithoutImage();
    void scaling_data();
    void scaling();
    void marker();
    void markerHiddenAfter_data();
    void markerHiddenAfter();
    void setImageFromData_data();
    void setImageFromData();
    void setImageWithMarker_data();
    void setImageWithMarker();
    void missingFileKeepsImage();
    void save_data();
    void save();
    void saveActionOpensDialog();
    void contextMenu();
};

void tst_ImageLabel::initialState()
{
    ImageLabel label(nullptr, true);
    QCOMPARE(label.imageSize(), QSize(640, 480));
    QCOMPARE(label.markRect(), QRect(0, 0, 0, 0));
    QVERIFY(!label.markShown());
    QCOMPARE(label.markColor(), QColor(0, 0, 0, 255));
    QVERIFY(label.currentPixmap().isNull());
    QVERIFY(label.hasScaledContents());
    QVERIFY(label.saveAction() != nullptr);
    QCOMPARE(label.saveAction()->text(), QStringLiteral("&Save image"));
    QCOMPARE(label.saveAction()->parent(), &label);

    // The compiled-in placeholder is found and shown as a private copy.
    label.showNoImage();
    QVERIFY(!label.currentPixmap().isNull());
    QCOMPARE(label.imageSize(), label.currentPixmap().size());
    QCOMPARE(label.markRect(), QRect());
    QCOMPARE(label.markColor(), QColor(Qt::transparent));
}

void tst_ImageLabel::outlineWithoutImage_data()
{
    QTest::addColumn<bool>("cleared");
    QTest::newRow("new label") << false;
    QTest::newRow("after clearImage") << true;
}

void tst_ImageLabel::outlineWithoutImage()
{
    QFETCH(bool, cleared);
    ImageLabel label;
    label.setText(QStringLiteral("TextLabel"));
    label.resize(200, 100);
    if (cleared) {
        const QImage red = solidFrame(64, 48, Qt::red);
        label.setImage(QPixmap::fromImage(red));
        label.clearImage();
        QCOMPARE(label.imageSize(), QSize(0, 0));
    }
    const QImage shot = label.grab().toImage();
    const QColor pen = label.palette().color(QPalette::WindowText);
    const QColor inside = shot.pixelColor(100, 50);
    QVERIFY(inside != pen);
    // A one-pixel outline along all four edges, and nothing inside: neither
    // the label's text nor a frame of its own.
    QCOMPARE(countInColumn(shot, 0, 0, 99, pen), 100);
    QCOMPARE(countInColumn(shot, 199, 0, 99, pen), 100);
    QCOMPARE(shot.pixelColor(100, 0), pen);
    QCOMPARE(shot.pixelColor(100, 99), pen);
    for (int x = 1; x < 199; ++x)
        QCOMPARE(countInColumn(shot, x, 1, 98, inside), 98);
}

void tst_ImageLabel::scaling_data()
{
    QTest::addColumn<bool>("keepAspect");
    QTest::newRow("stretched to the full width") << false;
    QTest::newRow("aspect kept, background on the right") << true;
}

void tst_ImageLabel::scaling()
{
    QFETCH(bool, keepAspect);
    ImageLabel label(nullptr, !keepAspect);
    label.setKeepAspect(keepAspect);
    label.resize(1280, 480);
    QCOMPARE(label.setImage(QPixmap::fromImage(solidFrame(640, 480, Qt::red))), QSize(640, 480));

    const QImage shot = label.grab().toImage();
    QCOMPARE(shot.pixelColor(0, 0), QColor(Qt::red));
    QCOMPARE(shot.pixelColor(639, 479), QColor(Qt::red));
    const QColor right = shot.pixelColor(1000, 240);
    if (keepAspect) {
        QCOMPARE(right, label.palette().color(label.backgroundRole()));
        QCOMPARE(shot.pixelColor(640, 0), right);
        QCOMPARE(shot.pixelColor(1279, 479), right);
    } else {
        QCOMPARE(right, QColor(Qt::red));
        QCOMPARE(shot.pixelColor(1279, 479), QColor(Qt::red));
    }
}

void tst_ImageLabel::marker()
{
    ImageLabel label;
    label.resize(1280, 960);
    const QByteArray data = imageFile(solidFrame(640, 480, Qt::white), "PNG");
    QCOMPARE(label.setImage(&data, 100, 50, 20, 10), QSize(640, 480));
    QCOMPARE(label.markRect(), QRect(90, 45, 20, 10));

    // Image pixels (90, 45) 20 x 10 scale by two into the label: an outline
    // two pixels wide centred on the edges of (180, 90) 40 x 20.
    const QImage shot = label.grab().toImage();
    const QColor black(Qt::black);
    const QColor white(Qt::white);
    QCOMPARE(countInColumn(shot, 179, 95, 105, black), 11);
    QCOMPARE(countInColumn(shot, 180, 95, 105, black), 11);
    QCOMPARE(countInColumn(shot, 219, 95, 105, black), 11);
    QCOMPARE(countInColumn(shot, 220, 95, 105, black), 11);
    QCOMPARE(shot.pixelColor(200, 89), black);
    QCOMPARE(shot.pixelColor(200, 90), black);
    QCOMPARE(shot.pixelColor(200, 109), black);
    QCOMPARE(shot.pixelColor(200, 110), black);
    // No fill, and nothing beyond the pen.
    QCOMPARE(shot.pixelColor(200, 100), white);
    QCOMPARE(shot.pixelColor(177, 100), white);
    QCOMPARE(shot.pixelColor(222, 100), white);
    QCOMPARE(shot.pixelColor(200, 87), white);
    QCOMPARE(shot.pixelColor(200, 112), white);
}

void tst_ImageLabel::markerHiddenAfter_data()
{
    QTest::addColumn<int>("step");
    QTest::newRow("showNoImage") << 0;
    QTest::newRow("setImage from a file") << 1;
    QTest::newRow("clearImage") << 2;
}

void tst_ImageLabel::markerHiddenAfter()
{
    QFETCH(int, step);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("frame.png"));
    QVERIFY(solidFrame(320, 240, Qt::white).save(file));

    ImageLabel label;
    label.resize(640, 480);
    if (step == 0)
        label.showNoImage();
    else if (step == 1)
        QCOMPARE(label.setImage(file), QSize(320, 240));
    else
        label.clearImage();

    const QByteArray data = imageFile(solidFrame(320, 240, Qt::white), "PNG");
    label.setImage(&data, 100, 50, 20, 10);
    QVERIFY(label.markShown());
    const QImage shot = label.grab().toImage();
    for (int x = 170; x <= 230; ++x)
        QCOMPARE(countInColumn(shot, x, 80, 120, Qt::white), 41);
}

void tst_ImageLabel::setImageFromData_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("decodes");
    QTest::addColumn<bool>("debugText");
    QTest::newRow("PNG bytes") << 0 << true << false;
    QTest::newRow("JPEG bytes") << 1 << true << false;
    QTest::newRow("no data") << 2 << false << false;
    QTest::newRow("empty data") << 3 << false << false;
    QTest::newRow("bytes that are no image") << 4 << false << true;
}

void tst_ImageLabel::setImageFromData()
{
    QFETCH(int, kind);
    QFETCH(bool, decodes);
    QFETCH(bool, debugText);
    const QImage image = solidFrame(30, 20, Qt::green);
    const QByteArray png = imageFile(image, "PNG");
    const QByteArray jpeg = imageFile(image, "JPG");
    const QByteArray empty;
    const QByteArray junk("not an image at all", 19);
    const QByteArray* data[] = {&png, &jpeg, nullptr, &empty, &junk};

    ImageLabel label;
    label.setImage(QPixmap::fromImage(solidFrame(50, 40, Qt::red)));
    if (debugText)
        QTest::ignoreMessage(QtDebugMsg, "Error converting to pixmap");
    const QSize size = label.setImage(data[kind]);
    QCOMPARE(size, decodes ? QSize(30, 20) : QSize(50, 40));
    QCOMPARE(label.imageSize(), size);
    QCOMPARE(label.currentPixmap().isNull(), !decodes);
    QVERIFY(!label.markShown());
}

void tst_ImageLabel::setImageWithMarker_data()
{
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("y");
    QTest::addColumn<int>("w");
    QTest::addColumn<int>("h");
    QTest::addColumn<QRect>("expected");
    QTest::newRow("centred, even size") << true << 100 << 50 << 20 << 10 << QRect(90, 45, 20, 10);
    QTest::newRow("odd size, halves truncated")
        << true << 100 << 50 << 21 << 11 << QRect(90, 45, 21, 11);
    QTest::newRow("negative size truncates toward zero")
        << true << 10 << 10 << -21 << -3 << QRect(20, 11, -21, -3);
    QTest::newRow("undecodable data falls back to the placeholder")
        << false << 5 << 6 << 4 << 2 << QRect(3, 5, 4, 2);
}

void tst_ImageLabel::setImageWithMarker()
{
    QFETCH(bool, valid);
    QFETCH(int, x);
    QFETCH(int, y);
    QFETCH(int, w);
    QFETCH(int, h);
    QFETCH(QRect, expected);
    const QByteArray data =
        valid ? imageFile(solidFrame(64, 48, Qt::blue), "PNG") : QByteArray("junk");
    ImageLabel label;
    const QSize size = label.setImage(&data, x, y, w, h);
    QVERIFY(label.markShown());
    if (valid) {
        QCOMPARE(size, QSize(64, 48));
        QCOMPARE(label.markRect(), expected);
        QCOMPARE(label.markColor(), QColor(Qt::black));
    } else {
        // The placeholder replaces the image and clears the marker.
        QCOMPARE(size, QSize(160, 120));
        QCOMPARE(label.markRect(), QRect());
        QCOMPARE(label.markColor(), QColor(Qt::transparent));
    }
}

void tst_ImageLabel::missingFileKeepsImage()
{
    ImageLabel label;
    const QByteArray data = imageFile(solidFrame(64, 48, Qt::blue), "PNG");
    label.setImage(&data, 10, 10, 4, 4);
    const qint64 key = label.currentPixmap().cacheKey();
    QTest::ignoreMessage(QtDebugMsg, "Error converting to pixmap");
    QCOMPARE(label.setImage(QStringLiteral("/nonexistent/frame.png")), QSize(64, 48));
    QCOMPARE(label.currentPixmap().cacheKey(), key);
    QVERIFY(!label.markShown());
    QCOMPARE(label.markColor(), QColor(Qt::transparent));
}

void tst_ImageLabel::save_data()
{
    QTest::addColumn<QString>("typed");   // empty: cancelled
    QTest::addColumn<bool>("withFilter"); // the dialog reports the filter chosen in it
    QTest::addColumn<QString>("filter");
    QTest::addColumn<bool>("withImage");
    QTest::addColumn<QString>("written"); // empty: nothing written
    QTest::addColumn<QByteArray>("format");
    const auto row = [](const char* tag, const char* typed, const char* filter, bool withImage,
                        const char* written, const char* format) {
        QTest::newRow(tag) << QString::fromLatin1(typed) << (filter != nullptr)
                           << QString::fromLatin1(filter) << withImage
                           << QString::fromLatin1(written) << QByteArray(format);
    };
    row(".png writes PNG", "frame.png", nullptr, true, "frame.png", "png");
    row(".jpg writes JPEG", "frame.jpg", nullptr, true, "frame.jpg", "jpeg");
    row(".bmp writes BMP", "frame.bmp", nullptr, true, "frame.bmp", "bmp");
    row("no suffix fails", "frame", nullptr, true, "", "");
    row("unknown suffix fails", "frame.xyz", nullptr, true, "", "");
    row("no image yet fails", "frame.png", nullptr, false, "", "");
    row("directory missing fails", "missing/frame.png", nullptr, true, "", "");
    row("cancelled does nothing", "", nullptr, true, "", "");
    // The filter chosen gives a name without suffix its suffix.
    row("no suffix, PNG filter", "frame", "PNG file (*.png)", true, "frame.png", "png");
    row("no suffix, JPEG filter", "frame", "JPEG file (*.jpg)", true, "frame.jpg", "jpeg");
    row("no suffix, bitmap filter", "frame", "Bitmap file (*.bmp)", true, "frame.bmp", "bmp");
    row("trailing dot", "frame.", "PNG file (*.png)", true, "frame.png", "png");
    row("a typed suffix wins over the filter", "frame.bmp", "PNG file (*.png)", true, "frame.bmp",
        "bmp");
    row("dotted folder, name without suffix", "v1.2/frame", "JPEG file (*.jpg)", true,
        "v1.2/frame.jpg", "jpeg");
    row("unknown typed suffix still fails", "frame.xyz", "PNG file (*.png)", true, "", "");
    row("no filter reported still fails", "frame", "", true, "", "");
}

void tst_ImageLabel::save()
{
    QFETCH(QString, typed);
    QFETCH(bool, withFilter);
    QFETCH(QString, filter);
    QFETCH(bool, withImage);
    QFETCH(QString, written);
    QFETCH(QByteArray, format);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("v1.2")));
    const QString path = typed.isEmpty() ? QString() : dir.filePath(typed);

    ImageLabel label;
    RecordedDialogs dialogs;
    dialogs.answer = path;
    ImageSaveDialogs hooks = dialogs.hooks();
    if (withFilter) {
        hooks.getSaveFileNameAndFilter = [&](QWidget* parent, const QString& caption,
                                             const QString& dirArg, const QString& filters,
                                             QString* selected) {
            *selected = filter;
            return hooks.getSaveFileName(parent, caption, dirArg, filters);
        };
    }
    label.setSaveDialogs(hooks);
    if (withImage)
        label.setImage(QPixmap::fromImage(solidFrame(64, 48, QColor(10, 200, 30))));
    label.saveImage();

    QCOMPARE(dialogs.dialogParent, &label);
    QCOMPARE(dialogs.caption, QStringLiteral("Save Image"));
    QCOMPARE(dialogs.dir, QString());
    QCOMPARE(dialogs.filter, QStringLiteral("PNG file (*.png);;JPEG file (*.jpg);;"
                                            "Bitmap file (*.bmp);;TIF file (*.tif)"));
    if (path.isEmpty()) {
        QCOMPARE(dialogs.warnings, 0);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 0);
        return;
    }
    if (written.isEmpty()) {
        QCOMPARE(dialogs.warnings, 1);
        QCOMPARE(dialogs.warningParent, &label);
        QCOMPARE(dialogs.warningTitle, QStringLiteral("Error saving image"));
        QCOMPARE(dialogs.warningText, QStringLiteral("Image %1 could not be saved").arg(path));
        QVERIFY(!QFile::exists(path));
        return;
    }
    QCOMPARE(dialogs.warnings, 0);
    QImageReader reader(dir.filePath(written));
    QCOMPARE(reader.format(), format);
    const QImage back = reader.read();
    QCOMPARE(back.size(), QSize(64, 48));
    if (format != "jpeg")
        QCOMPARE(back.pixelColor(5, 5), QColor(10, 200, 30));
}

void tst_ImageLabel::saveActionOpensDialog()
{
    ImageLabel label;
    RecordedDialogs dialogs;
    label.setSaveDialogs(dialogs.hooks());
    label.saveAction()->trigger();
    QCOMPARE(dialogs.caption, QStringLiteral("Save Image"));
}

void tst_ImageLabel::contextMenu()
{
    QWidget parent;
    ImageLabel* label = new ImageLabel(&parent);
    label->resize(100, 100);
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));

    // Disabled by default: the event goes on to the parent.
    {
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                                label->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(label, &event);
        QVERIFY(!event.isAccepted());
    }

    // Enabled: a menu with the one save entry runs and is gone afterwards,
    // however often it is opened.
    label->setContextMenuEnabled(true);
    for (int round = 0; round < 3; ++round) {
        QStringList entries;
        QTimer::singleShot(0, [&entries] {
            QMenu* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (menu == nullptr)
                return;
            for (QAction* action : menu->actions())
                entries << action->text();
            menu->close();
        });
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                                label->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(label, &event);
        QCOMPARE(entries, QStringList{QStringLiteral("&Save image")});
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        int menus = 0;
        for (QWidget* w : QApplication::topLevelWidgets())
            menus += qobject_cast<QMenu*>(w) != nullptr ? 1 : 0;
        QCOMPARE(menus, 0);
    }
}

void tst_ImageLabel::zoomedPaint_data()
{
    QTest::addColumn<QSize>("shown");
    QTest::addColumn<QRect>("exposed");
    QTest::addColumn<bool>("grid");
    // A 7 x 5 picture of distinct colours.
    QTest::newRow("2x, whole") << QSize(14, 10) << QRect(0, 0, 14, 10) << false;
    QTest::newRow("3.3x, a part") << QSize(23, 17) << QRect(5, 3, 11, 9) << false;
    QTest::newRow("16x, grid") << QSize(112, 80) << QRect(0, 0, 112, 80) << true;
    QTest::newRow("20x, a part with grid") << QSize(140, 100) << QRect(33, 21, 50, 40) << true;
}

// Far zoomed in, each painted pixel is the one the read-out names under it,
// only the exposed part is touched, and grid lines lie on pixel edges.
void tst_ImageLabel::zoomedPaint()
{
    QFETCH(QSize, shown);
    QFETCH(QRect, exposed);
    QFETCH(bool, grid);
    QImage image(7, 5, QImage::Format_RGB32);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x)
            image.setPixel(x, y, qRgb(x * 30, y * 40, 200));
    QVERIFY(zoomedpaint::isZoomedIn(image, shown));
    QImage canvas(shown, QImage::Format_RGB32);
    canvas.fill(Qt::magenta);
    {
        QPainter painter(&canvas);
        zoomedpaint::paint(painter, image, shown, exposed);
    }
    int lines = 0;
    for (int y = 0; y < shown.height(); ++y) {
        for (int x = 0; x < shown.width(); ++x) {
            const QRgb got = canvas.pixel(x, y);
            if (!exposed.contains(x, y)) {
                QCOMPARE(got, QColor(Qt::magenta).rgb());
                continue;
            }
            const auto p =
                viewgeometry::imagePixelAt(QPointF(x, y), QRect(QPoint(0, 0), shown), image.size());
            QVERIFY(p.has_value());
            if (got == image.pixel(*p))
                continue;
            // Anything else is a grid line on the first column or row of a
            // pixel.
            QVERIFY2(grid, qPrintable(QStringLiteral("%1,%2").arg(x).arg(y)));
            const auto left = viewgeometry::imagePixelAt(QPointF(x - 1, y),
                                                         QRect(QPoint(0, 0), shown), image.size());
            const auto above = viewgeometry::imagePixelAt(QPointF(x, y - 1),
                                                          QRect(QPoint(0, 0), shown), image.size());
            QVERIFY(!left || !above || left->x() != p->x() || above->y() != p->y());
            ++lines;
        }
    }
    QCOMPARE(lines > 0, grid);
}

QTEST_MAIN(tst_ImageLabel)
#include "tst_imagelabel.moc"
