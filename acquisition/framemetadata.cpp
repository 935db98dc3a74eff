// SPDX-License-Identifier: MIT
#include "framemetadata.h"

#include <cstdint>

namespace {

constexpr int SoiSearchLimit = 100; // SOI must start within the first 100 bytes
constexpr int MaxWalkBudget = 10000;
constexpr unsigned char MarkerPrefix = 0xFF;
constexpr unsigned char Soi = 0xD8;
constexpr unsigned char Sof0 = 0xC0;
constexpr unsigned char App9 = 0xE9;

// Minimum APP9 payload holding the 16-bit field.
constexpr int FieldBytes = 2;
// Minimum APP9 payload holding the field, seconds and microseconds.
constexpr int TimestampBytes = 10;

std::int32_t readInt32BigEndian(const unsigned char* p)
{
    const std::uint32_t v = (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) |
                            (std::uint32_t(p[2]) << 8) | std::uint32_t(p[3]);
    return std::int32_t(v);
}

} // namespace

// A marker segment, ITU-T T.81 B.1.1.4:
//
//   +------+------+--------+--------+------------------------+
//   | 0xFF | code | len hi | len lo | payload (len - 2 bytes) |
//   +------+------+--------+--------+------------------------+
//
// The length counts its own two bytes and the payload, not the marker.
bool findApp9Segment(const unsigned char* data, int len, const unsigned char** payload,
                     int* payloadLen)
{
    if (payload == nullptr || payloadLen == nullptr)
        return false;
    *payload = nullptr;
    *payloadLen = -1;
    if (data == nullptr || len < 2)
        return false;

    // SOI at some k in 0..99; both of its bytes must lie inside the frame.
    int k = 0;
    for (;; ++k) {
        if (k >= SoiSearchLimit || k + 1 >= len)
            return false; // no SOI near the start of the frame
        if (data[k] == MarkerPrefix && data[k + 1] == Soi)
            break;
    }

    // The walk position and budget stay far below INT_MAX: p grows by at
    // most 65537 per step and the budget of 10000 ends the walk first.
    std::int64_t p = k + 2;
    std::int64_t budget = len >= MaxWalkBudget ? MaxWalkBudget : len / 2;
    for (;;) {
        if (p + 1 >= len)
            return false; // marker would run past the frame
        if (data[p] != MarkerPrefix)
            return false; // no marker where one is expected
        const unsigned char code = data[p + 1];
        if (code == Sof0)
            return false; // the time stamp must come before the frame header
        if (budget <= 0)
            return false;
        if (p + 3 >= len)
            return false; // length field would run past the frame
        const int segmentLen = data[p + 2] * 256 + data[p + 3];
        if (segmentLen < 2)
            return false; // a length that does not cover itself ends the walk
        if (code == App9) {
            const int bodyLen = segmentLen - 2;
            if (p + 4 + bodyLen > len)
                return false; // claimed payload runs past the frame
            *payload = data + p + 4;
            *payloadLen = bodyLen;
            return true;
        }
        const int step = segmentLen + 2;
        p += step;
        budget -= step;
    }
}

// APP9 time stamp payload, all fields big-endian:
//
//   offset 0  2 bytes  16-bit field
//   offset 2  4 bytes  seconds, signed
//   offset 6  4 bytes  microseconds, signed
//   offset 10 ...      ignored
bool readFrameTimestamp(const unsigned char* data, int len, unsigned short* field,
                        long long* timeUs)
{
    if (field == nullptr || timeUs == nullptr)
        return false;
    const unsigned char* payload = nullptr;
    int payloadLen = -1;
    if (!findApp9Segment(data, len, &payload, &payloadLen))
        return false;
    if (payloadLen < FieldBytes)
        return false;
    *field = static_cast<unsigned short>(payload[0] * 256 + payload[1]);
    if (payloadLen < TimestampBytes) {
        *timeUs = -1;
        return false;
    }
    const long long seconds = readInt32BigEndian(payload + 2);
    const long long micros = readInt32BigEndian(payload + 6);
    *timeUs = seconds * 1000000 + micros;
    return true;
}
