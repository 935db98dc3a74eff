// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>

#include <cstdint>

// Baseline JPEG encoding on libjpeg's compression API, with the knobs a
// simulated camera needs: quality, restart interval, chroma sampling and an
// optional APP9 time stamp segment right behind SOI.
namespace simlib {

enum class Sampling
{
    YCbCr420, // luminance H 2 V 2, chrominance H 1 V 1 (RTP/JPEG type 1)
    YCbCr422, // luminance H 2 V 1 (RTP/JPEG type 0)
    YCbCr444, // every component H 1 V 1
};

// The APP9 payload: a 16-bit field, then seconds and microseconds as signed
// 32-bit numbers, all big-endian (10 bytes).
struct FrameTimestamp
{
    std::uint16_t field = 0;
    std::int32_t seconds = 0;
    std::int32_t microseconds = 0;
};

struct JpegEncodeOptions
{
    int quality = 80;        // 1 ... 100, libjpeg's scaling of the standard tables
    int restartInterval = 0; // in MCUs; 0 writes no DRI segment
    Sampling sampling = Sampling::YCbCr420;
    bool writeJfif = true; // the APP0 JFIF segment
    bool writeTimestamp = false;
    FrameTimestamp timestamp; // used when writeTimestamp is set
};

// Encodes width x height pixels: components 3 is packed RGB (8 bits each),
// components 1 is 8-bit gray. `stride` is the distance between rows in bytes
// (0 = width * components). Returns an empty array on invalid arguments or
// when libjpeg reports an error.
QByteArray encodeJpeg(const unsigned char* pixels, int width, int height, int components,
                      const JpegEncodeOptions& options, int stride = 0);

// The 10-byte APP9 payload for `ts`.
QByteArray app9Payload(const FrameTimestamp& ts);

// `jpeg` (written by encodeJpeg without a time stamp) with the APP9 segment
// of `ts` put where encodeJpeg writes it: after the JFIF APP0 segment, or
// after SOI when there is none. The result is byte for byte what encodeJpeg
// writes with the time stamp. Empty when `jpeg` does not start with SOI.
QByteArray withApp9Timestamp(const QByteArray& jpeg, const FrameTimestamp& ts);

// Reads the APP9 time stamp of a JPEG written by encodeJpeg (or any JPEG
// whose APP9 segment comes before SOF0). Returns false when there is none.
bool readApp9Timestamp(const QByteArray& jpeg, FrameTimestamp* ts);

} // namespace simlib
