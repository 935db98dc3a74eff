// SPDX-License-Identifier: MIT
#include "imagedisplay.h"

#include "appfiles.h"
#include "devicelog.h"
#include "frameconversion.h"
#include "getstreamimage.h"
#include "recordindicator.h"
#include "regularfile.h"
#include "rtpcounters.h"
#include "tileview.h"
#include "viewgeometry.h"

#include <QActionGroup>
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
#include <QResizeEvent>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QTime>
#include <QTimer>
#include <QToolTip>
#include <QWheelEvent>

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

    // The tiles sit beside the scroll area and replace it while shown; the
    // form itself stays as it is.
    m_tileView = new TileView(ui.centralWidget);
    m_tileView->setObjectName(QStringLiteral("tileView"));
    m_tileView->hide();
    ui.verticalLayout->addWidget(m_tileView);
    m_tileView->installEventFilter(this);
    ui.scrollArea->viewport()->installEventFilter(this);
    connect(m_tileView, &TileView::soloChanged, this, [this] { syncViewActions(); });
    // Captions carry per-device figures; a few refreshes a second are
    // enough, and nothing is laid out per frame.
    m_statusPaintClock.start();
    m_statusFlush = new QTimer(this);
    m_statusFlush->setSingleShot(true);
    connect(m_statusFlush, &QTimer::timeout, this, [this] {
        ui.statusBar->setUpdatesEnabled(true); // paints the newest text
        m_statusPaintClock.restart();
    });
    m_captionTimer = new QTimer(this);
    m_captionTimer->setInterval(500);
    connect(m_captionTimer, &QTimer::timeout, this, &imageDisplay::refreshCaptions);
    buildViewMenu();

    const QString view = m_settings.value(QStringLiteral("view"), QString()).toString().trimmed();
    if (view.compare(QLatin1String("tiles"), Qt::CaseInsensitive) == 0)
        m_configuredView = ViewMode::Tiles;
    else if (view.compare(QLatin1String("newest"), Qt::CaseInsensitive) == 0)
        m_configuredView = ViewMode::Newest;
    else if (!view.isEmpty())
        qWarning().noquote() << QStringLiteral("view=\"%1\" is not known (tiles or newest); the "
                                               "newest frame is shown")
                                    .arg(view);
    if (m_configuredView)
        setViewMode(*m_configuredView);
}

imageDisplay::~imageDisplay()
{
    if (m_rememberLayout)
        saveLayout();
    m_settings.sync();
    // Ask every worker to stop first so that their receive loops wind down
    // together; each controller's destructor then ends and joins its thread.
    for (GetStreamImage* stream : std::as_const(m_streams))
        stream->worker()->requestStop();
    qDeleteAll(m_streams);
    m_streams.clear();
    endRecording();
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

    holdStatusPaint();
    ui.statusBar->showMessage(statusText(m_frameCount, m_avgFrameTime, t, g_packetsLost.load(),
                                         g_packetsOutOfOrder.load(), g_packetsExpected.load(),
                                         g_frameDelay));
    m_frameTimer.restart();

    // In the tiles each device's frame goes to its own tile, which is only
    // scheduled for repainting: frames arriving together are drawn in one
    // paint.
    const int tile =
        m_view == ViewMode::Tiles && ovlImage != nullptr ? int(m_streams.indexOf(ovlImage)) : -1;
    if (tile >= 0) {
        showInTile(tile, image, ovlImage);
    } else {
        applyLabelSize(image.size());
        if (ovlImage != nullptr && ovlImage->drawsOverlay()) {
            QPixmap pixmap = QPixmap::fromImage(image);
            // A frame that failed to convert is shown as nothing; there is
            // nothing for an overlay to draw on.
            if (!pixmap.isNull()) {
                QPainter painter(&pixmap);
                ovlImage->paintOverlay(painter);
            }
            ui.mainImage->setImage(pixmap);
        } else {
            // Nothing to draw on the frame: it is painted as it is. A raw
            // gray image wraps the transfer buffer, which the next delivery
            // overwrites, so the label keeps a copy of that one.
            const bool wrapsBuffer = ovlImage != nullptr && !image.isNull()
                                     && ovlImage->isTransferBuffer(image.constBits());
            ui.mainImage->setImage(wrapsBuffer ? image.copy() : image);
        }
        ui.mainImage->repaint();
    }
    if (ovlImage != nullptr)
        ovlImage->reportFrameShown();
}

