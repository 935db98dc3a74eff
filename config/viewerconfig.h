// SPDX-License-Identifier: MIT
#pragma once

#include "configwarning.h"
#include "deviceconfig.h"

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <optional>

class QSettings;

// The window-wide keys of the [General] section as typed values, read once.
struct ViewerConfig
{
    enum class View
    {
        Unset, // the view kept from the last run, or the newest frame
        Newest,
        Tiles
    };
    static constexpr qint64 DefaultRecordMaxMb = 4096;
    static constexpr qint64 DefaultHistoryMb = 256;
    static constexpr qint64 MaxHistoryMb = 1 << 20;
    static constexpr int DefaultStatsSeconds = 600;
    // A day: the per-device record rings stay bounded in memory.
    static constexpr int MaxStatsSeconds = 86400;

    bool hideStatusBar = false;
    View view = View::Unset;
    qint64 recordMaxMb = DefaultRecordMaxMb;
    // Received frames kept for stepping back while paused, all devices
    // together; 0 keeps none.
    qint64 historyMb = DefaultHistoryMb;
    // Threads decoding the frames of every device; 0: one per core.
    static constexpr int MaxDecodeThreads = 64;
    int decodeThreads = 0;
    // View > Statistics at start-up: shown, hidden, or as kept (unset).
    std::optional<bool> statisticsPanel;
    // How many seconds of per-frame records each device keeps.
    int statsSeconds = DefaultStatsSeconds;

    // The top level of `settings`, which must not be inside a group.
    static ViewerConfig read(const QSettings& settings, ConfigWarnings* warnings = nullptr);
};

// A whole configuration file: its window-wide keys and its devices, with
// every warning in the order a reader meets them. For tests and tools that
// have the file's text rather than a file.
struct Configuration
{
    ViewerConfig viewer;
    QList<DeviceConfig> devices;
    ConfigWarnings warnings;

    static Configuration fromText(const QByteArray& ini);
};
