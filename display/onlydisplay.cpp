// SPDX-License-Identifier: MIT
#include "onlydisplay.h"

#include "getstreamimage.h"

#include <QMouseEvent>

onlyDisplay::onlyDisplay(const QString& configPath, const QString& referenceHeaderFile,
                         QWidget* parent, Qt::WindowFlags flags)
    : imageDisplay(configPath, parent, flags)
{
    // Devices are dev0, dev1, ... up to the first group without a host key;
    // groups after a gap are not looked at.
    for (int n = 0;; ++n) {
        m_settings.beginGroup(QStringLiteral("dev%1").arg(n));
        if (!m_settings.contains(QStringLiteral("host"))) {
            m_settings.endGroup();
            break;
        }
        m_logFile = m_settings.value(QStringLiteral("logfile"), QString()).toString();
        m_streams.append(new GetStreamImage(&m_settings, nullptr, referenceHeaderFile));
        m_logMaxBytes = m_streams.last()->logMaxBytes();
        m_settings.endGroup();
        connect(m_streams.last(), &GetStreamImage::acquisitionEvent, this,
                &imageDisplay::acquisitionEvent);
    }
}

onlyDisplay::~onlyDisplay() = default;

void onlyDisplay::mouseDoubleClickEvent(QMouseEvent* event)
{
    QMainWindow::mouseDoubleClickEvent(event);
}
