// SPDX-License-Identifier: MIT
#include "onlydisplay.h"

#include "deviceconfig.h"
#include "deviceindicator.h"
#include "getstreamimage.h"
#include "statisticscontrol.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QMouseEvent>
#include <QStatusBar>
#include <QTimer>

#include <algorithm>
#include <optional>

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
    : imageDisplay(configPath, parent, flags), m_referenceHeaderFile(referenceHeaderFile)
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
    // groups after a gap are not looked at, nor those beyond MaxDevices.
    const int groups = DeviceConfig::groupCount(m_settings);
    if (const std::optional<ConfigWarning> leftOut = DeviceConfig::leftOutWarning(groups))
        qWarning().noquote() << leftOut->text;
    m_deviceGroups = std::min(groups, DeviceConfig::MaxDevices);
    // The first devices at once, so that a window with a few devices has
    // them all when it is shown; the rest from the event loop.
    createDevices(DevicesAtOnce, -1);
}

void onlyDisplay::createDevices(int count, int budgetMs)
{
    QElapsedTimer clock;
    clock.start();
    for (int made = 0; made < count && m_streams.size() < m_deviceGroups; ++made) {
        if (budgetMs >= 0 && made > 0 && clock.elapsed() >= budgetMs)
            break;
        createDevice(int(m_streams.size()));
    }
    setUpTiles();
    // In slices, each a return to the event loop: closing the window or a
    // termination signal is handled while many devices are still starting.
    if (m_streams.size() < m_deviceGroups)
        QTimer::singleShot(0, this, [this] { createDevices(DevicesPerSlice, SliceMs); });
}

void onlyDisplay::createDevice(int n)
{
    m_settings.beginGroup(QStringLiteral("dev%1").arg(n));
    // The controller reads the group's keys and reports those that cannot
    // work.
    auto* device = new GetStreamImage(&m_settings, nullptr, m_referenceHeaderFile);
    m_settings.endGroup();
    m_streams.append(device);
    m_logFile = device->logFile();
    m_logMaxBytes = device->logMaxBytes();
    describeDevice(*device);
    device->setRecorder(&m_recorder, n);
    statisticsControl()->addDevice(device);
    ui.statusBar->addPermanentWidget(new DeviceIndicator(device, ui.statusBar));
    connect(device, &GetStreamImage::acquisitionEvent, this, &imageDisplay::acquisitionEvent);
}

onlyDisplay::~onlyDisplay() = default;

void onlyDisplay::mouseDoubleClickEvent(QMouseEvent* event)
{
    QMainWindow::mouseDoubleClickEvent(event);
}
