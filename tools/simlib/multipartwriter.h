// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>

// The multipart stream a camera sends over TCP or in UDP datagrams: each part
// is the boundary text, CR LF, a "Content-Type: " line, a "Content-Length: "
// line, an empty line and the body.
namespace simlib {

inline constexpr const char* MultipartBoundary = "---jworudfg83h23lsow2z04";
inline constexpr const char* ContentTypeJpeg = "image/jpeg";
inline constexpr const char* ContentTypeGray = "video/x-raw-gray";
inline constexpr const char* ContentTypeGray16 = "video/x-raw-gray16";

// One complete part. The body is followed by CR LF, which a reader skips as
// bytes between parts.
QByteArray multipartPart(const QByteArray& contentType, const QByteArray& body);

// The header of a part (everything before the body) announcing `length`
// bytes, which need not be the real body length.
QByteArray multipartHeader(const QByteArray& contentType, long long length);

} // namespace simlib
