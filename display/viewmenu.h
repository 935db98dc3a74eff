// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>

class QAction;
class QMainWindow;
class QShortcut;
class WindowLayout;

// The View menu: newest frame or tiles, fit to window, actual size, zoom
// in and out, full screen (F11; Esc leaves it) and reset layout. Its check
// marks follow the layout however it changes, also when the window manager
// changes the full-screen state.
class ViewMenu : public QObject
{
    Q_OBJECT

public:
    // Adds the menu to `window`'s menu bar. The actions belong to the
    // window, whose shortcuts they are.
    ViewMenu(WindowLayout* layout, QMainWindow* window);

signals:
    // View > Reset layout: the window knows the configured view.
    void resetRequested();

private:
    void sync();

    WindowLayout* m_layout;
    QAction* m_newest = nullptr;
    QAction* m_tiles = nullptr;
    QAction* m_fit = nullptr;
    QAction* m_fullScreen = nullptr;
    QShortcut* m_leaveFullScreen = nullptr;
};
