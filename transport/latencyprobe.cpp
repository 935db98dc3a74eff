// SPDX-License-Identifier: MIT
#include "latencyprobe.h"

#ifdef FRAMESCOPE_LATENCY_PROBE
#include "latencyrecorder.h"
#endif

#include <atomic>

namespace {

// The probe a process starts with: the benchmark build's recorder, which
// writes its figures when the program exits; none in every other build.
LatencyProbe* builtInProbe()
{
#ifdef FRAMESCOPE_LATENCY_PROBE
    static LatencyRecorder recorder;
    return &recorder;
#else
    return nullptr;
#endif
}

std::atomic<LatencyProbe*> g_probe{builtInProbe()};

} // namespace

LatencyProbe* latencyProbe()
{
    return g_probe.load(std::memory_order_acquire);
}

void setLatencyProbe(LatencyProbe* probe)
{
    g_probe.store(probe, std::memory_order_release);
}
