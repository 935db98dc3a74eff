// SPDX-License-Identifier: MIT
#include "framedoublebuffer.h"

#include "bulkcopy.h"
#include "framelimits.h"
#include "latencyprobe.h"

#include <QTime>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// Upper bound for any array of the double buffer: the frame bound plus room
// for the bytes a decoder adds around a frame (a JPEG header, an EOI).
constexpr std::int64_t MaxFrameBufferBytes = std::int64_t(MaxFrameBytes) + 0x10000;

} // namespace

FrameDoubleBuffer::FrameDoubleBuffer()
{
    pointCursorAt(0, 0);
}

FrameDoubleBuffer::~FrameDoubleBuffer() = default;

void FrameDoubleBuffer::request(unsigned char* destination, int capacity)
{
    {
        std::lock_guard lock(m_mutex);
        m_requestLen = std::max(capacity, 0);
        m_requestBuf = destination;
        updateDeliveryDue();
    }
    deliverIfRequested();
}

void FrameDoubleBuffer::beginConnection(const QString& contentType)
{
    restartFrame();
    std::lock_guard lock(m_mutex);
    // Frames completed before this connection began were delivered or
    // skipped then; only the new connection's frames are handed over.
    m_lastDelivered = m_framesDone.load(std::memory_order_relaxed);
    updateDeliveryDue();
    m_conType = contentType;
}

QString FrameDoubleBuffer::contentType() const
{
    std::lock_guard lock(m_mutex);
    return m_conType;
}

std::int64_t FrameDoubleBuffer::allocatedBytes() const
{
    std::lock_guard lock(m_mutex);
    return std::int64_t(m_frameBufSize[0]) + m_frameBufSize[1];
}

void FrameDoubleBuffer::pointCursorAt(int index, int len)
{
    // An array not made yet is stood in for by a byte of its own, which
    // keeps the sink's promise that one byte can always be stored; the
    // first growth makes the real array.
    if (m_frameBuf[index])
        setWriteArray(m_frameBuf[index].get(), m_frameBufSize[index], len);
    else
        setWriteArray(&m_standIn[index], 1, len);
}

bool FrameDoubleBuffer::ensureWriteCapacity(std::int64_t needed)
{
    const int w = writeIndex();
    const std::int64_t oldSize = writeCapacity();
    if (needed <= oldSize)
        return true;
    if (needed > MaxFrameBufferBytes)
        return false;
    const bool first = !m_frameBuf[w];
    std::int64_t newSize = first ? std::int64_t(InitialFrameBufferBytes) : oldSize;
    while (newSize < needed)
        newSize = newSize * 3 / 2;
    newSize = std::min(newSize, MaxFrameBufferBytes);

    auto grown = std::make_unique_for_overwrite<unsigned char[]>(std::size_t(newSize));
    // A new array starts out filled over its initial size, so that parts of
    // a frame no packet wrote show no stale memory.
    if (first && m_fillNewArrays)
        std::memset(grown.get(), 0x7F,
                    std::size_t(std::min<std::int64_t>(newSize, InitialFrameBufferBytes)));
    // The whole old array is kept, not just the frame's length: the RTP
    // reassembler may have placed later fragments further out.
    std::memcpy(grown.get(), writeBuffer(), std::size_t(oldSize));
    unsigned char* const start = grown.get();
    std::unique_ptr<unsigned char[]> old;
    {
        // A delivery reads only the completed array, but it reads the
        // pointer table; swapping under the lock keeps that read stable.
        std::lock_guard lock(m_mutex);
        old = std::exchange(m_frameBuf[w], std::move(grown));
        m_frameBufSize[w] = int(newSize);
    }
    old.reset(); // freed outside the lock
    setWriteArray(start, int(newSize), curLen());
    return true;
}

void FrameDoubleBuffer::finishFrame()
{
    {
        std::lock_guard lock(m_mutex);
        const int w = writeIndex();
        m_frameLen[w] = curLen();
        LatencyProbe* const probe = latencyProbe();
        m_finishedNs[w] = probe != nullptr ? probe->frameFinished() : 0;
        m_completedAt[w] = m_framesCompleted.load(std::memory_order_relaxed) + 1;
        m_framesDone.store((m_framesDone.load(std::memory_order_relaxed) + 1) & 0xFFFF,
                           std::memory_order_relaxed);
        updateDeliveryDue();
        m_framesCompleted.fetch_add(1, std::memory_order_relaxed);
    }
    pointCursorAt(writeIndex(), 0);
}

void FrameDoubleBuffer::updateDeliveryDue()
{
    m_deliveryDue.store(m_requestBuf != nullptr
                            && m_framesDone.load(std::memory_order_relaxed) != m_lastDelivered,
                        std::memory_order_release);
}

void FrameDoubleBuffer::deliverFrame()
{
    unsigned char* destination = nullptr;
    int length = 0;
    QString conType;
    QString logMsg;
    {
        std::lock_guard lock(m_mutex);
        destination = m_requestBuf;
        const int done = m_framesDone.load(std::memory_order_relaxed);
        if (destination == nullptr || done == m_lastDelivered)
            return;
        const int c = (done + 1) % 2;
        length = m_frameLen[c];
        if (m_requestLen < length) {
            // Too large for the destination: skip this frame but keep the
            // request pending, so the next frame that fits is delivered.
            m_lastDelivered = done;
            updateDeliveryDue();
            m_oversizeSkipped.fetch_add(1, std::memory_order_relaxed);
            m_lastOversizeBytes.store(length, std::memory_order_relaxed);
            return;
        }
        const unsigned char* source = m_frameBuf[c] ? m_frameBuf[c].get() : &m_standIn[c];
        if (length > 0)
            bulkCopy(destination, source, std::size_t(length));
        m_requestLen = length;
        m_requestBuf = nullptr;
        m_lastDelivered = done;
        updateDeliveryDue();
        conType = m_conType;
        logMsg = std::exchange(m_logMsg, QString());
        if (m_droppedLogLines > 0) {
            logMsg += QStringLiteral("%1: %2 log lines dropped: more than %3 characters were "
                                     "waiting for a frame\n")
                          .arg(QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")))
                          .arg(m_droppedLogLines)
                          .arg(MaxPendingLogChars);
            m_droppedLogLines = 0;
        }
        m_deliveredFinishNs.store(m_finishedNs[c], std::memory_order_relaxed);
        m_deliveredCount.store(m_completedAt[c], std::memory_order_relaxed);
        if (LatencyProbe* const probe = latencyProbe())
            probe->frameDelivered();
    }
    // Outside the lock: a receiver that asks for the next frame at once
    // takes the lock again.
    handOver(conType, destination, length, logMsg);
}

void FrameDoubleBuffer::setContentType(const QString& text)
{
    std::lock_guard lock(m_mutex);
    if (m_conType != text)
        m_conType = text;
}

void FrameDoubleBuffer::appendLog(const QString& text)
{
    std::lock_guard lock(m_mutex);
    // The text waits for a delivered frame; a stream of gaps that never
    // completes one must not grow it without bound.
    if (m_logMsg.size() + text.size() <= MaxPendingLogChars)
        m_logMsg += text;
    else
        m_droppedLogLines += std::max<int>(1, int(text.count(QLatin1Char('\n'))));
}
