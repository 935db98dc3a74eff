// SPDX-License-Identifier: MIT
#include "measurement.h"

#include "decodepool.h"
#include "getstreamimage.h"
#include "statsexport.h"
#include "viewerconfig.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QSaveFile>
#include <QSettings>
#include <QThread>
#include <QtDebug>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// Frames still in conversion when the devices stop are waited for this
// long at most.
constexpr int DrainMs = 2000;

} // namespace

Measurement::Measurement(const QString& configPath, Options options, QObject* parent)
    : QObject(parent), m_options(std::move(options)), m_configPath(configPath)
{
    m_end.setSingleShot(true);
    connect(&m_end, &QTimer::timeout, QCoreApplication::instance(), &QCoreApplication::quit);
}

Measurement::~Measurement()
{
    for (GetStreamImage* device : std::as_const(m_devices))
        device->requestStop();
    qDeleteAll(m_devices);
    m_devices.clear();
}

void Measurement::start()
{
    QSettings settings(m_configPath, QSettings::IniFormat);
    ConfigWarnings warnings;
    const ViewerConfig viewer = ViewerConfig::read(settings, &warnings);
    const QList<DeviceConfig> configs = DeviceConfig::readAll(settings, &warnings);
    for (const ConfigWarning& warning : std::as_const(warnings))
        qWarning().noquote() << warning.text;
    // Before the first device submits a frame, which starts the threads.
    DecodePool::shared().setThreadCount(viewer.decodeThreads);
    // The ring holds the whole run, so that the percentiles cover it.
    const int seconds = std::clamp(int(std::ceil(m_options.seconds)) + 5, viewer.statsSeconds,
                                   ViewerConfig::MaxStatsSeconds);
    if (!m_options.statsFile.isEmpty())
        m_export = std::make_unique<StatsExport>(m_options.statsFile);
    for (const DeviceConfig& config : configs) {
        auto* device = new GetStreamImage(config);
        device->stats().setSeconds(seconds);
        const int index = int(m_devices.size());
        m_devices.append(device);
        m_connected.append(false);
        connect(
            device->worker(), &ImageGetWorker::connected, this,
            [this, index] { m_connected[index] = true; }, Qt::QueuedConnection);
        if (m_export)
            m_export->attach(device);
    }
    m_clock.start();
    m_end.start(std::max(1, int(std::llround(m_options.seconds * 1000.0))));
}

MeasureReport Measurement::finish()
{
    const double seconds = double(m_clock.elapsed()) / 1000.0;
    m_end.stop();
    for (GetStreamImage* device : std::as_const(m_devices))
        device->requestStop();
    // What was delivered before the stop is converted and counted.
    const QDeadlineTimer drain(DrainMs);
    auto converting = [this] {
        return std::any_of(m_devices.begin(), m_devices.end(),
                           [](const GetStreamImage* d) { return d->framesInConversion() > 0; });
    };
    while (converting() && !drain.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(1);
    }
    QCoreApplication::processEvents();

    QList<DeviceResult> results;
    for (int i = 0; i < m_devices.size(); ++i) {
        const GetStreamImage* device = m_devices[i];
        DeviceResult r;
        r.name = device->name();
        r.protocol = device->status().protocolName();
        r.address = device->status().address();
        r.connected = m_connected[i];
        r.rtp = device->worker()->protocol() == DeviceProtocol::Rtp
                || device->worker()->protocol() == DeviceProtocol::Rtsp;
        r.summary = StatsSummary::of(device->stats().records());
        // The packet counts of the whole run, also those after the last
        // frame delivered.
        const RtpCounters& rtp = device->worker()->rtpCounters();
        if (r.rtp) {
            r.summary.rtp = true;
            r.summary.packetsExpected = rtp.expected.load();
            r.summary.packetsLost = rtp.lost.load();
            r.summary.packetsOutOfOrder = rtp.outOfOrder.load();
            r.summary.jitterMs = double(rtp.jitter16.load()) / (16.0 * 90.0);
        }
        results.append(r);
    }
    if (m_export)
        m_export->finish();
    return MeasureReport(seconds, results, m_options.expectations);
}

int Measurement::run()
{
    start();
    QCoreApplication::exec();
    const MeasureReport report = finish();
    std::fputs(qPrintable(report.table()), stdout);
    const QString failures = report.failures();
    if (!failures.isEmpty())
        std::fputs(qPrintable(failures), stdout);
    std::fflush(stdout);
    if (!m_options.jsonFile.isEmpty()) {
        QSaveFile file(m_options.jsonFile);
        if (!file.open(QIODevice::WriteOnly) || file.write(report.json()) < 0 || !file.commit()) {
            std::fprintf(stderr, "framescope: cannot write %s: %s\n",
                         qPrintable(m_options.jsonFile), qPrintable(file.errorString()));
            return 1;
        }
    }
    return report.exitCode();
}
