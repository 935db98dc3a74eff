// SPDX-License-Identifier: MIT
#include "imagedisplay.h"

#include "frameconversion.h"
#include "getstreamimage.h"
#include "imagelabel.h"
#include "rtpcounters.h"

#include "testfiles.h"

#include <QApplication>
#include <QFile>
#include <QMouseEvent>
#include <QPainter>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolTip>

#include <cstring>

namespace {

// Gives the tests the window's log file, which only the device enumeration
// of onlyDisplay sets otherwise.
class TestDisplay : public imageDisplay
{
public:
    explicit TestDisplay(const QString& configPath) : imageDisplay(configPath) {}
    void setLogFile(const QString& path) { m_logFile = path; }
    ImageLabel* label() const { return findChild<ImageLabel*>(QStringLiteral("mainImage")); }
    QStatusBar* bar() const { return findChild<QStatusBar*>(QStringLiteral("statusBar")); }
};

// A controller that marks every frame it is asked to draw on.
class MarkingController : public GetStreamImage
{
public:
    using GetStreamImage::GetStreamImage;
    void paintOverlay(QPainter& painter) override
    {
        ++calls;
        painter.fillRect(0, 0, 4, 4, Qt::red);
    }
    int calls = 0;
};

QStringList readLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

struct CounterReset
{
    ~CounterReset()
    {
        g_packetsLost = 0;
        g_packetsOutOfOrder = 0;
        g_packetsExpected = 0;
        g_frameDelay = 0.0;
    }
};

} // namespace

class tst_ImageDisplay : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void formKeepsObjectName();
    void scrollBarsUntilFirstFrame();
    void titleIsConfigurationPath();
    void statusBarSetting_data();
    void statusBarSetting();
    void saveBeforeFirstFrame();

    void statusLineFromProcessCounters_data();
    void statusLineFromProcessCounters();
    void histogramEveryThousandFrames();
    void unwritableHistogramLogReportedOnce();
    void frameShownWithOverlay_data();
    void frameShownWithOverlay();
    void nullFrame();
    void statusLineCatchesUpAfterBurst();
    void grayFrameOutlivesItsTransferBuffer();

    void pointerReadout_data();
    void pointerReadout();

private:
    QString iniPath() const { return m_dir.filePath(QStringLiteral("tcp_streaming.ini")); }
    QTemporaryDir m_dir;
};

void tst_ImageDisplay::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void tst_ImageDisplay::init()
{
    QFile::remove(iniPath());
}

void tst_ImageDisplay::formKeepsObjectName()
{
    QMainWindow window;
    window.setObjectName(QStringLiteral("existing"));
    Ui::framescopeClass ui;
    ui.setupUi(&window);
    QCOMPARE(window.objectName(), QStringLiteral("existing"));
    QCOMPARE(window.windowTitle(), QStringLiteral("framescope"));
    QCOMPARE(ui.mainImage->parent(), ui.scrollAreaWidgetContents);
    QCOMPARE(ui.scrollArea->widget(), ui.scrollAreaWidgetContents);
    QCOMPARE(window.centralWidget(), ui.centralWidget);
}

void tst_ImageDisplay::scrollBarsUntilFirstFrame()
{
    TestDisplay window(iniPath());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* area = window.findChild<QScrollArea*>(QStringLiteral("scrollArea"));
    QVERIFY(area != nullptr);
    QTRY_VERIFY(area->horizontalScrollBar()->isVisible());
    QVERIFY(area->verticalScrollBar()->isVisible());

    // A frame smaller than the view fixes the label to its size.
    QImage frame = solidFrame(320, 240, Qt::gray);
    window.showFrame(frame, nullptr, 40);
    QTRY_VERIFY(!area->horizontalScrollBar()->isVisible());
    QVERIFY(!area->verticalScrollBar()->isVisible());
}

// main puts title.txt's line in its place when there is one.
void tst_ImageDisplay::titleIsConfigurationPath()
{
    TestDisplay window(iniPath());
    QCOMPARE(window.windowTitle(), iniPath());
}

