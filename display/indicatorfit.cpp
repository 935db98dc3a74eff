// SPDX-License-Identifier: MIT
#include "indicatorfit.h"

#include "deviceindicator.h"
#include "framestatistics.h"

#include <QEvent>
#include <QLayout>
#include <QSizeGrip>
#include <QStatusBar>

#include <algorithm>

IndicatorFit::IndicatorFit(QStatusBar* bar) : QObject(bar), m_bar(bar)
{
    m_bar->installEventFilter(this);
    connect(m_bar, &QStatusBar::messageChanged, this, &IndicatorFit::messageChanged);
}

void IndicatorFit::messageChanged(const QString& text)
{
    const bool lossy = text.contains(QLatin1String("packets lost"));
    if (lossy == m_lossy)
        return;
    m_lossy = lossy;
    refit();
}

int IndicatorFit::messageRoom(const QStatusBar* bar, bool lossy)
{
    // The figures of hours of frames, with every digit of their fields.
    const QString longest =
        lossy ? FrameStatistics::statusText(999999, 999.999, 9999, 99999, 9999, 99999, 0.0)
              : FrameStatistics::statusText(999999, 999.999, 9999, 0, 0, 0, 99999.9999);
    // The message is drawn 6 px from the left and 2 px short of the first
    // permanent widget; the size grip takes the rest of the margin.
    return bar->fontMetrics().horizontalAdvance(longest) + 40;
}

void IndicatorFit::refit()
{
    // Changing an indicator asks for a new layout, which comes back here.
    // A bar not shown has no width of its own yet; it is fitted when shown.
    if (m_fitting || !m_bar->isVisible())
        return;
    m_fitting = true;
    const int spacing = m_bar->layout() != nullptr ? std::max(0, m_bar->layout()->spacing()) : 0;
    QList<DeviceIndicator*> indicators;
    int others = 0;
    for (QWidget* widget : m_bar->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (widget->isHidden())
            continue;
        if (auto* indicator = qobject_cast<DeviceIndicator*>(widget))
            indicators.append(indicator);
        else if (qobject_cast<QSizeGrip*>(widget) == nullptr)
            others += widget->sizeHint().width() + spacing;
    }
    if (!indicators.isEmpty()) {
        const int room = m_bar->width() - messageRoom(m_bar, m_lossy) - others;
        int full = 0;
        for (const DeviceIndicator* indicator : std::as_const(indicators))
            full += indicator->fullWidth() + spacing;
        const bool compact = full > room;
        int compactWidth = 0;
        for (DeviceIndicator* indicator : std::as_const(indicators)) {
            indicator->setCompact(compact);
            compactWidth += indicator->sizeHint().width() + spacing;
        }
        // Still too wide: each indicator gets an equal share, cut at its
        // right end. Set only when it changes, as each change asks for a
        // new layout.
        const int share = compact && compactWidth > room
                              ? std::max(1, room / int(indicators.size()) - spacing)
                              : QWIDGETSIZE_MAX;
        for (DeviceIndicator* indicator : std::as_const(indicators)) {
            if (indicator->maximumWidth() != share)
                indicator->setMaximumWidth(share);
        }
    }
    m_fitting = false;
}

bool IndicatorFit::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_bar
        && (event->type() == QEvent::Resize || event->type() == QEvent::LayoutRequest))
        refit();
    return QObject::eventFilter(watched, event);
}
