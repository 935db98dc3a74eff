// SPDX-License-Identifier: MIT
#include "stopwatch.h"

#include <chrono>
#include <utility>

Stopwatch::Stopwatch() : Stopwatch(&Stopwatch::monotonicCounter, MonotonicFrequency)
{
}

Stopwatch::Stopwatch(Counter counter, long long frequency)
    : m_counter(std::move(counter)), m_frequency(frequency > 0 ? frequency : 1)
{
    m_lastReading = currentMicroseconds();
}

long long Stopwatch::monotonicCounter()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

long long Stopwatch::currentMicroseconds() const
{
    const long long c = m_counter();
    // Whole seconds and the remainder separately, so that the scaling by
    // 1000000 cannot overflow for large counter values.
    return (c / m_frequency) * 1000000 + ((c % m_frequency) * 1000000) / m_frequency;
}

long long Stopwatch::delayMicroseconds(long long deviceTimeUs)
{
    const long long now = currentMicroseconds();
    const long long transit = now - deviceTimeUs;
    m_minTransit += (now - m_lastReading) / 1000;
    m_lastReading = now;
    if (transit < m_minTransit)
        m_minTransit = transit;
    return transit - m_minTransit;
}
