// SPDX-License-Identifier: MIT
#include "devicelog.h"

#include <QByteArray>
#include <QFile>

#include <cstdio>

bool appendDeviceLog(const QString& path, const QString& text)
{
    // The path goes through the file system's own encoding so that a name
    // outside Latin-1 opens that file and not a '?'-mangled one.
    const QByteArray name = QFile::encodeName(path);
    std::FILE* file = std::fopen(name.constData(), "a");
    if (file == nullptr)
        return false;
    const QByteArray bytes = text.toLatin1();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), file);
    std::fclose(file);
    return true;
}
