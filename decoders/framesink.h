// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <QtGlobal>

#include <atomic>
#include <cstdint>

// The buffer a stream decoder assembles frames in. The decoder writes through
// a plain cursor (write position, length, capacity) that the inline methods
// below move without a lock or a virtual call, so the per-byte path costs what
// a store into an array costs. The implementation is called only when the
// cursor's array is full, at frame boundaries, for a delivery, and for the
// content type and log text.
//
// Everything here runs in the decoder's thread. The implementation keeps
// whatever another thread reads (the completed frame, its log text) behind its
// own lock.
class FrameSink
{
public:
    virtual ~FrameSink() = default;

    // Stores one byte behind the frame and grows the array once it is full,
    // so that a byte can always be stored. False when the growth was
    // refused and the frame restarted.
    bool putByte(unsigned char c)
    {
        *m_writePtr++ = c;
        if (++m_curLen < m_writeCapacity)
            return true;
        return growFrameBuffer();
    }

    // Grows the array by one step. False when the frame bound refuses it;
    // the frame is then restarted, so the cursor always stays inside its
    // array.
    bool growFrameBuffer()
    {
        if (ensureWriteCapacity(std::int64_t(m_writeCapacity) + 1))
            return true;
        restartFrame();
        return false;
    }

    // Appends n bytes, growing the array first so that at least one byte
    // stays free behind them. False, with nothing written, when the frame
    // bound refuses the growth.
    bool appendBytes(const unsigned char* data, int n);

    unsigned char* writeBuffer() const { return m_writeStart; }
    int curLen() const { return m_curLen; }
    int writeCapacity() const { return m_writeCapacity; }
    // Moves the write position to len bytes behind the start of the array.
    void setCurLen(int len)
    {
        Q_ASSERT(len >= 0 && len <= m_writeCapacity);
        m_curLen = len;
        m_writePtr = m_writeStart + len;
    }
    // Starts the frame over at the beginning of the same array.
    void restartFrame() { setCurLen(0); }

    // Hands the newest complete frame over when someone asked for one. Only
    // an atomic flag is tested inline, so decoders may call this as often as
    // they like.
    void deliverIfRequested()
    {
        if (m_deliveryDue.load(std::memory_order_acquire))
            deliverFrame();
    }

    // Grows the array until it holds at least `needed` bytes, keeping the
    // frame so far. Returns false, without allocating, beyond the frame
    // bound.
    virtual bool ensureWriteCapacity(std::int64_t needed) = 0;
    // The bytes written so far are a complete frame; the next frame starts in
    // a fresh array.
    virtual void finishFrame() = 0;
    // Hands the newest complete frame over (see deliverIfRequested).
    virtual void deliverFrame() {}
    virtual void setContentType(const QString& text) = 0;
    // Text for the device log, handed over with the next delivered frame.
    virtual void appendLog(const QString& text) = 0;
    // A reason why the stream's frames will not show right, for the user to
    // see at once (not with the next frame, which may never come).
    virtual void reportProblem(const QString& text) { Q_UNUSED(text); }

protected:
    // Points the cursor at a new array that already holds len bytes of the
    // frame.
    void setWriteArray(unsigned char* start, int capacity, int len)
    {
        Q_ASSERT(start != nullptr && len >= 0 && len <= capacity);
        m_writeStart = start;
        m_writeCapacity = capacity;
        m_curLen = len;
        m_writePtr = start + len;
    }

    // Set by the implementation while a request is pending and a frame was
    // completed since the last delivery.
    std::atomic<bool> m_deliveryDue{false};

private:
    unsigned char* m_writeStart = nullptr;
    unsigned char* m_writePtr = nullptr;
    int m_curLen = 0;
    int m_writeCapacity = 0;
};
