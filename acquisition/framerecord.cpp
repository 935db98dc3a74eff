// SPDX-License-Identifier: MIT
#include "framerecord.h"

#include <algorithm>

void FrameRecordRing::setSeconds(int seconds)
{
    m_seconds = std::max(1, seconds);
    m_capacity = std::size_t(m_seconds) * MaxPerSecond;
    trim();
}

void FrameRecordRing::push(const FrameRecord& record)
{
    m_records.push_back(record);
    trim();
}

void FrameRecordRing::trim()
{
    if (m_records.empty())
        return;
    const std::int64_t oldest = m_records.back().arrivalNs - std::int64_t(m_seconds) * 1000000000;
    while (m_records.size() > m_capacity
           || (m_records.size() > 1 && m_records.front().arrivalNs < oldest)) {
        m_records.pop_front();
        ++m_dropped;
    }
}

std::size_t FrameRecordRing::firstSince(std::int64_t ns) const
{
    const auto at = std::partition_point(m_records.begin(), m_records.end(),
                                         [ns](const FrameRecord& r) { return r.arrivalNs < ns; });
    return std::size_t(at - m_records.begin());
}
