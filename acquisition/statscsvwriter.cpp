// SPDX-License-Identifier: MIT
#include "statscsvwriter.h"

#include "recordingfile.h"

#include <QtDebug>

#include <memory>

StatsCsvWriter::StatsCsvWriter(QObject* parent) : QObject(parent)
{
}

StatsCsvWriter::~StatsCsvWriter()
{
    stop();
}

bool StatsCsvWriter::start(const QString& path, const QByteArray& header, QString* error)
{
    if (m_thread.joinable())
        stop();
    auto file = std::make_unique<RecordingFile>();
    if (!file->open(path, error))
        return false;
    if (!file->append({QByteArrayView(header)}, error))
        return false;
    m_path = path;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopRequested = false;
        m_stopReason.clear();
        m_queue.clear();
        m_queuedBytes = 0;
    }
    m_rowsWritten = 0;
    m_rowsDropped = 0;
    m_accepting.store(true, std::memory_order_release);
    m_thread = std::thread([this, f = file.release()] { writeLoop(f); });
    return true;
}

void StatsCsvWriter::stop()
{
    m_accepting.store(false, std::memory_order_release);
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopRequested = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

bool StatsCsvWriter::add(QByteArray row)
{
    if (!m_accepting.load(std::memory_order_acquire))
        return false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (int(m_queue.size()) >= m_maxRows
            || m_queuedBytes + row.size() > DefaultMaxQueuedBytes) {
            ++m_rowsDropped;
            return false;
        }
        m_queuedBytes += row.size();
        m_queue.push_back(std::move(row));
    }
    m_wake.notify_one();
    return true;
}

QString StatsCsvWriter::stopReason() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopReason;
}

void StatsCsvWriter::writeLoop(RecordingFile* rawFile)
{
    const std::unique_ptr<RecordingFile> file(rawFile);
    for (;;) {
        QByteArray row;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopRequested || !m_queue.empty(); });
            if (m_queue.empty())
                break; // stopped, all written
            row = std::move(m_queue.front());
            m_queue.pop_front();
            m_queuedBytes -= row.size();
        }
        QString error;
        if (!file->append({QByteArrayView(row)}, &error)) {
            m_accepting.store(false, std::memory_order_release);
            const QString reason = QStringLiteral("%1: %2").arg(m_path, error);
            {
                const std::lock_guard<std::mutex> lock(m_mutex);
                m_rowsDropped += qint64(m_queue.size()) + 1;
                m_queue.clear();
                m_queuedBytes = 0;
                m_stopReason = reason;
            }
            qWarning().noquote() << QStringLiteral("Statistics export stopped: %1").arg(reason);
            emit stoppedByItself(reason);
            break;
        }
        ++m_rowsWritten;
    }
    file->close();
}
