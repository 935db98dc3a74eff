// SPDX-License-Identifier: MIT
#include "framemetadata.h"

#include "jpegsegments.h"

#include <cstdint>

namespace {

constexpr int SoiSearchLimit = 100; // SOI must start within the first 100 bytes
constexpr int MaxWalkBudget = 10000;
constexpr unsigned char MarkerPrefix = 0xFF;

// Minimum APP9 payload holding the 16-bit field.
constexpr int FieldBytes = 2;
// Minimum APP9 payload holding the field, seconds and microseconds.
constexpr int TimestampBytes = 10;

std::int32_t readInt32BigEndian(const unsigned char* p)
{
    const std::uint32_t v = (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16)
                            | (std::uint32_t(p[2]) << 8) | std::uint32_t(p[3]);
    return std::int32_t(v);
}

} // namespace

// The segments are walked from behind SOI (see jpegsegments.h for their
// layout) until APP9, the frame header or the walk's end.
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
        if (data[k] == MarkerPrefix && data[k + 1] == jpeg::MarkerSOI)
            break;
    }

    // The budget of 10000 bytes of segments ends a walk over a long header;
    // each step counts the segment's marker, length field and payload.
    std::int64_t budget = len >= MaxWalkBudget ? MaxWalkBudget : len / 2;
    jpeg::SegmentWalker walker(data, len, k + 2);
    jpeg::Segment segment;
    while (walker.next(&segment)) {
        if (segment.code == jpeg::MarkerSOF0)
            return false; // the time stamp must come before the frame header
        if (budget <= 0)
            return false;
        if (segment.code == jpeg::MarkerAPP9) {
            if (!walker.fits(segment))
                return false; // claimed payload runs past the frame
            *payload = data + segment.offset;
            *payloadLen = segment.length;
            return true;
        }
        budget -= segment.length + 4;
    }
    return false;
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
