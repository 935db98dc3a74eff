// SPDX-License-Identifier: MIT
#include "rtppacket.h"

namespace {
std::uint32_t read32(const unsigned char* p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8)
           | std::uint32_t(p[3]);
}
} // namespace

//  0                   1                   2                   3
//  0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |V=2|P|X|  CC   |M|     PT      |       sequence number         |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |                           timestamp                           |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |           synchronization source (SSRC) identifier            |
// +=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+=+
// |            contributing source (CSRC) identifiers             |
// |                             ....                              |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// | (X) defined by profile        |  length in 32-bit words       |
// |                        header extension                       |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |                    payload  ...  | (P) padding ... |  count   |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
const unsigned char* RTPPacket::parse(const unsigned char* data, int len)
{
    m_end = nullptr;
    if (data == nullptr || len < FixedHeaderBytes)
        return nullptr; // not even the fixed header
    m_version = data[0] >> 6;
    m_padding = (data[0] >> 5) & 1;
    m_extension = (data[0] >> 4) & 1;
    m_csrcCount = data[0] & 0x0F;
    m_marker = data[1] >> 7;
    m_payloadType = data[1] & 0x7F;
    m_sequenceNumber = (data[2] << 8) | data[3];
    m_timestamp = read32(data + 4);
    m_ssrc = read32(data + 8);

    int pos = FixedHeaderBytes;
    if (len - pos < 4 * m_csrcCount)
        return nullptr; // CSRC list cut short
    for (int i = 0; i < m_csrcCount && i < MaxCsrc; ++i, pos += 4)
        m_csrc[i] = read32(data + pos);

    if (m_extension) {
        if (len - pos < 4)
            return nullptr; // extension header cut short
        const int words = (data[pos + 2] << 8) | data[pos + 3];
        pos += 4;
        if (len - pos < 4 * words)
            return nullptr; // extension data cut short
        pos += 4 * words;
    }

    int end = len;
    if (m_padding) {
        const int count = data[len - 1];
        if (count == 0 || count > len - pos)
            return nullptr; // the count includes itself and cannot exceed the payload
        end -= count;
    }
    m_end = data + end;
    return data + pos;
}
