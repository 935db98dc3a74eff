// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

// The head of an HTTP/1.x request (request line and header fields) as the
// simulated camera reads it from a client: plain parsing of the bytes
// received so far, within fixed bounds, so that a client sending an endless
// line or endless fields is refused instead of being buffered.
namespace simlib {

struct HttpRequest
{
    QByteArray method;  // as sent, e.g. "GET"
    QByteArray target;  // as sent, e.g. "/video.mjpg?fps=5"
    int minorVersion{}; // HTTP/1.<minorVersion>
    // Field names as sent, values without surrounding blanks, in order.
    QList<QPair<QByteArray, QByteArray>> fields;

    // The first field of that name (compared without regard to case), or
    // an empty array; `found` tells an empty value from a missing field.
    QByteArray field(const char* name, bool* found = nullptr) const;
    // The path the target names: the query left out, an absolute form
    // ("http://host:port/path") reduced to its path.
    QByteArray path() const;
    // Whether the connection may carry another request after the answer:
    // HTTP/1.1 unless "Connection: close", HTTP/1.0 only with
    // "Connection: keep-alive".
    bool keepAlive() const;
    // Whether a body follows the head (Content-Length other than 0, or
    // Transfer-Encoding).
    bool hasBody() const;
};

enum class HttpParse
{
    Incomplete, // the head has not ended yet within the bounds
    Complete,   // `*consumed` bytes were the head
    Bad,        // not an HTTP/1.x request head: answer 400
    TooLarge,   // longer than the bounds allow: answer 431
};

struct HttpLimits
{
    qsizetype maxHeadBytes = 8192; // request line, fields and line ends
    int maxLines = 100;            // request line and fields
};

// Parses the request head at the start of `data`. Lines end with CR LF or
// a bare LF; up to two empty lines before the request line are skipped.
// Only `size` bytes are read. On Complete, `*out` holds the request and
// `*consumed` the length of its head.
HttpParse parseHttpRequest(const char* data, qsizetype size, HttpRequest* out, qsizetype* consumed,
                           const HttpLimits& limits = {});

// Whether the two texts are equal when ASCII letters are compared without
// regard to case.
bool equalsNoCase(const QByteArray& a, const char* b);

} // namespace simlib