void imageDisplay::holdStatusPaint()
{
    // Painting the status text costs more than the rest of a frame's
    // display; at hundreds of frames a second nobody reads it that often.
    if (!ui.statusBar->updatesEnabled())
        return; // held already; the flush paints the newest text
    if (m_statusPaintClock.elapsed() >= StatusPaintMs) {
        m_statusPaintClock.restart();
        return; // painted with this frame
    }
    ui.statusBar->setUpdatesEnabled(false);
    m_statusFlush->start(StatusPaintMs);
}

void imageDisplay::showInTile(int tile, const QImage& image, GetStreamImage* device)
{
    // A raw gray image wraps the controller's transfer buffer, which the
    // next delivery overwrites; the tile keeps a copy of its own.
    const QImage frame =
        !image.isNull() && device->isTransferBuffer(image.constBits()) ? image.copy() : image;
    // Scaled once, straight to the tile's size, and the overlay drawn on the
    // scaled picture in frame coordinates: no full-size copy per frame.
    const QSize size = m_tileView->shownSize(tile, frame.size());
    QImage shown;
    if (!size.isEmpty() && !frame.isNull()) {
        shown = viewgeometry::scaledNearest(frame, size);
        if (device->drawsOverlay()) {
            QPainter painter(&shown);
            painter.scale(double(size.width()) / frame.width(),
                          double(size.height()) / frame.height());
            device->paintOverlay(painter);
        }
    }
    m_tileView->setFrame(tile, frame, shown);
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

std::optional<QString> imageDisplay::pointerReadout(const QPoint& pos) const
{
    if (m_view == ViewMode::Tiles) {
        const QPoint inTiles = m_tileView->mapFrom(this, pos);
        if (!m_tileView->rect().contains(inTiles))
            return std::nullopt;
        return m_tileView->pointerText(inTiles);
    }
    if (m_frameCount == 0)
        return pointerText(pos.x(), pos.y());
    // Through the scroll area's visible part only: the label's scrolled-off
    // part lies under other widgets.
    const QWidget* viewport = ui.scrollArea->viewport();
    if (!viewport->rect().contains(viewport->mapFrom(this, pos)))
        return std::nullopt;
    const ImageLabel* label = ui.mainImage;
    const auto pixel = viewgeometry::imagePixelAt(label->mapFrom(this, QPointF(pos)), label->rect(),
                                                  label->currentPixmap().size());
    if (!pixel)
        return std::nullopt;
    return viewgeometry::pixelText(*pixel);
}

void imageDisplay::mouseMoveEvent(QMouseEvent* event)
{
    const QRect area = rect();
    const QPoint pos = event->position().toPoint();
    const std::optional<QString> text = pointerReadout(pos);
    if (text)
        QToolTip::showText(event->globalPosition().toPoint(), *text, this, area);
    else
        QToolTip::hideText();
    QMainWindow::mouseMoveEvent(event);
}

void imageDisplay::saveImage()
{
    if (m_view != ViewMode::Tiles) {
        ui.mainImage->saveImage();
        return;
    }
    // The selected tile's frame as it is when the dialog returns; with none
    // selected, the tile shown alone or the first.
    ui.mainImage->saveFrame([this] {
        int tile = m_tileView->selected();
        if (tile < 0)
            tile = std::max(0, m_tileView->solo());
        // The frame with its overlay, as the newest-frame view would save it.
        QImage frame = m_tileView->frame(tile);
        if (frame.isNull() || tile >= m_streams.size() || !m_streams[tile]->drawsOverlay())
            return frame;
        QPixmap pixmap = QPixmap::fromImage(frame);
        QPainter painter(&pixmap);
        m_streams[tile]->paintOverlay(painter);
        painter.end();
        return pixmap.toImage();
    });
}

void imageDisplay::buildViewMenu()
{
    m_actionQuit = new QAction(QStringLiteral("Quit"), this);
    m_actionQuit->setObjectName(QStringLiteral("actionQuit"));
    m_actionQuit->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    connect(m_actionQuit, &QAction::triggered, this, &QWidget::close);
    ui.menuFile->addSeparator();
    ui.menuFile->addAction(m_actionQuit);

    m_menuView = new QMenu(QStringLiteral("View"), ui.menuBar);
    m_menuView->setObjectName(QStringLiteral("menuView"));
    ui.menuBar->addMenu(m_menuView);
    auto add = [this](const char* name, const QString& text, const QList<QKeySequence>& keys) {
        auto* action = new QAction(text, this);
        action->setObjectName(QLatin1String(name));
        action->setShortcuts(keys);
        m_menuView->addAction(action);
        return action;
    };
    m_viewGroup = new QActionGroup(this);
    m_actionNewest = add("actionNewest", QStringLiteral("Newest frame"), {});
    m_actionTiles = add("actionTiles", QStringLiteral("Tiles"), {});
    for (QAction* action : {m_actionNewest, m_actionTiles}) {
        action->setCheckable(true);
        m_viewGroup->addAction(action);
    }
    m_actionNewest->setChecked(true);
    connect(m_actionNewest, &QAction::triggered, this, [this] { setViewMode(ViewMode::Newest); });
    connect(m_actionTiles, &QAction::triggered, this, [this] { setViewMode(ViewMode::Tiles); });
    m_menuView->addSeparator();
    m_actionFit = add("actionFit", QStringLiteral("Fit to window"), {});
    m_actionFit->setCheckable(true);
    connect(m_actionFit, &QAction::triggered, this, &imageDisplay::setFitToWindow);
    m_actionActualSize = add("actionActualSize", QStringLiteral("Actual size"),
                             {QKeySequence(QStringLiteral("Ctrl+0"))});
    connect(m_actionActualSize, &QAction::triggered, this, &imageDisplay::actualSize);
    // Ctrl+= as well: on many keyboards + needs Shift.
    m_actionZoomIn =
        add("actionZoomIn", QStringLiteral("Zoom in"),
            {QKeySequence(QStringLiteral("Ctrl++")), QKeySequence(QStringLiteral("Ctrl+="))});
    connect(m_actionZoomIn, &QAction::triggered, this, [this] { zoomBy(1); });
    m_actionZoomOut =
        add("actionZoomOut", QStringLiteral("Zoom out"), {QKeySequence(QStringLiteral("Ctrl+-"))});
    connect(m_actionZoomOut, &QAction::triggered, this, [this] { zoomBy(-1); });
    m_menuView->addSeparator();
    m_actionFullScreen =
        add("actionFullScreen", QStringLiteral("Full screen"), {QKeySequence(Qt::Key_F11)});
    m_actionFullScreen->setCheckable(true);
    connect(m_actionFullScreen, &QAction::triggered, this, &imageDisplay::setFullScreenView);
    m_leaveFullScreen = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    m_leaveFullScreen->setEnabled(false);
    connect(m_leaveFullScreen, &QShortcut::activated, this, [this] { setFullScreenView(false); });
    m_menuView->addSeparator();
    m_actionResetLayout = add("actionResetLayout", QStringLiteral("Reset layout"), {});
    connect(m_actionResetLayout, &QAction::triggered, this, &imageDisplay::resetLayout);
    syncViewActions();
}

void imageDisplay::setUpTiles()
{
    QStringList names;
    for (const GetStreamImage* stream : std::as_const(m_streams))
        names.append(stream->name());
    m_tileView->setDevices(names);
    for (GetStreamImage* stream : std::as_const(m_streams))
        connect(stream, &GetStreamImage::statusChanged, this, &imageDisplay::refreshCaptions,
                Qt::UniqueConnection);
    refreshCaptions();
}

void imageDisplay::setViewMode(ViewMode mode)
{
    m_view = mode;
    const bool tiles = mode == ViewMode::Tiles;
    ui.scrollArea->setVisible(!tiles);
    m_tileView->setVisible(tiles);
    if (tiles) {
        refreshCaptions();
        m_captionTimer->start();
    } else {
        m_captionTimer->stop();
        applyLabelSize(ui.mainImage->shownSize());
    }
    syncViewActions();
}

bool imageDisplay::fitToWindow() const
{
    return m_view == ViewMode::Tiles ? m_tileView->fit() : m_fitNewest;
}

void imageDisplay::setFitToWindow(bool fit)
{
    if (m_view == ViewMode::Tiles) {
        m_tileView->setFit(fit);
    } else {
        m_fitNewest = fit;
        applyLabelSize(ui.mainImage->shownSize());
    }
    syncViewActions();
}

double imageDisplay::zoom() const
{
    return m_view == ViewMode::Tiles ? m_tileView->zoom() : m_zoomNewest;
}

void imageDisplay::setZoom(double zoom)
{
    // A chosen zoom ends fitting.
    if (m_view == ViewMode::Tiles) {
        m_tileView->setZoom(zoom);
        m_tileView->setFit(false);
    } else {
        m_zoomNewest = viewgeometry::clampZoom(zoom);
        m_fitNewest = false;
        applyLabelSize(ui.mainImage->shownSize());
    }
    syncViewActions();
}

double imageDisplay::shownScale() const
{
    if (!fitToWindow())
        return zoom();
    // Fitted: the scale the picture has now, so that zooming goes on from
    // what is seen.
    QRect shown;
    QSize image;
    if (m_view == ViewMode::Tiles) {
        const int tile = std::max(0, m_tileView->selected());
        shown = m_tileView->imageRect(tile);
        image = m_tileView->frame(tile).size();
    } else {
        shown = ui.mainImage->rect();
        image = ui.mainImage->shownSize();
    }
    if (image.isEmpty() || shown.isEmpty())
        return zoom();
    return double(shown.width()) / image.width();
}

void imageDisplay::zoomBy(int steps)
{
    setZoom(viewgeometry::stepZoom(shownScale(), steps));
}

void imageDisplay::actualSize()
{
    setZoom(1.0);
}

void imageDisplay::setFullScreenView(bool on)
{
    if (on)
        setWindowState(windowState() | Qt::WindowFullScreen);
    else
        setWindowState(windowState() & ~Qt::WindowFullScreen);
    syncViewActions();
}

void imageDisplay::applyLabelSize(const QSize& imageSize)
{
    QSize shown = imageSize;
    if (!imageSize.isEmpty()) {
        if (m_fitNewest)
            shown = viewgeometry::fitSize(imageSize, ui.scrollArea->maximumViewportSize());
        else if (m_zoomNewest != 1.0)
            shown = viewgeometry::zoomedSize(imageSize, m_zoomNewest);
    }
    ui.mainImage->setMinimumSize(shown);
    ui.mainImage->setMaximumSize(shown);
}

void imageDisplay::syncViewActions()
{
    m_actionNewest->setChecked(m_view == ViewMode::Newest);
    m_actionTiles->setChecked(m_view == ViewMode::Tiles);
    m_actionFit->setChecked(fitToWindow());
    const bool full = windowState().testFlag(Qt::WindowFullScreen);
    m_actionFullScreen->setChecked(full);
    m_leaveFullScreen->setEnabled(full);
}

QString imageDisplay::tileCaption(const GetStreamImage& device, qint64 nowMs)
{
    const DeviceStatus& status = device.status();
    const GetStreamImage::Figures& f = device.figures();
    QString first =
        QStringLiteral("%1  %2 %3  %4")
            .arg(device.name(), status.protocolName(), status.address(), status.stateText(nowMs));
    QString second = QStringLiteral("frames %1").arg(f.frames);
    if (f.avgPeriodMs > 0.0)
        second += QStringLiteral("  period %1 ms").arg(f.avgPeriodMs, 0, 'f', 1);
    if (f.hasDelay)
        second += QStringLiteral("  delay %1 ms").arg(f.delaySeconds * 1000, 0, 'f', 1);
    const RtpCounters& rtp = device.worker()->rtpCounters();
    const std::int64_t expected = rtp.expected.load(std::memory_order_relaxed);
    if (expected > 0) {
        const std::int64_t lost = rtp.lost.load(std::memory_order_relaxed);
        second += QStringLiteral("  lost %1 of %2 packets (%3 %)")
                      .arg(lost)
                      .arg(expected)
                      .arg(100.0 * double(lost) / double(expected), 0, 'f', 2);
    }
    return first + QLatin1Char('\n') + second;
}

void imageDisplay::refreshCaptions()
{
    if (m_view != ViewMode::Tiles)
        return;
    for (int i = 0; i < m_streams.size() && i < m_tileView->count(); ++i)
        m_tileView->setCaption(i, tileCaption(*m_streams[i], m_streams[i]->statusClockMs()));
}

void imageDisplay::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    if (m_fitNewest && m_view == ViewMode::Newest)
        applyLabelSize(ui.mainImage->shownSize());
}

