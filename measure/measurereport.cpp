// SPDX-License-Identifier: MIT
#include "measurereport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <utility>

namespace {

QString fixed(double v, int decimals)
{
    return QString::number(v, 'f', decimals);
}

QJsonValue orNull(bool has, double v)
{
    return has ? QJsonValue(v) : QJsonValue(QJsonValue::Null);
}

} // namespace

MeasureReport::MeasureReport(double seconds, QList<DeviceResult> devices,
                             const QList<Expectation>& expectations)
    : m_seconds(seconds), m_devices(std::move(devices))
{
    for (const DeviceResult& d : std::as_const(m_devices)) {
        for (const Expectation& e : expectations) {
            if (e.rtpOnly() && !d.rtp)
                continue; // not this device's kind of figure
            Verdict v;
            v.device = d.name;
            v.expectation = e.text();
            v.value = e.valueOf(d.summary);
            v.passed = d.connected && v.value && e.holds(*v.value);
            m_verdicts.append(v);
        }
    }
}

bool MeasureReport::passed() const
{
    for (const DeviceResult& d : m_devices) {
        if (!d.connected)
            return false;
    }
    for (const Verdict& v : m_verdicts) {
        if (!v.passed)
            return false;
    }
    return !m_devices.isEmpty();
}

QString MeasureReport::table() const
{
    QStringList lines;
    lines << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9")
                 .arg(QStringLiteral("device"), -8)
                 .arg(QStringLiteral("frames"), 8)
                 .arg(QStringLiteral("fps"), 8)
                 .arg(QStringLiteral("period p50/p99/max ms"), 24)
                 .arg(QStringLiteral("delay p50/p99 ms"), 17)
                 .arg(QStringLiteral("lost/expected"), 15)
                 .arg(QStringLiteral("jitter"), 7)
                 .arg(QStringLiteral("corrupt/skip"), 12)
                 .arg(QStringLiteral("state"));
    for (const DeviceResult& d : m_devices) {
        const StatsSummary& s = d.summary;
        const QString period =
            QStringLiteral("%1/%2/%3")
                .arg(fixed(s.periodP50Ms, 1), fixed(s.periodP99Ms, 1), fixed(s.periodMaxMs, 1));
        const QString delay = s.delays > 0 ? QStringLiteral("%1/%2").arg(fixed(s.delayP50Ms, 1),
                                                                         fixed(s.delayP99Ms, 1))
                              : s.delayUnstamped() ? QStringLiteral("no time stamp")
                                                   : QStringLiteral("-");
        const QString loss = s.rtp
                                 ? QStringLiteral("%1/%2").arg(s.packetsLost).arg(s.packetsExpected)
                                 : QStringLiteral("-");
        const QString jitter = s.rtp ? fixed(s.jitterMs, 2) : QStringLiteral("-");
        QString state =
            d.connected ? QStringLiteral("ok") : QStringLiteral("FAILED: never connected");
        if (d.connected && s.reconnects > 0)
            state = QStringLiteral("ok, %1 reconnects").arg(s.reconnects);
        lines << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9")
                     .arg(d.name, -8)
                     .arg(s.frames, 8)
                     .arg(fixed(s.fps, 2), 8)
                     .arg(period, 24)
                     .arg(delay, 17)
                     .arg(loss, 15)
                     .arg(jitter, 7)
                     .arg(QStringLiteral("%1/%2").arg(s.corrupt).arg(s.skipped + s.refused), 12)
                     .arg(state);
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QString MeasureReport::failures() const
{
    QStringList lines;
    if (m_devices.isEmpty())
        lines << QStringLiteral("FAILED: no device to measure");
    for (const DeviceResult& d : m_devices) {
        if (!d.connected)
            lines << QStringLiteral("FAILED %1 (%2 %3): never connected")
                         .arg(d.name, d.protocol, d.address);
    }
    for (const Verdict& v : m_verdicts) {
        if (v.passed)
            continue;
        lines << QStringLiteral("FAILED %1 on %2: %3")
                     .arg(v.expectation, v.device,
                          v.value ? QStringLiteral("measured %1").arg(*v.value, 0, 'g', 6)
                                  : QStringLiteral("no such figure"));
    }
    return lines.isEmpty() ? QString() : lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QByteArray MeasureReport::json() const
{
    QJsonArray devices;
    for (const DeviceResult& d : m_devices) {
        const StatsSummary& s = d.summary;
        QJsonObject o{
            {QStringLiteral("name"), d.name},
            {QStringLiteral("protocol"), d.protocol},
            {QStringLiteral("address"), d.address},
            {QStringLiteral("connected"), d.connected},
            {QStringLiteral("failed"), !d.connected},
            {QStringLiteral("frames"), double(s.frames)},
            {QStringLiteral("shown"), double(s.shown)},
            {QStringLiteral("skipped"), double(s.skipped)},
            {QStringLiteral("refused"), double(s.refused)},
            {QStringLiteral("corrupt"), double(s.corrupt)},
            {QStringLiteral("seconds"), s.seconds},
            {QStringLiteral("fps"), s.fps},
            {QStringLiteral("period_mean_ms"), s.periodMeanMs},
            {QStringLiteral("period_p50_ms"), s.periodP50Ms},
            {QStringLiteral("period_p95_ms"), s.periodP95Ms},
            {QStringLiteral("period_p99_ms"), s.periodP99Ms},
            {QStringLiteral("period_max_ms"), s.periodMaxMs},
            {QStringLiteral("delay_frames"), double(s.delays)},
            {QStringLiteral("delay_p50_ms"), orNull(s.delays > 0, s.delayP50Ms)},
            {QStringLiteral("delay_p99_ms"), orNull(s.delays > 0, s.delayP99Ms)},
            {QStringLiteral("delay_max_ms"), orNull(s.delays > 0, s.delayMaxMs)},
            {QStringLiteral("rtp"), s.rtp},
            {QStringLiteral("packets_expected"), double(s.packetsExpected)},
            {QStringLiteral("packets_lost"), double(s.packetsLost)},
            {QStringLiteral("packets_out_of_order"), double(s.packetsOutOfOrder)},
            {QStringLiteral("loss_percent"), orNull(s.rtp, s.lossPercent())},
            {QStringLiteral("jitter_ms"), orNull(s.rtp, s.jitterMs)},
            {QStringLiteral("connects"), double(s.connects)},
            {QStringLiteral("connection_losses"), double(s.losses)},
            {QStringLiteral("reconnects"), double(s.reconnects)},
        };
        devices.append(o);
    }
    QJsonArray verdicts;
    for (const Verdict& v : m_verdicts) {
        verdicts.append(QJsonObject{
            {QStringLiteral("device"), v.device},
            {QStringLiteral("expect"), v.expectation},
            {QStringLiteral("value"), v.value ? QJsonValue(*v.value) : QJsonValue()},
            {QStringLiteral("passed"), v.passed},
        });
    }
    const QJsonObject root{
        {QStringLiteral("seconds"), m_seconds},
        {QStringLiteral("passed"), passed()},
        {QStringLiteral("devices"), devices},
        {QStringLiteral("expectations"), verdicts},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}
