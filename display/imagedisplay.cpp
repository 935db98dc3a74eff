// SPDX-License-Identifier: MIT
#include "imagedisplay.h"

#include "appfiles.h"
#include "devicelog.h"
#include "frameconversion.h"
#include "getstreamimage.h"
#include "recordindicator.h"
#include "regularfile.h"
#include "rtpcounters.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QTime>
#include <QToolTip>

#include <cmath>
#include <limits>
#include <optional>

imageDisplay::imageDisplay(const QString& configPath, QWidget* parent, Qt::WindowFlags flags)
    : QMainWindow(parent, flags), m_settings(settingsFileFor(configPath), QSettings::IniFormat),
      m_configPath(configPath.isEmpty() ? configPath : QFileInfo(configPath).absoluteFilePath())
{
    ui.setupUi(this);
    m_frameTimer.start();
    connect(ui.actionSave, &QAction::triggered, this, &imageDisplay::saveImage);
    connect(ui.actionRecord, &QAction::toggled, this, &imageDisplay::toggleRecording);
    connect(&m_recorder, &FrameRecorder::stoppedByItself, this,
            &imageDisplay::recordingStoppedByItself, Qt::QueuedConnection);
    m_recordFolderDialog = [](QWidget* parent, const QString& proposed) {
        return QFileDialog::getExistingDirectory(parent, QStringLiteral("Record into folder"),
                                                 proposed);
    };
    m_recordIndicator = new RecordIndicator(&m_recorder, ui.statusBar);
    ui.statusBar->addPermanentWidget(m_recordIndicator);

    // The title file's first line is used as read, line end included.
    const QString titleFile = appFilePath(QStringLiteral("title.txt"));
    const std::optional<QString> title =
        titleFile.isEmpty() ? std::nullopt : readTitleFile(titleFile);
    setWindowTitle(title.value_or(configPath));

    setWindowIcon(appWindowIcon());

    // Only the top-level key counts: no device group has been entered yet.
    const QString noStatusBar = QStringLiteral("no_statusbar");
    if (m_settings.contains(noStatusBar)
        && m_settings.value(noStatusBar, QStringLiteral("0")).toInt() != 0)
        ui.statusBar->hide();

    QString capWarning;
    FrameRecorder::Limits limits;
    limits.maxTotalBytes =
        FrameRecorder::maxMbFromSetting(
            m_settings.value(QStringLiteral("record_max_mb"), QString()).toString(), &capWarning)
        * 1024 * 1024;
    m_recorder.setLimits(limits);
    if (!capWarning.isEmpty())
        qWarning().noquote() << capWarning;
}

imageDisplay::~imageDisplay()
{
    m_settings.sync();
    // Ask every worker to stop first so that their receive loops wind down
    // together; each controller's destructor then ends and joins its thread.
    for (GetStreamImage* stream : std::as_const(m_streams))
        stream->worker()->requestStop();
    qDeleteAll(m_streams);
    m_streams.clear();
    m_recorder.stop();
}

QString imageDisplay::settingsFileFor(const QString& configPath)
{
    // A missing file reads as an empty configuration anyway, and is
    // reported elsewhere.
    if (configPath.isEmpty() || !QFileInfo::exists(configPath))
        return configPath;
    QString error;
    if (readRegularFile(configPath, 0, &error))
        return configPath;
    qWarning().noquote()
        << QStringLiteral("Configuration file \"%1\" cannot be read (%2); no devices are opened")
               .arg(configPath, error);
    return {};
}

GetStreamImage* imageDisplay::createStreamImage(QSettings* settings)
{
    return new GetStreamImage(settings);
}

void imageDisplay::acquisitionEvent(QImage& image, GetStreamImage* ovlImage)
{
    showFrame(image, ovlImage, m_frameTimer.elapsed());
}

void imageDisplay::showFrame(QImage& image, GetStreamImage* ovlImage, qint64 elapsedMs)
{
    ++m_frameCount;
    if (m_avgFrameTime == 0.0)
        m_avgFrameTime = double(elapsedMs);
    // Periods beyond the int range fall outside every bin like any other
    // period of 100000 ms or more.
    const int t = int(std::min<qint64>(elapsedMs, std::numeric_limits<int>::max()));
    m_avgFrameTime = m_avgFrameTime * 0.99 + t * 0.01;
    for (int i = 0; i < HistogramBins; ++i) {
        if (t < m_histLimit[i]) {
            ++m_histCount[i];
            break;
        }
    }
    if (m_frameCount % HistogramEveryFrames == 0)
        writeHistogramLine();

    ui.statusBar->showMessage(statusText(m_frameCount, m_avgFrameTime, t, g_packetsLost.load(),
                                         g_packetsOutOfOrder.load(), g_packetsExpected.load(),
                                         g_frameDelay));
    m_frameTimer.restart();

    ui.mainImage->setMinimumSize(image.size());
    ui.mainImage->setMaximumSize(image.size());
    QPixmap pixmap = QPixmap::fromImage(image);
    // A frame that failed to convert is shown as nothing; there is nothing
    // for an overlay to draw on.
    if (ovlImage != nullptr && !pixmap.isNull()) {
        QPainter painter(&pixmap);
        ovlImage->paintOverlay(painter);
    }
    ui.mainImage->setImage(pixmap);
    ui.mainImage->repaint();
#ifdef FRAMESCOPE_LATENCY_PROBE
    if (ovlImage != nullptr)
        latencyprobe::recorder().addShown(latencyprobe::nowNs() - ovlImage->shownFinishNs());
#endif
}

