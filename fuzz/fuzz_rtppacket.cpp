// SPDX-License-Identifier: MIT
// RTPPacketJpeg::parse on one datagram (the whole input). The returned scan
// data and the payload end must lie inside the datagram, and a rejected
// packet must leave the table stores as they were.
#include "fuzzsupport.h"
#include "rtppacketjpeg.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 0x10000)
        return 0; // no datagram is larger
    const int len = int(size);
    // A packet that already holds tables from an earlier first fragment.
    RTPPacketJpeg packet;
    std::memset(packet.m_qTable, 0x5A, sizeof packet.m_qTable);
    packet.m_qTableBytes = 64;

    const unsigned char* p = packet.parse(data, len);
    if (p == nullptr) {
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < RTPPacketJpeg::TableStoreBytes; ++j)
                FUZZ_CHECK(packet.m_qTable[i][j] == 0x5A);
        FUZZ_CHECK(packet.m_qTableBytes == 64);
        return 0;
    }
    const unsigned char* end = packet.payloadEnd();
    FUZZ_CHECK(end != nullptr);
    FUZZ_CHECK(p >= data + RTPPacket::FixedHeaderBytes + RTPPacketJpeg::MainHeaderBytes);
    FUZZ_CHECK(p <= end && end <= data + len);
    FUZZ_CHECK(packet.m_fragmentOffset >= 0 && packet.m_fragmentOffset <= 0xFFFFFF);
    FUZZ_CHECK(packet.m_csrcCount <= RTPPacket::MaxCsrc);
    FUZZ_CHECK(packet.m_qTableBytes >= 0 && packet.m_qTableBytes <= RTPPacketJpeg::TableStoreBytes);
    FUZZ_CHECK(packet.m_width >= 0 && packet.m_width <= 2040);
    FUZZ_CHECK(packet.m_height >= 0 && packet.m_height <= 2040);
    return 0;
}
