// SPDX-License-Identifier: MIT
// The multipart decoder's boundary matcher set-up, and what it does for a
// delimiter an HTTP response announced: part headers in any order and case
// up to an empty line, and bodies that end at the next delimiter.
#include "multipartdec.h"

#include "framesink.h"

#include <QString>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {
constexpr char CR = 13;
constexpr char LF = 10;

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
} // namespace

MultipartDec::MultipartDec(FrameSink* sink, std::string_view delimiter)
    : m_worker(sink), m_framing(Framing::Stream), m_announced(true)
{
    Q_ASSERT(sink != nullptr);
    const std::size_t len = std::min(delimiter.size(), std::size_t(MaxDelimiterLen));
    std::memcpy(m_boundary, delimiter.data(), len);
    m_boundary[len] = '\0';
    m_boundaryLen = int(len);
    if (m_boundaryLen == 0) {
        // Nothing announced: the fixed boundary.
        std::strncpy(m_boundary, BoundaryText, sizeof m_boundary - 1);
        m_boundaryLen = int(std::strlen(m_boundary));
    }
    prepareMatcher();
}

void MultipartDec::prepareMatcher()
{
    m_leadRun = 0;
    while (m_leadRun < m_boundaryLen && m_boundary[m_leadRun] == m_boundary[0])
        ++m_leadRun;
    if (m_leadRun >= m_boundaryLen - 1)
        m_leadRun = 0; // no run-wise scan for such a boundary: byte by byte only
    // The run-wise scan and the matcher's quick fallback after a mismatch
    // rely on the lead byte not coming back behind the lead run; any other
    // boundary is matched byte by byte with the fallback table.
    if (m_leadRun > 0
        && std::memchr(m_boundary + m_leadRun, m_boundary[0],
                       std::size_t(m_boundaryLen - m_leadRun))
               != nullptr)
        m_leadRun = 0;
    int k = 0;
    m_fallback[0] = 0;
    for (int i = 1; i < m_boundaryLen; ++i) {
        while (k > 0 && m_boundary[i] != m_boundary[k])
            k = m_fallback[k - 1];
        if (m_boundary[i] == m_boundary[k])
            ++k;
        m_fallback[i] = static_cast<unsigned char>(k);
    }
}

void MultipartDec::partHeaderByte(char c)
{
    HeaderLine& line = m_typeLine;
    if (c == CR)
        return;
    if (c != LF) {
        if (line.len >= MaxHeaderLine) {
            m_hdrState = HeaderState::Searching;
            m_bytesAfterBoundary = -1; // no part: the delimiter was data
            return;
        }
        line.text[line.len++] = c;
        return;
    }
    if (line.len == 0) {
        // The empty line: the body starts with the next byte.
        m_hdrState = HeaderState::BodyStart;
        m_worker->restartFrame();
        return;
    }
    if (++m_partHeaderLines > MaxPartHeaderLines) {
        m_hdrState = HeaderState::Searching;
        m_bytesAfterBoundary = -1;
        return;
    }
    const auto nameIs = [&line](const char* name, int nameLen) {
        if (line.len <= nameLen || line.text[nameLen] != ':')
            return false;
        for (int i = 0; i < nameLen; ++i) {
            if (std::tolower(static_cast<unsigned char>(line.text[i])) != name[i])
                return false;
        }
        return true;
    };
    constexpr char TypeName[] = "content-type";
    constexpr char LengthName[] = "content-length";
    if (nameIs(TypeName, sizeof TypeName - 1)) {
        const char* value = line.text + sizeof TypeName;
        int len = line.len - int(sizeof TypeName);
        while (len > 0 && isBlank(*value)) {
            ++value;
            --len;
        }
        while (len > 0 && isBlank(value[len - 1]))
            --len;
        m_worker->setContentType(QString::fromLatin1(value, len));
    } else if (nameIs(LengthName, sizeof LengthName - 1)) {
        const int length =
            parseDecimal(line.text + sizeof LengthName, line.len - int(sizeof LengthName));
        // A length that is no positive number counts as none given.
        m_lengthGiven = length > 0;
        m_contentLength = length > 0 ? length : 0;
    }
    line.len = 0;
}

void MultipartDec::closeOpenBody()
{
    m_openBody = false;
    m_remaining = -1;
    // The delimiter's bytes but its last were stored as body bytes.
    int len = m_worker->curLen() - (m_boundaryLen - 1);
    const unsigned char* b = m_worker->writeBuffer();
    // Dashes written in front of the delimiter beyond its own, at the start
    // of the line, belong to it too.
    int dashes = len;
    while (dashes > 0 && b[dashes - 1] == '-')
        --dashes;
    if (dashes < len && (dashes == 0 || b[dashes - 1] == LF))
        len = dashes;
    if (len > 0 && b[len - 1] == LF)
        --len;
    if (len > 0 && b[len - 1] == CR)
        --len;
    if (len <= 0) {
        m_worker->restartFrame();
        return;
    }
    m_worker->setCurLen(len);
    m_worker->finishFrame();
}
