// SPDX-License-Identifier: MIT
#include "senderlock.h"

#include <algorithm>

void SenderLock::fixSource(const DatagramSource& source)
{
    m_fixed = source;
    m_holder = source;
    m_reported.clear();
}

SenderLock::Verdict SenderLock::admit(const DatagramSource& from, std::int64_t nowMs)
{
    if (m_fixed) {
        if (from.address == m_fixed->address && (m_fixed->port == 0 || from.port == m_fixed->port))
            return Verdict::Admit;
    } else if (m_holder && nowMs - m_lastFromHolder > ReleaseAfterMs) {
        // The holder fell silent: whoever synchronises next takes the stream.
        m_holder.reset();
        m_reported.clear();
    }
    if (!m_holder)
        return Verdict::Admit;
    if (from == *m_holder) {
        m_lastFromHolder = nowMs;
        return Verdict::Admit;
    }
    ++m_foreignDropped;
    if (int(m_reported.size()) >= MaxReportedSources
        || std::find(m_reported.begin(), m_reported.end(), from) != m_reported.end())
        return Verdict::Drop;
    m_reported.push_back(from);
    return Verdict::DropFromNewSource;
}

void SenderLock::lockOnto(const DatagramSource& from, std::int64_t nowMs)
{
    if (m_holder)
        return;
    m_holder = from;
    m_lastFromHolder = nowMs;
}