void tst_ImageDisplay::statusBarSetting_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<bool>("hidden");
    QTest::newRow("absent") << QByteArray("") << false;
    QTest::newRow("0") << QByteArray("no_statusbar=0\n") << false;
    QTest::newRow("not a number") << QByteArray("no_statusbar=x\n") << false;
    QTest::newRow("empty value") << QByteArray("no_statusbar=\n") << false;
    QTest::newRow("1") << QByteArray("no_statusbar=1\n") << true;
    QTest::newRow("-1") << QByteArray("no_statusbar=-1\n") << true;
    QTest::newRow("in section General") << QByteArray("[General]\nno_statusbar=1\n") << true;
    QTest::newRow("inside a device group has no effect")
        << QByteArray("[dev0]\nno_statusbar=1\n") << false;
}

void tst_ImageDisplay::statusBarSetting()
{
    QFETCH(QByteArray, ini);
    QFETCH(bool, hidden);
    writeFile(iniPath(), ini);
    TestDisplay window(iniPath());
    auto* bar = window.bar();
    QCOMPARE(bar->isHidden(), hidden);

    // The status text is kept up to date either way.
    QImage frame = solidFrame(8, 8, Qt::black);
    window.showFrame(frame, nullptr, 40);
    QVERIFY(bar->currentMessage().startsWith(QStringLiteral("frameNr:     1 ")));
}

void tst_ImageDisplay::saveBeforeFirstFrame()
{
    TestDisplay window(iniPath());
    // The form's label is the image label, which Ctrl+S reaches.
    auto* label = window.label();
    QVERIFY(label != nullptr);
    QVERIFY(label->currentPixmap().isNull());
    int dialogs = 0;
    QString warning;
    ImageSaveDialogs hooks;
    hooks.getSaveFileName = [&](QWidget*, const QString&, const QString&, const QString&) {
        ++dialogs;
        return m_dir.filePath(QStringLiteral("shot.png"));
    };
    hooks.warning = [&](QWidget*, const QString&, const QString& text) { warning = text; };
    label->setSaveDialogs(hooks);

    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(dialogs, 1);
    QCOMPARE(warning, QStringLiteral("Image %1 could not be saved")
                          .arg(m_dir.filePath(QStringLiteral("shot.png"))));

    // With a frame shown, File > Save Image writes it.
    QImage frame = solidFrame(32, 24, Qt::blue);
    window.showFrame(frame, nullptr, 40);
    warning.clear();
    window.findChild<QAction*>(QStringLiteral("actionSave"))->trigger();
    QCOMPARE(dialogs, 2);
    QVERIFY(warning.isEmpty());
    QCOMPARE(QImage(m_dir.filePath(QStringLiteral("shot.png"))).size(), QSize(32, 24));
}

void tst_ImageDisplay::statusLineFromProcessCounters_data()
{
    QTest::addColumn<qint64>("lost");
    QTest::addColumn<qint64>("outOfOrder");
    QTest::addColumn<qint64>("expected");
    QTest::addColumn<double>("delay");
    QTest::newRow("delay form") << qint64(0) << qint64(0) << qint64(0) << 0.0123;
    QTest::newRow("packet-loss form") << qint64(5) << qint64(1) << qint64(1200) << 0.5;
}

// The window shows the statistics' text with the process-wide counters.
void tst_ImageDisplay::statusLineFromProcessCounters()
{
    QFETCH(qint64, lost);
    QFETCH(qint64, outOfOrder);
    QFETCH(qint64, expected);
    QFETCH(double, delay);
    CounterReset reset;
    g_packetsLost = lost;
    g_packetsOutOfOrder = outOfOrder;
    g_packetsExpected = expected;
    g_frameDelay = delay;
    TestDisplay window(iniPath());
    QImage image = solidFrame(4, 4, Qt::black);
    window.showFrame(image, nullptr, 40);
    QCOMPARE(window.bar()->currentMessage(),
             FrameStatistics::statusText(1, 40.0, 40, lost, outOfOrder, expected, delay));
}

