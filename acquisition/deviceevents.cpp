// SPDX-License-Identifier: MIT
#include "deviceevents.h"

#include <QTime>
#include <QtDebug>

DeviceEvents::DeviceEvents(const QString& name) : m_name(name)
{
}

void DeviceEvents::setLogFile(const QString& path, qint64 maxBytes)
{
    m_logFile = path;
    m_logMaxBytes = maxBytes;
}

void DeviceEvents::writeLog(const QString& text)
{
    if (m_logFile.isEmpty() || text.isEmpty())
        return;
    if (m_logOutage.shouldReport(appendDeviceLog(m_logFile, text, m_logMaxBytes))) {
        qWarning().noquote()
            << QStringLiteral("Cannot open log file \"%1\"; its lines are dropped until it can be "
                              "opened again")
                   .arg(m_logFile);
    }
}

void DeviceEvents::writeEvents(const QStringList& lines, bool console)
{
    if (lines.isEmpty())
        return;
    const QString time = QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
    QString text;
    for (const QString& line : lines) {
        text += QStringLiteral("%1: %2\n").arg(time, line);
        if (console)
            qWarning().noquote() << QStringLiteral("%1: %2").arg(m_name, line);
    }
    writeLog(text);
}

void DeviceEvents::notice(const QString& text)
{
    if (text == m_notice)
        return;
    m_notice = text;
    if (!text.isEmpty())
        writeEvents({text}, true);
}

void DeviceEvents::reportUnshownFrame(const QString& cause, const QString& text)
{
    if (cause == m_unshownCause)
        return;
    m_unshownCause = cause;
    writeEvents({text}, true);
}

void DeviceEvents::frameShown()
{
    m_unshownCause.clear();
}

void DeviceEvents::rawFrameConverted(int len, int sizeX, int sizeY, bool shown, int bytesPerPixel)
{
    if (bytesPerPixel == 2) {
        raw16FrameConverted(len, sizeX, sizeY, shown);
        return;
    }
    const qint64 expected = qint64(sizeX) * sizeY;
    if (!shown)
        reportUnshownFrame(QStringLiteral("raw-short"),
                           QStringLiteral("raw gray frame of %1 bytes, but sizeX x sizeY is "
                                          "%2 x %3 = %4 bytes; shorter frames are not shown")
                               .arg(len)
                               .arg(sizeX)
                               .arg(sizeY)
                               .arg(expected));
    else if (len != expected)
        reportUnshownFrame(QStringLiteral("raw-long"),
                           QStringLiteral("raw gray frame of %1 bytes, but sizeX x sizeY is "
                                          "%2 x %3 = %4 bytes; the picture may be sheared")
                               .arg(len)
                               .arg(sizeX)
                               .arg(sizeY)
                               .arg(expected));
    else
        frameShown();
}

void DeviceEvents::raw16FrameConverted(int len, int sizeX, int sizeY, bool shown)
{
    const qint64 expected = qint64(sizeX) * sizeY * 2;
    const QString start = QStringLiteral("raw 16-bit gray frame of %1 bytes, but 2 x sizeX x sizeY "
                                         "is 2 x %2 x %3 = %4 bytes; ")
                              .arg(len)
                              .arg(sizeX)
                              .arg(sizeY)
                              .arg(expected);
    if (!shown)
        reportUnshownFrame(QStringLiteral("raw16-short"),
                           start + QStringLiteral("shorter frames are not shown"));
    else if (len != expected)
        reportUnshownFrame(QStringLiteral("raw16-long"),
                           start + QStringLiteral("the picture may be sheared"));
    else
        frameShown();
}

void DeviceEvents::oversizeFrames(std::int64_t skipped, int lastBytes, int transferLength,
                                  int spareBytes, int bytesPerPixel)
{
    if (skipped == m_oversizeSeen)
        return;
    m_oversizeSeen = skipped;
    reportUnshownFrame(QStringLiteral("oversize"),
                       QStringLiteral("frame of %1 bytes is larger than the transfer buffer of "
                                      "%2 bytes (%3sizeX x sizeY + %4); such frames are not shown")
                           .arg(lastBytes)
                           .arg(transferLength)
                           .arg(bytesPerPixel == 2 ? QStringLiteral("2 x ") : QString())
                           .arg(spareBytes));
}

void DeviceEvents::summarise(qint64 nowMs)
{
    if (nowMs - m_corruptSince < CorruptSummaryIntervalMs)
        return;
    if (m_corruptFrames > 0) {
        writeEvents({QStringLiteral("%1 corrupt JPEG frames in the last %2 s")
                         .arg(m_corruptFrames)
                         .arg((nowMs - m_corruptSince) / 1000)},
                    true);
    }
    if (m_corruptH264Frames > 0) {
        writeEvents({QStringLiteral("%1 corrupt H.264 frames in the last %2 s; decoding resumes at "
                                    "the next key frame")
                         .arg(m_corruptH264Frames)
                         .arg((nowMs - m_corruptSince) / 1000)},
                    true);
    }
    m_corruptFrames = 0;
    m_corruptH264Frames = 0;
    m_corruptSince = nowMs;
}
