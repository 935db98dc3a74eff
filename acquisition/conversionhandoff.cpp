// SPDX-License-Identifier: MIT
#include "conversionhandoff.h"

#include <algorithm>
#include <utility>

int ConversionHandOff::framesInFlightFor(int threads)
{
    // At least two, as with one converter: one being decoded, one waiting.
    // More cost nothing but address space until a frame is copied in, yet
    // each adds a frame of latency when decoding falls behind.
    return std::clamp(threads + 1, 2, 9);
}

ConversionHandOff::ConversionHandOff(std::function<void()> finished, DecodePool& pool,
                                     int maxInFlight)
    : m_maxInFlight(maxInFlight > 0 ? maxInFlight : framesInFlightFor(pool.threadCount())),
      m_client(pool, std::move(finished))
{
}

void ConversionHandOff::allocateBuffers(int length)
{
    Q_ASSERT(m_buffers.empty() && length > 0);
    m_buffers.resize(std::size_t(m_maxInFlight) + 1);
    for (std::unique_ptr<unsigned char[]>& buffer : m_buffers)
        buffer = std::make_unique_for_overwrite<unsigned char[]>(std::size_t(length));
}

bool ConversionHandOff::isTransferBuffer(const unsigned char* p) const
{
    return p != nullptr && std::any_of(m_buffers.begin(), m_buffers.end(), [p](const auto& b) {
               return b.get() == p;
           });
}

unsigned char* ConversionHandOff::nextRequest()
{
    if (m_requestedBuf != nullptr)
        return nullptr;
    for (const std::unique_ptr<unsigned char[]>& b : m_buffers) {
        const bool taken = b.get() == m_heldBuf
                           || std::any_of(m_inFlight.begin(), m_inFlight.end(),
                                          [&b](const Delivery& d) { return d.buffer == b.get(); });
        if (!taken) {
            m_requestedBuf = b.get();
            break;
        }
    }
    return m_requestedBuf;
}

bool ConversionHandOff::answersRequest(const unsigned char* p)
{
    if (p == nullptr || p != m_requestedBuf)
        return false;
    m_requestedBuf = nullptr;
    return true;
}

std::optional<ConversionHandOff::Delivery> ConversionHandOff::submit(Delivery delivery)
{
    delivery.id = ++m_nextId;
    if (m_stopped || !m_client.submit(delivery.id, delivery.job))
        return delivery;
    m_inFlight.push_back(std::move(delivery));
    return std::nullopt;
}

bool ConversionHandOff::skipIfFull()
{
    if (m_requestedBuf != nullptr || int(m_inFlight.size()) < bufferCount())
        return false;
    const std::optional<std::uint64_t> id = m_client.skipOldestWaiting();
    if (!id)
        return false;
    const auto it = std::find_if(m_inFlight.begin(), m_inFlight.end(),
                                 [&id](const Delivery& d) { return d.id == *id; });
    Q_ASSERT(it != m_inFlight.end());
    // Its text is written with a neighbour's, in arrival order: after the
    // one before it, or before the one after it.
    if (it != m_inFlight.begin())
        std::prev(it)->logMsg += it->logMsg;
    else if (std::next(it) != m_inFlight.end())
        std::next(it)->logMsg.prepend(it->logMsg);
    m_inFlight.erase(it);
    ++m_skipped;
    return true;
}

std::optional<ConversionHandOff::Finished> ConversionHandOff::takeResult()
{
    std::optional<DecodeClient::Result> result = m_client.take();
    if (!result)
        return std::nullopt;
    Q_ASSERT(!m_inFlight.empty() && m_inFlight.front().id == result->id);
    Finished done{std::move(m_inFlight.front()), std::move(result->frame)};
    m_inFlight.pop_front();
    return done;
}

QStringList ConversionHandOff::stop()
{
    m_client.stop();
    m_stopped = true;
    QStringList logs;
    for (const Delivery& d : m_inFlight)
        logs.append(d.logMsg);
    m_inFlight.clear();
    return logs;
}
