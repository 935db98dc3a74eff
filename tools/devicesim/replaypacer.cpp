// SPDX-License-Identifier: MIT
#include "replaypacer.h"

#include <algorithm>

ReplayPacer::ReplayPacer(double speed, double fps, double maxGapSeconds)
    : m_speed(speed), m_interval(fps > 0 ? 1.0 / fps / (speed > 0 ? speed : 1.0) : 0),
      m_maxGap(std::max(maxGapSeconds, 0.0))
{
}

ReplayPacer::Wait ReplayPacer::frame(std::int64_t timeUs)
{
    double seconds = 0;
    if (!m_started)
        m_started = true;
    else if (m_passStart)
        seconds = m_passGap;
    else if (m_fixedRate)
        seconds = m_interval;
    else if (m_speed > 0 && timeUs >= 0 && m_latest >= 0 && timeUs > m_latest)
        // Both times are at least 0, so the difference cannot overflow.
        seconds = double(timeUs - m_latest) / 1e6 / m_speed;
    m_passStart = false;
    ++m_frames;
    if (timeUs >= 0) {
        if (m_first < 0)
            m_first = timeUs;
        m_latest = std::max(m_latest, timeUs);
    }
    return capped(seconds);
}

void ReplayPacer::newPass()
{
    const std::int64_t span = m_first >= 0 ? m_latest - m_first : 0;
    m_fixedRate = span <= 0;
    if (m_fixedRate)
        m_passGap = m_interval;
    else if (m_speed > 0)
        m_passGap = double(span) / double(std::max(m_frames - 1, 1LL)) / 1e6 / m_speed;
    else
        m_passGap = 0;
    m_passStart = true;
    m_first = -1;
    m_latest = -1;
    m_frames = 0;
}

ReplayPacer::Wait ReplayPacer::capped(double seconds) const
{
    Wait w;
    w.askedSeconds = seconds;
    // Written so that a NaN is capped too.
    if (!(seconds <= m_maxGap)) {
        seconds = m_maxGap;
        w.capped = true;
    }
    w.wait = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(std::max(seconds, 0.0)));
    return w;
}
