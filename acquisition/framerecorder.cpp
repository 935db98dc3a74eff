// SPDX-License-Identifier: MIT
#include "framerecorder.h"

#include "recordingfile.h"
#include "recordingformat.h"

#include <QDir>
#include <QFileInfo>
#include <QtDebug>

#include <chrono>

FrameRecorder::FrameRecorder(QObject* parent) : FrameRecorder(Limits(), parent)
{
}

FrameRecorder::FrameRecorder(const Limits& limits, QObject* parent)
    : QObject(parent), m_limits(limits)
{
}

FrameRecorder::~FrameRecorder()
{
    stop();
}

QString FrameRecorder::sessionFolderName(const QDateTime& start)
{
    return start.toString(QStringLiteral("yyyy-MM-dd_hh-mm-ss"));
}

QString FrameRecorder::newSessionFolder(const QString& base, const QDateTime& start)
{
    const QDir dir(base);
    const QString name = sessionFolderName(start);
    QString candidate = dir.filePath(name);
    // Bounded: a thousand sessions within one second do not happen.
    for (int n = 2; QFileInfo::exists(candidate) && n < 1000; ++n)
        candidate = dir.filePath(QStringLiteral("%1_%2").arg(name).arg(n));
    return candidate;
}

QString FrameRecorder::deviceFileName(int device)
{
    return QStringLiteral("dev%1.mjpeg").arg(device);
}

qint64 FrameRecorder::wallClockUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool FrameRecorder::start(const QString& folder, QString* error)
{
    if (m_thread.joinable()) {
        *error = QStringLiteral("a recording is running into %1").arg(m_folder);
        return false;
    }
    if (!QDir().mkpath(folder)) {
        *error = QStringLiteral("cannot create the folder %1").arg(folder);
        return false;
    }
    m_folder = folder;
    m_queue.clear();
    m_queued.clear();
    m_stopRequested = false;
    m_stopReason.clear();
    m_framesWritten = 0;
    m_bytesWritten = 0;
    m_framesDropped = 0;
    m_accepting.store(true, std::memory_order_release);
    m_thread = std::thread([this] { writeLoop(); });
    return true;
}

void FrameRecorder::stop()
{
    m_accepting.store(false, std::memory_order_release);
    if (!m_thread.joinable())
        return;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopRequested = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

QString FrameRecorder::stopReason() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopReason;
}

bool FrameRecorder::record(int device, const QString& contentType, const unsigned char* data,
                           int len, qint64 receiveTimeUs)
{
    if (!isRecording() || data == nullptr || len <= 0)
        return false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        Queued& queued = m_queued[device];
        if (queued.frames >= m_limits.maxQueuedFrames
            || queued.bytes + len > m_limits.maxQueuedBytes) {
            ++m_framesDropped;
            return false;
        }
        Item item;
        item.device = device;
        // A header line ends at its line end; a type that came with one
        // could not be read back as the same part.
        item.contentType = contentType.toLatin1();
        item.contentType.replace('\r', "").replace('\n', "");
        item.bytes = QByteArray(reinterpret_cast<const char*>(data), len);
        item.receiveTimeUs = receiveTimeUs;
        ++queued.frames;
        queued.bytes += len;
        m_queue.push_back(std::move(item));
    }
    m_wake.notify_one();
    return true;
}

void FrameRecorder::writeLoop()
{
    bool failed = false;
    for (;;) {
        Item item;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopRequested || !m_queue.empty(); });
            if (m_queue.empty())
                break; // stop requested and everything written
            item = std::move(m_queue.front());
            m_queue.pop_front();
            Queued& queued = m_queued[item.device];
            --queued.frames;
            queued.bytes -= item.bytes.size();
        }
        // After a failure the rest of the queue is only emptied.
        if (failed)
            continue;
        if (m_beforeWrite)
            m_beforeWrite();
        QString reason;
        if (!writeItem(item, &reason)) {
            failed = true;
            endByItself(reason);
        }
    }
    for (auto& entry : m_files)
        entry.second->close();
    m_files.clear();
}

bool FrameRecorder::writeItem(const Item& item, QString* reason)
{
    const QByteArray header =
        recording::partHeader(item.contentType, item.bytes.size(), item.receiveTimeUs);
    const qint64 partBytes = header.size() + item.bytes.size() + recording::PartTrailerLen;
    if (m_bytesWritten.load() + partBytes > m_limits.maxTotalBytes) {
        *reason = QStringLiteral("the recording reached its size limit of %1 MB (record_max_mb)")
                      .arg(m_limits.maxTotalBytes / (qint64(1024) * 1024));
        return false;
    }
    auto& file = m_files[item.device];
    if (!file) {
        file = std::make_unique<RecordingFile>();
        const QString path = QDir(m_folder).filePath(deviceFileName(item.device));
        QString error;
        if (!file->open(path, &error)) {
            *reason = QStringLiteral("cannot open %1: %2").arg(path, error);
            return false;
        }
    }
    // Written straight to the file, so that a full disk or the file size
    // limit shows at the frame that did not fit, with the system's reason,
    // and the file still ends with the frame before it.
    QString error;
    if (!file->append(
            {header, item.bytes, QByteArrayView(recording::PartTrailer, recording::PartTrailerLen)},
            &error)) {
        *reason = QStringLiteral("cannot write %1: %2").arg(file->fileName(), error);
        return false;
    }
    m_bytesWritten += partBytes;
    ++m_framesWritten;
    return true;
}

void FrameRecorder::endByItself(const QString& reason)
{
    m_accepting.store(false, std::memory_order_release);
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopReason = reason;
    }
    qWarning().noquote() << QStringLiteral("Recording stopped: %1").arg(reason);
    emit stoppedByItself(reason);
}
