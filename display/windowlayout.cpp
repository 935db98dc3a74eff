// SPDX-License-Identifier: MIT
#include "windowlayout.h"

#include "deviceindicator.h"
#include "imagelabel.h"
#include "indicatorfit.h"
#include "tileview.h"
#include "usersettings.h"
#include "viewgeometry.h"

#include <QMainWindow>
#include <QScreen>
#include <QScrollArea>
#include <QSettings>
#include <QStatusBar>
#include <QWheelEvent>

#include <algorithm>

WindowLayout::WindowLayout(QMainWindow* window, QScrollArea* scrollArea, ImageLabel* label,
                           TileView* tiles)
    : QObject(window), m_window(window), m_scrollArea(scrollArea), m_label(label), m_tiles(tiles)
{
    m_tiles->installEventFilter(this);
    m_scrollArea->viewport()->installEventFilter(this);
    connect(m_tiles, &TileView::soloChanged, this, &WindowLayout::changed);
}

void WindowLayout::setViewMode(ViewMode mode)
{
    m_view = mode;
    const bool tiles = mode == ViewMode::Tiles;
    m_scrollArea->setVisible(!tiles);
    m_tiles->setVisible(tiles);
    if (!tiles)
        fitLabel(m_label->shownSize());
    emit viewModeChanged(mode);
    emit changed();
}

bool WindowLayout::fitToWindow() const
{
    return m_view == ViewMode::Tiles ? m_tiles->fit() : m_fitNewest;
}

void WindowLayout::setFitToWindow(bool fit)
{
    if (m_view == ViewMode::Tiles) {
        m_tiles->setFit(fit);
    } else {
        m_fitNewest = fit;
        fitLabel(m_label->shownSize());
    }
    emit changed();
}

double WindowLayout::zoom() const
{
    return m_view == ViewMode::Tiles ? m_tiles->zoom() : m_zoomNewest;
}

void WindowLayout::setZoom(double zoom)
{
    // A chosen zoom ends fitting.
    if (m_view == ViewMode::Tiles) {
        m_tiles->setZoom(zoom);
        m_tiles->setFit(false);
    } else {
        m_zoomNewest = viewgeometry::clampZoom(zoom);
        m_fitNewest = false;
        fitLabel(m_label->shownSize());
    }
    emit changed();
}

double WindowLayout::shownScale() const
{
    if (!fitToWindow())
        return zoom();
    // Fitted: the scale the picture has now, so that zooming goes on from
    // what is seen.
    QRect shown;
    QSize image;
    if (m_view == ViewMode::Tiles) {
        const int tile = std::max(0, m_tiles->selected());
        shown = m_tiles->imageRect(tile);
        image = m_tiles->frame(tile).size();
    } else {
        shown = m_label->rect();
        image = m_label->shownSize();
    }
    if (image.isEmpty() || shown.isEmpty())
        return zoom();
    return double(shown.width()) / image.width();
}

void WindowLayout::zoomBy(int steps)
{
    setZoom(viewgeometry::stepZoom(shownScale(), steps));
}

void WindowLayout::actualSize()
{
    setZoom(1.0);
}

bool WindowLayout::isFullScreen() const
{
    return m_window->windowState().testFlag(Qt::WindowFullScreen);
}

void WindowLayout::setFullScreen(bool on)
{
    if (on)
        m_window->setWindowState(m_window->windowState() | Qt::WindowFullScreen);
    else
        m_window->setWindowState(m_window->windowState() & ~Qt::WindowFullScreen);
    emit changed();
}

void WindowLayout::fitLabel(const QSize& imageSize)
{
    QSize shown = imageSize;
    if (!imageSize.isEmpty()) {
        if (m_fitNewest)
            shown = viewgeometry::fitSize(imageSize, m_scrollArea->maximumViewportSize());
        else if (m_zoomNewest != 1.0)
            shown = viewgeometry::zoomedSize(imageSize, m_zoomNewest);
    }
    m_label->setMinimumSize(shown);
    m_label->setMaximumSize(shown);
}

void WindowLayout::windowResized()
{
    if (m_fitNewest && m_view == ViewMode::Newest)
        fitLabel(m_label->shownSize());
}

void WindowLayout::windowStateChanged()
{
    emit changed();
}

