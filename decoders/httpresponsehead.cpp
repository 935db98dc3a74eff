// SPDX-License-Identifier: MIT
#include "httpresponsehead.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t MaxMediaTypeChars = 64;
constexpr std::size_t MaxSchemeChars = 32;

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool equalsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lower(x) == lower(y);
           });
}

// Characters of a token (RFC 9110): what a header name, a media type or
// an authentication scheme consists of.
bool isTokenChar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != '\0';
}

// Printable ASCII of `s`, at most `max` characters: text from the wire that
// is shown to the user.
std::string printable(std::string_view s, std::size_t max)
{
    std::string out;
    for (char c : s) {
        if (out.size() >= max)
            break;
        if (c >= 0x20 && c < 0x7f)
            out += c;
    }
    return out;
}

// Splits `s` at `separator` outside quoted strings; the pieces are views
// into `s`.
std::vector<std::string_view> splitOutsideQuotes(std::string_view s, char separator,
                                                 std::size_t maxPieces)
{
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < s.size() && pieces.size() < maxPieces; ++i) {
        const char c = s[i];
        if (quoted && c == '\\') {
            ++i; // the escaped character
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && c == separator) {
            pieces.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    }
    if (pieces.size() < maxPieces && start <= s.size())
        pieces.push_back(s.substr(start));
    return pieces;
}

// A parameter value: a quoted string with its escapes resolved, or a token
// as written.
std::string parameterValue(std::string_view v)
{
    v = trimmed(v);
    if (v.empty() || v.front() != '"')
        return std::string(v);
    std::string out;
    for (std::size_t i = 1; i < v.size(); ++i) {
        if (v[i] == '"')
            break;
        if (v[i] == '\\' && i + 1 < v.size())
            ++i;
        out += v[i];
    }
    return out;
}

bool isJpegType(std::string_view type)
{
    return type == "image/jpeg" || type == "image/jpg" || type == "image/pjpeg";
}

// The spelling a known scheme is named with; others as offered.
std::string schemeName(std::string_view token)
{
    for (const char* known : {"Basic", "Digest", "Bearer", "Negotiate", "NTLM"}) {
        if (equalsNoCase(token, known))
            return known;
    }
    return printable(token, MaxSchemeChars);
}

} // namespace

ContentTypeInfo ContentTypeInfo::parse(std::string_view value)
{
    ContentTypeInfo info;
    const std::vector<std::string_view> pieces = splitOutsideQuotes(value, ';', 64);
    const std::string_view type = pieces.empty() ? std::string_view() : trimmed(pieces.front());
    if (type.empty())
        return info;
    std::string media = printable(type, MaxMediaTypeChars);
    std::transform(media.begin(), media.end(), media.begin(), lower);
    info.mediaType = media;
    if (isJpegType(media)) {
        info.kind = Kind::Jpeg;
        return info;
    }
    info.kind = Kind::Other;
    if (media.rfind("multipart/", 0) != 0)
        return info;

    std::string boundary;
    bool found = false;
    for (std::size_t k = 1; k < pieces.size(); ++k) {
        const std::string_view parameter = trimmed(pieces[k]);
        const std::size_t eq = parameter.find('=');
        if (eq == std::string_view::npos)
            continue;
        if (equalsNoCase(trimmed(parameter.substr(0, eq)), "boundary")) {
            boundary = parameterValue(parameter.substr(eq + 1));
            found = true;
            break;
        }
    }
    // Many senders write the dashes of the delimiter into the parameter
    // too; the dashes in front are not part of what is matched, since the
    // decoder accepts any number of them before the delimiter.
    const std::size_t firstNonDash = boundary.find_first_not_of('-');
    if (firstNonDash != std::string::npos)
        boundary.erase(0, firstNonDash);
    const bool usable = !boundary.empty() && boundary.size() <= MaxBoundaryLen
                        && std::all_of(boundary.begin(), boundary.end(),
                                       [](char c) { return c > 0x20 || c == ' '; })
                        && boundary.back() != ' ' && boundary.find('\x7f') == std::string::npos;
    if (!found) {
        info.problem = "no boundary";
    } else if (!usable) {
        info.problem = boundary.size() > MaxBoundaryLen ? "boundary longer than 70 characters"
                                                        : "unusable boundary";
    } else {
        info.kind = Kind::Multipart;
        info.delimiter = "--" + boundary;
    }
    return info;
}

void HttpResponseHead::addLine(const char* data, std::size_t len)
{
    if (len > MaxLineBytes) {
        m_overflowed = true;
        return;
    }
    const std::string_view line(data, len);
    // A status line starts a response of its own: after a redirect or an
    // authentication round the earlier one no longer counts.
    if (line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
        clear();
        parseStatusLine(trimmed(line));
        return;
    }
    if (trimmed(line).empty()) {
        m_complete = m_status > 0;
        return;
    }
    if (++m_lines > MaxHeaderLines) {
        m_overflowed = true;
        return;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = trimmed(line.substr(colon + 1));
    if (equalsNoCase(name, "Content-Type"))
        m_contentType = std::string(value);
    else if (equalsNoCase(name, "WWW-Authenticate"))
        addChallenges(value);
}

void HttpResponseHead::parseStatusLine(std::string_view line)
{
    // "HTTP/1.1 404 Not Found", "HTTP/2 200"
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos)
        return;
    std::string_view rest = line.substr(space + 1);
    if (rest.size() < 3)
        return;
    int code = 0;
    for (int i = 0; i < 3; ++i) {
        if (rest[std::size_t(i)] < '0' || rest[std::size_t(i)] > '9')
            return;
        code = code * 10 + (rest[std::size_t(i)] - '0');
    }
    if (code < 100 || (rest.size() > 3 && rest[3] != ' '))
        return;
    m_status = code;
    m_reason = printable(trimmed(rest.substr(3)), MaxReasonChars);
}

void HttpResponseHead::addChallenges(std::string_view value)
{
    // Challenges and their parameters share one comma-separated list:
    // "Basic realm="a", Digest realm="b", nonce="c"". An element that is a
    // token alone, or a token followed by a blank and more, starts a
    // challenge; one whose token is followed by '=' is a parameter.
    for (std::string_view element : splitOutsideQuotes(value, ',', 64)) {
        element = trimmed(element);
        std::size_t n = 0;
        while (n < element.size() && isTokenChar(element[n]))
            ++n;
        if (n == 0 || (n < element.size() && element[n] != ' ' && element[n] != '\t'))
            continue;
        std::size_t next = n;
        while (next < element.size() && (element[next] == ' ' || element[next] == '\t'))
            ++next;
        if (next < element.size() && element[next] == '=')
            continue; // "realm = x": a parameter
        const std::string scheme = schemeName(element.substr(0, n));
        if (m_schemes.size() < MaxSchemes
            && std::find(m_schemes.begin(), m_schemes.end(), scheme) == m_schemes.end())
            m_schemes.push_back(scheme);
    }
}

std::string HttpResponseHead::statusText() const
{
    std::string text = "HTTP " + std::to_string(m_status);
    const std::string reason = m_reason.empty() ? std::string(standardReason(m_status)) : m_reason;
    if (!reason.empty())
        text += " " + reason;
    return text;
}

bool HttpResponseHead::looksLikeResponse(const unsigned char* data, std::size_t len)
{
    static constexpr char Prefix[] = "HTTP/1.";
    return len >= sizeof Prefix - 1 && std::memcmp(data, Prefix, sizeof Prefix - 1) == 0;
}

std::string_view HttpResponseHead::standardReason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return {};
    }
}
