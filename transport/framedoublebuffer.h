// SPDX-License-Identifier: MIT
#pragma once

#include "framesink.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

// The FrameSink a device's decoder fills: two frame arrays, one written by
// the decoder while the other holds the newest complete frame. A pending
// request (a destination and its capacity) is served with a copy of that
// frame, handed over with the content type and the log text gathered since
// the last delivery. A frame completed before the previous one was asked
// for replaces it: only the newest is delivered. The arrays are made when the
// first byte is written, so that a device that never sends costs nothing.
//
// Thread rules: the write array and the sink's cursor belong to the thread
// that decodes. Everything a delivery reads from another thread (the
// completed array, its length, the array pointers, the log text, the
// content type, the request) changes only under m_mutex, so a delivery
// always copies a stable frame. The per-byte path takes no lock.
class FrameDoubleBuffer : public FrameSink
{
public:
    // Log text waiting for the next delivered frame is kept up to this many
    // characters; further lines are counted and reported as dropped.
    static constexpr int MaxPendingLogChars = 64 * 1024;

    FrameDoubleBuffer();
    ~FrameDoubleBuffer() override;
    FrameDoubleBuffer(const FrameDoubleBuffer&) = delete;
    FrameDoubleBuffer& operator=(const FrameDoubleBuffer&) = delete;

    // Asks for the next frame to be copied into `destination`, which holds
    // `capacity` bytes (nullptr withdraws the request), and delivers at
    // once when a frame is ready. Thread-safe.
    void request(unsigned char* destination, int capacity);
    // Decoding thread, before a connection's first byte: the frame is
    // started over, and only frames completed from now on are delivered.
    void beginConnection(const QString& contentType);

    QString contentType() const;
    // Frames completed, modulo 2^16.
    int framesDone() const { return m_framesDone.load(std::memory_order_relaxed); }
    // Figures for the device's status, thread-safe.
    std::int64_t framesCompleted() const
    {
        return m_framesCompleted.load(std::memory_order_relaxed);
    }
    // Completed frames skipped because the destination was too small, and
    // the length of the most recent one.
    std::int64_t oversizeFramesSkipped() const
    {
        return m_oversizeSkipped.load(std::memory_order_relaxed);
    }
    int lastOversizeFrameBytes() const
    {
        return m_lastOversizeBytes.load(std::memory_order_relaxed);
    }
    // The latency probe's stamp of the most recently delivered frame (0
    // without a probe).
    std::int64_t deliveredFinishNs() const
    {
        return m_deliveredFinishNs.load(std::memory_order_relaxed);
    }

    // The number of the most recently delivered frame among all frames
    // completed (framesCompleted() when it was completed, from 1; 0 before
    // the first delivery). A jump of more than one from one delivery to the
    // next means frames were replaced or left out in between.
    std::int64_t deliveredFrameCount() const
    {
        return m_deliveredCount.load(std::memory_order_relaxed);
    }

    // Whether a new array is first filled with the byte 0x7F over its
    // initial size (the default). Only a decoder that places data by offset
    // can leave bytes of a frame unwritten; one that writes every byte of a
    // frame in order never shows a byte it did not write, and skipping the
    // fill spares each device 4 MiB of memory written at its first frame.
    // Decoding thread, before the first byte.
    void setFillNewArrays(bool fill) { m_fillNewArrays = fill; }

    // Bytes held by the two frame arrays; 0 until the first byte was
    // written. Thread-safe.
    std::int64_t allocatedBytes() const;

    bool ensureWriteCapacity(std::int64_t needed) override;
    void finishFrame() override;
    void deliverFrame() override;
    void setContentType(const QString& text) override;
    void appendLog(const QString& text) override;

protected:
    // Hands a delivered frame over, once per delivery, outside the lock and
    // in the thread that delivered it.
    virtual void handOver(const QString& conType, unsigned char* destination, int len,
                          const QString& logMsg) = 0;

private:
    int writeIndex() const { return m_framesDone.load(std::memory_order_relaxed) % 2; }
    // Caller holds m_mutex.
    void updateDeliveryDue();
    // Points the sink's cursor at array `index`, holding `len` bytes.
    void pointCursorAt(int index, int len);

    mutable std::mutex m_mutex;
    // Written by the decoding thread under m_mutex; read there without it.
    std::atomic<int> m_framesDone{0};
    // The array pointers and sizes: the decoding thread swaps its own
    // (write) entry under m_mutex when it grows it; a delivery reads the
    // other (completed) entry under m_mutex.
    std::unique_ptr<unsigned char[]> m_frameBuf[2];
    int m_frameBufSize[2] = {0, 0};
    bool m_fillNewArrays = true;
    // The one byte each array has until it is made.
    unsigned char m_standIn[2] = {0, 0};
    // Under m_mutex.
    int m_frameLen[2] = {0, 0};
    int m_lastDelivered = 0;
    unsigned char* m_requestBuf = nullptr;
    int m_requestLen = 0;
    QString m_conType;
    QString m_logMsg;
    int m_droppedLogLines = 0;
    std::int64_t m_finishedNs[2] = {0, 0};
    std::int64_t m_completedAt[2] = {0, 0};
    // Readable from any thread.
    std::atomic<std::int64_t> m_deliveredFinishNs{0};
    std::atomic<std::int64_t> m_framesCompleted{0};
    std::atomic<std::int64_t> m_deliveredCount{0};
    std::atomic<std::int64_t> m_oversizeSkipped{0};
    std::atomic<int> m_lastOversizeBytes{0};
};
