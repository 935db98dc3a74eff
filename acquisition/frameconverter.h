// SPDX-License-Identifier: MIT
#pragma once

#include "frameconversion.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

// Converts one device's frames on a thread of its own, one frame at a time,
// so that JPEG decoding never holds up the GUI thread. The owner (the device
// controller, in the GUI thread) submits a frame only while none is being
// converted or waiting to be taken, so frames are converted in the order they
// were submitted and nothing queues up: the owner holds on to at most one
// delivered frame while the converter is busy.
//
// The job's bytes belong to the converter from submit() until the owner has
// taken the result; the owner must not hand that buffer to anyone else before.
// Job and result pass under a mutex of this class; `finished` is called in the
// converter's thread after each result is stored, to wake the owner (who then
// calls take()).
class FrameConverter
{
public:
    explicit FrameConverter(std::function<void()> finished);
    // stop()
    ~FrameConverter();
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // True from submit() until take() has returned the result.
    bool isBusy() const;
    // Starts converting `job`, on a thread started by the first call. Must
    // not be called while busy; returns false (and does nothing) when it
    // is, after stop(), or when no thread could be started.
    bool submit(const FrameJob& job);
    // The finished conversion, if there is one; the converter is idle again
    // after it returned a result.
    std::optional<ConvertedFrame> take();
    // Lets the conversion in progress finish (each is bounded by the pixel
    // limit and the scan budget), then ends the thread. Idempotent.
    void stop();

private:
    void run();

    std::function<void()> m_finished;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::optional<FrameJob> m_job;
    std::optional<ConvertedFrame> m_result;
    bool m_busy = false;
    bool m_stopping = false;
    std::thread m_thread;
};
