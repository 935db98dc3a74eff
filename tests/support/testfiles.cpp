// SPDX-License-Identifier: MIT
#include "testfiles.h"

#include "recordingformat.h"
#include "rtp2jpeg.h"
#include "testpattern.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImageWriter>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

QImage solidFrame(int width, int height, QColor color)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(color);
    return image;
}

QByteArray jpegFile(const QImage& image, int quality, bool progressive)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    writer.setProgressiveScanWrite(progressive);
    writer.write(image);
    return bytes;
}

QByteArray jpegSegment(int code, const QByteArray& payload)
{
    const int length = int(payload.size()) + 2;
    QByteArray s;
    s.append(char(0xFF));
    s.append(char(code));
    s.append(char((length >> 8) & 0xFF));
    s.append(char(length & 0xFF));
    return s + payload;
}

QByteArray app9Segment(quint16 field, quint32 seconds, quint32 micros)
{
    return jpegSegment(0xE9,
                       simlib::app9Payload({field, std::int32_t(seconds), std::int32_t(micros)}));
}

QByteArray patternJpeg(int width, int height, int number, const simlib::JpegEncodeOptions& options,
                       int components)
{
    const QByteArray pixels = simlib::renderTestPattern(width, height, components, number);
    return simlib::encodeJpeg(ubytes(pixels), width, height, components, options);
}

int patternNumber(QImage picture, QSize frameSize)
{
    if (picture.isNull())
        return -1;
    if (frameSize.isValid())
        picture = picture.scaled(frameSize, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    const QImage img = picture.convertToFormat(QImage::Format_RGB888);
    return simlib::readPatternNumber(img.constBits(), img.width(), img.height(), 3,
                                     int(img.bytesPerLine()));
}

QByteArray withDeclaredSize(QByteArray jpeg, int width, int height)
{
    for (qsizetype i = 2; i + 8 < jpeg.size(); ++i) {
        if (uchar(jpeg[i]) != 0xFF || (uchar(jpeg[i + 1]) != 0xC0 && uchar(jpeg[i + 1]) != 0xC2))
            continue;
        jpeg[i + 5] = char(height >> 8);
        jpeg[i + 6] = char(height & 0xFF);
        jpeg[i + 7] = char(width >> 8);
        jpeg[i + 8] = char(width & 0xFF);
        return jpeg;
    }
    return QByteArray();
}

QByteArray imageFile(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.write(image);
    return bytes;
}

qsizetype jpegMarkerAt(const QByteArray& jpeg, int code, qsizetype from)
{
    for (qsizetype i = from; i + 1 < jpeg.size(); ++i)
        if (uchar(jpeg[i]) == 0xFF && uchar(jpeg[i + 1]) == code)
            return i;
    return -1;
}

QByteArray withRepeatedLastScan(const QByteArray& jpeg, int copies)
{
    qsizetype last = -1;
    for (qsizetype at = jpegMarkerAt(jpeg, 0xDA); at >= 0; at = jpegMarkerAt(jpeg, 0xDA, at + 2))
        last = at;
    const int length = (uchar(jpeg[last + 2]) << 8) | uchar(jpeg[last + 3]);
    const QByteArray header = jpeg.mid(last, 2 + length);
    const qsizetype eoi = jpeg.size() - 2;
    QByteArray out = jpeg.left(eoi);
    for (int i = 0; i < copies; ++i)
        out += header;
    return out + jpeg.right(2);
}

ReferenceHeader referenceHeader(const QByteArray& file)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(file.constData());
    const qsizetype n = std::min<qsizetype>(file.size(), Rtp2Jpeg::HeaderStoreBytes);
    return std::vector<unsigned char>(bytes, bytes + n);
}

QByteArray recordingPart(const QByteArray& type, const QByteArray& body, qint64 timeUs)
{
    return recording::partHeader(type, body.size(), timeUs) + body + recording::PartTrailer;
}

QByteArray deviceGroup(int index, int port, const QString& keys)
{
    return QStringLiteral("[dev%1]\nhost=127.0.0.1\nport=%2\n").arg(index).arg(port).toUtf8()
           + keys.toUtf8();
}

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(content), content.size());
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int countLines(const QString& path, const QRegularExpression& pattern)
{
    int n = 0;
    for (const QString& line : QString::fromUtf8(readFile(path)).split(QLatin1Char('\n')))
        n += pattern.match(line).hasMatch() ? 1 : 0;
    return n;
}

