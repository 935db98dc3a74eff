// SPDX-License-Identifier: MIT
#include "rtspresponse.h"

#include "rtsptext.h"

#include <algorithm>

using namespace rtsptext;

namespace {

// The next item of a list separated by `separator`, outside quotes;
// `rest` keeps what follows.
std::string_view nextItem(std::string_view* rest, char separator)
{
    bool quoted = false;
    std::size_t i = 0;
    for (; i < rest->size(); ++i) {
        const char c = (*rest)[i];
        if (c == '"')
            quoted = !quoted;
        else if (c == separator && !quoted)
            break;
    }
    const std::string_view item = rest->substr(0, i);
    rest->remove_prefix(std::min(rest->size(), i + 1));
    return trim(item);
}

std::string unquoted(std::string_view v)
{
    v = trim(v);
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
        v = v.substr(1, v.size() - 2);
    return std::string(v.substr(0, RtspResponse::MaxValueChars));
}

// The length of the head at the start of `data` up to and with its empty
// line (CRLF CRLF, or bare LFs), looked for within MaxHeadBytes; 0 when
// there is none yet.
std::size_t headLength(const unsigned char* data, std::size_t len)
{
    const std::size_t window = std::min(len, RtspResponse::MaxHeadBytes);
    for (std::size_t i = 0; i < window; ++i) {
        if (data[i] != '\n')
            continue;
        if (i + 1 < len && data[i + 1] == '\n')
            return i + 2;
        if (i + 2 < len && data[i + 1] == '\r' && data[i + 2] == '\n')
            return i + 3;
    }
    return 0;
}

} // namespace

RtspTransport RtspTransport::parse(std::string_view value)
{
    RtspTransport t;
    std::string_view first = nextItem(&value, ',');
    const std::string_view profile = nextItem(&first, ';');
    if (profile.empty())
        return t;
    // RTP/AVP, RTP/AVP/UDP or RTP/AVP/TCP
    t.present = true;
    t.tcp = profile.size() >= 4 && equalsNoCase(profile.substr(profile.size() - 4), "/TCP");
    while (!first.empty()) {
        const std::string_view item = nextItem(&first, ';');
        const std::size_t eq = item.find('=');
        const std::string_view name = trim(item.substr(0, eq));
        const std::string_view v = eq == std::string_view::npos ? "" : trim(item.substr(eq + 1));
        if (equalsNoCase(name, "multicast"))
            t.multicast = true;
        else if (equalsNoCase(name, "unicast"))
            t.multicast = false;
        else if (equalsNoCase(name, "destination"))
            t.destination = unquoted(v);
        else if (equalsNoCase(name, "source"))
            t.source = unquoted(v);
        else if (equalsNoCase(name, "ssrc"))
            t.ssrc = unquoted(v);
        else if (equalsNoCase(name, "client_port"))
            range(v, 65535, &t.clientRtpPort, &t.clientRtcpPort);
        else if (equalsNoCase(name, "server_port"))
            range(v, 65535, &t.serverRtpPort, &t.serverRtcpPort);
        else if (equalsNoCase(name, "interleaved"))
            range(v, 255, &t.rtpChannel, &t.rtcpChannel);
        else if (equalsNoCase(name, "port"))
            range(v, 65535, &t.multicastRtpPort, &t.multicastRtcpPort);
        else if (equalsNoCase(name, "ttl")) {
            const int ttl = number(v);
            t.ttl = ttl <= 255 ? ttl : -1;
        }
    }
    return t;
}

