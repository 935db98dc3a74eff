// SPDX-License-Identifier: MIT
#include "viewerconfig.h"

#include "configkeys.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

namespace {

void warn(ConfigWarnings* warnings, const QString& key, const QString& value, const QString& line)
{
    if (warnings != nullptr)
        warnings->append({key, value, line});
}

} // namespace

ViewerConfig ViewerConfig::read(const QSettings& settings, ConfigWarnings* warnings)
{
    ViewerConfig c;
    // Read only when present: an absent key leaves the status bar alone.
    const QString noStatusBar = QStringLiteral("no_statusbar");
    if (settings.contains(noStatusBar)) {
        const QString text = settings.value(noStatusBar, QStringLiteral("0")).toString();
        c.hideStatusBar = QVariant(text).toInt() != 0;
        bool ok = false;
        text.trimmed().toInt(&ok);
        if (!ok)
            warn(warnings, noStatusBar, text,
                 QStringLiteral("no_statusbar=\"%1\" is not a number; the status bar is shown")
                     .arg(text));
    }

    const QString view = settings.value(QStringLiteral("view"), QString()).toString().trimmed();
    if (view.compare(QLatin1String("tiles"), Qt::CaseInsensitive) == 0)
        c.view = View::Tiles;
    else if (view.compare(QLatin1String("newest"), Qt::CaseInsensitive) == 0)
        c.view = View::Newest;
    else if (!view.isEmpty())
        warn(warnings, QStringLiteral("view"), view,
             QStringLiteral("view=\"%1\" is not known (tiles or newest); the newest frame is "
                            "shown")
                 .arg(view));

    const QString recordMaxMb = settings.value(QStringLiteral("record_max_mb")).toString();
    if (!recordMaxMb.trimmed().isEmpty()) {
        bool ok = false;
        const qint64 mb = recordMaxMb.trimmed().toLongLong(&ok);
        // Beyond 2^40 MiB the byte count would not fit 64 bits.
        if (ok && mb > 0 && mb < (qint64(1) << 40))
            c.recordMaxMb = mb;
        else
            warn(warnings, QStringLiteral("record_max_mb"), recordMaxMb,
                 QStringLiteral("record_max_mb \"%1\" is not a positive number; recordings end "
                                "at %2 MB")
                     .arg(recordMaxMb)
                     .arg(DefaultRecordMaxMb));
    }

    const QString historyMb = settings.value(QStringLiteral("history_mb")).toString();
    if (!historyMb.trimmed().isEmpty()) {
        bool ok = false;
        const qint64 mb = historyMb.trimmed().toLongLong(&ok);
        if (ok && mb >= 0 && mb <= MaxHistoryMb)
            c.historyMb = mb;
        else
            warn(warnings, QStringLiteral("history_mb"), historyMb,
                 QStringLiteral("history_mb \"%1\" is not a number of MiB from 0 to %2; %3 MiB "
                                "of frames are kept")
                     .arg(historyMb)
                     .arg(MaxHistoryMb)
                     .arg(DefaultHistoryMb));
    }

    const QString decodeThreads = settings.value(QStringLiteral("decode_threads")).toString();
    if (!decodeThreads.trimmed().isEmpty()) {
        bool ok = false;
        const int n = decodeThreads.trimmed().toInt(&ok);
        if (ok && n >= 0 && n <= MaxDecodeThreads)
            c.decodeThreads = n;
        else
            warn(warnings, QStringLiteral("decode_threads"), decodeThreads,
                 QStringLiteral("decode_threads \"%1\" is not a number from 0 to %2; one "
                                "decoding thread per core is used")
                     .arg(decodeThreads)
                     .arg(MaxDecodeThreads));
    }

    const QString panel = settings.value(QStringLiteral("statistics")).toString().trimmed();
    if (panel == QLatin1String("1"))
        c.statisticsPanel = true;
    else if (panel == QLatin1String("0"))
        c.statisticsPanel = false;
    else if (!panel.isEmpty())
        warn(warnings, QStringLiteral("statistics"), panel,
             QStringLiteral("statistics=\"%1\" is neither 0 nor 1; the statistics panel is as "
                            "it was left")
                 .arg(panel));

    const QString statsSeconds = settings.value(QStringLiteral("stats_seconds")).toString();
    if (!statsSeconds.trimmed().isEmpty()) {
        bool ok = false;
        const int seconds = statsSeconds.trimmed().toInt(&ok);
        if (ok && seconds > 0 && seconds <= MaxStatsSeconds)
            c.statsSeconds = seconds;
        else
            warn(warnings, QStringLiteral("stats_seconds"), statsSeconds,
                 QStringLiteral("stats_seconds \"%1\" is not a number of seconds from 1 to %2; "
                                "%3 s of frame records are kept")
                     .arg(statsSeconds)
                     .arg(MaxStatsSeconds)
                     .arg(DefaultStatsSeconds));
    }

    for (const QString& key : settings.childKeys()) {
        if (findConfigKey(KeyScope::General, key) == nullptr)
            warn(warnings, key, QString(),
                 QStringLiteral("unknown key \"%1\" at the top level is ignored").arg(key));
    }
    return c;
}

Configuration Configuration::fromText(const QByteArray& ini)
{
    Configuration c;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config.ini"));
    QFile file(path);
    if (dir.isValid() && file.open(QIODevice::WriteOnly))
        file.write(ini);
    file.close();
    QSettings settings(path, QSettings::IniFormat);
    c.viewer = ViewerConfig::read(settings, &c.warnings);
    c.devices = DeviceConfig::readAll(settings, &c.warnings);
    return c;
}
