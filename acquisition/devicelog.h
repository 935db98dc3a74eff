// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// Appends `text` to the log file at `path` as 8-bit text (characters outside
// Latin-1 become '?'): open in append mode, one write, close, so nothing stays
// buffered and a deleted file is created again. Returns false when the file
// cannot be opened; nothing is written then.
bool appendDeviceLog(const QString& path, const QString& text);

// Reports a failing resource once per outage rather than at every attempt:
// the first failure after a success (or after construction) is reported, the
// failures behind it are not, and the next success ends the outage.
class OutageWarning
{
public:
    // Returns true when `ok` is false and the failure is the first of an
    // outage, so the caller reports it.
    bool shouldReport(bool ok)
    {
        if (ok) {
            m_inOutage = false;
            return false;
        }
        const bool first = !m_inOutage;
        m_inOutage = true;
        return first;
    }

private:
    bool m_inOutage = false;
};
