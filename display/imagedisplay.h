// SPDX-License-Identifier: MIT
#pragma once

#include "ui_framescope.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QSettings>
#include <QString>
#include <QVector>

#include <array>
#include <functional>
#include <optional>

#include "devicelog.h"
#include "framerecorder.h"

class GetStreamImage;
class QImage;
class QMouseEvent;
class QPainter;
class QTime;
class RecordIndicator;
class TileView;
class QAction;
class QActionGroup;
class QShortcut;
class QTimer;

// The dialog that picks the folder recordings go to, behind a seam so that
// tests need no nested event loop. Returns the folder, or an empty name when
// the user cancelled.
using RecordFolderDialog = std::function<QString(QWidget* parent, const QString& proposed)>;

// The program's main window. It owns the configuration, the form with the
// image label and the device controllers, and keeps the frame statistics of
// all devices together: frame count, a moving average and a histogram of the
// frame period, written to the status bar with every frame and to the log
// file every HistogramEveryFrames frames.
class imageDisplay : public QMainWindow
{
    Q_OBJECT

public:
    static constexpr int HistogramBins = 13;
    static constexpr int HistogramEveryFrames = 1000;
    // Bin i counts periods below limit i and at or above limit i - 1; there
    // is no bound at 90, and periods of 100000 ms or more are counted nowhere.
    static constexpr std::array<int, HistogramBins> HistogramLimits = {
        10, 20, 30, 40, 50, 60, 70, 80, 100, 120, 150, 200, 100000};

    using HistogramCounts = std::array<qint64, HistogramBins>;

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

    // The status bar text for one frame. The percentage of missed packets
    // reads 0.000 while no packet has been expected.
    static QString statusText(qint64 frameCount, double avgFrameTime, int periodMs,
                              qint64 packetsLost, qint64 packetsOutOfOrder, qint64 packetsExpected,
                              double frameDelay);
    // The histogram log line, "\n" included, as written at `time`.
    static QString histogramLine(const QTime& time, qint64 frameCount,
                                 const std::array<int, HistogramBins>& limits,
                                 const HistogramCounts& counts);
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
    qint64 frameCount() const { return m_frameCount; }
    double avgFrameTime() const { return m_avgFrameTime; }
    const HistogramCounts& histCount() const { return m_histCount; }

    // Recording (File > Record): each session goes to a folder named after
    // its start time inside the base folder, which is asked for once per
    // run (proposed: the last one used, else recordings/ beside the
    // configuration file) and remembered in the per-user settings.
    FrameRecorder* recorder() { return &m_recorder; }
    void setRecordFolderDialog(RecordFolderDialog dialog)
    {
        m_recordFolderDialog = std::move(dialog);
    }
    // Starts a session inside `baseFolder` at once; false after a message
    // on the console when the folder cannot be made.
    bool startRecording(const QString& baseFolder);
    void stopRecording();
    // The base folder proposed before any was chosen.
    QString defaultRecordFolder() const;
    static constexpr const char* RecordFolderKey = "recordFolder";

    // What the image area shows: the newest frame of any device in one
    // image label (the default), or every device in a tile of its own.
    enum class ViewMode
    {
        Newest,
        Tiles,
    };
    ViewMode viewMode() const { return m_view; }
    void setViewMode(ViewMode mode);
    // The start view the configuration asks for with view=tiles, if any.
    std::optional<ViewMode> configuredView() const { return m_configuredView; }

    // Fit and zoom of the current view. Fitting is off by default for the
    // newest frame (shown 1:1, as always) and on for the tiles.
    bool fitToWindow() const;
    void setFitToWindow(bool fit);
    double zoom() const;
    void setZoom(double zoom);
    void zoomBy(int steps);
    void actualSize();
    void setFullScreenView(bool on);

    TileView* tileView() const { return m_tileView; }
    // One tile per device controller, in controller order; a window that
    // adds controllers calls it once they are all in place.
    void setUpTiles();
    // The text of the coordinate read-out at window position pos: the
    // image pixel under it ("X, Y", or "dev0: X, Y" in the tiles), nothing
    // outside the image. Before the first frame there is no image to map
    // into, and the read-out is that of the window position.
    std::optional<QString> pointerReadout(const QPoint& pos) const;
    // The caption of a device's tile: name, protocol and address, state and
    // frame rate; then its own frame count, period and delay.
    static QString tileCaption(const GetStreamImage& device, qint64 nowMs);

