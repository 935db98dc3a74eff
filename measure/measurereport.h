// SPDX-License-Identifier: MIT
#pragma once

#include "expectation.h"
#include "statssummary.h"

#include <QByteArray>
#include <QList>
#include <QString>

// What a headless measurement found: each device's summary, the verdict of
// every threshold on every device, and the texts they are reported in.
struct DeviceResult
{
    QString name;     // dev0
    QString protocol; // TCP
    QString address;  // 127.0.0.1:5000 or the URL
    bool rtp = false; // an RTP device
    // A device that never connected (or bound) failed, whatever its figures.
    bool connected = false;
    StatsSummary summary;
};

struct Verdict
{
    QString device;
    QString expectation;
    // The device's figure; nothing when it has none (no time stamps, not RTP).
    std::optional<double> value;
    bool passed = false;
};

class MeasureReport
{
public:
    MeasureReport(double seconds, QList<DeviceResult> devices,
                  const QList<Expectation>& expectations);

    const QList<DeviceResult>& devices() const { return m_devices; }
    const QList<Verdict>& verdicts() const { return m_verdicts; }
    // Every device connected and every threshold held.
    bool passed() const;
    // 0 when passed, 1 otherwise.
    int exitCode() const { return passed() ? 0 : 1; }

    // One line per device, with a header; then one line per failed
    // threshold or device, naming it.
    QString table() const;
    QString failures() const;
    // The same figures as one JSON document.
    QByteArray json() const;

private:
    double m_seconds = 0.0;
    QList<DeviceResult> m_devices;
    QList<Verdict> m_verdicts;
};