int countLines(const QString& path, const QString& suffix)
{
    return countLines(path,
                      QRegularExpression(QRegularExpression::escape(suffix) + QStringLiteral("$")));
}

QByteArray numberedGrayFrame(quint32 k, QSize size)
{
    QByteArray f(size.width() * size.height(), '\0');
    std::memcpy(f.data(), &k, sizeof k);
    for (int i = 4; i < f.size(); ++i)
        f[i] = char((k * 7 + quint32(i) * 13) & 0xFF);
    return f;
}

qint64 numberedGrayFrameNumber(const QImage& image, QSize size)
{
    if (image.size() != size)
        return -1;
    QByteArray pixels;
    for (int y = 0; y < size.height(); ++y)
        pixels += QByteArray(reinterpret_cast<const char*>(image.constScanLine(y)), size.width());
    quint32 k = 0;
    std::memcpy(&k, pixels.constData(), sizeof k);
    return pixels == numberedGrayFrame(k, size) ? qint64(k) : -1;
}

QString pathOfKind(const QString& folder, const QString& kind, const QByteArray& content)
{
    if (kind.startsWith(QLatin1Char('/')))
        return kind;
    const QString path = QDir(folder).filePath(kind);
    if (kind == QLatin1String("file"))
        writeFile(path, content);
    else if (kind == QLatin1String("fifo")
             && ::mkfifo(QFile::encodeName(path).constData(), 0600) != 0)
        return {};
    else if (kind == QLatin1String("folder"))
        QDir(folder).mkpath(kind);
    return path;
}

QList<QByteArray> h264AccessUnits(const QByteArray& annexB)
{
    // NAL units: from behind one start code to the next (00 00 01, with
    // any zero bytes before it left to the start code).
    QList<QByteArray> units;
    const qsizetype n = annexB.size();
    const auto startCodeAt = [&](qsizetype i) {
        return i + 2 < n && annexB[i] == 0 && annexB[i + 1] == 0 && annexB[i + 2] == 1;
    };
    qsizetype i = 0;
    while (i < n && !startCodeAt(i))
        ++i;
    while (i < n) {
        const qsizetype begin = i + 3;
        qsizetype end = begin;
        while (end < n && !startCodeAt(end))
            ++end;
        qsizetype last = end;
        while (end < n && last > begin && annexB[last - 1] == 0)
            --last;
        const QByteArray nal = annexB.mid(begin, last - begin);
        if (!nal.isEmpty()) {
            if ((nal[0] & 0x1F) == 9 || units.isEmpty())
                units.append(QByteArray());
            units.last() += raw("\0\0\0\1") + nal;
        }
        i = end;
    }
    return units;
}

bool ffmpegH264Stream(QSize size, int frames, int gop, QByteArray* stream, QByteArray* rgb,
                      QString* error)
{
    const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    if (ffmpeg.isEmpty()) {
        *error = QStringLiteral("ffmpeg is not installed");
        return false;
    }
    QTemporaryDir dir;
    const QString h264 = dir.filePath(QStringLiteral("stream.h264"));
    const QString decoded = dir.filePath(QStringLiteral("stream.rgb"));
    const auto run = [&](const QStringList& args) {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(ffmpeg, QStringList{"-hide_banner", "-loglevel", "error", "-y"} + args);
        const bool ok = process.waitForFinished(60000)
                        && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        if (!ok)
            *error = QStringLiteral("ffmpeg %1: %2")
                         .arg(args.join(u' '), QString::fromLocal8Bit(process.readAll()));
        return ok;
    };
    const QString source =
        QStringLiteral("testsrc=size=%1x%2:rate=25").arg(size.width()).arg(size.height());
    if (!run({"-f", "lavfi", "-i", source, "-frames:v", QString::number(frames), "-c:v", "libx264",
              "-pix_fmt", "yuv420p", "-g", QString::number(gop), "-bf", "0", "-bsf:v",
              "h264_metadata=aud=insert", "-f", "h264", h264}))
        return false;
    *stream = readFile(h264);
    if (rgb != nullptr) {
        if (!run({"-i", h264, "-f", "rawvideo", "-pix_fmt", "rgb24", decoded}))
            return false;
        *rgb = readFile(decoded);
    }
    return !stream->isEmpty();
}
