// SPDX-License-Identifier: MIT
#pragma once

#include "multipartdec.h"

#include <QByteArray>

#include <cstdint>
#include <cstring>

// A recording is the multipart stream MultipartDec reads, one part per frame,
// with the receive time on the rest of the boundary line, which the decoder
// steps over:
//
//   ---jworudfg83h23lsow2z04 t=<microseconds since 1970, UTC>\r\n
//   Content-Type: <type as delivered>\r\n
//   Content-Length: <n>\r\n
//   \r\n
//   <n bytes exactly as delivered>\r\n
namespace recording {

inline constexpr char TimePrefix[] = " t=";

// Everything of a part in front of its body.
inline QByteArray partHeader(const QByteArray& contentType, std::int64_t length,
                             std::int64_t receiveTimeUs)
{
    QByteArray header;
    header.reserve(112 + contentType.size());
    header += MultipartDec::BoundaryText;
    header += TimePrefix;
    header += QByteArray::number(qint64(receiveTimeUs));
    header += "\r\nContent-Type: ";
    header += contentType;
    header += "\r\nContent-Length: ";
    header += QByteArray::number(qint64(length));
    header += "\r\n\r\n";
    return header;
}

// What follows each body.
inline constexpr char PartTrailer[] = "\r\n";
inline constexpr int PartTrailerLen = 2;

// Reads the time from the rest of a boundary line, p[0 .. len) being the
// bytes right after the boundary text. False when they do not start with
// " t=" and at least one digit (a part another sender wrote).
inline bool parseTime(const char* p, std::int64_t len, std::int64_t* timeUs)
{
    constexpr std::int64_t prefixLen = sizeof TimePrefix - 1;
    if (len < prefixLen + 1 || std::memcmp(p, TimePrefix, prefixLen) != 0)
        return false;
    std::int64_t value = 0;
    std::int64_t i = prefixLen;
    // 18 digits always fit 64 bits.
    for (; i < len && i < prefixLen + 18 && p[i] >= '0' && p[i] <= '9'; ++i)
        value = value * 10 + (p[i] - '0');
    if (i == prefixLen)
        return false;
    *timeUs = value;
    return true;
}

} // namespace recording
