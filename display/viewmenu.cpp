// SPDX-License-Identifier: MIT
#include "viewmenu.h"

#include "windowlayout.h"

#include <QActionGroup>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QShortcut>

ViewMenu::ViewMenu(WindowLayout* layout, QMainWindow* window) : QObject(window), m_layout(layout)
{
    auto* menu = new QMenu(QStringLiteral("View"), window->menuBar());
    menu->setObjectName(QStringLiteral("menuView"));
    window->menuBar()->addMenu(menu);
    auto add = [window, menu](const char* name, const QString& text,
                              const QList<QKeySequence>& keys) {
        auto* action = new QAction(text, window);
        action->setObjectName(QLatin1String(name));
        action->setShortcuts(keys);
        menu->addAction(action);
        return action;
    };
    auto* viewGroup = new QActionGroup(window);
    m_newest = add("actionNewest", QStringLiteral("Newest frame"), {});
    m_tiles = add("actionTiles", QStringLiteral("Tiles"), {});
    for (QAction* action : {m_newest, m_tiles}) {
        action->setCheckable(true);
        viewGroup->addAction(action);
    }
    m_newest->setChecked(true);
    connect(m_newest, &QAction::triggered, layout,
            [layout] { layout->setViewMode(WindowLayout::ViewMode::Newest); });
    connect(m_tiles, &QAction::triggered, layout,
            [layout] { layout->setViewMode(WindowLayout::ViewMode::Tiles); });
    menu->addSeparator();
    m_fit = add("actionFit", QStringLiteral("Fit to window"), {});
    m_fit->setCheckable(true);
    connect(m_fit, &QAction::triggered, layout, &WindowLayout::setFitToWindow);
    QAction* actualSize = add("actionActualSize", QStringLiteral("Actual size"),
                              {QKeySequence(QStringLiteral("Ctrl+0"))});
    connect(actualSize, &QAction::triggered, layout, &WindowLayout::actualSize);
    // Ctrl+= as well: on many keyboards + needs Shift.
    QAction* zoomIn =
        add("actionZoomIn", QStringLiteral("Zoom in"),
            {QKeySequence(QStringLiteral("Ctrl++")), QKeySequence(QStringLiteral("Ctrl+="))});
    connect(zoomIn, &QAction::triggered, layout, [layout] { layout->zoomBy(1); });
    QAction* zoomOut =
        add("actionZoomOut", QStringLiteral("Zoom out"), {QKeySequence(QStringLiteral("Ctrl+-"))});
    connect(zoomOut, &QAction::triggered, layout, [layout] { layout->zoomBy(-1); });
    menu->addSeparator();
    m_fullScreen =
        add("actionFullScreen", QStringLiteral("Full screen"), {QKeySequence(Qt::Key_F11)});
    m_fullScreen->setCheckable(true);
    connect(m_fullScreen, &QAction::triggered, layout, &WindowLayout::setFullScreen);
    m_leaveFullScreen = new QShortcut(QKeySequence(Qt::Key_Escape), window);
    m_leaveFullScreen->setEnabled(false);
    connect(m_leaveFullScreen, &QShortcut::activated, layout,
            [layout] { layout->setFullScreen(false); });
    menu->addSeparator();
    QAction* resetLayout = add("actionResetLayout", QStringLiteral("Reset layout"), {});
    connect(resetLayout, &QAction::triggered, this, &ViewMenu::resetRequested);
    connect(layout, &WindowLayout::changed, this, &ViewMenu::sync);
    sync();
}

void ViewMenu::sync()
{
    m_newest->setChecked(m_layout->viewMode() == WindowLayout::ViewMode::Newest);
    m_tiles->setChecked(m_layout->viewMode() == WindowLayout::ViewMode::Tiles);
    m_fit->setChecked(m_layout->fitToWindow());
    const bool full = m_layout->isFullScreen();
    m_fullScreen->setChecked(full);
    m_leaveFullScreen->setEnabled(full);
}
