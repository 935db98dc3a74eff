// SPDX-License-Identifier: MIT
#pragma once

#include "rtppacket.h"

// An RTP packet carrying JPEG scan data with the payload headers of
// RFC 2435: the main JPEG header, the restart marker header (types 64-127)
// and the quantization table header (Q >= 128, first fragment only).
//
// The table stores keep the tables of the most recent first fragment that
// carried usable 8-bit tables; the restart fields keep their values on
// packets without a restart header.
class RTPPacketJpeg : public RTPPacket
{
public:
    static constexpr int MainHeaderBytes = 8;
    static constexpr int RestartHeaderBytes = 4;
    static constexpr int TableHeaderBytes = 4;
    static constexpr int TableStoreBytes = 128;

    RTPPacketJpeg() = default;

    // Reads the RTP and JPEG headers of the len bytes at data and returns the
    // first byte of scan data, or null when the datagram is shorter than the
    // headers it announces. A rejected packet leaves the table stores as
    // they were.
    const unsigned char* parse(const unsigned char* data, int len) override;

    int m_typeSpecific = 0;
    int m_fragmentOffset = 0;
    int m_type = 0;
    int m_q = 0;
    int m_width = 0;
    int m_height = 0;
    int m_restartInterval = 0;
    int m_restartFirst = 0;
    int m_restartLast = 0;
    int m_restartCount = 0;
    int m_qtMbz = 0;
    int m_qtPrecision = 0;
    int m_qtLength = 0;
    unsigned char m_qTable[2][TableStoreBytes] = {};
    // Bytes of table data held in each store; 0 until a first fragment has
    // carried 8-bit tables.
    int m_qTableBytes = 0;
};
