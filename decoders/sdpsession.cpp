// SPDX-License-Identifier: MIT
#include "sdpsession.h"

#include "rtsptext.h"

#include <algorithm>

using namespace rtsptext;

namespace {

// The next blank-separated word of `rest`.
std::string_view word(std::string_view* rest)
{
    *rest = trim(*rest);
    const std::size_t end = rest->find_first_of(" \t");
    const std::string_view w = rest->substr(0, end);
    rest->remove_prefix(end == std::string_view::npos ? rest->size() : end);
    return w;
}

// c=IN IP4 224.2.1.1/127[/count]
SdpConnection parseConnection(std::string_view value)
{
    SdpConnection c;
    const std::string_view net = word(&value);
    const std::string_view addrType = word(&value);
    std::string_view address = word(&value);
    if (!equalsNoCase(net, "IN") || address.empty())
        return c;
    c.present = true;
    const std::size_t slash = address.find('/');
    if (slash != std::string_view::npos) {
        std::string_view rest = address.substr(slash + 1);
        const int ttl = number(rest.substr(0, rest.find('/')));
        c.ttl = ttl >= 0 && ttl <= 255 ? ttl : -1;
        address = address.substr(0, slash);
    }
    c.address = printable(address, 255);
    if (equalsNoCase(addrType, "IP4")) {
        const int firstOctet = number(address.substr(0, address.find('.')));
        c.multicast = firstOctet >= 224 && firstOctet <= 239;
    }
    return c;
}

// The encoding of the static payload types a viewer of pictures may meet.
std::string staticEncoding(int payloadType)
{
    switch (payloadType) {
    case 26:
        return "JPEG";
    case 32:
        return "MPV";
    case 34:
        return "H263";
    default:
        return {};
    }
}

std::string upper(std::string_view s)
{
    std::string out = printable(s, 64);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    }
    return out;
}

// a=rtpmap:<pt> <encoding>/<clock>[/<channels>] and a=fmtp:<pt> <params>
SdpFormat* formatOf(SdpMedia* media, std::string_view* value)
{
    if (media == nullptr)
        return nullptr;
    const int pt = number(word(value));
    for (SdpFormat& f : media->formats) {
        if (f.payloadType == pt && pt >= 0)
            return &f;
    }
    return nullptr;
}

void parseAttribute(SdpSession* session, SdpMedia* media, std::string_view attribute)
{
    const std::size_t colon = attribute.find(':');
    const std::string_view name = attribute.substr(0, colon);
    std::string_view value = colon == std::string_view::npos ? "" : attribute.substr(colon + 1);
    if (name == "control") {
        std::string& control = media != nullptr ? media->control : session->control;
        control = printable(trim(value), SdpSession::MaxLineBytes);
    } else if (name == "rtpmap") {
        if (SdpFormat* f = formatOf(media, &value)) {
            const std::string_view map = word(&value);
            const std::size_t slash = map.find('/');
            f->encoding = upper(map.substr(0, slash));
            if (slash != std::string_view::npos) {
                const std::string_view rest = map.substr(slash + 1);
                f->clockRate = std::max(0, number(rest.substr(0, rest.find('/'))));
            }
        }
    } else if (name == "fmtp") {
        if (SdpFormat* f = formatOf(media, &value))
            f->fmtp = printable(trim(value), SdpSession::MaxLineBytes);
    }
}

// m=<media> <port>[/<count>] <proto> <fmt> ...
SdpMedia parseMedia(std::string_view value)
{
    SdpMedia m;
    m.type = printable(word(&value), 32);
    const std::string_view ports = word(&value);
    const std::size_t slash = ports.find('/');
    const int port = number(ports.substr(0, slash));
    m.port = port <= 65535 ? std::max(port, 0) : 0;
    if (slash != std::string_view::npos)
        m.portCount = std::max(1, number(ports.substr(slash + 1)));
    m.proto = printable(word(&value), 64);
    while (m.formats.size() < SdpSession::MaxFormats) {
        const std::string_view fmt = word(&value);
        if (fmt.empty())
            break;
        const int pt = number(fmt);
        if (pt < 0 || pt > 127)
            continue;
        SdpFormat f;
        f.payloadType = pt;
        f.encoding = staticEncoding(pt);
        f.clockRate = f.encoding.empty() ? 0 : 90000;
        m.formats.push_back(std::move(f));
    }
    return m;
}

} // namespace

const SdpFormat* SdpMedia::format(int payloadType) const
{
    for (const SdpFormat& f : formats) {
        if (f.payloadType == payloadType)
            return &f;
    }
    return nullptr;
}

SdpSession SdpSession::parse(const unsigned char* data, std::size_t len)
{
    SdpSession s;
    const std::string_view text(reinterpret_cast<const char*>(data), std::min(len, MaxBytes));
    std::size_t at = 0;
    bool inMedia = false; // media beyond MaxMedia are skipped whole
    for (int n = 0; at < text.size() && n < MaxLines; ++n) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = trim(text.substr(at, end - at));
        at = end + 1;
        if (n == 0)
            s.valid = line == "v=0";
        // <type>=<value>, one letter
        if (line.size() < 2 || line[1] != '=' || line.size() > MaxLineBytes)
            continue;
        const std::string_view value = line.substr(2);
        SdpMedia* media = inMedia && !s.media.empty() ? &s.media.back() : nullptr;
        switch (line[0]) {
        case 'm':
            inMedia = s.media.size() < MaxMedia;
            if (inMedia)
                s.media.push_back(parseMedia(value));
            else
                at = text.size(); // nothing after a media left out is read
            break;
        case 'c':
            if (media != nullptr)
                media->connection = parseConnection(value);
            else if (s.media.empty())
                s.connection = parseConnection(value);
            break;
        case 'a':
            if (media != nullptr || s.media.empty())
                parseAttribute(&s, media, value);
            break;
        default:
            break;
        }
    }
    // A media without c= of its own is reached at the session's.
    for (SdpMedia& m : s.media) {
        if (!m.connection.present)
            m.connection = s.connection;
    }
    return s;
}

std::string resolveControlUrl(std::string_view base, std::string_view control)
{
    control = trim(control);
    if (control.empty() || control == "*")
        return std::string(base);
    if (startsWithNoCase(control, "rtsp://") || startsWithNoCase(control, "rtsps://")
        || startsWithNoCase(control, "rtspu://"))
        return std::string(control);
    if (control.front() == '/') {
        // scheme://authority of the base, then the path
        const std::size_t scheme = base.find("://");
        const std::size_t hostStart = scheme == std::string_view::npos ? 0 : scheme + 3;
        const std::size_t pathStart = base.find('/', hostStart);
        return std::string(base.substr(0, pathStart)) + std::string(control);
    }
    std::string url(base);
    if (url.empty() || url.back() != '/')
        url += '/';
    return url + std::string(control);
}
