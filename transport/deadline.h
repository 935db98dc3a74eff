// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>

// The connect and receive waits run against deadlines on the steady clock,
// which a change of the wall clock does not move.
using SteadyClock = std::chrono::steady_clock;

// Whole milliseconds left until `deadline`; 0 once it has passed.
inline int msUntil(SteadyClock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now())
            .count();
    return left > 0 ? int(left) : 0;
}
