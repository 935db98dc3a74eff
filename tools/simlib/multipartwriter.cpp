// SPDX-License-Identifier: MIT
#include "multipartwriter.h"

namespace simlib {

QByteArray multipartHeader(const QByteArray& contentType, long long length)
{
    QByteArray header;
    header.reserve(96 + contentType.size());
    header += MultipartBoundary;
    header += "\r\nContent-Type: ";
    header += contentType;
    header += "\r\nContent-Length: ";
    header += QByteArray::number(length);
    header += "\r\n\r\n";
    return header;
}

QByteArray multipartPart(const QByteArray& contentType, const QByteArray& body)
{
    QByteArray part = multipartHeader(contentType, body.size());
    part.reserve(part.size() + body.size() + 2);
    part += body;
    part += "\r\n";
    return part;
}

} // namespace simlib
