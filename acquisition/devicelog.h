// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// Appends `text` to the log file at `path` as 8-bit text (characters outside
// Latin-1 become '?'): open in append mode, one write, close, so nothing stays
// buffered and a deleted file is created again. Returns false when the file
// cannot be opened; nothing is written then.
bool appendDeviceLog(const QString& path, const QString& text);
