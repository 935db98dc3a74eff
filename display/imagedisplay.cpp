// SPDX-License-Identifier: MIT
#include "imagedisplay.h"

#include "decodepool.h"
#include "devicelog.h"
#include "frameconversion.h"
#include "frameexaminer.h"
#include "getstreamimage.h"
#include "indicatorfit.h"
#include "regularfile.h"
#include "rtpcounters.h"
#include "statisticscontrol.h"
#include "statspanel.h"
#include "statusline.h"
#include "tilecaptions.h"
#include "tileview.h"
#include "viewgeometry.h"
#include "viewmenu.h"

#include <QDebug>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QScrollArea>
#include <QTime>

#include "viewerconfig.h"

#include <algorithm>
#include <optional>

imageDisplay::imageDisplay(const QString& configPath, QWidget* parent, Qt::WindowFlags flags)
    : QMainWindow(parent, flags), m_settings(settingsFileFor(configPath), QSettings::IniFormat),
      m_configPath(configPath.isEmpty() ? configPath : QFileInfo(configPath).absoluteFilePath())
{
    ui.setupUi(this);
    m_frameTimer.start();
    connect(ui.actionSave, &QAction::triggered, this, &imageDisplay::saveImage);
    m_recording =
        new RecordingControl(&m_recorder, ui.actionRecord, ui.statusBar, m_configPath, this);

    // main replaces it with the first line of title.txt when there is one.
    setWindowTitle(configPath);

    // The window-wide keys; no device group has been entered yet.
    ConfigWarnings warnings;
    const ViewerConfig config = ViewerConfig::read(m_settings, &warnings);
    for (const ConfigWarning& warning : std::as_const(warnings))
        qWarning().noquote() << warning.text;
    if (config.hideStatusBar)
        ui.statusBar->hide();

    // Before any device submits a frame, which starts the pool's threads.
    DecodePool::shared().setThreadCount(config.decodeThreads);

    FrameRecorder::Limits limits;
    limits.maxTotalBytes = config.recordMaxMb * 1024 * 1024;
    m_recorder.setLimits(limits);

    // The tiles sit beside the scroll area and replace it while shown; the
    // form itself stays as it is.
    m_tileView = new TileView(ui.centralWidget);
    m_tileView->setObjectName(QStringLiteral("tileView"));
    m_tileView->hide();
    ui.verticalLayout->addWidget(m_tileView);
    m_layout = new WindowLayout(this, ui.scrollArea, ui.mainImage, m_tileView);
    m_captions = new TileCaptions(m_tileView, this);
    connect(m_layout, &WindowLayout::viewModeChanged, m_captions,
            [this](ViewMode mode) { m_captions->setShown(mode == ViewMode::Tiles); });
    m_statusLine = new StatusLine(ui.statusBar);
    // The device indicators give way to the message at narrow widths.
    new IndicatorFit(ui.statusBar);
    // File > Quit, after the form's own entries.
    auto* quit = new QAction(QStringLiteral("Quit"), this);
    quit->setObjectName(QStringLiteral("actionQuit"));
    quit->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    connect(quit, &QAction::triggered, this, &QWidget::close);
    ui.menuFile->addSeparator();
    ui.menuFile->addAction(quit);
    auto* viewMenu = new ViewMenu(m_layout, this);
    connect(viewMenu, &ViewMenu::resetRequested, this, &imageDisplay::resetLayout);
    m_examiner = new FrameExaminer(this, ui.statusBar, config.historyMb * 1024 * 1024,
                                   [this](int tile, GetStreamImage* device, const QImage& image) {
                                       present(tile, image, device);
                                   });
    m_captions->setExtraLine([this](int tile) { return m_examiner->captionText(tile); });
    connect(m_examiner, &FrameExaminer::textChanged, m_captions, &TileCaptions::refresh);
    connect(m_layout, &WindowLayout::viewModeChanged, m_examiner,
            [this](ViewMode mode) { m_examiner->setTilesShown(mode == ViewMode::Tiles); });
    connect(m_tileView, &TileView::selectionChanged, m_examiner, &FrameExaminer::setSelectedTile);
    m_statsControl = new StatisticsControl(this, &m_statistics, config.statsSeconds, m_tileView);
    m_configuredPanel = config.statisticsPanel;
    if (m_configuredPanel)
        m_statsControl->panel()->setVisible(*m_configuredPanel);

    if (config.view == ViewerConfig::View::Tiles)
        m_configuredView = ViewMode::Tiles;
    else if (config.view == ViewerConfig::View::Newest)
        m_configuredView = ViewMode::Newest;
    if (m_configuredView)
        setViewMode(*m_configuredView);
}

