// SPDX-License-Identifier: MIT
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QStatusBar;

// The status bar's message, set with every frame but painted at most every
// PaintIntervalMs: the text is always the newest, while between paints the
// bar's updates are held and the paint held back follows when the interval
// ends. Painting the text costs more than the rest of a frame's display; at
// hundreds of frames a second nobody reads it that often.
class StatusLine : public QObject
{
    Q_OBJECT

public:
    static constexpr int PaintIntervalMs = 20;

    // Shows its messages in `bar`, which owns it.
    explicit StatusLine(QStatusBar* bar);

    void show(const QString& text);

private:
    QStatusBar* m_bar;
    QElapsedTimer m_paintClock;
    QTimer m_flush;
};
