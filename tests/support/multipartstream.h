// SPDX-License-Identifier: MIT
// Builds multipart streams the way a device sends them.
#pragma once

#include <QByteArray>

inline QByteArray multipartPart(const QByteArray& body, const QByteArray& type = "image/jpeg")
{
    QByteArray part("---jworudfg83h23lsow2z04\r\nContent-Type: ");
    part += type;
    part += "\r\nContent-Length: ";
    part += QByteArray::number(body.size());
    part += "\r\n\r\n";
    part += body;
    part += "\r\n";
    return part;
}
