// SPDX-License-Identifier: MIT
#include "httprequest.h"

#include <cstring>

namespace simlib {

namespace {

constexpr int MaxLeadingEmptyLines = 2;

char lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

// RFC 9110 token characters (method and field names).
bool isTokenChar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool isToken(const char* p, qsizetype n)
{
    if (n <= 0)
        return false;
    for (qsizetype i = 0; i < n; ++i) {
        if (!isTokenChar(p[i]))
            return false;
    }
    return true;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// "METHOD SP target SP HTTP/1.x", nothing else.
bool parseRequestLine(const char* p, qsizetype n, HttpRequest* out)
{
    const char* sp1 = static_cast<const char*>(std::memchr(p, ' ', size_t(n)));
    if (!sp1)
        return false;
    const qsizetype methodLen = sp1 - p;
    const char* target = sp1 + 1;
    const qsizetype rest = n - methodLen - 1;
    const char* sp2 = static_cast<const char*>(std::memchr(target, ' ', size_t(rest)));
    if (!sp2)
        return false;
    const qsizetype targetLen = sp2 - target;
    const char* version = sp2 + 1;
    const qsizetype versionLen = rest - targetLen - 1;
    if (!isToken(p, methodLen) || targetLen <= 0)
        return false;
    for (qsizetype i = 0; i < targetLen; ++i) {
        const auto c = static_cast<unsigned char>(target[i]);
        if (c <= 0x20 || c == 0x7F)
            return false;
    }
    if (versionLen != 8 || std::memcmp(version, "HTTP/1.", 7) != 0 || version[7] < '0'
        || version[7] > '9')
        return false;
    out->method = QByteArray(p, methodLen);
    out->target = QByteArray(target, targetLen);
    out->minorVersion = version[7] - '0';
    return true;
}

// "name: value" with optional blanks around the value; no blank before the
// colon and no folded continuation lines.
bool parseField(const char* p, qsizetype n, HttpRequest* out)
{
    const char* colon = static_cast<const char*>(std::memchr(p, ':', size_t(n)));
    if (!colon || !isToken(p, colon - p))
        return false;
    qsizetype begin = colon - p + 1;
    qsizetype end = n;
    while (begin < end && isBlank(p[begin]))
        ++begin;
    while (end > begin && isBlank(p[end - 1]))
        --end;
    for (qsizetype i = begin; i < end; ++i) {
        const auto c = static_cast<unsigned char>(p[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7F)
            return false;
    }
    out->fields.append({QByteArray(p, colon - p), QByteArray(p + begin, end - begin)});
    return true;
}

} // namespace

bool equalsNoCase(const QByteArray& a, const char* b)
{
    const qsizetype n = qsizetype(std::strlen(b));
    if (a.size() != n)
        return false;
    for (qsizetype i = 0; i < n; ++i) {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

QByteArray HttpRequest::field(const char* name, bool* found) const
{
    for (const auto& [key, value] : fields) {
        if (equalsNoCase(key, name)) {
            if (found)
                *found = true;
            return value;
        }
    }
    if (found)
        *found = false;
    return {};
}

QByteArray HttpRequest::path() const
{
    QByteArray p = target;
    if (!p.startsWith('/')) {
        // Absolute form: scheme "://" authority, then the path.
        const qsizetype scheme = p.indexOf("://");
        const qsizetype slash = scheme < 0 ? -1 : p.indexOf('/', scheme + 3);
        p = slash < 0 ? QByteArray("/") : p.mid(slash);
    }
    const qsizetype query = p.indexOf('?');
    if (query >= 0)
        p.truncate(query);
    const qsizetype fragment = p.indexOf('#');
    if (fragment >= 0)
        p.truncate(fragment);
    return p;
}

bool HttpRequest::keepAlive() const
{
    // Connection is a list of options: "keep-alive", "close", others.
    bool close = false;
    bool keep = false;
    for (const auto& [key, value] : fields) {
        if (!equalsNoCase(key, "Connection"))
            continue;
        for (const QByteArray& option : value.split(',')) {
            const QByteArray o = option.trimmed();
            close = close || equalsNoCase(o, "close");
            keep = keep || equalsNoCase(o, "keep-alive");
        }
    }
    if (close)
        return false;
    return minorVersion >= 1 || keep;
}

bool HttpRequest::hasBody() const
{
    bool found = false;
    field("Transfer-Encoding", &found);
    if (found)
        return true;
    const QByteArray length = field("Content-Length", &found);
    if (!found)
        return false;
    // Anything but a plain zero is taken as a body, also an unreadable
    // length: the connection then ends after the answer.
    for (const char c : length) {
        if (c != '0')
            return true;
    }
    return length.isEmpty();
}

HttpParse parseHttpRequest(const char* data, qsizetype size, HttpRequest* out, qsizetype* consumed,
                           const HttpLimits& limits)
{
    *out = HttpRequest();
    *consumed = 0;
    const qsizetype scan = size < limits.maxHeadBytes ? size : limits.maxHeadBytes;
    qsizetype pos = 0;
    int lines = 0;
    int leadingEmpty = 0;
    bool haveRequestLine = false;
    while (pos < scan) {
        const char* start = data + pos;
        const char* nl = static_cast<const char*>(std::memchr(start, '\n', size_t(scan - pos)));
        if (!nl)
            break;
        qsizetype len = nl - start;
        if (len > 0 && start[len - 1] == '\r')
            --len;
        // A CR anywhere else within the line is not a line end.
        if (std::memchr(start, '\r', size_t(len)))
            return HttpParse::Bad;
        pos = (nl - data) + 1;
        if (len == 0) {
            if (haveRequestLine) {
                *consumed = pos;
                return HttpParse::Complete;
            }
            if (++leadingEmpty > MaxLeadingEmptyLines)
                return HttpParse::Bad;
            continue;
        }
        if (++lines > limits.maxLines)
            return HttpParse::TooLarge;
        if (!haveRequestLine) {
            if (!parseRequestLine(start, len, out))
                return HttpParse::Bad;
            haveRequestLine = true;
        } else if (isBlank(start[0]) || !parseField(start, len, out)) {
            return HttpParse::Bad;
        }
    }
    // Checked once every complete line has been looked at, so that a head
    // that is bad early is called bad rather than too large.
    return size >= limits.maxHeadBytes ? HttpParse::TooLarge : HttpParse::Incomplete;
}

} // namespace simlib
