// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QSize>

#include <optional>

class ImageLabel;
class QMainWindow;
class QScrollArea;
class TileView;

// How the window shows its frames and how it is laid out: which view the
// image area shows, fit and zoom of each view, full screen, and the layout
// kept in the per-user settings of the platform (QSettings under the
// application's organisation and name, group Group), never in the
// configuration file. The window is kept only once restore() was called, so
// that windows made by tests leave the user's settings alone.
class WindowLayout : public QObject
{
    Q_OBJECT

public:
    // What the image area shows: the newest frame of any device in one
    // image label (the default), or every device in a tile of its own.
    enum class ViewMode
    {
        Newest,
        Tiles,
    };
    static constexpr const char* Group = "layout";
    static constexpr QSize DefaultSize{676, 709};

    // The image area of `window`: the scroll area holding the image label
    // for the newest frame, and the tile view beside it.
    WindowLayout(QMainWindow* window, QScrollArea* scrollArea, ImageLabel* label, TileView* tiles);

    ViewMode viewMode() const { return m_view; }
    void setViewMode(ViewMode mode);
    // Fit and zoom of the current view. Fitting is off by default for the
    // newest frame (shown 1:1, as always) and on for the tiles.
    bool fitToWindow() const;
    void setFitToWindow(bool fit);
    double zoom() const;
    void setZoom(double zoom);
    void zoomBy(int steps);
    void actualSize();
    bool isFullScreen() const;
    void setFullScreen(bool on);

    // Fixes the image label's size for a frame of imageSize: the frame's
    // own size at 1:1, as the window always showed it; scaled when zoomed
    // or fitted.
    void fitLabel(const QSize& imageSize);
    // The window tells of its resizes and of state changes the window
    // manager made.
    void windowResized();
    void windowStateChanged();

    // Applies the kept layout, or on a first start widens the window for
    // the status line; the configured view, when given, outranks the kept
    // one. From then on saveIfRestored() keeps the layout.
    void restore(std::optional<ViewMode> configured);
    void save() const;
    void saveIfRestored() const;
    // The defaults, and nothing kept.
    void reset(std::optional<ViewMode> configured);
    // The window width at which the longer status line (with lost packets)
    // is shown whole beside the indicators.
    int statusLineWidth() const;

signals:
    // Every setViewMode, also of the view already shown.
    void viewModeChanged(WindowLayout::ViewMode mode);
    // The view, fitting or full screen may have changed.
    void changed();

protected:
    // Ctrl+wheel over the image area zooms; the plain wheel keeps scrolling.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Widens the window to statusLineWidth(), within the screen.
    void widenForStatusLine();
    // The scale at which the current view draws its image now.
    double shownScale() const;

    QMainWindow* m_window;
    QScrollArea* m_scrollArea;
    ImageLabel* m_label;
    TileView* m_tiles;
    ViewMode m_view = ViewMode::Newest;
    bool m_fitNewest = false;
    double m_zoomNewest = 1.0;
    bool m_restored = false;
};
