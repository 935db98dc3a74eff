// SPDX-License-Identifier: MIT
#include "jpegsegments.h"

#include <cstring>

namespace jpeg {

SegmentWalker::SegmentWalker(const unsigned char* data, int len, int start, StrayBytes stray)
    : m_data(data), m_len(data == nullptr || len < 0 ? 0 : len), m_pos(start < 0 ? 0 : start),
      m_stray(stray)
{
}

bool SegmentWalker::next(Segment* segment)
{
    while (!m_ended && m_pos < m_len) {
        if (m_data[m_pos] != 0xFF) {
            if (m_stray == StrayBytes::End)
                break; // no marker where one is expected
            ++m_pos;   // not a marker: stepped over by itself
            continue;
        }
        long long p = m_pos + 1;
        while (p < m_len && m_data[p] == 0xFF)
            ++p; // fill bytes before the code
        if (p >= m_len)
            break; // marker code cut off
        const int code = m_data[p++];
        if (code == MarkerEOI)
            break; // the file ends here
        if (code == MarkerTEM || code == MarkerSOI || (code >= MarkerRST0 && code <= MarkerRST7)) {
            m_pos = p;
            *segment = {code, int(p), 0};
            return true;
        }
        if (m_len - p < 2)
            break; // length field cut off
        const int length = (m_data[p] << 8) | m_data[p + 1];
        if (length < 2)
            break; // a length counts its own two bytes; anything less is corrupt
        *segment = {code, int(p + 2), length - 2};
        m_pos = p + length;
        if (code == MarkerSOS) {
            // Entropy-coded data follows; no header segment lies beyond.
            m_reachedScan = true;
            m_ended = true;
        }
        return true;
    }
    m_ended = true;
    return false;
}

int skipEntropyCoded(const unsigned char* data, int len, int start)
{
    int p = start < 0 ? 0 : start;
    while (p < len) {
        const void* hit = std::memchr(data + p, 0xFF, std::size_t(len - p));
        if (hit == nullptr)
            return len;
        p = int(static_cast<const unsigned char*>(hit) - data);
        if (p + 1 >= len)
            return len;
        const int next = data[p + 1];
        if (next != 0x00 && next != 0xFF && (next < MarkerRST0 || next > MarkerRST7))
            return p;
        ++p; // a stuffed zero, a restart marker or a fill byte
    }
    return len;
}

} // namespace jpeg
