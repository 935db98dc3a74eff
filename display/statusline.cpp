// SPDX-License-Identifier: MIT
#include "statusline.h"

#include <QStatusBar>

StatusLine::StatusLine(QStatusBar* bar) : QObject(bar), m_bar(bar)
{
    m_paintClock.start();
    m_flush.setSingleShot(true);
    connect(&m_flush, &QTimer::timeout, this, [this] {
        m_bar->setUpdatesEnabled(true); // paints the newest text
        m_paintClock.restart();
    });
}

void StatusLine::show(const QString& text)
{
    if (m_bar->updatesEnabled()) {
        if (m_paintClock.elapsed() >= PaintIntervalMs) {
            m_paintClock.restart(); // painted with this text
        } else {
            m_bar->setUpdatesEnabled(false);
            m_flush.start(PaintIntervalMs);
        }
    }
    // While held, the flush paints the newest text.
    m_bar->showMessage(text);
}