RtspChallenge RtspChallenge::parse(std::string_view value)
{
    RtspChallenge c;
    value = trim(value);
    const std::size_t space = value.find_first_of(" \t");
    c.scheme = printable(value.substr(0, space), 32);
    std::string_view rest = space == std::string_view::npos ? "" : value.substr(space + 1);
    for (int n = 0; !rest.empty() && n < 32; ++n) {
        const std::string_view item = nextItem(&rest, ',');
        const std::size_t eq = item.find('=');
        if (eq == std::string_view::npos)
            continue;
        const std::string_view name = trim(item.substr(0, eq));
        const std::string v = unquoted(item.substr(eq + 1));
        if (equalsNoCase(name, "realm"))
            c.realm = v;
        else if (equalsNoCase(name, "nonce"))
            c.nonce = v;
        else if (equalsNoCase(name, "opaque"))
            c.opaque = v;
        else if (equalsNoCase(name, "algorithm"))
            c.algorithm = v;
        else if (equalsNoCase(name, "stale"))
            c.stale = equalsNoCase(v, "true");
        else if (equalsNoCase(name, "qop")) {
            c.qopOffered = true;
            std::string_view options = v;
            while (!options.empty()) {
                const std::string_view option = nextItem(&options, ',');
                c.qopAuth = c.qopAuth || equalsNoCase(option, "auth");
            }
        }
    }
    return c;
}

bool RtspChallenge::isDigest() const
{
    return equalsNoCase(scheme, "Digest");
}

bool RtspChallenge::isBasic() const
{
    return equalsNoCase(scheme, "Basic");
}

RtspResponse::Parse RtspResponse::parse(const unsigned char* data, std::size_t len,
                                        std::size_t* consumed)
{
    *this = RtspResponse();
    *consumed = 0;
    const std::size_t headEnd = headLength(data, len);
    // A head must start like one before waiting for more of it.
    constexpr std::string_view Version = "RTSP/1.";
    const std::size_t prefix = std::min(len, Version.size());
    if (!std::equal(data, data + prefix, Version.begin()))
        return Parse::Malformed;
    if (headEnd == 0)
        return len >= MaxHeadBytes ? Parse::TooLarge : Parse::NeedMore;

    const std::string_view head(reinterpret_cast<const char*>(data), headEnd);
    std::size_t at = 0;
    int lines = 0;
    while (at < head.size()) {
        std::size_t end = head.find('\n', at);
        if (end == std::string_view::npos)
            end = head.size();
        const std::string_view line = trim(head.substr(at, end - at));
        at = end + 1;
        if (lines == 0) {
            if (!parseStatusLine(line))
                return Parse::Malformed;
        } else if (!line.empty() && lines <= MaxHeaderLines) {
            parseHeader(line);
        }
        ++lines;
    }
    if (m_badLength)
        return Parse::Malformed;
    if (std::size_t(m_contentLength) > MaxBodyBytes)
        return Parse::TooLarge;
    const std::size_t bodyLen = std::size_t(m_contentLength);
    if (len - headEnd < bodyLen)
        return Parse::NeedMore;
    m_body.assign(reinterpret_cast<const char*>(data) + headEnd, bodyLen);
    *consumed = headEnd + bodyLen;
    return Parse::Complete;
}

bool RtspResponse::parseStatusLine(std::string_view line)
{
    // RTSP/1.0 SP 3DIGIT SP reason
    if (line.size() < 12 || line.substr(0, 7) != "RTSP/1." || line[8] != ' ')
        return false;
    const int status = number(line.substr(9, 3));
    if (status < 100 || (line.size() > 12 && line[12] != ' '))
        return false;
    m_status = status;
    m_reason = printable(trim(line.substr(12)), MaxReasonChars);
    return true;
}

void RtspResponse::parseHeader(std::string_view line)
{
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return;
    const std::string_view name = trim(line.substr(0, colon));
    const std::string_view value = trim(line.substr(colon + 1));
    if (equalsNoCase(name, "CSeq")) {
        m_cseq = number(value);
    } else if (equalsNoCase(name, "Content-Length")) {
        const int n = number(value);
        m_badLength = m_badLength || n < 0;
        m_contentLength = n < 0 ? 0 : n;
    } else if (equalsNoCase(name, "Session")) {
        std::string_view rest = value;
        m_session = printable(nextItem(&rest, ';'), 256);
        while (!rest.empty()) {
            const std::string_view item = nextItem(&rest, ';');
            if (!startsWithNoCase(item, "timeout="))
                continue;
            const int timeout = number(trim(item.substr(8)));
            if (timeout > 0)
                m_sessionTimeoutS = std::min(timeout, int(MaxSessionTimeoutS));
        }
    } else if (equalsNoCase(name, "Transport")) {
        m_transport = RtspTransport::parse(value);
    } else if (equalsNoCase(name, "WWW-Authenticate")) {
        if (m_challenges.size() < MaxChallenges)
            m_challenges.push_back(RtspChallenge::parse(value));
    } else if (equalsNoCase(name, "Location")) {
        m_location = printable(value, MaxValueChars);
    } else if (equalsNoCase(name, "Content-Base")) {
        m_contentBase = printable(value, MaxValueChars);
    } else if (equalsNoCase(name, "Content-Location")) {
        m_contentLocation = printable(value, MaxValueChars);
    } else if (equalsNoCase(name, "Content-Type")) {
        m_contentType = printable(value, 128);
    } else if (equalsNoCase(name, "Public")) {
        m_public = printable(value, 512);
    }
}

