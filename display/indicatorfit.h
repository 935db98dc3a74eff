// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>

class QStatusBar;

// Keeps the status bar's message readable beside the device indicators.
// The message is drawn in what the permanent widgets leave; when the
// indicators spelt out would leave it less than the status line's longest
// text in its current form needs (the form with lost packets once there
// are any), they turn compact (name and dot, the state in the tool tip),
// and when even that is too wide they are cut short. Only the indicators
// give way; the message and the other permanent widgets (REC) keep their
// width. Follows the bar's resizes, its layout changes (an indicator's
// state spelt out anew, a widget added) and a change of the form.
class IndicatorFit : public QObject
{
    Q_OBJECT

public:
    // Watches `bar`, which owns it.
    explicit IndicatorFit(QStatusBar* bar);

    // The room the message needs in `bar`: the status line's longest text,
    // in the form with lost packets or the one without, and the margins
    // around it.
    static int messageRoom(const QStatusBar* bar, bool lossy);
    void refit();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Every message is looked at, but the indicators are fitted again only
    // when the form changes.
    void messageChanged(const QString& text);

    QStatusBar* m_bar;
    bool m_lossy = false;
    bool m_fitting = false;
};
