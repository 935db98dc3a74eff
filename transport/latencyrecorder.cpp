// SPDX-License-Identifier: MIT
#include "latencyrecorder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t cpuClockNs(clockid_t clock)
{
    timespec cpu;
    clock_gettime(clock, &cpu);
    return std::int64_t(cpu.tv_sec) * 1000000000 + cpu.tv_nsec;
}

} // namespace

LatencyRecorder::LatencyRecorder() : m_startNs(nowNs())
{
}

int LatencyRecorder::sliceOf(std::int64_t ns) const
{
    const std::int64_t slice = (ns - m_startNs) / SliceNs;
    return slice >= 0 && slice < Slices ? int(slice) : -1;
}

std::int64_t LatencyRecorder::frameFinished()
{
    m_framesFinished.fetch_add(1, std::memory_order_relaxed);
    const std::int64_t now = nowNs();
    if (const int slice = sliceOf(now); slice >= 0)
        m_finishedInSlice[slice].fetch_add(1, std::memory_order_relaxed);
    return now;
}

void LatencyRecorder::frameDelivered()
{
    m_framesDelivered.fetch_add(1, std::memory_order_relaxed);
}

void LatencyRecorder::datagramsReceived(int count)
{
    m_datagrams.fetch_add(count, std::memory_order_relaxed);
}

void LatencyRecorder::frameDecoded(std::int64_t ns)
{
    const int i = m_decodes.fetch_add(1, std::memory_order_relaxed);
    if (i < MaxDecodeSamples) {
        m_decodeEndNs[i] = nowNs();
        m_decodeNs[i] = ns;
    }
}

void LatencyRecorder::frameShown(std::int64_t finishedNs)
{
    const std::int64_t now = nowNs();
    std::vector<std::int64_t>& samples =
        m_shown == 0 || now - m_wallFirstNs < WarmUpNs ? m_startSamples : m_samples;
    if (samples.size() < MaxSamples)
        samples.push_back(now - finishedNs);
    if (const int slice = sliceOf(finishedNs); slice >= 0)
        ++m_shownInSlice[slice];
    // Process CPU time from the first shown frame to the last one read, so
    // that start-up is not charged to the frames. Reading it sums every
    // thread of the process in the kernel, so with many devices it is read
    // at most every CpuReadIntervalNs, with the count of frames shown then.
    if (m_shown == 0 || now - m_cpuReadWallNs >= CpuReadIntervalNs) {
        m_cpuLastNs = cpuClockNs(CLOCK_PROCESS_CPUTIME_ID);
        m_cpuReadWallNs = now;
        m_shownAtCpuRead = m_shown;
    }
    // The GUI thread's own CPU time over the same span: the share of each
    // second it spends busy (handling events, converting, painting) rather
    // than waiting for the next event.
    m_guiCpuLastNs = cpuClockNs(CLOCK_THREAD_CPUTIME_ID);
    m_wallLastNs = nowNs();
    if (m_shown++ == 0) {
        m_cpuFirstNs = m_cpuLastNs;
        m_guiCpuFirstNs = m_guiCpuLastNs;
        m_wallFirstNs = m_wallLastNs;
    }
}

LatencyRecorder::~LatencyRecorder()
{
    const char* path = std::getenv("FRAMESCOPE_LATENCY_FILE");
    if (path == nullptr || *path == '\0')
        return;
    std::FILE* file = std::fopen(path, "w");
    if (file == nullptr)
        return;
    // A run shorter than the warm-up has only start-up figures.
    std::vector<std::int64_t> sorted = m_samples.empty() ? m_startSamples : m_samples;
    std::vector<std::int64_t> start = m_startSamples;
    std::sort(sorted.begin(), sorted.end());
    std::sort(start.begin(), start.end());
    auto quantile = [](const std::vector<std::int64_t>& v, double q) {
        if (v.empty())
            return 0.0;
        const auto i = std::min(v.size() - 1, std::size_t(q * double(v.size())));
        return double(v[i]) / 1e6;
    };
    const double cpuPerFrameMs =
        m_shownAtCpuRead > 0 ? double(m_cpuLastNs - m_cpuFirstNs) / 1e6 / double(m_shownAtCpuRead)
                             : 0.0;
    // Decode times of the running stream, as the latency quantiles.
    std::vector<std::int64_t> decodes;
    const int decoded = std::min(m_decodes.load(), MaxDecodeSamples);
    for (int i = 0; i < decoded; ++i) {
        if (m_shown > 0 && m_decodeEndNs[i] >= m_wallFirstNs + WarmUpNs)
            decodes.push_back(m_decodeNs[i]);
    }
    std::sort(decodes.begin(), decodes.end());
    // The running stream: frames finished from the end of the warm-up to
    // InFlightNs before the last frame shown, in whole slices.
    long long steadyFinished = 0;
    long long steadyShown = 0;
    int steadySlices = 0;
    if (m_shown > 0) {
        const int first = sliceOf(m_wallFirstNs + WarmUpNs + SliceNs - 1);
        const int last = sliceOf(m_wallLastNs - InFlightNs);
        for (int i = first; first >= 0 && i < last; ++i, ++steadySlices) {
            steadyFinished += m_finishedInSlice[i].load(std::memory_order_relaxed);
            steadyShown += m_shownInSlice[i];
        }
    }
    const double guiBusy = m_wallLastNs > m_wallFirstNs ? double(m_guiCpuLastNs - m_guiCpuFirstNs)
                                                              / double(m_wallLastNs - m_wallFirstNs)
                                                        : 0.0;
    std::fprintf(file,
                 "finished %lld\ndelivered %lld\ndatagrams %lld\nshown %lld\n"
                 "latency_median_ms %.3f\nlatency_p99_ms %.3f\ncpu_per_frame_ms %.3f\n"
                 "gui_busy_fraction %.3f\nstartup_frames %zu\nstartup_latency_median_ms %.3f\n"
                 "startup_latency_max_ms %.3f\nsteady_finished %lld\nsteady_shown %lld\n"
                 "steady_seconds %.1f\ndecode_median_ms %.3f\n",
                 m_framesFinished.load(), m_framesDelivered.load(), m_datagrams.load(), m_shown,
                 quantile(sorted, 0.5), quantile(sorted, 0.99), cpuPerFrameMs, guiBusy,
                 start.size(), quantile(start, 0.5), quantile(start, 1.0), steadyFinished,
                 steadyShown, double(steadySlices) * double(SliceNs) / 1e9, quantile(decodes, 0.5));
    std::fclose(file);
}
