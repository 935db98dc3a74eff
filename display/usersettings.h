// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <memory>

class QSettings;

// The per-user settings file (QSettings under the application's organisation
// and name: the window's layout, the folder recordings go to). QSettings
// reads its file whole on the GUI thread as it is made and replaces it with
// a new file when it writes; a FIFO there would block the viewer, a huge
// file would hold it up, and a link to a device or folder would have the
// device itself replaced. So the file is used only when, after following
// links, it is a regular file of a sane size or does not exist yet.
namespace usersettings {

inline constexpr qint64 MaxBytes = qint64(1024) * 1024;

// The path of the file QSettings() reads and writes, found without reading
// it; empty when the settings are not kept in a file.
QString filePath();
// Why the file at `path` is neither read nor written; empty when it may be.
QString refusal(const QString& path);
// The application's per-user QSettings when its file may be used; nothing,
// after one warning on the console for that file, when not.
std::unique_ptr<QSettings> open();

} // namespace usersettings
