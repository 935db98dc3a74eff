// SPDX-License-Identifier: MIT
#pragma once

#include "frameconversion.h"
#include "framehistory.h"
#include "graylevels.h"

#include <QImage>
#include <QObject>
#include <QPoint>
#include <QVector>

#include <functional>
#include <optional>

class GetStreamImage;
class QAction;
class QLabel;
class QMainWindow;
class QStatusBar;

// What one view shows of one device: the picture as drawn (8-bit for 16-bit
// gray) and the raw values behind it, with the device's number of that
// frame (0 when not known).
struct ShownFrame
{
    GetStreamImage* device = nullptr;
    QImage shown;
    QImage raw;
    qint64 number = 0;
    // Decoded scaled down for the size it is shown at: its encoded bytes,
    // decoded again at full size when first looked into.
    ConvertedFrame scaledFrom;
    qint64 maxPixels = 0;
    mutable QImage fullSize;
    // Stepped to while paused: the history's record of it.
    std::optional<HistoryFrame> stored;
};

// The full-size frame whose pixels the read-out shows and Save Image writes:
// the raw values of a 16-bit gray frame, else the picture as decoded, at
// full size also when it was decoded scaled down for the screen.
QImage inspectionImage(const ShownFrame& frame);

// Stopping on a frame and looking into it: pause (Space, View > Pause),
// the history of received frames with stepping while paused (Left, Right,
// Home, End), the pixel value under the pointer and the 16-bit levels (View
// > Levels). The window keeps counting, logging and recording while paused;
// only the pictures stay. Tile -1 is the newest-frame view.
class FrameExaminer : public QObject
{
    Q_OBJECT

public:
    // Puts the pictures on screen: tile -1 the image area, else that tile.
    using Presenter = std::function<void(int tile, GetStreamImage* device, const QImage& image)>;
    // Asks for the levels of a 16-bit device: "auto" or "LOW,HIGH"; nothing
    // when cancelled. Tests replace the dialog.
    using LevelsDialog = std::function<std::optional<QString>(QWidget* parent, const QString& now)>;

    FrameExaminer(QMainWindow* window, QStatusBar* statusBar, qint64 historyBytes,
                  Presenter presenter);

    // The devices, in tile order; devices added behind keep their history.
    void setDevices(const QVector<GetStreamImage*>& devices);
    FrameHistory& history() { return m_history; }
    void setTilesShown(bool tiles);

    bool isPaused() const { return m_paused; }
    void setPaused(bool paused);
    // The window has put `image` of `device` on screen in `tile`.
    void frameShown(int tile, GetStreamImage* device, const QImage& image);
    // The frame on screen in `tile` (-1: the image area); nullptr without.
    const ShownFrame* shownFrame(int tile) const;
    // The tile stepping and the levels act on (-1: the image area).
    void setSelectedTile(int tile) { m_selectedTile = tile; }

    enum class Step
    {
        Back,
        Forward,
        Oldest,
        Newest
    };
    // While paused: shows the kept frame `step` names of the selected view's
    // device. False when there is none.
    bool step(Step step);

    // The pixel under the pointer, in `tile` (-1: the image area); nothing
    // when the pointer is outside every picture.
    void pointerAt(int tile, std::optional<QPoint> pixel);
    // The read-out line: "X, Y: raw N"; empty without one.
    QString readoutText() const;
    // The line the caption of `tile` adds: "paused" with the stepped
    // frame's own figures, and the read-out when the pointer is in it.
    QString captionText(int tile) const;
    // The figures of a kept frame: "frame 12  12:34:56.789  period 40.0 ms
    // delay 1.2 ms".
    static QString frameText(const HistoryFrame& frame);

    // View > Levels for the selected view's device; `text` is "auto" or
    // "LOW,HIGH". False for a text that is neither or a device without
    // 16-bit gray.
    bool setLevels(const QString& text);
    void setLevelsDialog(LevelsDialog dialog) { m_levelsDialog = std::move(dialog); }

signals:
    // A caption or the read-out changed.
    void textChanged();

private:
    int stepTile() const;
    ShownFrame& slot(int tile);
    void refreshTexts();
    void askLevels();
    // Shows kept frame `number` of the device in `tile`.
    bool showStored(int tile, qint64 number);

    QMainWindow* m_window;
    Presenter m_presenter;
    FrameHistory m_history;
    QVector<GetStreamImage*> m_devices;
    QVector<ShownFrame> m_tiles;
    ShownFrame m_newest;
    bool m_paused = false;
    bool m_tilesShown = false;
    int m_selectedTile = -1;
    std::optional<int> m_pointerTile;
    QPoint m_pointerPixel;
    QLabel* m_pauseLabel = nullptr;
    QLabel* m_readoutLabel = nullptr;
    QAction* m_pause = nullptr;
    QVector<QAction*> m_stepActions;
    LevelsDialog m_levelsDialog;
};
