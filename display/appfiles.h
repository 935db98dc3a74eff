// SPDX-License-Identifier: MIT
#pragma once

#include <QIcon>
#include <QString>
#include <QStringList>

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

// favicon.png from appFileFolders() when there is one, otherwise the
// program's own icon, compiled in.
QIcon appWindowIcon();
