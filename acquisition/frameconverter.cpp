// SPDX-License-Identifier: MIT
#include "frameconverter.h"

#include <utility>

FrameConverter::FrameConverter(std::function<void()> finished)
    : m_finished(std::move(finished)), m_thread([this] { run(); })
{
}

FrameConverter::~FrameConverter()
{
    stop();
}

bool FrameConverter::isBusy() const
{
    std::lock_guard lock(m_mutex);
    return m_busy;
}

bool FrameConverter::submit(const FrameJob& job)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_busy || m_stopping)
            return false;
        m_busy = true;
        m_job = job;
    }
    m_wake.notify_one();
    return true;
}

std::optional<ConvertedFrame> FrameConverter::take()
{
    std::lock_guard lock(m_mutex);
    std::optional<ConvertedFrame> result = std::exchange(m_result, std::nullopt);
    if (result)
        m_busy = false;
    return result;
}

void FrameConverter::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void FrameConverter::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || m_job.has_value(); });
        if (m_stopping)
            return;
        const FrameJob job = std::exchange(m_job, std::nullopt).value();
        lock.unlock();
        ConvertedFrame frame = convertFrame(job);
        lock.lock();
        m_result = std::move(frame);
        if (m_stopping)
            return;
        lock.unlock();
        m_finished();
        lock.lock();
    }
}
