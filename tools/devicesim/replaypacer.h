// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstdint>

// The pace of a replay: the wait before each recorded frame, from the
// recorded times, the speed and the longest wait allowed. Within a pass a
// frame waits for the time since the latest time recorded before it (a time
// that goes back waits nothing); a new pass starts one mean frame period
// after the last frame of the pass before. A pass without a recorded
// duration (one frame, frames sharing one time, or no times at all) is
// followed by passes whose frames go out at the fixed rate, so that a loop
// over it never sends as fast as it can. No wait is
// longer than the cap, whatever the times say.
class ReplayPacer
{
public:
    struct Wait
    {
        std::chrono::nanoseconds wait{0};
        // The wait was longer than the cap and was shortened to it.
        bool capped = false;
        // The wait as the recording asked for it, in seconds.
        double askedSeconds = 0;
    };

    // speed: recorded time runs this many times as fast (0: recorded times
    // give no waits); fps: the rate of passes without a recorded duration,
    // times the speed when there is one;
    // maxGapSeconds: the cap on every wait.
    ReplayPacer(double speed, double fps, double maxGapSeconds);

    // The wait between the frame before (none before the first) and the
    // next one, recorded at timeUs (-1: no time recorded).
    Wait frame(std::int64_t timeUs);
    // The recording starts over.
    void newPass();
    // Frames of this pass go out at the fixed rate.
    bool fixedRate() const { return m_fixedRate; }

private:
    Wait capped(double seconds) const;

    double m_speed;
    double m_interval; // seconds between frames at the fixed rate
    double m_maxGap;
    bool m_started = false;
    bool m_passStart = true;
    bool m_fixedRate = false;
    double m_passGap = 0;      // seconds before the first frame of a later pass
    std::int64_t m_first = -1; // first and latest time of this pass
    std::int64_t m_latest = -1;
    long long m_frames = 0; // of this pass
};
