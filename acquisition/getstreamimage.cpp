// SPDX-License-Identifier: MIT
#include "getstreamimage.h"

#include "devicelog.h"
#include "framehistory.h"
#include "framemetadata.h"
#include "framerecorder.h"
#include "h264decoder.h"
#include "latencyprobe.h"

#include <QDeadlineTimer>
#include <QPainter>
#include <QSettings>
#include <QtDebug>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <optional>
#include <utility>

namespace {

// The worker's receive loop sees a stop request within one wait slice; this
// leaves ample room for that and for the thread's event loop to end.
constexpr int ShutdownWaitMs = 1000;

// The device group `settings` is positioned in, with its warnings on the
// console.
DeviceConfig readDeviceConfig(QSettings* settings)
{
    ConfigWarnings warnings;
    DeviceConfig config = DeviceConfig::read(*settings, &warnings);
    for (const ConfigWarning& warning : std::as_const(warnings))
        qWarning().noquote() << warning.text;
    return config;
}

} // namespace

GetStreamImage::GetStreamImage(QSettings* settings, QObject* parent,
                               const QString& referenceHeaderFile)
    : GetStreamImage(readDeviceConfig(settings), parent, referenceHeaderFile)
{
}

GetStreamImage::GetStreamImage(const DeviceConfig& config, QObject* parent,
                               const QString& referenceHeaderFile)
    : QObject(parent), m_sizeX(config.sizeX), m_sizeY(config.sizeY), m_image(), m_worker(config),
      m_thread(), m_host(config.host), m_port(config.port), m_logFile(config.logFile),
      m_logMaxBytes(config.logMaxBytes), m_contentOverwrite(config.contentOverwrite),
      m_name(config.name), m_status(m_name, config.host, config.port, m_worker.protocol()),
      m_maxPixels(config.maxPixels), m_events(m_name), m_handOff([this] {
          QMetaObject::invokeMethod(this, &GetStreamImage::conversionFinished,
                                    Qt::QueuedConnection);
      })
{
    // Before the transfer buffers are made: they hold two bytes a pixel
    // for 16-bit gray.
    m_gray16 = config.gray16;
    m_bigEndian = config.bigEndian;
    m_levels = config.levels;
    m_shownLevels = config.levels;
    m_events.setLogFile(m_logFile, m_logMaxBytes);
    if (config.protocol == DeviceProtocol::Http || config.protocol == DeviceProtocol::Rtsp) {
        // Named by its URL, never with the credentials a URL may hold.
        m_status.setUrl(config.displayUrl());
        m_status.setPollPeriodMs(config.pollMs);
    }
    m_handOff.allocateBuffers(transferLength());
    m_transferBuf = m_handOff.transferBuffer();
    m_worker.setReferenceHeaderFile(referenceHeaderFile);
    m_worker.moveToThread(&m_thread);

    connect(&m_worker, &ImageGetWorker::newImageReceived, this, &GetStreamImage::newImageReceived,
            Qt::QueuedConnection);
    connect(this, &GetStreamImage::initConnect, &m_worker, &ImageGetWorker::initConnect);
    connect(&m_worker, &ImageGetWorker::connected, this, &GetStreamImage::connected);
    connect(&m_worker, &ImageGetWorker::disconnected, this, &GetStreamImage::disconnected);
    connect(this, &GetStreamImage::imageRequest, &m_worker, &ImageGetWorker::imageRequested);
    connect(&m_reconnectTimer, &QTimer::timeout, this, &GetStreamImage::reconnect);
    connect(&m_worker, &ImageGetWorker::linkStateChanged, this, &GetStreamImage::linkStateChanged,
            Qt::QueuedConnection);
    connect(&m_worker, &ImageGetWorker::notice, this, &GetStreamImage::workerNotice,
            Qt::QueuedConnection);
    connect(&m_statusTimer, &QTimer::timeout, this, &GetStreamImage::updateStatus);

    m_thread.start(QThread::HighestPriority);
    m_reconnectTimer.start(ReconnectIntervalMs);
    m_statusClock.start();
    m_statusTimer.start(StatusIntervalMs);
    m_worker.markConnectQueued();
    emit initConnect(m_host, m_port);
    requestNextFrame();
}

