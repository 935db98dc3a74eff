// SPDX-License-Identifier: MIT
#pragma once

#include "ui_framescope.h"

#include <QMainWindow>
#include <QSettings>
#include <QString>
#include <QVector>

#include <array>

class GetStreamImage;
class QImage;
class QMouseEvent;
class QPainter;
class QTime;

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

    explicit imageDisplay(QWidget* parent = nullptr, Qt::WindowFlags flags = {});
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
    static QString statusText(int frameCount, double avgFrameTime, int periodMs, int packetsLost,
                              int packetsOutOfOrder, int packetsExpected, double frameDelay);
    // The histogram log line, "\n" included, as written at `time`.
    static QString histogramLine(const QTime& time, int frameCount,
                                 const std::array<int, HistogramBins>& limits,
                                 const std::array<int, HistogramBins>& counts);
    // The coordinate read-out shown while dragging at window position pos.
    static QString pointerText(int x, int y);

    const QVector<GetStreamImage*>& streams() const { return m_streams; }
    QString logFile() const { return m_logFile; }
    int frameCount() const { return m_frameCount; }
    double avgFrameTime() const { return m_avgFrameTime; }
    const std::array<int, HistogramBins>& histCount() const { return m_histCount; }

signals:
    // Declared for overlay painters; the window paints overlays through the
    // controller's paintOverlay hook and never emits it.
    void doOverlay(QPainter& painter);

public slots:
    void acquisitionEvent(QImage& image, GetStreamImage* ovlImage);
    void mouseMoveEvent(QMouseEvent* event) override;
    void saveImage();

protected:
    void writeHistogramLine();

    Ui::framescopeClass ui;
    QVector<GetStreamImage*> m_streams;
    QSettings m_settings;
    double m_avgFrameTime = 0.0;
    int m_frameCount = 0;
    std::array<int, HistogramBins> m_histLimit = HistogramLimits;
    std::array<int, HistogramBins> m_histCount = {};
    QString m_logFile;

private:
    // Set while the histogram log cannot be opened, so that the failure is
    // reported once per outage.
    bool m_logFailureReported = false;
};
