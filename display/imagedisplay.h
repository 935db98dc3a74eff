// SPDX-License-Identifier: MIT
#pragma once

#include "ui_framescope.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QSettings>
#include <QString>
#include <QVector>

#include <optional>

#include "devicelog.h"
#include "framerecorder.h"
#include "framestatistics.h"
#include "recordingcontrol.h"
#include "windowlayout.h"

class FrameExaminer;
class GetStreamImage;
class QImage;
class QMouseEvent;
class QPainter;
class StatisticsControl;
class StatusLine;
class TileCaptions;
class TileView;

// The program's main window. It owns the configuration, the form with the
// image label and the device controllers, and shows every frame with the
// frame statistics of all devices together: in the status bar with every
// frame, and as the histogram line in the log file every
// FrameStatistics::HistogramEveryFrames frames.
class imageDisplay : public QMainWindow
{
    Q_OBJECT

public:
    // `configPath` is the INI file to read (main passes the command line's).
    explicit imageDisplay(const QString& configPath, QWidget* parent = nullptr,
                          Qt::WindowFlags flags = {});
    // Stops and deletes the device controllers, so that no worker thread
    // outlives the window, then syncs the settings.
    ~imageDisplay() override;

    // Returns a new controller for the device whose group `settings` is in.
    virtual GetStreamImage* createStreamImage(QSettings* settings);

    // Counts and shows one frame that arrived elapsedMs after the previous
    // one (after construction for the first): acquisitionEvent with the
    // period supplied by the caller instead of the frame timer.
    void showFrame(QImage& image, GetStreamImage* ovlImage, qint64 elapsedMs);

    // The coordinate read-out shown while dragging at window position pos.
    static QString pointerText(int x, int y);
    // The file the settings are read from for `configPath`: the path itself
    // when it is missing or a readable regular file, otherwise (a FIFO, a
    // device, a folder, no read permission) an empty name, which reads as
    // an empty configuration, after one warning naming the path and why.
    // Handing a FIFO or /dev/zero to the settings would block or never end.
    static QString settingsFileFor(const QString& configPath);

    const QVector<GetStreamImage*>& streams() const { return m_streams; }
    QString logFile() const { return m_logFile; }
    QString configPath() const { return m_configPath; }
    const FrameStatistics& statistics() const { return m_statistics; }
    qint64 frameCount() const { return m_statistics.frameCount(); }

    // Recording (File > Record), see RecordingControl.
    FrameRecorder* recorder() { return &m_recorder; }
    void setRecordFolderDialog(RecordFolderDialog dialog)
    {
        m_recording->setFolderDialog(std::move(dialog));
    }
    bool startRecording(const QString& baseFolder) { return m_recording->start(baseFolder); }
    // Statistics panel and export, see StatisticsControl.
    StatisticsControl* statisticsControl() const { return m_statsControl; }
    bool startStatsExport(const QString& path);
    void stopRecording() { m_recording->stop(); }
    QString defaultRecordFolder() const { return m_recording->defaultFolder(); }
    static constexpr const char* RecordFolderKey = RecordingControl::FolderKey;

    // The view and the window's layout, see WindowLayout.
    using ViewMode = WindowLayout::ViewMode;
    WindowLayout* windowLayout() const { return m_layout; }
    ViewMode viewMode() const { return m_layout->viewMode(); }
    void setViewMode(ViewMode mode) { m_layout->setViewMode(mode); }
    // The start view the configuration asks for with view=tiles, if any.
    std::optional<ViewMode> configuredView() const { return m_configuredView; }
    bool fitToWindow() const { return m_layout->fitToWindow(); }
    void setFitToWindow(bool fit) { m_layout->setFitToWindow(fit); }
    double zoom() const { return m_layout->zoom(); }
    void setZoom(double zoom) { m_layout->setZoom(zoom); }

    TileView* tileView() const { return m_tileView; }
    // Pause, the history of received frames, the pixel value read-out and
    // the 16-bit levels.
    FrameExaminer* examiner() const { return m_examiner; }
    // One tile per device controller, in controller order; a window that
    // adds controllers calls it once they are all in place.
    void setUpTiles();
    // The text of the coordinate read-out at window position pos: the
    // image pixel under it ("X, Y", or "dev0: X, Y" in the tiles), nothing
    // outside the image. Before the first frame there is no image to map
    // into, and the read-out is that of the window position.
    std::optional<QString> pointerReadout(const QPoint& pos) const;

    // Applies the layout kept in the per-user settings, and keeps it again
    // when the window is destroyed (main calls it; windows made by tests
    // leave the user's settings alone). A view key of the configuration
    // outranks the kept view.
    void restoreLayout();
    // View > Reset layout: the defaults, and nothing kept.
    void resetLayout() { m_layout->reset(m_configuredView); }
    int statusLineWidth() const { return m_layout->statusLineWidth(); }
    static constexpr const char* LayoutGroup = WindowLayout::Group;
    static constexpr QSize DefaultSize = WindowLayout::DefaultSize;

signals:
    // Declared for overlay painters; the window paints overlays through the
    // controller's paintOverlay hook and never emits it.
    void doOverlay(QPainter& painter);

public slots:
    void acquisitionEvent(QImage& image, GetStreamImage* ovlImage);
    void mouseMoveEvent(QMouseEvent* event) override;
    void saveImage();

protected:
    void resizeEvent(QResizeEvent* event) override;
    // Keeps Full screen's check mark and Esc in step when the window
    // manager changes the state.
    void changeEvent(QEvent* event) override;

    void writeHistogramLine();
    // The own size of `image`, a picture `device` handed over: larger than
    // the image when it was decoded scaled down.
    static QSize fullSizeOf(const QImage& image, const GetStreamImage* device);
    // `frame`, a picture of `device` at full size, with the device's overlay.
    static QImage withOverlay(GetStreamImage* device, QImage frame);

    Ui::framescopeClass ui;
    QVector<GetStreamImage*> m_streams;
    // The own size of the picture the newest-frame view shows (larger than
    // the label's image when it was decoded scaled down).
    QSize m_labelFullSize;
    QSettings m_settings;
    // The configuration path as given, made absolute; also when the
    // settings could not be read from it.
    QString m_configPath;
    // The size limit of the log the histogram line goes to (the last
    // device's log_max_mb).
    qint64 m_logMaxBytes = DefaultLogMaxBytes;
    FrameStatistics m_statistics;
    QString m_logFile;
    // Time since the previous frame's status update, or since construction
    // for the first frame.
    QElapsedTimer m_frameTimer;

    // The controllers hand it their frames; the destructor deletes them
    // before it is stopped.
    FrameRecorder m_recorder;

private:
    // Hands a frame of `device` to its tile; returns the frame the tile
    // keeps.
    QImage showInTile(int tile, const QImage& image, GetStreamImage* device);
    // Puts a frame on screen: in `tile`, or in the image area for -1.
    // Returns the frame as kept there.
    QImage present(int tile, const QImage& image, GetStreamImage* device);
    // The image pixel under window position `pos` and its tile (-1: the
    // image area).
    std::optional<QPoint> pixelUnder(const QPoint& pos, int* tile) const;

    std::optional<ViewMode> m_configuredView;
    std::optional<bool> m_configuredPanel;
    TileView* m_tileView = nullptr;
    WindowLayout* m_layout = nullptr;
    TileCaptions* m_captions = nullptr;
    FrameExaminer* m_examiner = nullptr;
    StatusLine* m_statusLine = nullptr;
    OutageWarning m_logOutage;
    RecordingControl* m_recording = nullptr;
    StatisticsControl* m_statsControl = nullptr;
};
