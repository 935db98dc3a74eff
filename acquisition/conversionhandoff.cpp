// SPDX-License-Identifier: MIT
#include "conversionhandoff.h"

#include <utility>

ConversionHandOff::ConversionHandOff(std::function<void()> finished)
    : m_converter(std::move(finished))
{
}

void ConversionHandOff::allocateBuffers(int length)
{
    Q_ASSERT(!m_buffers[0] && length > 0);
    for (std::unique_ptr<unsigned char[]>& buffer : m_buffers)
        buffer = std::make_unique_for_overwrite<unsigned char[]>(std::size_t(length));
}

unsigned char* ConversionHandOff::nextRequest()
{
    if (m_requestedBuf != nullptr)
        return nullptr;
    for (const std::unique_ptr<unsigned char[]>& b : m_buffers) {
        const bool taken = (m_converting && m_converting->buffer == b.get())
                           || (m_waiting && m_waiting->buffer == b.get());
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

int ConversionHandOff::inConversion() const
{
    return (m_converting.has_value() ? 1 : 0) + (m_waiting.has_value() ? 1 : 0);
}

std::optional<ConversionHandOff::Delivery> ConversionHandOff::submit(Delivery delivery)
{
    if (!m_converting.has_value())
        return start(std::move(delivery));
    // One frame at most waits for the converter; both buffers are then
    // taken and no request goes out.
    Q_ASSERT(!m_waiting.has_value());
    m_waiting = std::move(delivery);
    return std::nullopt;
}

std::optional<ConversionHandOff::Delivery> ConversionHandOff::start(Delivery delivery)
{
    m_converting = std::move(delivery);
    if (m_converter.submit(m_converting->job))
        return std::nullopt;
    // After stop(), or when the converter could start no thread.
    return std::exchange(m_converting, std::nullopt);
}

std::optional<ConversionHandOff::Finished> ConversionHandOff::takeResult()
{
    std::optional<ConvertedFrame> frame = m_converter.take();
    if (!frame || !m_converting.has_value())
        return std::nullopt;
    return Finished{*std::exchange(m_converting, std::nullopt), std::move(*frame)};
}

std::optional<ConversionHandOff::Delivery> ConversionHandOff::startWaiting()
{
    if (!m_waiting.has_value())
        return std::nullopt;
    return start(*std::exchange(m_waiting, std::nullopt));
}

QStringList ConversionHandOff::stop()
{
    m_converter.stop();
    QStringList logs;
    for (std::optional<Delivery>* d : {&m_converting, &m_waiting})
        if (d->has_value())
            logs.append((*d)->logMsg);
    m_converting.reset();
    m_waiting.reset();
    return logs;
}