void imageDisplay::writeHistogramLine()
{
    const QString line =
        histogramLine(QTime::currentTime(), m_frameCount, m_histLimit, m_histCount);
    if (m_logFile.isEmpty())
        return;
    if (m_logOutage.shouldReport(appendDeviceLog(m_logFile, line, m_logMaxBytes))) {
        qWarning().noquote() << QStringLiteral("Cannot open log file \"%1\"; histogram lines are "
                                               "dropped until it can be opened again")
                                    .arg(m_logFile);
    }
}

QString imageDisplay::histogramLine(const QTime& time, qint64 frameCount,
                                    const std::array<int, HistogramBins>& limits,
                                    const HistogramCounts& counts)
{
    QString line = QStringLiteral("%1: MARK histogram frame%2 ")
                       .arg(time.toString(QStringLiteral("hh:mm:ss.zzz")))
                       .arg(frameCount);
    for (int i = 0; i < HistogramBins; ++i)
        line += QStringLiteral(" %1:%2").arg(limits[i]).arg(counts[i]);
    line += QLatin1Char('\n');
    return line;
}

QString imageDisplay::statusText(qint64 frameCount, double avgFrameTime, int periodMs,
                                 qint64 packetsLost, qint64 packetsOutOfOrder,
                                 qint64 packetsExpected, double frameDelay)
{
    if (packetsLost > 0 || packetsOutOfOrder > 0) {
        // Without an expected packet the ratio is not a number; show none
        // missed rather than "nan" or "inf".
        double missed = 0.0;
        if (packetsExpected != 0)
            missed = double(packetsLost) * 100.0 / double(packetsExpected);
        if (!std::isfinite(missed))
            missed = 0.0;
        return QStringLiteral("frameNr: %1 avg: %2 frame time: %3  packets lost: %4 out of order: "
                              "%5 percentage missed: %6%")
            .arg(frameCount)
            .arg(avgFrameTime, 0, 'f', 3)
            .arg(periodMs, 4)
            .arg(packetsLost)
            .arg(packetsOutOfOrder)
            .arg(missed, 0, 'f', 3);
    }
    return QStringLiteral("frameNr: %1 avg: %2 frame time: %3  Delay: %4ms")
        .arg(frameCount, 5)
        .arg(avgFrameTime, 0, 'f', 3)
        .arg(periodMs, 4)
        .arg(frameDelay * 1000, 10, 'f', 1);
}

QString imageDisplay::pointerText(int x, int y)
{
    // Integer division truncates toward zero, so only non-negative positions
    // lose their lowest bit; the offsets are those of the label in the window.
    return QStringLiteral("%1, %2").arg((x / 2) * 2 - 24).arg((y / 2) * 2 - 34);
}

void imageDisplay::mouseMoveEvent(QMouseEvent* event)
{
    const QRect area = rect();
    const QPoint pos = event->position().toPoint();
    QToolTip::showText(event->globalPosition().toPoint(), pointerText(pos.x(), pos.y()), this,
                       area);
    QMainWindow::mouseMoveEvent(event);
}

void imageDisplay::saveImage()
{
    ui.mainImage->saveImage();
}

QString imageDisplay::defaultRecordFolder() const
{
    const QString configFolder =
        m_configPath.isEmpty() ? QDir::currentPath() : QFileInfo(m_configPath).absolutePath();
    return QDir(configFolder).filePath(QStringLiteral("recordings"));
}

void imageDisplay::toggleRecording(bool on)
{
    if (!on) {
        stopRecording();
        return;
    }
    if (m_recorder.isRecording())
        return;
    if (m_recordBase.isEmpty()) {
        // The per-user settings, never the INI file the devices come from.
        QSettings user;
        const QString proposed =
            user.value(QLatin1String(RecordFolderKey), defaultRecordFolder()).toString();
        const QString chosen = m_recordFolderDialog(this, proposed);
        if (chosen.isEmpty()) {
            const QSignalBlocker blocker(ui.actionRecord);
            ui.actionRecord->setChecked(false);
            return;
        }
        user.setValue(QLatin1String(RecordFolderKey), chosen);
        m_recordBase = chosen;
    }
    startRecording(m_recordBase);
}

bool imageDisplay::startRecording(const QString& baseFolder)
{
    // A folder of its own, also for a second session within one second.
    const QString folder =
        FrameRecorder::newSessionFolder(baseFolder, QDateTime::currentDateTime());
    QString error;
    const bool started = m_recorder.start(folder, &error);
    if (started)
        qInfo().noquote() << QStringLiteral("Recording into %1").arg(folder);
    else
        qWarning().noquote() << QStringLiteral("Recording not started: %1").arg(error);
    m_recordBase = started ? baseFolder : m_recordBase;
    const QSignalBlocker blocker(ui.actionRecord);
    ui.actionRecord->setChecked(started);
    m_recordIndicator->refresh();
    return started;
}

void imageDisplay::stopRecording()
{
    const bool wasRecording = m_recorder.isRecording();
    m_recorder.stop();
    if (wasRecording)
        qInfo().noquote() << QStringLiteral(
                                 "Recording ended: %1 frames, %2 bytes, %3 dropped, in %4")
                                 .arg(m_recorder.framesWritten())
                                 .arg(m_recorder.bytesWritten())
                                 .arg(m_recorder.framesDropped())
                                 .arg(m_recorder.folder());
    const QSignalBlocker blocker(ui.actionRecord);
    ui.actionRecord->setChecked(false);
    m_recordIndicator->refresh();
}

void imageDisplay::recordingStoppedByItself()
{
    // The recorder has told the console why; the writer thread is joined
    // here, and the action shows that nothing is recorded.
    m_recorder.stop();
    const QSignalBlocker blocker(ui.actionRecord);
    ui.actionRecord->setChecked(false);
    m_recordIndicator->refresh();
}