GetStreamImage::~GetStreamImage()
{
    // The decodes in progress finish (bounded by the pixel limit and the
    // scan budget); their results and the waiting frames are not shown,
    // but their log text is kept.
    const QStringList unshownLogs = m_handOff.stop();
    // Withdraws the request: once this returns, the worker is not copying
    // into either transfer buffer and will not start to.
    m_worker.imageRequested(nullptr, 0);
    for (const QString& text : unshownLogs)
        m_events.writeLog(text);
    m_reconnectTimer.stop();
    // The receive loop does not see quit(): it checks the stop flag after
    // every wait slice and returns, then the thread's event loop ends.
    m_worker.requestStop();
    m_thread.quit();
    if (!m_thread.wait(QDeadlineTimer(ShutdownWaitMs))) {
        qWarning().noquote() << QStringLiteral("Device %1:%2: worker thread slow to stop, waiting")
                                    .arg(m_host)
                                    .arg(m_port);
        m_thread.wait();
    }
    // A raw gray image refers to a transfer buffer; it is dropped before
    // m_handOff releases them.
    m_image = QImage();
    m_transferBuf = nullptr;
}

void GetStreamImage::requestStop()
{
    m_reconnectTimer.stop();
    m_worker.requestStop();
    m_thread.quit();
}

void GetStreamImage::setRecorder(FrameRecorder* recorder, int device)
{
    m_recorder = recorder;
    m_recordDevice = device;
}

int GetStreamImage::transferLength() const
{
    // The configuration bounds sizeX x sizeY x 2, so this always fits an int.
    return int(std::int64_t(m_sizeX) * std::int64_t(m_sizeY) * (m_gray16 ? 2 : 1)
               + TransferSpareBytes);
}

void GetStreamImage::setHistory(FrameHistory* history, int device)
{
    m_history = history;
    m_historyDevice = device;
}

void GetStreamImage::newImageReceived(QString conType, unsigned char* pBuf, int len, QString logMsg)
{
    m_measuredDelay.reset();
    std::optional<HistoryEntry> historyAfter;
    if (len > 0) {
        m_status.frameDelivered(m_statusClock.elapsed());
        const qint64 previousMs = m_figures.lastFrameMs;
        countFrame(m_statusClock.elapsed());
        const HistoryEntry entry{m_figures.frames, FrameRecorder::wallClockUs(),
                                 previousMs >= 0 ? double(m_figures.lastFrameMs - previousMs)
                                                 : -1.0};
        // The copy for the history is made once a frame for the pool is on
        // its way there, so that its decoding starts first; its buffer is
        // held meanwhile, because once asked for again the worker may write
        // into it. Any other frame is copied before it is converted.
        if (m_history != nullptr) {
            if (m_convertInThread && m_handOff.requestedBuffer() == pBuf) {
                historyAfter = entry;
                m_handOff.holdBuffer(pBuf);
            } else {
                keepInHistory(conType, pBuf, len, entry);
            }
        }
        // Frames the worker replaced or left out before this one first.
        m_stats.workerCounts(m_worker.framesCompleted(), m_worker.oversizeFramesSkipped(),
                             DeviceStats::monotonicNs(), DeviceStats::wallClockMs());
        // Oversize frames that came before this one are reported now, before
        // this frame can be shown and end their cause; left to the status
        // timer, they could be reported again after it.
        reportOversizeFrames();
        m_stats.frameArrived(DeviceStats::monotonicNs(), DeviceStats::wallClockMs(),
                             isTransferBuffer(pBuf) ? std::min(len, transferLength()) : len,
                             m_contentOverwrite.isEmpty() ? conType : m_contentOverwrite,
                             &m_worker.rtpCounters());
        // Queued before conversion, in the type the device sent (not a
        // contentoverwrite type); a full queue leaves the frame out of the
        // recording only.
        if (m_recorder != nullptr)
            m_recorder->record(m_recordDevice, conType, pBuf,
                               isTransferBuffer(pBuf) ? std::min(len, transferLength()) : len,
                               FrameRecorder::wallClockUs());
    }
    // A frame on its way through the converter takes its log text along:
    // the text is written once the frame has been handed to the window.
    m_handOff.holdLog(std::move(logMsg));
    processImage(conType, pBuf, len);
    if (historyAfter) {
        keepInHistory(conType, pBuf, len, *historyAfter);
        m_handOff.releaseHold();
        // The request processImage could not make while the buffer was held.
        requestNextFrame();
    }
    if (m_history != nullptr && len > 0 && m_measuredDelay)
        m_history->setDelay(m_historyDevice, m_figures.frames, *m_measuredDelay);
    writeLog(m_handOff.takeHeldLog());
}

void GetStreamImage::keepInHistory(const QString& conType, const unsigned char* pBuf, int len,
                                   const HistoryEntry& entry)
{
    m_history->add(m_historyDevice, conType, pBuf,
                   isTransferBuffer(pBuf) ? std::min(len, transferLength()) : len, entry.number,
                   entry.arrivalUs, entry.periodMs);
}

