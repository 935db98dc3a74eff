// SPDX-License-Identifier: MIT
// The simulator's RTP H.264 sending: --h264 FILE and the video/h264 parts
// of a replayed recording.
#include "devicesim.h"

#include <QFile>
#include <QFileInfo>

namespace {
// An Annex B file is read whole; longer ones are refused.
constexpr qint64 MaxH264FileBytes = qint64(256) * 1024 * 1024;
} // namespace

bool DeviceSim::loadH264(QString* error)
{
    const QFileInfo info(m_config.h264File);
    QFile file(m_config.h264File);
    if (!info.isFile() || info.size() > MaxH264FileBytes || !file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("--h264 %1: not a readable regular file of at most %2 MiB")
                     .arg(m_config.h264File)
                     .arg(MaxH264FileBytes >> 20);
        return false;
    }
    m_h264Units = simlib::splitAccessUnits(file.read(MaxH264FileBytes));
    if (m_h264Units.isEmpty()) {
        *error = QStringLiteral("--h264 %1: no H.264 NAL unit found").arg(m_config.h264File);
        return false;
    }
    return true;
}

bool DeviceSim::sendRtpH264(const QByteArray& accessUnit)
{
    const auto elapsedUs =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - m_rtpEpoch).count();
    const std::uint32_t ts = m_rtpBase + simlib::rtpTimestamp90k(elapsedUs);
    QList<QByteArray> packets;
    if (m_h264Packetizer.packetize(accessUnit, ts, &packets) == 0)
        return false;
    m_h264Sent = true;
    m_datagramsThisFrame = 0;
    QList<QByteArray> wire;
    for (const QByteArray& p : packets) {
        wire.clear();
        m_impairment.push(p, &wire);
        for (const QByteArray& w : wire)
            sendDatagram(w);
    }
    return true;
}
