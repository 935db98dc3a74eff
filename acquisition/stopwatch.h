// SPDX-License-Identifier: MIT
#pragma once

#include <functional>

// Turns a device's frame time stamp into the frame's delay: how much longer
// this frame took from the device to the receiver than the fastest frame seen
// recently. The two clocks have unrelated origins, so only the variation of
// their difference counts. The minimum transit time drifts upwards by 1 us
// per ms of receiver time (0.1 %) so that a slow device clock does not make
// the delay grow without end.
class Stopwatch
{
public:
    // A counter in units of `frequency` per second. Tests pass their own.
    using Counter = std::function<long long()>;

    // Reads the system's monotonic clock, in nanoseconds.
    Stopwatch();
    Stopwatch(Counter counter, long long frequency);

    static long long monotonicCounter();
    static constexpr long long MonotonicFrequency = 1000000000;

    // The counter converted to microseconds.
    long long currentMicroseconds() const;
    // Delay in microseconds of a frame stamped `deviceTimeUs` by its device;
    // never negative. Updates the running minimum and the last reading.
    long long delayMicroseconds(long long deviceTimeUs);

private:
    Counter m_counter;
    long long m_frequency;
    long long m_minTransit = 0x3FFFFFFFFFFFFFFF;
    long long m_lastReading;
};
