// SPDX-License-Identifier: MIT
#pragma once

#include "framerecord.h"
#include "statscsvwriter.h"

#include <QByteArray>
#include <QList>
#include <QString>

class GetStreamImage;

// The per-frame records of the devices as CSV: one row per frame or
// connection event, with these columns:
//
//   device          the device group (dev0)
//   record          frame, connected, lost, reconnect
//   frame           the device's own frame number (for an event: of the
//                   frame before it)
//   wall_time       arrival, UTC, ISO 8601 with milliseconds
//   mono_ms         arrival on the monotonic clock, ms
//   period_ms       since the device's previous frame; empty for its first
//   delay_ms        the delay above the running minimum of the device's
//                   transit time (APP9 time stamp); empty without one
//   bytes, content_type, width, height
//   convert_ms      from delivery until converted; empty when not converted
//   fate            shown, skipped, refused, corrupt (not shown), pending
//   packets_expected, packets_lost, packets_out_of_order
//                   RTP, since the device's previous frame; empty otherwise
//   jitter_ms       RTP interarrival jitter (RFC 3550) at this frame
class StatsExport
{
public:
    static QByteArray header();
    static QByteArray row(const QString& device, const FrameRecord& record);

    // Every record the devices keep now, device after device; false with
    // the reason when the file cannot be written whole.
    static bool writeAll(const QString& path, const QList<const GetStreamImage*>& devices,
                         QString* error);

    // Continuous export: every record completed from now on, through a
    // bounded writer (see StatsCsvWriter). A file that cannot be made is
    // reported once on the console.
    explicit StatsExport(const QString& path);
    ~StatsExport();
    void attach(GetStreamImage* device);
    // Writes what is queued and closes the file; devices attached must
    // not outlive it without detach().
    void finish();
    void detach(GetStreamImage* device);
    const StatsCsvWriter& writer() const { return m_writer; }

private:
    StatsCsvWriter m_writer;
    QList<GetStreamImage*> m_devices;
};
