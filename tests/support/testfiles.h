// SPDX-License-Identifier: MIT
// Bytes, images and files the tests build: literals with NUL bytes, JPEG
// files and segments, files written and read back.
#pragma once

#include "jpegheader.h"

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QString>

#include <cstddef>

// A QByteArray built from a literal with embedded NUL bytes intact.
template <std::size_t N> QByteArray raw(const char (&text)[N])
{
    return QByteArray(text, int(N - 1));
}

// A picture of one colour.
QImage solidFrame(int width, int height, QColor color);

// `image` encoded as a JPEG file by the toolkit's writer.
QByteArray jpegFile(const QImage& image, int quality = 95, bool progressive = false);

// One marker segment: 0xFF, the code, the big-endian length (payload + 2),
// the payload.
QByteArray jpegSegment(int code, const QByteArray& payload);

// `jpeg` with the picture size in its frame header (the first SOF0 or SOF2
// marker) rewritten; empty when there is no such marker.
QByteArray withDeclaredSize(QByteArray jpeg, int width, int height);

// The first bytes of `file` as the worker reads a reference file.
ReferenceHeader referenceHeader(const QByteArray& file);

// Writes `content` to `path`, replacing the file; a test failure when that
// does not succeed.
void writeFile(const QString& path, const QByteArray& content);
// The file's content, or nothing when it cannot be read.
QByteArray readFile(const QString& path);
