// SPDX-License-Identifier: MIT
#pragma once

// Frame latency probes of the benchmark build (FRAMESCOPE_LATENCY_PROBE).
// The worker stamps each frame when its last byte has been decoded; the
// window takes the difference to the end of the frame's repaint. When the
// program exits, the figures go to the file named by FRAMESCOPE_LATENCY_FILE.
// Normal builds do not compile any of this.
#ifdef FRAMESCOPE_LATENCY_PROBE

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace latencyprobe {

inline std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class Recorder
{
public:
    static constexpr std::size_t MaxSamples = 1 << 20;

    std::atomic<long long> framesFinished{0};
    std::atomic<long long> framesDelivered{0};
    std::atomic<long long> datagrams{0};

    // GUI thread only.
    void addShown(std::int64_t latencyNs)
    {
        if (m_samples.size() < MaxSamples)
            m_samples.push_back(latencyNs);
        // Process CPU time from the first shown frame to the last one, so
        // that start-up is not charged to the frames.
        timespec cpu;
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
        m_cpuLastNs = std::int64_t(cpu.tv_sec) * 1000000000 + cpu.tv_nsec;
        // The GUI thread's own CPU time over the same span: the share of
        // each second it spends busy (handling events, converting,
        // painting) rather than waiting for the next event.
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
        m_guiCpuLastNs = std::int64_t(cpu.tv_sec) * 1000000000 + cpu.tv_nsec;
        m_wallLastNs = nowNs();
        if (m_shown++ == 0) {
            m_cpuFirstNs = m_cpuLastNs;
            m_guiCpuFirstNs = m_guiCpuLastNs;
            m_wallFirstNs = m_wallLastNs;
        }
    }

    ~Recorder()
    {
        const char* path = std::getenv("FRAMESCOPE_LATENCY_FILE");
        if (path == nullptr || *path == '\0')
            return;
        std::FILE* file = std::fopen(path, "w");
        if (file == nullptr)
            return;
        std::vector<std::int64_t> sorted = m_samples;
        std::sort(sorted.begin(), sorted.end());
        auto quantile = [&](double q) {
            if (sorted.empty())
                return 0.0;
            const auto i = std::min(sorted.size() - 1, std::size_t(q * double(sorted.size())));
            return double(sorted[i]) / 1e6;
        };
        const double cpuPerFrameMs =
            m_shown > 1 ? double(m_cpuLastNs - m_cpuFirstNs) / 1e6 / double(m_shown - 1) : 0.0;
        const double guiBusy =
            m_wallLastNs > m_wallFirstNs
                ? double(m_guiCpuLastNs - m_guiCpuFirstNs) / double(m_wallLastNs - m_wallFirstNs)
                : 0.0;
        std::fprintf(file,
                     "finished %lld\ndelivered %lld\ndatagrams %lld\nshown %lld\n"
                     "latency_median_ms %.3f\nlatency_p99_ms %.3f\ncpu_per_frame_ms %.3f\n"
                     "gui_busy_fraction %.3f\n",
                     framesFinished.load(), framesDelivered.load(), datagrams.load(), m_shown,
                     quantile(0.5), quantile(0.99), cpuPerFrameMs, guiBusy);
        std::fclose(file);
    }

private:
    std::vector<std::int64_t> m_samples;
    long long m_shown = 0;
    std::int64_t m_cpuFirstNs = 0;
    std::int64_t m_cpuLastNs = 0;
    std::int64_t m_guiCpuFirstNs = 0;
    std::int64_t m_guiCpuLastNs = 0;
    std::int64_t m_wallFirstNs = 0;
    std::int64_t m_wallLastNs = 0;
};

inline Recorder& recorder()
{
    static Recorder r;
    return r;
}

} // namespace latencyprobe

#endif
