// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>

// Process-wide RTP statistics, shared by every RTP connection. The
// reassemblers add to them; the display reads them for its status line.
extern std::atomic<int> g_packetsLost;
extern std::atomic<int> g_packetsOutOfOrder;
extern std::atomic<int> g_packetsExpected;
