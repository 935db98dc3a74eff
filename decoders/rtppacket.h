// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// The fixed header of one RTP packet (RFC 3550), read in place from a
// received datagram. A header extension is stepped over and padding is cut
// off the end, so that payloadEnd() marks the last payload byte + 1.
class RTPPacket
{
public:
    static constexpr int FixedHeaderBytes = 12;
    static constexpr int MaxCsrc = 15;

    RTPPacket() = default;
    virtual ~RTPPacket() = default;

    // Reads the headers of the len bytes at data. Returns the first byte
    // after them, or null when the datagram is shorter than the headers it
    // announces or its padding count is impossible; nothing outside the len
    // bytes is read.
    virtual const unsigned char* parse(const unsigned char* data, int len);

    // One past the last payload byte of the most recent successful parse,
    // padding excluded.
    const unsigned char* payloadEnd() const { return m_end; }

    int m_version = 0;
    int m_padding = 0;
    int m_extension = 0;
    int m_csrcCount = 0;
    int m_marker = 0;
    int m_payloadType = 0;
    int m_sequenceNumber = 0;
    std::uint32_t m_timestamp = 0;
    std::uint32_t m_ssrc = 0;
    std::uint32_t m_csrc[MaxCsrc] = {};

protected:
    const unsigned char* m_end = nullptr;
};
