// SPDX-License-Identifier: MIT
#include "usersettings.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QMutex>
#include <QSet>
#include <QSettings>

namespace usersettings {

QString filePath()
{
    // QSettings reads its files as it is made, so the folder is learnt from
    // one made for a name that has no files; it follows QSettings::setPath
    // and XDG_CONFIG_HOME as the application's own does.
    const QString probeOrganization = QStringLiteral("framescope-settings-path");
    const QString probeApplication = QStringLiteral("probe");
    const QString probeTail = probeOrganization + QLatin1Char('/') + probeApplication;
    const QString probe = QSettings(QSettings::NativeFormat, QSettings::UserScope,
                                    probeOrganization, probeApplication)
                              .fileName();
    const qsizetype at = probe.lastIndexOf(probeTail);
    if (at < 0)
        return {};
    // The extension the platform gives the file (".conf").
    const QString extension = probe.mid(at + probeTail.size());
    QString organization = QCoreApplication::organizationName();
    if (organization.isEmpty())
        organization = QStringLiteral("Unknown Organization");
    const QString application = QCoreApplication::applicationName();
    const QString name =
        application.isEmpty() ? organization : organization + QLatin1Char('/') + application;
    return probe.left(at) + name + extension;
}

QString refusal(const QString& path)
{
    // QFileInfo follows links; a dangling link is a file not made yet,
    // which the write creates where the link points.
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists())
        return {};
    if (!info.isFile())
        return QStringLiteral("not a regular file");
    if (info.size() > MaxBytes)
        return QStringLiteral("larger than %1 bytes").arg(MaxBytes);
    return {};
}

std::unique_ptr<QSettings> open()
{
    const QString path = filePath();
    const QString reason = refusal(path);
    if (reason.isEmpty())
        return std::make_unique<QSettings>();
    static QMutex mutex;
    static QSet<QString> warned;
    const QMutexLocker lock(&mutex);
    if (!warned.contains(path)) {
        warned.insert(path);
        qWarning().noquote() << QStringLiteral(
                                    "Settings file \"%1\" is not used (%2); the defaults apply")
                                    .arg(path, reason);
    }
    return nullptr;
}

} // namespace usersettings
