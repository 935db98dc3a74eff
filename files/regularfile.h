// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <optional>

// Reads at most `maxBytes` from the start of the regular file at `path`.
// Anything else (a FIFO, a device such as /dev/zero, a directory, a socket)
// is refused without being read: opening and reading those can block the
// caller forever or never reach an end. The file is opened without blocking,
// checked, read and closed within the call. Returns nothing when the file
// is missing, unreadable or not a regular file; `error`, when given, then
// receives the reason.
std::optional<QByteArray> readRegularFile(const QString& path, qint64 maxBytes,
                                          QString* error = nullptr);

// Opens the regular file at `path` into `file` for unbuffered reading, with
// the same refusals as readRegularFile and without blocking, for a caller
// that reads it piece by piece. False when it is missing, unreadable or not
// a regular file; `error`, when given, then receives the reason.
bool openRegularFile(QFile* file, const QString& path, QString* error = nullptr);
