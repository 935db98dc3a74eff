// SPDX-License-Identifier: MIT
#pragma once

#include <QIcon>
#include <QString>
#include <QStringList>

#include <optional>

// The window's optional files, title.txt and favicon.png, are looked for
// beside the executable first (where a program run from its build tree keeps
// them) and then in the user's configuration folder, ~/.config/framescope
// (where an installed program in /usr/bin finds them).
QStringList appFileFolders();

// The path of the file `name` in the first of `folders` that holds one;
// empty when none does.
QString findAppFile(const QString& name, const QStringList& folders);

// findAppFile(name, appFileFolders()).
QString appFilePath(const QString& name);

// How much of title.txt is read, and how long a title may be: the window
// system refuses or dies on titles of megabytes.
inline constexpr qint64 TitleReadBytes = 4096;
inline constexpr int TitleMaxChars = 256;
// A favicon.png larger than this is not used.
inline constexpr qint64 IconMaxBytes = qint64(4) * 1024 * 1024;

// The first line of the title file at `path` as read (Latin-1, line end
// included), cut to TitleMaxChars characters when longer. Nothing when the
// file is not a regular file or cannot be read.
std::optional<QString> readTitleFile(const QString& path);

// The picture in the regular file at `path` as an icon; a null icon when the
// file cannot be read, is larger than IconMaxBytes or holds no picture.
QIcon readIconFile(const QString& path);

// The window's title: the first line of title.txt from appFileFolders() as
// readTitleFile gives it, or `configPath` when there is no usable title file.
QString appWindowTitle(const QString& configPath);

// favicon.png from appFileFolders() when there is a usable one, otherwise
// the program's own icon, compiled in.
QIcon appWindowIcon();
