// SPDX-License-Identifier: MIT
#pragma once

#include "deviceconfig.h"

#include <QString>

// The size a device log may reach before it is started afresh, unless the
// device's log_max_mb says otherwise.
inline constexpr int DefaultLogMaxMb = DeviceConfig::DefaultLogMaxMb;
inline constexpr qint64 DefaultLogMaxBytes = qint64(DefaultLogMaxMb) * 1024 * 1024;

// Appends `text` to the log file at `path` as 8-bit text (characters outside
// Latin-1 become '?'): open in append mode, write, close, so nothing stays
// buffered and a deleted file is created again. The open never blocks: a
// FIFO without a reader fails at once instead of stalling the caller. When
// the text would take a regular file past `maxBytes`, the file is first
// renamed to `path` + ".1" (replacing an older one) and a new file started,
// so a log written for days keeps at most about twice the limit on disk.
// Returns false when the file cannot be opened or rotated, or when the text
// is not written whole or the file does not close cleanly (a full disk,
// /dev/full).
bool appendDeviceLog(const QString& path, const QString& text,
                     qint64 maxBytes = DefaultLogMaxBytes);

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