    // The window's layout (geometry, view, fit, zoom, full screen) in the
    // per-user settings of the platform (QSettings under the application's
    // organisation and name), never in the configuration file.
    // restoreLayout applies what was kept and makes the window keep its
    // layout again when it is destroyed; a view key of the configuration
    // outranks the kept view.
    void restoreLayout();
    // The window width at which the longer status line (with lost packets)
    // is shown whole beside the indicators.
    int statusLineWidth() const;
    void saveLayout() const;
    // View > Reset layout: the defaults, and nothing kept.
    void resetLayout();
    static constexpr const char* LayoutGroup = "layout";
    static constexpr QSize DefaultSize{676, 709};

signals:
    // Declared for overlay painters; the window paints overlays through the
    // controller's paintOverlay hook and never emits it.
    void doOverlay(QPainter& painter);

public slots:
    void acquisitionEvent(QImage& image, GetStreamImage* ovlImage);
    void mouseMoveEvent(QMouseEvent* event) override;
    void saveImage();
    // File > Record toggled: asks for the folder the first time, then
    // starts or stops the session.
    void toggleRecording(bool on);

protected:
    void resizeEvent(QResizeEvent* event) override;
    // Keeps Full screen's check mark and Esc in step when the window
    // manager changes the state.
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

    void writeHistogramLine();

    Ui::framescopeClass ui;
    QVector<GetStreamImage*> m_streams;
    QSettings m_settings;
    // The configuration path as given, made absolute; also when the
    // settings could not be read from it.
    QString m_configPath;
    // The size limit of the log the histogram line goes to (the last
    // device's log_max_mb).
    qint64 m_logMaxBytes = DefaultLogMaxBytes;
    double m_avgFrameTime = 0.0;
    // 64 bits: at a few hundred frames a second an int would wrap within
    // months of running.
    qint64 m_frameCount = 0;
    std::array<int, HistogramBins> m_histLimit = HistogramLimits;
    HistogramCounts m_histCount = {};
    QString m_logFile;
    // Time since the previous frame's status update, or since construction
    // for the first frame.
    QElapsedTimer m_frameTimer;

    // The controllers hand it their frames; the destructor deletes them
    // before it is stopped.
    FrameRecorder m_recorder;

private:
    void recordingStoppedByItself();
    // Stops the recorder and prints the recording's summary line.
    void endRecording();
    // Widens the window to statusLineWidth(), within the screen.
    void widenForStatusLine();
    void buildViewMenu();
    // Fixes the image label's size for a frame of imageSize: the frame's
    // own size at 1:1, as the window always showed it; scaled when zoomed
    // or fitted.
    void applyLabelSize(const QSize& imageSize);
    void syncViewActions();
    // Hands a frame of `device` to its tile.
    void showInTile(int tile, const QImage& image, GetStreamImage* device);
    void refreshCaptions();
    // The scale at which the current view draws its image now.
    double shownScale() const;

    ViewMode m_view = ViewMode::Newest;
    std::optional<ViewMode> m_configuredView;
    bool m_fitNewest = false;
    double m_zoomNewest = 1.0;
    TileView* m_tileView = nullptr;
    QTimer* m_captionTimer = nullptr;
    // The status line's text changes with every frame, but it is painted at
    // most every StatusPaintMs: between, the status bar's updates are held
    // and m_statusFlush paints the newest text when the interval ends.
    static constexpr int StatusPaintMs = 20;
    void holdStatusPaint();
    QElapsedTimer m_statusPaintClock;
    QTimer* m_statusFlush = nullptr;
    QMenu* m_menuView = nullptr;
    QActionGroup* m_viewGroup = nullptr;
    QAction* m_actionNewest = nullptr;
    QAction* m_actionTiles = nullptr;
    QAction* m_actionFit = nullptr;
    QAction* m_actionActualSize = nullptr;
    QAction* m_actionZoomIn = nullptr;
    QAction* m_actionZoomOut = nullptr;
    QAction* m_actionFullScreen = nullptr;
    QAction* m_actionResetLayout = nullptr;
    QAction* m_actionQuit = nullptr;
    QShortcut* m_leaveFullScreen = nullptr;
    // Whether the destructor keeps the layout: only once restoreLayout was
    // called, so that windows made by tests leave the user's settings alone.
    bool m_rememberLayout = false;

    OutageWarning m_logOutage;
    RecordIndicator* m_recordIndicator = nullptr;
    RecordFolderDialog m_recordFolderDialog;
    QString m_recordBase;
    // A recording was started and its summary line is not printed yet.
    bool m_recordingSummaryDue = false;
};
