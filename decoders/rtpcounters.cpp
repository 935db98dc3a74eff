// SPDX-License-Identifier: MIT
#include "rtpcounters.h"

std::atomic<int> g_packetsLost{0};
std::atomic<int> g_packetsOutOfOrder{0};
std::atomic<int> g_packetsExpected{0};