imageDisplay::~imageDisplay()
{
    m_layout->saveIfRestored();
    m_settings.sync();
    // Ask every worker to stop and every thread to end first, so that they
    // wind down together; each controller's destructor then only joins its
    // thread, which has ended or is about to.
    m_statsControl->endExport();
    for (GetStreamImage* stream : std::as_const(m_streams))
        stream->requestStop();
    qDeleteAll(m_streams);
    m_streams.clear();
    m_recording->end();
}

void imageDisplay::restoreLayout()
{
    m_layout->restore(m_configuredView);
    // The statistics key outranks the kept panel, as view does the view.
    if (m_configuredPanel)
        m_statsControl->panel()->setVisible(*m_configuredPanel);
}

bool imageDisplay::startStatsExport(const QString& path)
{
    return m_statsControl->startExport(path);
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
    const int t = m_statistics.addFrame(elapsedMs);
    if (m_statistics.histogramDue())
        writeHistogramLine();

    m_statusLine->show(FrameStatistics::statusText(
        m_statistics.frameCount(), m_statistics.avgFrameTime(), t, g_packetsLost.load(),
        g_packetsOutOfOrder.load(), g_packetsExpected.load(), g_frameDelay,
        ovlImage == nullptr || !ovlImage->figures().noTimeStamp));
    m_frameTimer.restart();

    // In the tiles each device's frame goes to its own tile, which is only
    // scheduled for repainting: frames arriving together are drawn in one
    // paint.
    const int tile = viewMode() == ViewMode::Tiles && ovlImage != nullptr
                         ? int(m_streams.indexOf(ovlImage))
                         : -1;
    // Paused, the frame is counted and logged (and recorded) but the
    // pictures stay.
    if (!m_examiner->isPaused())
        m_examiner->frameShown(tile, ovlImage, present(tile, image, ovlImage));
    if (ovlImage != nullptr)
        ovlImage->reportFrameShown();
}

QImage imageDisplay::present(int tile, const QImage& image, GetStreamImage* ovlImage)
{
    QImage kept = image;
    if (tile >= 0) {
        kept = showInTile(tile, image, ovlImage);
    } else {
        // Laid out, read out and saved at the picture's own size, also when
        // it was decoded smaller for the size it is shown at.
        const QSize fullSize = fullSizeOf(image, ovlImage);
        m_labelFullSize = fullSize;
        m_layout->fitLabel(fullSize);
        // The size the device's next frame is shown at: fitted or zoomed
        // out, smaller than the picture; zoomed in, the picture is needed
        // whole.
        if (ovlImage != nullptr) {
            const QSize label = ui.mainImage->size();
            ovlImage->setDisplaySize(
                label.width() < fullSize.width() && label.height() < fullSize.height() ? label
                                                                                       : QSize());
        }
        if (ovlImage != nullptr && ovlImage->drawsOverlay()) {
            // Kept for the read-out: never an image over a transfer buffer.
            if (!image.isNull() && ovlImage->isTransferBuffer(image.constBits()))
                kept = image.copy();
            QPixmap pixmap = QPixmap::fromImage(image);
            // A frame that failed to convert is shown as nothing; there is
            // nothing for an overlay to draw on.
            if (!pixmap.isNull()) {
                QPainter painter(&pixmap);
                // The overlay draws in the picture's own pixels.
                if (fullSize != image.size())
                    painter.scale(double(image.width()) / fullSize.width(),
                                  double(image.height()) / fullSize.height());
                ovlImage->paintOverlay(painter);
            }
            ui.mainImage->setImage(pixmap);
        } else {
            // Nothing to draw on the frame: it is painted as it is. A raw
            // gray image wraps the transfer buffer, which the next delivery
            // overwrites, so the label keeps a copy of that one.
            const bool wrapsBuffer = ovlImage != nullptr && !image.isNull()
                                     && ovlImage->isTransferBuffer(image.constBits());
            if (wrapsBuffer)
                kept = image.copy();
            ui.mainImage->setImage(kept);
        }
        ui.mainImage->repaint();
    }
    return kept;
}

