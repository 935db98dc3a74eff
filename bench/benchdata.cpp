// SPDX-License-Identifier: MIT
#include "benchdata.h"

#include "jpegencoder.h"
#include "multipartwriter.h"
#include "rtpjpegpacketizer.h"
#include "testpattern.h"

#include <QFile>

namespace benchdata {

const QByteArray& jpegFrame(int index)
{
    static const QList<QByteArray> frames = [] {
        QList<QByteArray> list;
        for (int i = 0; i < DistinctFrames; ++i) {
            const QByteArray rgb = simlib::renderTestPattern(Width, Height, 3, i);
            simlib::JpegEncodeOptions options;
            options.quality = 80;
            options.writeTimestamp = true;
            options.timestamp.seconds = 1000 + i;
            options.timestamp.microseconds = 40000 * i;
            list.append(simlib::encodeJpeg(reinterpret_cast<const unsigned char*>(rgb.constData()),
                                           Width, Height, 3, options));
        }
        return list;
    }();
    return frames[index % DistinctFrames];
}

const QByteArray& multipartStream()
{
    static const QByteArray stream = [] {
        QByteArray s;
        for (int i = 0; i < StreamFrames; ++i)
            s += simlib::multipartPart(simlib::ContentTypeJpeg, jpegFrame(i));
        return s;
    }();
    return stream;
}

const QList<QByteArray>& rtpPackets()
{
    static const QList<QByteArray> packets = [] {
        simlib::RtpJpegOptions options;
        options.scanBytesPerPacket = RtpScanBytesPerPacket;
        simlib::RtpJpegPacketizer packetizer(options);
        QList<QByteArray> list;
        for (int i = 0; i < StreamFrames; ++i)
            packetizer.packetize(jpegFrame(i), std::uint32_t(3600 * (i + 1)), &list);
        return list;
    }();
    return packets;
}

const QByteArray& grayFrame()
{
    static const QByteArray frame = simlib::renderTestPattern(Width, Height, 1, 7);
    return frame;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace benchdata