void GetStreamImage::processImage(QString conType, unsigned char* pBuf, int len)
{
    const bool fromWorker = m_handOff.answersRequest(pBuf);
    if (len > 0) {
        if (fromWorker && m_convertInThread) {
            Delivery delivery;
            delivery.job = makeJob(conType, pBuf, len);
            delivery.job.ownPixels = true;
            attachDecoder(delivery.job, m_worker.deliveredFrameCount());
            delivery.buffer = pBuf;
            // Taken now, before decoding, so decoding time is not part of it.
            delivery.delay = measureDelay(delivery.job);
            delivery.finishNs = m_worker.deliveredFinishNs();
            delivery.logMsg = m_handOff.takeHeldLog();
            // Handed back only once the hand-off has stopped or when the
            // pool could start no thread.
            if (std::optional<Delivery> back = m_handOff.submit(std::move(delivery)))
                showDelivery(*back, convertFrame(back->job));
        } else {
            m_shownFinishNs = m_worker.deliveredFinishNs();
            convertImage(conType, pBuf, len);
        }
    }
    // Also after an empty delivery: without a new request the worker would
    // never deliver this device's frames again.
    requestNextFrame();
}

void GetStreamImage::conversionFinished()
{
    // Every result that is ready, in arrival order; the worker gets a
    // buffer again before the window paints, so that receiving, decoding
    // and painting overlap.
    while (std::optional<ConversionHandOff::Finished> done = m_handOff.takeResult()) {
        requestNextFrame();
        showDelivery(done->delivery, std::move(done->frame));
    }
}

void GetStreamImage::showDelivery(const Delivery& delivery, ConvertedFrame frame)
{
    if (delivery.delay)
        setFrameDelay(*delivery.delay);
    m_shownFinishNs = delivery.finishNs;
    finishConversion(delivery.job, std::move(frame));
    writeLog(delivery.logMsg);
}

void GetStreamImage::reportFrameShown() const
{
    if (LatencyProbe* const probe = latencyProbe())
        probe->frameShown(m_shownFinishNs);
}

std::optional<double> GetStreamImage::measureDelay(const FrameJob& job)
{
    if (job.conType != QLatin1String(JpegContentType))
        return std::nullopt;
    unsigned short field = 0;
    long long deviceTimeUs = 0;
    if (!readFrameTimestamp(job.data, job.len, &field, &deviceTimeUs))
        return std::nullopt;
    // Narrowed to 32 bits by saturation: a device clock that jumps by an
    // hour must not wrap into a negative delay.
    const long long d = m_stopwatch.delayMicroseconds(deviceTimeUs);
    const auto delay = std::int32_t(std::clamp<long long>(d, INT32_MIN, INT32_MAX));
    m_measuredDelay = delay / 1000000.0;
    m_stats.delayMeasured(*m_measuredDelay);
    return m_measuredDelay;
}

void GetStreamImage::setFrameDelay(double seconds)
{
    g_frameDelay = seconds;
    m_figures.delaySeconds = seconds;
    m_figures.hasDelay = true;
}

void GetStreamImage::countFrame(qint64 nowMs)
{
    ++m_figures.frames;
    if (m_figures.lastFrameMs >= 0) {
        const double period = double(nowMs - m_figures.lastFrameMs);
        // A tenth per frame: a caption refreshed twice a second should
        // follow a change of rate within a few seconds, and the first
        // period (which holds the connect) should not linger.
        m_figures.avgPeriodMs =
            m_figures.avgPeriodMs == 0.0 ? period : m_figures.avgPeriodMs * 0.9 + period * 0.1;
    }
    m_figures.lastFrameMs = nowMs;
}

void GetStreamImage::paintOverlay(QPainter& painter)
{
    Q_UNUSED(painter);
}

void GetStreamImage::requestNextFrame()
{
    // With every buffer in the pool, the oldest frame not yet started on
    // gives way to the newest, counted rather than silently lost.
    if (m_handOff.skipIfFull()) {
        m_figures.skipped = m_handOff.skipped();
        m_status.setSkippedFrames(m_figures.skipped);
        m_stats.frameNotShown(FrameRecord::Fate::Skipped, DeviceStats::monotonicNs());
    }
    // A direct call: a queued one would wait behind the receive loop that
    // occupies the worker's thread.
    if (unsigned char* buffer = m_handOff.nextRequest())
        m_worker.imageRequested(buffer, transferLength());
}

void GetStreamImage::writeLog(const QString& logMsg)
{
    m_events.writeLog(logMsg);
}