bool WindowLayout::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Wheel
        && (watched == m_tiles || watched == m_scrollArea->viewport())) {
        auto* wheel = static_cast<QWheelEvent*>(event);
        if (wheel->modifiers().testFlag(Qt::ControlModifier)) {
            const int delta = wheel->angleDelta().y();
            if (delta != 0)
                zoomBy(delta > 0 ? 1 : -1);
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

void WindowLayout::restore(std::optional<ViewMode> configured)
{
    m_restored = true;
    // A settings file that cannot be used gives the first start's layout.
    const std::unique_ptr<QSettings> store = usersettings::open();
    if (!store) {
        widenForStatusLine();
        m_tiles->setFit(true);
        setViewMode(configured.value_or(ViewMode::Newest));
        return;
    }
    store->beginGroup(QLatin1String(Group));
    if (store->contains(QStringLiteral("geometry")))
        m_window->restoreGeometry(store->value(QStringLiteral("geometry")).toByteArray());
    else
        widenForStatusLine();
    m_fitNewest = store->value(QStringLiteral("fitNewest"), false).toBool();
    m_zoomNewest =
        viewgeometry::clampZoom(store->value(QStringLiteral("zoomNewest"), 1.0).toDouble());
    m_tiles->setFit(store->value(QStringLiteral("fitTiles"), true).toBool());
    m_tiles->setZoom(store->value(QStringLiteral("zoomTiles"), 1.0).toDouble());
    const bool tiles = store->value(QStringLiteral("view")).toString() == QLatin1String("tiles");
    const bool full = store->value(QStringLiteral("fullScreen"), false).toBool();
    // Docks (the statistics panel) as they were left.
    m_window->restoreState(store->value(QStringLiteral("docks")).toByteArray());
    store->endGroup();
    setViewMode(configured.value_or(tiles ? ViewMode::Tiles : ViewMode::Newest));
    if (full)
        setFullScreen(true);
}

int WindowLayout::statusLineWidth() const
{
    // The longer form of the status line, with the figures of hours of
    // frames and a lossy stream, beside the size grip and the layout's
    // spacing.
    const QStatusBar* bar = m_window->statusBar();
    int width = IndicatorFit::messageRoom(bar, true);
    for (const QWidget* indicator :
         bar->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (indicator->isHidden())
            continue;
        // Device indicators as spelt out, also while compact.
        const auto* device = qobject_cast<const DeviceIndicator*>(indicator);
        width += (device != nullptr ? device->fullWidth() : indicator->sizeHint().width()) + 6;
    }
    return width;
}

void WindowLayout::widenForStatusLine()
{
    // The form's width leaves the status line with lost packets no room
    // beside the device indicators; a first start makes room for it, as
    // far as the screen allows.
    int wanted = statusLineWidth();
    if (const QScreen* shown = m_window->screen())
        wanted = std::min(wanted, shown->availableGeometry().width());
    if (wanted > m_window->width())
        m_window->resize(wanted, m_window->height());
}

void WindowLayout::save() const
{
    const std::unique_ptr<QSettings> store = usersettings::open();
    if (!store)
        return;
    store->beginGroup(QLatin1String(Group));
    store->setValue(QStringLiteral("geometry"), m_window->saveGeometry());
    store->setValue(QStringLiteral("view"),
                    m_view == ViewMode::Tiles ? QStringLiteral("tiles") : QStringLiteral("newest"));
    store->setValue(QStringLiteral("fitNewest"), m_fitNewest);
    store->setValue(QStringLiteral("zoomNewest"), m_zoomNewest);
    store->setValue(QStringLiteral("fitTiles"), m_tiles->fit());
    store->setValue(QStringLiteral("zoomTiles"), m_tiles->zoom());
    store->setValue(QStringLiteral("fullScreen"), isFullScreen());
    store->setValue(QStringLiteral("docks"), m_window->saveState());
    store->endGroup();
}

void WindowLayout::saveIfRestored() const
{
    if (m_restored)
        save();
}

void WindowLayout::reset(std::optional<ViewMode> configured)
{
    if (const std::unique_ptr<QSettings> store = usersettings::open())
        store->remove(QLatin1String(Group));
    setFullScreen(false);
    m_window->setWindowState(m_window->windowState()
                             & ~(Qt::WindowMaximized | Qt::WindowMinimized));
    m_window->resize(DefaultSize);
    m_fitNewest = false;
    m_zoomNewest = 1.0;
    m_tiles->setFit(true);
    m_tiles->setZoom(1.0);
    m_tiles->setSolo(-1);
    setViewMode(configured.value_or(ViewMode::Newest));
}
