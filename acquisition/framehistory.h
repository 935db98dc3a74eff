// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <deque>
#include <optional>
#include <vector>

// One frame as it was received, kept for stepping back: the bytes as
// delivered (encoded, not decoded), the content type the device sent, and
// the device's own figures for it.
struct HistoryFrame
{
    QString conType;
    QByteArray bytes;
    qint64 number = 0;    // the device's own frame count, from 1
    qint64 arrivalUs = 0; // wall clock, µs since 1970, UTC
    double periodMs = -1; // since the device's previous frame; -1 for its first
    std::optional<double> delaySeconds;
};

// The last frames of every device in one bounded store. The budget is
// shared out evenly: each device keeps at most budget / devices bytes
// (counting each frame's bytes plus EntryOverhead), its oldest frames going
// first, so that one fast camera cannot push out the frames of the others
// and the store as a whole never holds more than the budget. GUI thread
// only.
class FrameHistory
{
public:
    // What a kept frame costs beyond its bytes, in the accounting.
    static constexpr qint64 EntryOverhead = 256;

    explicit FrameHistory(qint64 budgetBytes = 0) : m_budget(std::max<qint64>(budgetBytes, 0)) {}

    qint64 budget() const { return m_budget; }
    // Devices 0 ... count-1 share the budget; more devices shrink every
    // share, and the rings are trimmed to it.
    void setDeviceCount(int count);
    int deviceCount() const { return int(m_rings.size()); }
    qint64 share() const;

    // Keeps a copy of `len` bytes at `data` as the device's newest frame.
    // A frame larger than the device's share is not kept.
    void add(int device, const QString& conType, const unsigned char* data, int len, qint64 number,
             qint64 arrivalUs, double periodMs);
    // The delay measured for frame `number` of `device`, once known.
    void setDelay(int device, qint64 number, double seconds);

    qint64 bytes(int device) const;
    qint64 totalBytes() const;
    int frameCount(int device) const;

    // Frame `number` of `device`, nullptr when it is not (or no longer)
    // kept.
    const HistoryFrame* find(int device, qint64 number) const;
    // The numbers of the oldest and newest kept frames, and of the kept
    // frame just before or after `number`.
    std::optional<qint64> oldest(int device) const;
    std::optional<qint64> newest(int device) const;
    std::optional<qint64> before(int device, qint64 number) const;
    std::optional<qint64> after(int device, qint64 number) const;

private:
    struct Ring
    {
        std::deque<HistoryFrame> frames;
        qint64 bytes = 0;
    };
    static qint64 cost(const HistoryFrame& f) { return f.bytes.size() + EntryOverhead; }
    void trim(Ring& ring, qint64 limit);
    const Ring* ring(int device) const;

    qint64 m_budget;
    std::vector<Ring> m_rings;
};