void imageDisplay::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        syncViewActions();
}

bool imageDisplay::eventFilter(QObject* watched, QEvent* event)
{
    // Ctrl+wheel zooms; the plain wheel keeps scrolling.
    if (event->type() == QEvent::Wheel
        && (watched == m_tileView || watched == ui.scrollArea->viewport())) {
        auto* wheel = static_cast<QWheelEvent*>(event);
        if (wheel->modifiers().testFlag(Qt::ControlModifier)) {
            const int delta = wheel->angleDelta().y();
            if (delta != 0)
                zoomBy(delta > 0 ? 1 : -1);
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void imageDisplay::restoreLayout()
{
    m_rememberLayout = true;
    QSettings store;
    store.beginGroup(QLatin1String(LayoutGroup));
    if (store.contains(QStringLiteral("geometry")))
        restoreGeometry(store.value(QStringLiteral("geometry")).toByteArray());
    else
        widenForStatusLine();
    m_fitNewest = store.value(QStringLiteral("fitNewest"), false).toBool();
    m_zoomNewest =
        viewgeometry::clampZoom(store.value(QStringLiteral("zoomNewest"), 1.0).toDouble());
    m_tileView->setFit(store.value(QStringLiteral("fitTiles"), true).toBool());
    m_tileView->setZoom(store.value(QStringLiteral("zoomTiles"), 1.0).toDouble());
    const bool tiles = store.value(QStringLiteral("view")).toString() == QLatin1String("tiles");
    const bool full = store.value(QStringLiteral("fullScreen"), false).toBool();
    store.endGroup();
    setViewMode(m_configuredView.value_or(tiles ? ViewMode::Tiles : ViewMode::Newest));
    if (full)
        setFullScreenView(true);
}

int imageDisplay::statusLineWidth() const
{
    // The longer form of the status line, with the figures of hours of
    // frames and a lossy stream.
    const QString longest = statusText(999999, 999.999, 9999, 99999, 9999, 99999, 0.0);
    // The message is drawn 6 px from the left and 2 px short of the first
    // indicator; the size grip and the layout's spacing take the rest.
    int width = ui.statusBar->fontMetrics().horizontalAdvance(longest) + 40;
    for (const QWidget* indicator :
         ui.statusBar->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!indicator->isHidden())
            width += indicator->sizeHint().width() + 6;
    }
    return width;
}

void imageDisplay::widenForStatusLine()
{
    // The form's width leaves the status line with lost packets no room
    // beside the device indicators; a first start makes room for it, as
    // far as the screen allows.
    int wanted = statusLineWidth();
    if (const QScreen* shown = screen())
        wanted = std::min(wanted, shown->availableGeometry().width());
    if (wanted > width())
        resize(wanted, height());
}

void imageDisplay::saveLayout() const
{
    QSettings store;
    store.beginGroup(QLatin1String(LayoutGroup));
    store.setValue(QStringLiteral("geometry"), saveGeometry());
    store.setValue(QStringLiteral("view"),
                   m_view == ViewMode::Tiles ? QStringLiteral("tiles") : QStringLiteral("newest"));
    store.setValue(QStringLiteral("fitNewest"), m_fitNewest);
    store.setValue(QStringLiteral("zoomNewest"), m_zoomNewest);
    store.setValue(QStringLiteral("fitTiles"), m_tileView->fit());
    store.setValue(QStringLiteral("zoomTiles"), m_tileView->zoom());
    store.setValue(QStringLiteral("fullScreen"), windowState().testFlag(Qt::WindowFullScreen));
    store.endGroup();
}

void imageDisplay::resetLayout()
{
    QSettings store;
    store.remove(QLatin1String(LayoutGroup));
    setFullScreenView(false);
    setWindowState(windowState() & ~(Qt::WindowMaximized | Qt::WindowMinimized));
    resize(DefaultSize);
    m_fitNewest = false;
    m_zoomNewest = 1.0;
    m_tileView->setFit(true);
    m_tileView->setZoom(1.0);
    m_tileView->setSolo(-1);
    setViewMode(m_configuredView.value_or(ViewMode::Newest));
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
    m_recordingSummaryDue = started;
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
    endRecording();
    const QSignalBlocker blocker(ui.actionRecord);
    ui.actionRecord->setChecked(false);
    m_recordIndicator->refresh();
}

void imageDisplay::endRecording()
{
    m_recorder.stop();
    // Once per recording, however it ended: the action, the size limit, a
    // write error, or the window closing (also on SIGINT or SIGTERM).
    if (!m_recordingSummaryDue)
        return;
    m_recordingSummaryDue = false;
    qInfo().noquote() << QStringLiteral("Recording ended: %1 frames, %2 bytes, %3 dropped, in %4")
                             .arg(m_recorder.framesWritten())
                             .arg(m_recorder.bytesWritten())
                             .arg(m_recorder.framesDropped())
                             .arg(m_recorder.folder());
}

void imageDisplay::recordingStoppedByItself()
{
    // The recorder has told the console why; the writer thread is joined
    // here, and the action shows that nothing is recorded.
    endRecording();
    const QSignalBlocker blocker(ui.actionRecord);
    ui.actionRecord->setChecked(false);
    m_recordIndicator->refresh();
}
