// SPDX-License-Identifier: MIT
#pragma once

#include "configwarning.h"
#include "deviceconfig.h"

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>

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
    // The value as written, also when it holds commas (which the INI reader
    // splits into a list).
    QString joinedText(const char* key) const
    {
        const QVariant v = m_settings.value(QLatin1String(key));
        return v.typeId() == QMetaType::QStringList ? v.toStringList().join(QLatin1Char(','))
                                                    : v.toString();
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
// Reads the 16-bit gray keys into `d`, once its content type is read
// (grayconfig.cpp).
void readGray16(const DeviceReader& r, DeviceConfig* d);
