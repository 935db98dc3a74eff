// SPDX-License-Identifier: MIT
#include "rtpcounters.h"

std::atomic<std::int64_t> g_packetsLost{0};
std::atomic<std::int64_t> g_packetsOutOfOrder{0};
std::atomic<std::int64_t> g_packetsExpected{0};
