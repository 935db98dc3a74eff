// SPDX-License-Identifier: MIT
#include "deviceindicator.h"

#include "devicestatus.h"
#include "getstreamimage.h"

namespace {
// Green while frames arrive, amber while waiting or quiet, red for a
// failure the user has to act on, gray once stopped.
QString colourFor(const DeviceStatus& status)
{
    using State = DeviceStatus::State;
    if (status.isFailure())
        return QStringLiteral("#c62828");
    switch (status.state()) {
    case State::Receiving:
        return QStringLiteral("#2e7d32");
    case State::Stopped:
        return QStringLiteral("#757575");
    default:
        return QStringLiteral("#b26a00");
    }
}
} // namespace

DeviceIndicator::DeviceIndicator(GetStreamImage* device, QWidget* parent)
    : QLabel(parent), m_device(device)
{
    setObjectName(QStringLiteral("deviceIndicator_%1").arg(device->name()));
    setTextFormat(Qt::RichText);
    connect(device, &GetStreamImage::statusChanged, this, &DeviceIndicator::refresh);
    refresh();
}

void DeviceIndicator::refresh()
{
    const DeviceStatus& status = m_device->status();
    const qint64 now = m_device->statusClockMs();
    const QString word = status.stateText(now);
    m_text = QStringLiteral("%1 %2").arg(status.name(), word);
    // A device that delivers needs only its green dot (the rate is in the
    // tool tip), so that several indicators leave the status line room;
    // every other state is spelt out, unless the bar has no room for it.
    m_word = status.state() == DeviceStatus::State::Receiving ? QString() : QLatin1Char(' ') + word;
    const QString shown = m_compact ? QString() : m_word;
    setText(QStringLiteral("%1 <span style=\"color:%2\">&#9679;%3</span>")
                .arg(status.name().toHtmlEscaped(), colourFor(status), shown.toHtmlEscaped()));
    setToolTip(status.details(now));
}

void DeviceIndicator::setCompact(bool compact)
{
    if (compact == m_compact)
        return;
    m_compact = compact;
    refresh();
}

int DeviceIndicator::fullWidth() const
{
    // The label's frame and margins around the text, as the label has them
    // now, plus the words it leaves out while compact.
    int width = sizeHint().width();
    if (m_compact)
        width += fontMetrics().horizontalAdvance(m_word);
    return width;
}
