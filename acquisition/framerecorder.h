// SPDX-License-Identifier: MIT
#pragma once

#include "viewerconfig.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

// Keeps the frames the devices deliver: one file per device (dev<N>.mjpeg)
// in a session folder, each a multipart stream with the receive time on the
// boundary line (decoders/recordingformat.h). The GUI thread hands frames in
// with record(), which only copies them into a bounded queue; a thread of its
// own writes them. When a device's share of the queue is full its frame is
// left out of the recording and counted; the caller shows it all the same. A failed write
// or the size cap ends the recording, with one message saying why.
class RecordingFile;

class FrameRecorder : public QObject
{
    Q_OBJECT

public:
    static constexpr int DefaultMaxQueuedFrames = 64;
    static constexpr qint64 DefaultMaxQueuedBytes = qint64(256) * 1024 * 1024;
    static constexpr qint64 DefaultMaxMb = ViewerConfig::DefaultRecordMaxMb;

    struct Limits
    {
        // Each device's frames waiting to be written: a device that sends
        // more than the disk takes fills its own share only.
        int maxQueuedFrames = DefaultMaxQueuedFrames;
        qint64 maxQueuedBytes = DefaultMaxQueuedBytes;
        // All files of the session together; the frame that would pass it
        // ends the recording instead.
        qint64 maxTotalBytes = DefaultMaxMb * 1024 * 1024;
    };

    explicit FrameRecorder(QObject* parent = nullptr);
    explicit FrameRecorder(const Limits& limits, QObject* parent = nullptr);
    // Writes what is queued and closes the files.
    ~FrameRecorder() override;

    // The session folder's name for a recording started at `start`
    // ("2026-12-09_11-34-36").
    static QString sessionFolderName(const QDateTime& start);
    // The folder for a session started at `start` inside `base`: its name,
    // or with "_2", "_3", ... behind it when a session of the same second
    // is there already, so that no recording is overwritten.
    static QString newSessionFolder(const QString& base, const QDateTime& start);
    // The file of one device in the session folder.
    static QString deviceFileName(int device);
    // The wall clock in microseconds since 1970 (UTC): the receive time a
    // frame is recorded with.
    static qint64 wallClockUs();

    // Not while a session runs.
    void setLimits(const Limits& limits) { m_limits = limits; }
    const Limits& limits() const { return m_limits; }

    // Starts a session writing into `folder` (created with its parents).
    // False, with the reason in `error`, when the folder cannot be made or
    // a session is running.
    bool start(const QString& folder, QString* error);
    // Writes what is queued, closes the files and ends the writer thread.
    void stop();
    // Frames are being accepted: started, and neither stopped nor failed.
    bool isRecording() const { return m_accepting.load(std::memory_order_acquire); }

    // Queues a copy of one delivered frame; never waits for the disk.
    // False when not recording, or when the queue is full (counted in
    // framesDropped()).
    bool record(int device, const QString& contentType, const unsigned char* data, int len,
                qint64 receiveTimeUs);

    QString folder() const { return m_folder; }
    qint64 framesWritten() const { return m_framesWritten.load(); }
    qint64 bytesWritten() const { return m_bytesWritten.load(); }
    qint64 framesDropped() const { return m_framesDropped.load(); }
    // Why the last session ended by itself; empty while it runs, when it
    // was stopped with stop(), and again after the next start().
    QString stopReason() const;

    // Called on the writer thread before each frame is written; tests hold
    // the writer there to fill the queue.
    void setBeforeWrite(std::function<void()> hook) { m_beforeWrite = std::move(hook); }

signals:
    // The session ended by itself: a write failed or the size cap was
    // reached. Emitted once, from the writer thread.
    void stoppedByItself(QString reason);

private:
    struct Item
    {
        int device = 0;
        QByteArray contentType;
        QByteArray bytes;
        qint64 receiveTimeUs = 0;
    };

    void writeLoop();
    // Writes one frame; false with `reason` set when the session must end.
    bool writeItem(const Item& item, QString* reason);
    void endByItself(const QString& reason);

    Limits m_limits;
    QString m_folder;
    std::function<void()> m_beforeWrite;
    // Open files by device; the writer thread's alone.
    std::map<int, std::unique_ptr<RecordingFile>> m_files;

    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Item> m_queue;
    struct Queued
    {
        int frames = 0;
        qint64 bytes = 0;
    };
    std::map<int, Queued> m_queued; // by device
    bool m_stopRequested = false;
    QString m_stopReason;

    std::atomic<bool> m_accepting{false};
    std::atomic<qint64> m_framesWritten{0};
    std::atomic<qint64> m_bytesWritten{0};
    std::atomic<qint64> m_framesDropped{0};
};
