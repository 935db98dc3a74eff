// SPDX-License-Identifier: MIT
#include "onlydisplay.h"

#include "deviceindicator.h"
#include "getstreamimage.h"

#include <QDebug>
#include <QFileInfo>
#include <QLabel>
#include <QMouseEvent>
#include <QStatusBar>

namespace {

// One line per device as it was understood.
void describeDevice(const GetStreamImage& device)
{
    const DeviceStatus& status = device.status();
    QString line = QStringLiteral("%1: %2 %3, raw frames %4 x %5, transfer buffer %6 bytes")
                       .arg(device.name(), status.protocolName(), status.address())
                       .arg(device.sizeX())
                       .arg(device.sizeY())
                       .arg(device.transferLength());
    line += device.logFile().isEmpty() ? QStringLiteral(", no log file")
                                       : QStringLiteral(", log %1").arg(device.logFile());
    if (!device.contentOverwrite().isEmpty())
        line += QStringLiteral(", every frame taken as %1").arg(device.contentOverwrite());
    qInfo().noquote() << line;
}

} // namespace

onlyDisplay::onlyDisplay(const QString& configPath, const QString& referenceHeaderFile,
                         QWidget* parent, Qt::WindowFlags flags)
    : imageDisplay(configPath, parent, flags)
{
    if (!QFileInfo::exists(configPath)) {
        // The window still opens; the status bar says why it stays empty.
        const QString text = QStringLiteral("no devices: %1 not found").arg(configPath);
        qWarning().noquote() << QStringLiteral("Configuration file \"%1\" not found; no devices "
                                               "are shown")
                                    .arg(configPath);
        auto* missing = new QLabel(text, ui.statusBar);
        missing->setObjectName(QStringLiteral("configMissing"));
        ui.statusBar->addPermanentWidget(missing);
    }
    // Devices are dev0, dev1, ... up to the first group without a host key;
    // groups after a gap are not looked at.
    for (int n = 0;; ++n) {
        m_settings.beginGroup(QStringLiteral("dev%1").arg(n));
        if (!m_settings.contains(QStringLiteral("host"))) {
            m_settings.endGroup();
            break;
        }
        // The controller reads the group's keys and reports those that
        // cannot work.
        m_streams.append(new GetStreamImage(&m_settings, nullptr, referenceHeaderFile));
        m_logFile = m_streams.last()->logFile();
        describeDevice(*m_streams.last());
        m_streams.last()->setRecorder(&m_recorder, n);
        ui.statusBar->addPermanentWidget(new DeviceIndicator(m_streams.last(), ui.statusBar));
        m_logMaxBytes = m_streams.last()->logMaxBytes();
        m_settings.endGroup();
        connect(m_streams.last(), &GetStreamImage::acquisitionEvent, this,
                &imageDisplay::acquisitionEvent);
    }
    setUpTiles();
}

onlyDisplay::~onlyDisplay() = default;

void onlyDisplay::mouseDoubleClickEvent(QMouseEvent* event)
{
    QMainWindow::mouseDoubleClickEvent(event);
}