QImage imageDisplay::showInTile(int tile, const QImage& image, GetStreamImage* device)
{
    // A raw gray image wraps the controller's transfer buffer, which the
    // next delivery overwrites; the tile keeps a copy of its own.
    QImage frame =
        !image.isNull() && device->isTransferBuffer(image.constBits()) ? image.copy() : image;
    // Scaled once, straight to the tile's size, and the overlay drawn on the
    // scaled picture in frame coordinates: no full-size copy per frame.
    const QSize fullSize = fullSizeOf(frame, device);
    const QSize size = m_tileView->shownSize(tile, fullSize);
    // The device's next frame is decoded for this size.
    device->setDisplaySize(size);
    QImage shown;
    if (!size.isEmpty() && !frame.isNull()) {
        shown = viewgeometry::scaledNearest(frame, size);
        if (device->drawsOverlay()) {
            QPainter painter(&shown);
            painter.scale(double(size.width()) / fullSize.width(),
                          double(size.height()) / fullSize.height());
            device->paintOverlay(painter);
        }
    }
    m_tileView->setFrame(tile, frame, shown, fullSize);
    return frame;
}

void imageDisplay::writeHistogramLine()
{
    const QString line = m_statistics.histogramLine(QTime::currentTime());
    if (m_logFile.isEmpty())
        return;
    if (m_logOutage.shouldReport(appendDeviceLog(m_logFile, line, m_logMaxBytes))) {
        qWarning().noquote() << QStringLiteral("Cannot open log file \"%1\"; histogram lines are "
                                               "dropped until it can be opened again")
                                    .arg(m_logFile);
    }
}

QSize imageDisplay::fullSizeOf(const QImage& image, const GetStreamImage* device)
{
    // Only the controller's own last picture can have been decoded scaled.
    if (device != nullptr && device->shownScaled()
        && device->image().cacheKey() == image.cacheKey())
        return device->shownFullSize();
    return image.size();
}

QImage imageDisplay::withOverlay(GetStreamImage* device, QImage frame)
{
    if (frame.isNull() || !device->drawsOverlay())
        return frame;
    QPixmap pixmap = QPixmap::fromImage(frame);
    QPainter painter(&pixmap);
    device->paintOverlay(painter);
    painter.end();
    return pixmap.toImage();
}

void imageDisplay::saveImage()
{
    if (viewMode() != ViewMode::Tiles) {
        // A 16-bit gray frame is saved with its raw values, not levelled.
        const ShownFrame* shown = m_examiner->shownFrame(-1);
        if (shown != nullptr && !shown->raw.isNull()) {
            ui.mainImage->saveFrame([this] {
                const ShownFrame* f = m_examiner->shownFrame(-1);
                return f != nullptr ? inspectionImage(*f) : QImage();
            });
            return;
        }
        // A picture decoded smaller than its own size is saved decoded
        // again at full size, as the frame came: the frame on screen, also
        // while paused on it.
        if (shown != nullptr && shown->scaledFrom.scaled()) {
            ui.mainImage->saveFrame([this] {
                const ShownFrame* f = m_examiner->shownFrame(-1);
                return f != nullptr && m_streams.contains(f->device)
                           ? withOverlay(f->device, inspectionImage(*f))
                           : QImage();
            });
            return;
        }
        ui.mainImage->saveImage();
        return;
    }
    // The selected tile's frame as it is when the dialog returns; with none
    // selected, the tile shown alone or the first.
    ui.mainImage->saveFrame([this] {
        int tile = m_tileView->selected();
        if (tile < 0)
            tile = std::max(0, m_tileView->solo());
        const ShownFrame* shown = m_examiner->shownFrame(tile);
        if (shown != nullptr && !shown->raw.isNull())
            return inspectionImage(*shown);
        // The frame with its overlay, as the newest-frame view would save it.
        QImage frame = m_tileView->frame(tile);
        // Decoded smaller than its own size: decoded again at full size.
        if (shown != nullptr && shown->scaledFrom.scaled() && m_streams.contains(shown->device))
            return withOverlay(shown->device, inspectionImage(*shown));
        if (frame.isNull() || tile >= m_streams.size() || !m_streams[tile]->drawsOverlay())
            return frame;
        QPixmap pixmap = QPixmap::fromImage(frame);
        QPainter painter(&pixmap);
        m_streams[tile]->paintOverlay(painter);
        painter.end();
        return pixmap.toImage();
    });
}

void imageDisplay::setUpTiles()
{
    m_examiner->setDevices(m_streams);
    m_captions->setDevices(m_streams);
}

void imageDisplay::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    m_layout->windowResized();
}

void imageDisplay::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        m_layout->windowStateChanged();
}
