// SPDX-License-Identifier: MIT
#pragma once

#include "devicelog.h"

#include <QString>
#include <QStringList>

#include <cstdint>

// What one device has to tell its user, written where the user reads it:
// time-stamped lines in the device log (beside the decoders' log text,
// which arrives with the frames), the ones that need attention also on the
// console with the device's name. Frames that cannot be shown are reported
// once per cause, a worker's notice once until it changes, and corrupt JPEG
// frames in one summary per interval. GUI thread only.
class DeviceEvents
{
public:
    // Corrupt JPEG frames are summed up at most this often.
    static constexpr int CorruptSummaryIntervalMs = 10000;

    // `name` is the device group's, as the console lines name the device.
    explicit DeviceEvents(const QString& name);

    // The device log: `path` (none when empty), started afresh when it
    // would grow past maxBytes.
    void setLogFile(const QString& path, qint64 maxBytes);
    // Appends `text` to the device log as it is. A log that cannot be
    // written is reported once per outage.
    void writeLog(const QString& text);
    // Writes `lines` to the device log with the time of day and, when
    // `console` is set, to the console with the device's name.
    void writeEvents(const QStringList& lines, bool console);

    // A notice of the worker (empty when all is well again): reported when
    // it differs from the one before, since every connect repeats it.
    void notice(const QString& text);

    // Reports a frame that cannot be shown, once per cause: again only after
    // a frame was shown in between. `cause` names the kind of fault without
    // the figures of one frame (JPEG sizes differ from frame to frame),
    // `text` is the line written for its first frame.
    void reportUnshownFrame(const QString& cause, const QString& text);
    // A frame was shown: the next frame that cannot be shown is reported.
    void frameShown();
    // A raw gray frame of `len` bytes was converted for a sizeX x sizeY
    // picture of `bytesPerPixel` bytes a pixel (2: 16-bit gray); `shown`
    // when it was long enough to be shown.
    void rawFrameConverted(int len, int sizeX, int sizeY, bool shown, int bytesPerPixel = 1);
    // The worker's count of frames too large for the transfer buffer, and
    // the size of the latest; a change is reported as an unshown frame.
    void oversizeFrames(std::int64_t skipped, int lastBytes, int transferLength, int spareBytes,
                        int bytesPerPixel = 1);
    // A JPEG frame that decoded with faults, for the next summary.
    void countCorruptFrame() { ++m_corruptFrames; }
    // An H.264 frame the decoder failed on or flagged, likewise.
    void countCorruptH264Frame() { ++m_corruptH264Frames; }
    // Writes the summary of corrupt frames once CorruptSummaryIntervalMs
    // have passed since the last one (nowMs on the device's status clock).
    void summarise(qint64 nowMs);

private:
    void raw16FrameConverted(int len, int sizeX, int sizeY, bool shown);

    QString m_name;
    QString m_logFile;
    qint64 m_logMaxBytes = DefaultLogMaxBytes;
    OutageWarning m_logOutage;
    QString m_notice;
    QString m_unshownCause;
    std::int64_t m_oversizeSeen = 0;
    int m_corruptFrames = 0;
    int m_corruptH264Frames = 0;
    qint64 m_corruptSince = 0;
};
