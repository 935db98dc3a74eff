// SPDX-License-Identifier: MIT
#include "configfilepath.h"

#include <QCoreApplication>
#include <QStringList>

QString configFilePath()
{
    const QStringList args = QCoreApplication::arguments();
    if (args.size() > 1)
        return args.at(1);
    return QString::fromLatin1(DefaultConfigFile);
}
