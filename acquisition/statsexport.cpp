// SPDX-License-Identifier: MIT
#include "statsexport.h"

#include "getstreamimage.h"
#include "recordingfile.h"

#include <QDateTime>
#include <QtDebug>

namespace {

const char* recordName(FrameRecord::Kind kind)
{
    switch (kind) {
    case FrameRecord::Kind::Frame:
        return "frame";
    case FrameRecord::Kind::Connected:
        return "connected";
    case FrameRecord::Kind::Lost:
        return "lost";
    case FrameRecord::Kind::Reconnect:
        return "reconnect";
    }
    return "";
}

const char* fateName(FrameRecord::Fate fate)
{
    switch (fate) {
    case FrameRecord::Fate::Pending:
        return "pending";
    case FrameRecord::Fate::Shown:
        return "shown";
    case FrameRecord::Fate::Skipped:
        return "skipped";
    case FrameRecord::Fate::Refused:
        return "refused";
    case FrameRecord::Fate::Corrupt:
        return "corrupt";
    }
    return "";
}

const char* contentName(FrameRecord::Content content)
{
    switch (content) {
    case FrameRecord::Content::Jpeg:
        return "image/jpeg";
    case FrameRecord::Content::RawGray:
        return "video/x-raw-gray";
    case FrameRecord::Content::RawGray16:
        return "video/x-raw-gray16";
    case FrameRecord::Content::H264:
        return "video/h264";
    case FrameRecord::Content::Other:
        break;
    }
    return "other";
}

QByteArray ms(std::int64_t ns)
{
    return QByteArray::number(double(ns) / 1e6, 'f', 3);
}

} // namespace

QByteArray StatsExport::header()
{
    return "device,record,frame,wall_time,mono_ms,period_ms,delay_ms,bytes,content_type,width,"
           "height,convert_ms,fate,packets_expected,packets_lost,packets_out_of_order,"
           "jitter_ms\n";
}

QByteArray StatsExport::row(const QString& device, const FrameRecord& r)
{
    QByteArray line;
    line.reserve(160);
    // Device names are dev<N>: no comma or quote to escape.
    line += device.toLatin1();
    line += ',';
    line += recordName(r.kind);
    line += ',' + QByteArray::number(r.frameNumber) + ',';
    line +=
        QDateTime::fromMSecsSinceEpoch(r.wallMs, Qt::UTC).toString(Qt::ISODateWithMs).toLatin1();
    line += ',' + ms(r.arrivalNs) + ',';
    if (r.isFrame()) {
        if (r.periodNs >= 0)
            line += ms(r.periodNs);
        line += ',';
        if (r.hasDelay)
            line += QByteArray::number(double(r.delayUs) / 1000.0, 'f', 3);
        line += ',' + QByteArray::number(r.bytes) + ',' + contentName(r.content) + ','
                + QByteArray::number(r.width) + ',' + QByteArray::number(r.height) + ',';
        if (r.convertUs >= 0)
            line += QByteArray::number(double(r.convertUs) / 1000.0, 'f', 3);
        line += ',';
        line += fateName(r.fate);
        line += ',';
        if (r.hasRtp)
            line += QByteArray::number(r.packetsExpected) + ',' + QByteArray::number(r.packetsLost)
                    + ',' + QByteArray::number(r.packetsOutOfOrder) + ','
                    + QByteArray::number(double(r.jitterUs) / 1000.0, 'f', 3);
        else
            line += ",,,";
    } else {
        line += ",,,,,,,,,,,";
    }
    line += '\n';
    return line;
}

bool StatsExport::writeAll(const QString& path, const QList<const GetStreamImage*>& devices,
                           QString* error)
{
    RecordingFile file;
    if (!file.open(path, error))
        return false;
    const QByteArray head = header();
    if (!file.append({QByteArrayView(head)}, error))
        return false;
    // A block of rows at a time: few system calls, bounded memory.
    constexpr qsizetype BlockBytes = qsizetype(256) * 1024;
    QByteArray block;
    for (const GetStreamImage* device : devices) {
        const FrameRecordRing& ring = device->stats().records();
        for (std::size_t i = 0; i < ring.size(); ++i) {
            block += row(device->name(), ring.at(i));
            if (block.size() >= BlockBytes) {
                if (!file.append({QByteArrayView(block)}, error))
                    return false;
                block.clear();
            }
        }
    }
    if (!block.isEmpty() && !file.append({QByteArrayView(block)}, error))
        return false;
    file.close();
    return true;
}

StatsExport::StatsExport(const QString& path)
{
    QString error;
    if (!m_writer.start(path, header(), &error))
        qWarning().noquote()
            << QStringLiteral("Statistics export not started: %1: %2").arg(path, error);
}

StatsExport::~StatsExport()
{
    finish();
}

void StatsExport::attach(GetStreamImage* device)
{
    m_devices.append(device);
    const QString name = device->name();
    device->stats().setListener(
        [this, name](const FrameRecord& record) { m_writer.add(row(name, record)); });
}

void StatsExport::detach(GetStreamImage* device)
{
    device->stats().setListener({});
    m_devices.removeAll(device);
}

void StatsExport::finish()
{
    for (GetStreamImage* device : std::as_const(m_devices))
        device->stats().setListener({});
    m_devices.clear();
    m_writer.stop();
}
