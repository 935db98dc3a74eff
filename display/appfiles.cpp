// SPDX-License-Identifier: MIT
#include "appfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <array>

QStringList appFileFolders()
{
    // The generic location, not AppConfigLocation: the latter follows the
    // executable's name and the organisation name, and the folder should stay
    // ~/.config/framescope however the program is started.
    return {QCoreApplication::applicationDirPath(),
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                QStringLiteral("/framescope")};
}

QString findAppFile(const QString& name, const QStringList& folders)
{
    for (const QString& folder : folders) {
        // An empty entry would otherwise mean the current directory.
        if (folder.isEmpty())
            continue;
        const QFileInfo file(QDir(folder).filePath(name));
        if (file.isFile())
            return file.filePath();
    }
    return {};
}

QString appFilePath(const QString& name)
{
    return findAppFile(name, appFileFolders());
}

QIcon appWindowIcon()
{
    const QString favicon = appFilePath(QStringLiteral("favicon.png"));
    if (!favicon.isEmpty())
        return QIcon(favicon);
    // The sizes installed in the hicolor theme, from the compiled-in resource.
    static constexpr std::array<int, 8> Sizes = {16, 22, 24, 32, 48, 64, 128, 256};
    QIcon icon;
    for (int size : Sizes)
        icon.addFile(QStringLiteral(":/icons/framescope-%1.png").arg(size), QSize(size, size));
    return icon;
}
