// SPDX-License-Identifier: MIT
#include "appfiles.h"

#include "regularfile.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QPixmap>
#include <QStandardPaths>

#include <array>

QStringList appFileFolders()
{
    // The generic location, not AppConfigLocation: the latter follows the
    // executable's name and the organisation name, and the folder should stay
    // ~/.config/framescope however the program is started.
    return {QCoreApplication::applicationDirPath(),
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                + QStringLiteral("/framescope")};
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

std::optional<QString> readTitleFile(const QString& path)
{
    std::optional<QByteArray> bytes = readRegularFile(path, TitleReadBytes);
    if (!bytes)
        return std::nullopt;
    // Read back as a text device so that line ends come out as they did
    // when the title was read from the file itself.
    QBuffer buffer(&*bytes);
    buffer.open(QIODevice::ReadOnly | QIODevice::Text);
    const QByteArray line = buffer.readLine();
    const qsizetype end = line.endsWith('\n') ? line.size() - 1 : line.size();
    if (end > TitleMaxChars)
        return QString::fromLatin1(line.left(TitleMaxChars));
    return QString::fromLatin1(line);
}

QIcon readIconFile(const QString& path)
{
    // One byte over the bound tells a file that is too large from one that
    // just fits.
    const std::optional<QByteArray> bytes = readRegularFile(path, IconMaxBytes + 1);
    if (!bytes || bytes->size() > IconMaxBytes)
        return {};
    const QImage image = QImage::fromData(*bytes);
    if (image.isNull())
        return {};
    return QIcon(QPixmap::fromImage(image));
}

QString appWindowTitle(const QString& configPath)
{
    const QString titleFile = appFilePath(QStringLiteral("title.txt"));
    const std::optional<QString> title =
        titleFile.isEmpty() ? std::nullopt : readTitleFile(titleFile);
    return title.value_or(configPath);
}

QIcon appWindowIcon()
{
    const QString favicon = appFilePath(QStringLiteral("favicon.png"));
    if (!favicon.isEmpty()) {
        QIcon icon = readIconFile(favicon);
        if (!icon.isNull())
            return icon;
    }
    // The sizes installed in the hicolor theme, from the compiled-in resource.
    static constexpr std::array<int, 8> Sizes = {16, 22, 24, 32, 48, 64, 128, 256};
    QIcon icon;
    for (int size : Sizes)
        icon.addFile(QStringLiteral(":/icons/framescope-%1.png").arg(size), QSize(size, size));
    return icon;
}