void tst_ImageDisplay::histogramEveryThousandFrames()
{
    const QString log = m_dir.filePath(QStringLiteral("histogram.log"));
    QFile::remove(log);
    TestDisplay window(iniPath());
    window.setLogFile(log);
    QImage image = solidFrame(4, 4, Qt::black);
    for (int i = 1; i <= 2001; ++i) {
        window.showFrame(image, nullptr, i <= 1000 ? 15 : 250);
        if (i == 999)
            QVERIFY(!QFile::exists(log));
    }
    // Frames 1000 and 2000 only; the counts are cumulative.
    const QStringList lines = readLines(log);
    QCOMPARE(lines.size(), 2);
    const QRegularExpression time(QStringLiteral(R"(^\d\d:\d\d:\d\d\.\d\d\d: )"));
    QVERIFY2(time.match(lines.at(0)).hasMatch(), qPrintable(lines.at(0)));
    QVERIFY2(time.match(lines.at(1)).hasMatch(), qPrintable(lines.at(1)));
    QCOMPARE(lines.at(0).mid(14),
             QStringLiteral("MARK histogram frame1000  10:0 20:1000 30:0 40:0 50:0 60:0 70:0 80:0 "
                            "100:0 120:0 150:0 200:0 100000:0"));
    QCOMPARE(lines.at(1).mid(14),
             QStringLiteral("MARK histogram frame2000  10:0 20:1000 30:0 40:0 50:0 60:0 70:0 80:0 "
                            "100:0 120:0 150:0 200:0 100000:1000"));
}

void tst_ImageDisplay::unwritableHistogramLogReportedOnce()
{
    const QString log = m_dir.filePath(QStringLiteral("missing-dir/histogram.log"));
    TestDisplay window(iniPath());
    window.setLogFile(log);
    QImage image = solidFrame(4, 4, Qt::black);
    QTest::ignoreMessage(
        QtWarningMsg, qPrintable(QStringLiteral("Cannot open log file \"%1\"; histogram lines are "
                                                "dropped until it can be opened again")
                                     .arg(log)));
    QTest::failOnWarning(QRegularExpression(QStringLiteral("histogram")));
    for (int i = 0; i < 3000; ++i)
        window.showFrame(image, nullptr, 20);
    QCOMPARE(window.frameCount(), 3000);
}

void tst_ImageDisplay::frameShownWithOverlay_data()
{
    QTest::addColumn<bool>("drawsOverlay");
    QTest::newRow("the controller draws an overlay") << true;
    // The window paints the frame as it is, without a pixmap or painter.
    QTest::newRow("the controller draws nothing") << false;
}

void tst_ImageDisplay::frameShownWithOverlay()
{
    QFETCH(bool, drawsOverlay);
    const QString ini = m_dir.filePath(QStringLiteral("overlay.ini"));
    writeFile(ini, "[dev0]\nhost=127.0.0.1\nport=1\n");
    QSettings settings(ini, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("dev0"));
    MarkingController controller(&settings);
    controller.setDrawsOverlay(drawsOverlay);

    TestDisplay window(iniPath());
    window.show();
    QImage frame = solidFrame(64, 48, Qt::white);
    window.showFrame(frame, &controller, 40);
    QCOMPARE(controller.calls, drawsOverlay ? 1 : 0);

    auto* label = window.label();
    QCOMPARE(label->minimumSize(), QSize(64, 48));
    QCOMPARE(label->maximumSize(), QSize(64, 48));
    const QColor corner = drawsOverlay ? QColor(Qt::red) : QColor(Qt::white);
    const QImage shown = label->currentPixmap().toImage();
    QCOMPARE(shown.pixelColor(1, 1), corner);
    QCOMPARE(shown.pixelColor(30, 30), QColor(Qt::white));
    const QImage painted = label->grab().toImage();
    QCOMPARE(painted.pixelColor(1, 1), corner);
    QCOMPARE(painted.pixelColor(30, 30), QColor(Qt::white));
    // The controller's own frame is not drawn on.
    QCOMPARE(frame.pixelColor(1, 1), QColor(Qt::white));

    // Through the slot, with the frame timer.
    window.acquisitionEvent(frame, nullptr);
    QCOMPARE(window.frameCount(), 2);
    QCOMPARE(controller.calls, drawsOverlay ? 1 : 0);
}

