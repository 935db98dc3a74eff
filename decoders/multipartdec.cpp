// SPDX-License-Identifier: MIT
#include "multipartdec.h"

#include "framelimits.h"
#include "framesink.h"

#include <QString>

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>

namespace {
constexpr char CR = 13;
constexpr char LF = 10;
constexpr char TypePrefix[] = "Content-Type: ";
constexpr char LengthPrefix[] = "Content-Length: ";
constexpr int TypePrefixLen = sizeof TypePrefix - 1;
constexpr int LengthPrefixLen = sizeof LengthPrefix - 1;

// The first occurrence of `text` in p[0 .. n), or nullptr.
const unsigned char* findText(const unsigned char* p, int n, const char* text, int textLen)
{
#ifdef _WIN32
    const auto* t = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* hit =
        std::search(p, p + n, std::boyer_moore_horspool_searcher(t, t + textLen));
    return hit == p + n ? nullptr : hit;
#else
    return static_cast<const unsigned char*>(memmem(p, std::size_t(n), text, std::size_t(textLen)));
#endif
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
} // namespace

MultipartDec::MultipartDec(FrameSink* sink, Framing framing) : m_worker(sink), m_framing(framing)
{
    Q_ASSERT(sink != nullptr);
    std::strncpy(m_boundary, BoundaryText, sizeof m_boundary - 1);
    m_boundary[sizeof m_boundary - 1] = '\0';
    m_boundaryLen = int(std::strlen(m_boundary));
    prepareMatcher();
    // The fixed boundary keeps the run-wise scan.
    Q_ASSERT(m_leadRun > 0);
}

MultipartDec::~MultipartDec() = default;

bool MultipartDec::HeaderLine::startsWith(const char* prefix, int prefixLen) const
{
    return len >= prefixLen && std::memcmp(text, prefix, std::size_t(prefixLen)) == 0;
}

int MultipartDec::parseDecimal(const char* text, int len)
{
    int i = 0;
    while (i < len && isBlank(text[i]))
        ++i;
    while (len > i && isBlank(text[len - 1]))
        --len;
    bool negative = false;
    if (i < len && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= len)
        return 0;
    long long value = 0;
    for (; i < len; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return 0;
        value = value * 10 + (text[i] - '0');
        if (value > (long long)INT_MAX + 1)
            return 0; // out of range, before it could overflow
    }
    if (negative)
        value = -value;
    if (value > INT_MAX || value < INT_MIN)
        return 0;
    return int(value);
}

void MultipartDec::decode(const unsigned char* data, int len)
{
    FrameSink& w = *m_worker;
    int i = 0;
    // A stream block that starts inside a body is stored with one copy; the
    // last two body bytes always go through the byte loop so that the frame
    // is finished and delivered there.
    if (m_framing == Framing::Stream && m_matchPos == 0 && m_hdrState == HeaderState::Searching) {
        i = (m_remaining > len) ? len : m_remaining - 1;
        // The copy skips the matcher, so it ends where the boundary text
        // occurs (a Content-Length longer than its body must not swallow the
        // parts behind it) and leaves the block's last bytes to the byte
        // loop, where a boundary cut by the block's end is matched.
        i = std::min(i, len - (m_boundaryLen - 1));
        if (i > 0) {
            // A boundary that begins before i may end behind it: the search
            // covers every boundary that begins within the copy.
            const int searched = std::min(len, i + m_boundaryLen - 1);
            const unsigned char* found = findText(data, searched, m_boundary, m_boundaryLen);
            if (found != nullptr && found - data < i)
                i = int(found - data);
        }
        if (i > 0)
            copyBody(data, i);
        else
            i = 0;
    }
    int j = i;
    while (j < len) {
        if (m_hdrState == HeaderState::Searching && m_matchPos == 0 && m_leadRun > 0) {
            // Searching, or inside a body, with no boundary byte matched:
            // the bytes up to the next place where the boundary could begin
            // (ending at the latest with the body) only move the matcher,
            // whose position after them is computed, and are taken in one
            // step.
            int n = len - j;
            if (m_remaining >= 0 && m_remaining < n)
                n = m_remaining + 1;
            int matchPos = 0;
            n = quietRun(data + j, n, &matchPos);
            if (n > 0) {
                takeRun(data + j, n);
                m_matchPos = matchPos;
                j += n;
                // Nothing a delivery depends on changes within the run but
                // at its end.
                w.deliverIfRequested();
                continue;
            }
        }
        const char c = char(data[j++]);
        matchBoundary(c);
        headerByte(c);
        if (m_remaining >= 0) {
            if (!w.putByte(static_cast<unsigned char>(c))) {
                // Cannot happen while lengths are bounded by MaxFrameBytes;
                // the sink restarted the frame, so the part is dropped.
                Q_ASSERT(false);
                m_remaining = -1;
            } else if (m_remaining-- == 0) {
                finishBody();
            } else if (m_bytesAfterBoundary >= 0) {
                ++m_bytesAfterBoundary;
            }
        }
        w.deliverIfRequested();
    }
}

int MultipartDec::quietRun(const unsigned char* p, int n, int* matchPos) const
{
    // The boundary starts with m_leadRun copies of one byte, then another
    // byte. From position 0, a run of r lead bytes leaves the matcher at
    // min(r, m_leadRun): lead bytes beyond a full run keep it there. Any
    // other byte then resets it to 0, except the boundary's next byte right
    // after a full run: only there can the matcher get further.
    const auto lead = static_cast<unsigned char>(m_boundary[0]);
    const auto next = static_cast<unsigned char>(m_boundary[m_leadRun]);
    *matchPos = 0;
    int k = 0;
    while (k < n) {
        const void* hit = std::memchr(p + k, lead, std::size_t(n - k));
        if (hit == nullptr)
            return n;
        const int start = int(static_cast<const unsigned char*>(hit) - p);
        int end = start + 1;
        while (end < n && p[end] == lead)
            ++end;
        const int position = std::min(end - start, m_leadRun);
        if (end == n) {
            *matchPos = position;
            return n;
        }
        if (position == m_leadRun && p[end] == next)
            return end - m_leadRun; // the matcher is at 0 here; the boundary may begin
        k = end + 1;
    }
    return n;
}

void MultipartDec::takeRun(const unsigned char* data, int n)
{
    if (m_remaining < 0)
        return; // between parts: the bytes are ignored
    // Byte by byte the buffer would grow each time it filled; one growth to
    // the same final capacity keeps the same content.
    if (!m_worker->appendBytes(data, n)) {
        // Cannot happen while lengths are bounded by MaxFrameBytes; never
        // write past the buffer if it did.
        Q_ASSERT(false);
        m_remaining = -1;
        m_worker->restartFrame();
        return;
    }
    m_remaining -= n;
    if (m_remaining < 0)
        finishBody(); // the run ended with the body's last byte
}

void MultipartDec::copyBody(const unsigned char* data, int n)
{
    if (m_remaining >= 0 && !m_worker->appendBytes(data, n)) {
        // As in takeRun: bounded lengths always fit; drop the part if not.
        Q_ASSERT(false);
        m_remaining = -1;
        m_worker->restartFrame();
        return;
    }
    m_remaining -= n;
}

void MultipartDec::finishBody()
{
    if (m_openBody) {
        // No delimiter within the frame bound: not a frame.
        m_openBody = false;
        m_worker->restartFrame();
        return;
    }
    // A body that ends while the header of a part that began inside it is
    // read holds that header's first bytes: the part was cut short.
    const bool cut = m_bytesAfterBoundary > 0 && m_hdrState != HeaderState::Searching;
    m_bytesAfterBoundary = -1;
    if (cut) {
        ++m_partsCutShort;
        m_worker->restartFrame();
        return;
    }
    m_worker->finishFrame();
}

void MultipartDec::matchBoundary(char c)
{
    if (c == m_boundary[m_matchPos]) {
        if (m_matchPos == m_boundaryLen - 1) {
            m_hdrState = HeaderState::BoundaryLine;
            m_matchPos = 0;
            m_boundarySeen = true;
            // Inside a body the boundary may be data, or the start of a part
            // that cuts this one short; its header decides. A body without
            // a length ends here.
            if (m_openBody)
                closeOpenBody();
            else if (m_remaining >= 0)
                m_bytesAfterBoundary = 0;
        } else {
            ++m_matchPos;
        }
    } else if (static_cast<unsigned char>(c) == static_cast<unsigned char>(m_boundary[0])
               && m_leadRun > 0) {
        // A lead byte after a full lead run keeps the run matched, so any
        // number of dashes may stand before the boundary text (a sender that
        // writes "--" in front of it); elsewhere it starts a new run.
        m_matchPos = (m_matchPos == m_leadRun) ? m_leadRun : 1;
    } else if (m_leadRun > 0) {
        m_matchPos = 0;
    } else {
        // The longest matched part that c can still extend.
        int pos = m_matchPos;
        while (pos > 0 && c != m_boundary[pos])
            pos = m_fallback[pos - 1];
        m_matchPos = c == m_boundary[pos] ? pos + 1 : 0;
    }
}

void MultipartDec::appendToLine(HeaderLine& line, char c, HeaderState nextState)
{
    if (line.len >= MaxHeaderLine) {
        m_hdrState = HeaderState::Searching;
        m_bytesAfterBoundary = -1; // no part: the boundary was data
        return;
    }
    if (c != CR && c != LF)
        line.text[line.len++] = c;
    if (c == LF)
        m_hdrState = nextState;
}

void MultipartDec::headerByte(char c)
{
    switch (m_hdrState) {
    case HeaderState::BoundaryLine:
        if (c == LF) {
            m_typeLine.len = 0;
            m_lengthLine.len = 0;
            m_hdrState = m_announced ? HeaderState::PartHeaders : HeaderState::TypeLine;
            m_partHeaderLines = 0;
            m_lengthGiven = false;
            m_contentLength = 0;
        }
        break;
    case HeaderState::PartHeaders:
        partHeaderByte(c);
        break;
    case HeaderState::TypeLine:
        appendToLine(m_typeLine, c, HeaderState::LengthLine);
        break;
    case HeaderState::LengthLine:
        appendToLine(m_lengthLine, c, HeaderState::FirstGapByte);
        break;
    case HeaderState::FirstGapByte:
        // The empty line after the headers: CR LF, or a bare LF as many
        // embedded senders write it, after which the body starts at once.
        m_hdrState = c == LF ? HeaderState::BodyStart : HeaderState::SecondGapByte;
        parseHeaderLines();
        break;
    case HeaderState::SecondGapByte:
        m_hdrState = HeaderState::BodyStart;
        break;
    case HeaderState::BodyStart:
        // Lengths beyond the frame bound are skipped without allocating.
        if (m_contentLength > 0 && m_contentLength <= MaxFrameBytes) {
            if (m_remaining >= 0)
                ++m_partsCutShort; // a new part began inside the last one's body
            m_remaining = m_contentLength - 1;
            m_worker->restartFrame();
        } else if (m_announced && !m_lengthGiven) {
            // Up to the next delimiter, within the frame bound (the byte
            // the sink keeps free behind a frame included).
            if (m_remaining >= 0)
                ++m_partsCutShort;
            m_openBody = true;
            m_remaining = MaxFrameBytes - 2;
            m_worker->restartFrame();
        }
        m_bytesAfterBoundary = -1;
        m_hdrState = HeaderState::Searching;
        break;
    case HeaderState::Searching:
        break; // only the boundary matcher leaves this state
    }
}

void MultipartDec::parseHeaderLines()
{
    if (m_typeLine.startsWith(TypePrefix, TypePrefixLen)) {
        m_worker->setContentType(
            QString::fromLatin1(m_typeLine.text + TypePrefixLen, m_typeLine.len - TypePrefixLen));
    } else {
        m_hdrState = HeaderState::Searching;
    }
    if (m_lengthLine.startsWith(LengthPrefix, LengthPrefixLen))
        m_contentLength =
            parseDecimal(m_lengthLine.text + LengthPrefixLen, m_lengthLine.len - LengthPrefixLen);
    else
        m_hdrState = HeaderState::Searching;
    if (m_hdrState == HeaderState::Searching)
        m_bytesAfterBoundary = -1; // no part: the boundary was data
    m_worker->restartFrame();
}
