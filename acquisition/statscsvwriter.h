// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

// Writes rows of text to one file on a thread of its own, as the recorder
// writes frames: the caller's add() only queues a copy, never waits for the
// disk; a full queue leaves the row out and counts it; a failed write (a
// full disk, the file size limit) ends the file with its last whole row and
// the writer with one message saying why. Rows are whole lines, "\n"
// included.
class StatsCsvWriter : public QObject
{
    Q_OBJECT

public:
    static constexpr int DefaultMaxQueuedRows = 65536;
    static constexpr qint64 DefaultMaxQueuedBytes = qint64(16) * 1024 * 1024;

    explicit StatsCsvWriter(QObject* parent = nullptr);
    ~StatsCsvWriter() override;

    void setMaxQueuedRows(int rows) { m_maxRows = rows; }
    // Creates or empties `path` and writes `header` first; false with the
    // reason in `error` when the file cannot be made.
    bool start(const QString& path, const QByteArray& header, QString* error);
    // Writes what is queued, closes the file and ends the thread.
    void stop();
    bool isWriting() const { return m_accepting.load(std::memory_order_acquire); }
    // Queues one row; false when not writing or when the queue is full.
    bool add(QByteArray row);

    qint64 rowsWritten() const { return m_rowsWritten.load(); }
    qint64 rowsDropped() const { return m_rowsDropped.load(); }
    QString fileName() const { return m_path; }
    // Why the writer ended by itself; empty while it runs or after stop().
    QString stopReason() const;

signals:
    // A write failed: emitted once, from the writer thread.
    void stoppedByItself(QString reason);

private:
    void writeLoop(class RecordingFile* file);

    QString m_path;
    int m_maxRows = DefaultMaxQueuedRows;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<QByteArray> m_queue;
    qint64 m_queuedBytes = 0;
    bool m_stopRequested = false;
    QString m_stopReason;
    std::atomic<bool> m_accepting{false};
    std::atomic<qint64> m_rowsWritten{0};
    std::atomic<qint64> m_rowsDropped{0};
};
