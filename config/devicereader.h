// SPDX-License-Identifier: MIT
#pragma once

#include "configwarning.h"
#include "deviceconfig.h"

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

// Reads the keys of the group a QSettings is positioned in and collects the
// warnings, each naming the device as the console has always named it.
class DeviceReader
{
public:
    DeviceReader(const QSettings& settings, ConfigWarnings* warnings)
        : m_settings(settings), m_warnings(warnings), m_group(settings.group())
    {
    }

    QString text(const char* key, const QString& fallback = QString()) const
    {
        return m_settings.value(QLatin1String(key), fallback).toString();
    }
    bool contains(const char* key) const { return m_settings.contains(QLatin1String(key)); }
    void warn(const QString& key, const QString& value, const QString& line) const
    {
        if (m_warnings != nullptr)
            m_warnings->append({key, value, line});
    }
    // "dev0: " for the keys that decide how a device is reached, "Device
    // group "dev0": " for the others.
    QString shortName() const { return m_group + QStringLiteral(": "); }
    QString longName() const { return QStringLiteral("Device group \"%1\": ").arg(m_group); }
    const QString& group() const { return m_group; }
    QStringList keys() const { return m_settings.childKeys(); }

private:
    const QSettings& m_settings;
    ConfigWarnings* m_warnings;
    QString m_group;
};

// Reads the keys of a camera on the web into `d` (httpdeviceconfig.cpp).
void readHttp(const DeviceReader& r, DeviceConfig* d);
