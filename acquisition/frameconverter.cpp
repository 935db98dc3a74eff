// SPDX-License-Identifier: MIT
#include "frameconverter.h"

#include <system_error>
#include <utility>

FrameConverter::FrameConverter(std::function<void()> finished) : m_finished(std::move(finished))
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
    // Started with the first frame: a device that never sends one costs no
    // thread. Without a thread the caller converts the frame itself.
    if (!m_thread.joinable()) {
        try {
            m_thread = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            std::lock_guard lock(m_mutex);
            m_busy = false;
            m_job.reset();
            return false;
        }
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
