// SPDX-License-Identifier: MIT
// Bytes, images and files the tests build: literals with NUL bytes, JPEG
// files and segments, files written and read back.
#pragma once

#include "jpegencoder.h"
#include "jpegheader.h"

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QList>
#include <QRegularExpression>
#include <QString>

#include <cstddef>
#include <cstring>
#include <memory>

// A QByteArray built from a literal with embedded NUL bytes intact.
template <std::size_t N> QByteArray raw(const char (&text)[N])
{
    return QByteArray(text, int(N - 1));
}

// The bytes of `bytes` as the parsers take them.
inline const unsigned char* ubytes(const QByteArray& bytes)
{
    return reinterpret_cast<const unsigned char*>(bytes.constData());
}
// `len` bytes at `data` as a QByteArray.
inline QByteArray byteArray(const unsigned char* data, int len)
{
    return QByteArray(reinterpret_cast<const char*>(data), len);
}

// The first `len` bytes of `bytes` (all of them by default) copied into a
// heap block of exactly that size, so that a read past them is caught by the
// address sanitizer.
struct ExactCopy
{
    explicit ExactCopy(const QByteArray& bytes, qsizetype len = -1)
        : size(int(len < 0 ? bytes.size() : len)), data(new unsigned char[std::size_t(size)])
    {
        std::memcpy(data.get(), bytes.constData(), std::size_t(size));
    }
    unsigned char* get() const { return data.get(); }
    int size;
    std::unique_ptr<unsigned char[]> data;
};

// A picture of one colour.
QImage solidFrame(int width, int height, QColor color);

// `image` encoded as a JPEG file by the toolkit's writer.
QByteArray jpegFile(const QImage& image, int quality = 95, bool progressive = false);

// One marker segment: 0xFF, the code, the big-endian length (payload + 2),
// the payload.
QByteArray jpegSegment(int code, const QByteArray& payload);

// An APP9 time stamp segment: the field, then seconds and microseconds,
// big-endian.
QByteArray app9Segment(quint16 field, quint32 seconds, quint32 micros);

// simlib's test pattern number `number` (RGB, or gray for one component)
// encoded with `options`.
QByteArray patternJpeg(int width, int height, int number,
                       const simlib::JpegEncodeOptions& options = {}, int components = 3);
// The number simlib's test pattern carries in `picture`, read at
// `frameSize` (the picture's own size when not given); -1 when there is none.
int patternNumber(QImage picture, QSize frameSize = {});

// `jpeg` with the picture size in its frame header (the first SOF0 or SOF2
// marker) rewritten; empty when there is no such marker.
QByteArray withDeclaredSize(QByteArray jpeg, int width, int height);

// `image` in another format the toolkit writes ("png", "bmp", "gif").
QByteArray imageFile(const QImage& image, const char* format);

// The position of the first marker `code` (FF code) at or after `from`; -1
// when there is none.
qsizetype jpegMarkerAt(const QByteArray& jpeg, int code, qsizetype from = 2);

// A progressive file whose last scan header is repeated `copies` times
// before EOI, each without entropy-coded data: a dozen bytes that make the
// decoder process one more scan over every block of the picture.
QByteArray withRepeatedLastScan(const QByteArray& jpeg, int copies);

// Raw gray frame number k of `size`: k in the first four bytes, then a
// pattern that depends on k and the position, so that a torn or mixed frame
// is told from an intact one.
QByteArray numberedGrayFrame(quint32 k, QSize size);
// The number of an intact numberedGrayFrame shown as `image`, or -1.
qint64 numberedGrayFrameNumber(const QImage& image, QSize size);

// The first bytes of `file` as the worker reads a reference file.
ReferenceHeader referenceHeader(const QByteArray& file);

// One part of a recording as the recorder writes it.
QByteArray recordingPart(const QByteArray& type, const QByteArray& body, qint64 timeUs);

// One device group of the viewer's configuration: device `index` on
// 127.0.0.1:`port`, then `keys` as they are ("protocol=UDP\nsizeX=160\n").
QByteArray deviceGroup(int index, int port, const QString& keys = {});

// Writes `content` to `path`, replacing the file; a test failure when that
// does not succeed.
void writeFile(const QString& path, const QByteArray& content);
// The file's content, or nothing when it cannot be read.
QByteArray readFile(const QString& path);
// A path in `folder` of the kind a test asks for: "file" (written with
// `content`), "fifo", "folder", "missing", or an absolute path (/dev/zero)
// as it stands. Empty when the FIFO cannot be made.
QString pathOfKind(const QString& folder, const QString& kind, const QByteArray& content = {});
// The lines of the file at `path` that match `pattern`, or that end with
// `suffix`.
int countLines(const QString& path, const QRegularExpression& pattern);
int countLines(const QString& path, const QString& suffix);

// An H.264 byte stream in Annex B form cut into access units before each
// access unit delimiter (NAL type 9), with every NAL unit behind a 4-byte
// start code, as a device delivers them.
QList<QByteArray> h264AccessUnits(const QByteArray& annexB);

// An H.264 stream of `frames` test pictures of `size` made by ffmpeg
// (libx264, 4:2:0, an IDR picture every `gop` frames, no B-frames, access
// unit delimiters) and, when `rgb` is given, ffmpeg's own decode of it as
// packed 24-bit RGB frames. False, with the reason in `error`, when ffmpeg
// is missing or fails.
bool ffmpegH264Stream(QSize size, int frames, int gop, QByteArray* stream, QByteArray* rgb,
                      QString* error);
