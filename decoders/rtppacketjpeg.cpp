// SPDX-License-Identifier: MIT
#include "rtppacketjpeg.h"

#include <cstring>

//  0                   1                   2                   3
//  0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// | Type-specific |              Fragment Offset                  |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |      Type     |       Q       |     Width     |     Height    |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// then, for types 64-127, the restart marker header:
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |       Restart Interval        |F|L|       Restart Count       |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// then, for Q >= 128 on the first fragment, the quantization table header:
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |      MBZ      |   Precision   |             Length            |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |                    Quantization Table Data                    |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
const unsigned char* RTPPacketJpeg::parse(const unsigned char* data, int len)
{
    const unsigned char* p = RTPPacket::parse(data, len);
    if (p == nullptr)
        return nullptr;
    const unsigned char* const end = m_end;
    m_end = nullptr;

    if (end - p < MainHeaderBytes)
        return nullptr; // main JPEG header cut short
    m_typeSpecific = p[0];
    m_fragmentOffset = (p[1] << 16) | (p[2] << 8) | p[3];
    m_type = p[4];
    m_q = p[5];
    m_width = p[6] * 8;
    m_height = p[7] * 8;
    p += MainHeaderBytes;

    if (m_type >= 64 && m_type <= 127) {
        if (end - p < RestartHeaderBytes)
            return nullptr; // restart marker header cut short
        m_restartInterval = (p[0] << 8) | p[1];
        m_restartFirst = p[2] >> 7;
        m_restartLast = (p[2] >> 6) & 1;
        m_restartCount = ((p[2] & 0x3F) << 8) | p[3];
        p += RestartHeaderBytes;
    }

    if (m_q >= 128 && m_fragmentOffset == 0) {
        if (end - p < TableHeaderBytes)
            return nullptr; // table header cut short
        m_qtMbz = p[0];
        m_qtPrecision = p[1];
        m_qtLength = (p[2] << 8) | p[3];
        p += TableHeaderBytes;
        if (end - p < m_qtLength)
            return nullptr; // table data runs past the datagram
        // Only 8-bit tables fit the 8-bit DQT segments they are patched into;
        // 16-bit tables are stepped over. One 64-byte table serves both
        // components; otherwise the data is luminance then chrominance.
        if (m_qtPrecision == 0 && m_qtLength > 0 && m_qtLength < 255) {
            if (m_qtLength == 64) {
                std::memcpy(m_qTable[0], p, 64);
                std::memcpy(m_qTable[1], p, 64);
                m_qTableBytes = 64;
            } else {
                const int half = m_qtLength / 2;
                std::memcpy(m_qTable[0], p, std::size_t(half));
                std::memcpy(m_qTable[1], p + half, std::size_t(half));
                m_qTableBytes = half;
            }
        }
        p += m_qtLength;
    }
    m_end = end;
    return p;
}