void tst_ImageDisplay::nullFrame()
{
    TestDisplay window(iniPath());
    QImage frame = solidFrame(64, 48, Qt::white);
    window.showFrame(frame, nullptr, 40);
    QImage broken;
    window.showFrame(broken, nullptr, 40);
    QCOMPARE(window.frameCount(), 2);
    auto* label = window.label();
    QCOMPARE(label->maximumSize(), QSize(0, 0));
    QVERIFY(label->currentPixmap().isNull());
    QVERIFY(window.bar()->currentMessage().startsWith(QStringLiteral("frameNr:     2 ")));
}

// Frames faster than the status line is painted: its text is always the
// newest, and the paint held back in between follows within its interval.
void tst_ImageDisplay::statusLineCatchesUpAfterBurst()
{
    TestDisplay window(iniPath());
    window.show();
    auto* bar = window.bar();
    QImage frame = solidFrame(64, 48, Qt::white);
    for (int i = 0; i < 10; ++i)
        window.showFrame(frame, nullptr, 1);
    QVERIFY(bar->currentMessage().startsWith(QStringLiteral("frameNr:    10 ")));
    QTRY_VERIFY_WITH_TIMEOUT(bar->updatesEnabled(), 1000);
}

// A raw gray image wraps the transfer buffer, which is refilled as soon as
// the frame is shown; the window must keep showing the frame it was given.
void tst_ImageDisplay::grayFrameOutlivesItsTransferBuffer()
{
    const QString ini = m_dir.filePath(QStringLiteral("gray.ini"));
    writeFile(ini, "[dev0]\nhost=127.0.0.1\nport=1\nsizeX=8\nsizeY=6\n");
    QSettings settings(ini, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("dev0"));
    GetStreamImage controller(&settings);
    controller.setConvertInThread(false);
    TestDisplay window(iniPath());
    connect(&controller, &GetStreamImage::acquisitionEvent, &window,
            &imageDisplay::acquisitionEvent);
    window.show();

    auto* buffer = const_cast<unsigned char*>(controller.transferBuffer());
    std::memset(buffer, 0x40, 48);
    controller.newImageReceived(QStringLiteral("video/x-raw-gray"), buffer, 48, QString());
    QCOMPARE(window.frameCount(), 1);
    std::memset(buffer, 0xFF, 48); // the next delivery's bytes
    auto* label = window.label();
    QCOMPARE(label->grab().toImage().pixelColor(3, 3), QColor(0x40, 0x40, 0x40));
}

void tst_ImageDisplay::pointerReadout_data()
{
    QTest::addColumn<QPoint>("pos");
    QTest::addColumn<QString>("text"); // of a move over the window
    QTest::addColumn<bool>("overLabel");
    QTest::newRow("at the offsets") << QPoint(24, 34) << "0, 0" << false;
    QTest::newRow("odd positions lose their lowest bit") << QPoint(25, 35) << "0, 0" << false;
    QTest::newRow("next even position") << QPoint(26, 36) << "2, 2" << false;
    QTest::newRow("left of and above the offsets") << QPoint(10, 20) << "-14, -14" << false;
    QTest::newRow("example") << QPoint(101, 75) << "76, 40" << false;
    QTest::newRow("negative truncates toward zero") << QPoint(-1, -3) << "-24, -36" << false;
    // A move over the image label is the window's, at the label's place in it.
    QTest::newRow("over the image, passed to the window") << QPoint(101, 75) << "" << true;
}

void tst_ImageDisplay::pointerReadout()
{
    QFETCH(QPoint, pos);
    QFETCH(QString, text);
    QFETCH(bool, overLabel);
    if (!overLabel)
        QCOMPARE(imageDisplay::pointerText(pos.x(), pos.y()), text);

    TestDisplay window(iniPath());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QWidget* target = overLabel ? static_cast<QWidget*>(window.label()) : &window;
    if (overLabel) {
        const QPoint inWindow = window.label()->mapTo(&window, pos);
        text = imageDisplay::pointerText(inWindow.x(), inWindow.y());
    }
    QMouseEvent move(QEvent::MouseMove, QPointF(pos), target->mapToGlobal(QPointF(pos)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &move);
    QCOMPARE(QToolTip::text(), text);
    QToolTip::hideText();
}

QTEST_MAIN(tst_ImageDisplay)

#include "tst_imagedisplay.moc"
