// SPDX-License-Identifier: MIT
#pragma once

#include "latencyprobe.h"

#include <atomic>
#include <cstdint>
#include <vector>

// The benchmark build's latency probe. It counts finished and delivered
// frames and received datagrams, keeps each shown frame's latency (last
// byte decoded to end of repaint) and the CPU time spent from the first
// shown frame to the last, and when it is destroyed at exit writes the
// figures to the file FRAMESCOPE_LATENCY_FILE names (bench/run.sh reads it).
// The latency quantiles are those of the stream once it runs: frames shown
// in the first WarmUpNs after the first one (connecting every device, the
// first layout of the window) are summed up apart, as the start-up figures.
// Frames are also counted by the time their last byte was decoded, in
// slices of SliceNs, finished and shown, so that the share shown of the
// running stream leaves out the same start-up and the frames still in
// flight when the viewer is stopped.
class LatencyRecorder : public LatencyProbe
{
public:
    static constexpr std::size_t MaxSamples = 1 << 20;
    static constexpr std::int64_t WarmUpNs = 1000000000;
    static constexpr std::int64_t CpuReadIntervalNs = 10000000;
    static constexpr std::int64_t SliceNs = 100000000;
    static constexpr int Slices = 6000; // ten minutes
    // Frames finished this close to the last one shown may still be in
    // flight when the viewer stops; they are left out of the steady figures.
    static constexpr std::int64_t InFlightNs = 500000000;

    LatencyRecorder();
    LatencyRecorder(const LatencyRecorder&) = delete;
    LatencyRecorder& operator=(const LatencyRecorder&) = delete;
    ~LatencyRecorder() override;

    std::int64_t frameFinished() override;
    void frameDelivered() override;
    void datagramsReceived(int count) override;
    void frameShown(std::int64_t finishedNs) override;
    void frameDecoded(std::int64_t ns) override;

private:
    // The slice a time falls in, or -1 outside the recorded span.
    int sliceOf(std::int64_t ns) const;

    const std::int64_t m_startNs;
    std::atomic<long long> m_framesFinished{0};
    std::atomic<long long> m_framesDelivered{0};
    std::atomic<long long> m_datagrams{0};
    std::atomic<int> m_finishedInSlice[Slices] = {};
    // Decode times (end, duration) from every pool thread.
    static constexpr int MaxDecodeSamples = 1 << 16;
    std::atomic<int> m_decodes{0};
    std::int64_t m_decodeEndNs[MaxDecodeSamples] = {};
    std::int64_t m_decodeNs[MaxDecodeSamples] = {};
    // GUI thread only.
    std::vector<std::int64_t> m_samples;
    std::vector<std::int64_t> m_startSamples; // within WarmUpNs of the first
    long long m_shown = 0;
    int m_shownInSlice[Slices] = {}; // by the slice the frame finished in
    std::int64_t m_cpuFirstNs = 0;
    std::int64_t m_cpuLastNs = 0;
    std::int64_t m_cpuReadWallNs = 0;
    long long m_shownAtCpuRead = 0; // frames shown after the first, at the last read
    std::int64_t m_guiCpuFirstNs = 0;
    std::int64_t m_guiCpuLastNs = 0;
    std::int64_t m_wallFirstNs = 0;
    std::int64_t m_wallLastNs = 0;
};