std::string RtspResponse::statusText() const
{
    // A known code reads the same whatever the server calls it, so that the
    // indicator's texts stay the same from camera to camera.
    const std::string_view standard = standardReason(m_status);
    const std::string reason = standard.empty() ? m_reason : std::string(standard);
    std::string text = "RTSP " + std::to_string(m_status);
    if (!reason.empty())
        text += " " + reason;
    return text;
}

std::string_view RtspResponse::standardReason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Moved Temporarily";
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
    case 454:
        return "Session Not Found";
    case 455:
        return "Method Not Valid in This State";
    case 459:
        return "Aggregate Operation Not Allowed";
    case 461:
        return "Unsupported Transport";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    default:
        return {};
    }
}

RtspResponse::Parse RtspServerRequest::parse(const unsigned char* data, std::size_t len,
                                             RtspServerRequest* request, std::size_t* consumed)
{
    *request = RtspServerRequest();
    *consumed = 0;
    // METHOD: upper-case letters and '_', then a blank; what starts
    // otherwise is no request.
    std::size_t at = 0;
    while (at < len && at < 32 && ((data[at] >= 'A' && data[at] <= 'Z') || data[at] == '_'))
        ++at;
    if (at < len && (at == 0 || data[at] != ' '))
        return RtspResponse::Parse::Malformed;
    const std::size_t headEnd = headLength(data, len);
    if (headEnd == 0)
        return len >= RtspResponse::MaxHeadBytes ? RtspResponse::Parse::TooLarge
                                                 : RtspResponse::Parse::NeedMore;
    const std::string_view head(reinterpret_cast<const char*>(data), headEnd);
    const std::string_view first = trim(head.substr(0, head.find('\n')));
    if (first.size() < 10 || first.substr(first.size() - 8, 7) != "RTSP/1.")
        return RtspResponse::Parse::Malformed;
    request->method.assign(head.substr(0, at));
    long long body = 0;
    std::size_t lineStart = head.find('\n') + 1;
    for (int lines = 0; lineStart < head.size() && lines < RtspResponse::MaxHeaderLines; ++lines) {
        std::size_t end = head.find('\n', lineStart);
        if (end == std::string_view::npos)
            end = head.size();
        const std::string_view line = trim(head.substr(lineStart, end - lineStart));
        lineStart = end + 1;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string_view name = trim(line.substr(0, colon));
        const std::string_view value = trim(line.substr(colon + 1));
        if (equalsNoCase(name, "CSeq"))
            request->cseq = number(value);
        else if (equalsNoCase(name, "Content-Length"))
            body = number(value);
    }
    if (body < 0)
        return RtspResponse::Parse::Malformed;
    if (std::size_t(body) > RtspResponse::MaxBodyBytes)
        return RtspResponse::Parse::TooLarge;
    if (len - headEnd < std::size_t(body))
        return RtspResponse::Parse::NeedMore;
    *consumed = headEnd + std::size_t(body);
    return RtspResponse::Parse::Complete;
}

bool RtspInterleaved::parse(const unsigned char* data, std::size_t len, RtspInterleaved* frame)
{
    if (len < HeaderBytes || data[0] != '$')
        return false;
    frame->channel = data[1];
    frame->length = std::size_t(data[2]) << 8 | data[3];
    return len - HeaderBytes >= frame->length;
}
