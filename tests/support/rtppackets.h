// SPDX-License-Identifier: MIT
// Builds RTP/JPEG datagrams byte by byte: every header field settable, so
// that tests can write packets no sender would. The fields have defaults,
// so a test names only what it changes, in declaration order:
// packet({.marker = true, .sequence = 7}, {.type = 65, .q = 80}, scan).
#pragma once

#include <QByteArray>
#include <QList>

#include <cstdint>

namespace rtptest {

struct RtpFields
{
    int csrcCount = 0;
    bool marker = false;
    int sequence = 0;
    std::uint32_t timestamp = 0;
    std::uint32_t ssrc = 0x11223344;
    int paddingBytes = 0;   // > 0 sets P and appends that many bytes
    int extensionWords = 0; // > 0 sets X and adds an extension of that size
    int payloadType = 26;
};

struct JpegFields
{
    int fragmentOffset = 0;
    int type = 1;
    int q = 255;
    int widthByte = 80;
    int heightByte = 60;
    QByteArray restartHeader = {}; // written as is for types 64-127
    int tablePrecision = 0;
    QByteArray tables = {}; // table data on the first fragment when q >= 128
    int tableLength = -1;   // -1: the size of `tables`
};

inline void put16(QByteArray& b, int v)
{
    b.append(char((v >> 8) & 0xFF));
    b.append(char(v & 0xFF));
}

inline void put32(QByteArray& b, std::uint32_t v)
{
    put16(b, int(v >> 16));
    put16(b, int(v & 0xFFFF));
}

// Fixed RTP header, CSRCs and extension.
inline QByteArray rtpHeader(const RtpFields& r)
{
    QByteArray b;
    b.append(char(0x80 | (r.paddingBytes > 0 ? 0x20 : 0) | (r.extensionWords > 0 ? 0x10 : 0)
                  | (r.csrcCount & 0x0F)));
    b.append(char((r.marker ? 0x80 : 0) | (r.payloadType & 0x7F)));
    put16(b, r.sequence & 0xFFFF);
    put32(b, r.timestamp);
    put32(b, r.ssrc);
    for (int i = 0; i < r.csrcCount; ++i)
        put32(b, 0xC0000000u + std::uint32_t(i));
    if (r.extensionWords > 0) {
        put16(b, 0xBEDE);
        put16(b, r.extensionWords);
        b.append(QByteArray(4 * r.extensionWords, char(0xEE)));
    }
    return b;
}

// One complete datagram: RTP header, JPEG headers and scan data, padding.
inline QByteArray packet(const RtpFields& r, const JpegFields& j, const QByteArray& scan)
{
    QByteArray b = rtpHeader(r);
    b.append(char(0));
    b.append(char((j.fragmentOffset >> 16) & 0xFF));
    put16(b, j.fragmentOffset & 0xFFFF);
    b.append(char(j.type));
    b.append(char(j.q));
    b.append(char(j.widthByte));
    b.append(char(j.heightByte));
    if (j.type >= 64 && j.type <= 127)
        b.append(j.restartHeader.isEmpty() ? QByteArray("\x00\x3C\xFF\xFF", 4) : j.restartHeader);
    if (j.q >= 128 && j.fragmentOffset == 0) {
        b.append(char(0));
        b.append(char(j.tablePrecision));
        put16(b, j.tableLength >= 0 ? j.tableLength : int(j.tables.size()));
        b.append(j.tables);
    }
    b.append(scan);
    if (r.paddingBytes > 0) {
        b.append(QByteArray(r.paddingBytes - 1, char(0)));
        b.append(char(r.paddingBytes));
    }
    return b;
}

// count bytes counting up from first, wrapping at 256.
inline QByteArray ramp(int count, int first = 0)
{
    QByteArray b(count, Qt::Uninitialized);
    for (int i = 0; i < count; ++i)
        b[i] = char((first + i) & 0xFF);
    return b;
}

// One RTP H.264 datagram: RTP header, the payload as given (a NAL unit,
// STAP-A or FU-A, see below), padding.
inline QByteArray h264Packet(const RtpFields& r, const QByteArray& payload)
{
    QByteArray b = rtpHeader(r) + payload;
    if (r.paddingBytes > 0) {
        b.append(QByteArray(r.paddingBytes - 1, char(0)));
        b.append(char(r.paddingBytes));
    }
    return b;
}

// An H.264 NAL unit of `type` (NRI 3) with `size` bytes after its header.
inline QByteArray nalUnit(int type, int size, int first = 1)
{
    return char(0x60 | type) + ramp(size, first);
}

// A STAP-A payload aggregating `units`, each behind its 16-bit size.
inline QByteArray stapA(const QList<QByteArray>& units)
{
    QByteArray b(1, char(0x78)); // NRI 3, type 24
    for (const QByteArray& u : units) {
        put16(b, int(u.size()));
        b.append(u);
    }
    return b;
}

// An FU-A payload carrying bytes [from, from + count) of `unit`'s body
// (the bytes behind its header); start and end set the S and E bits.
inline QByteArray fuA(const QByteArray& unit, int from, int count, bool start, bool end)
{
    QByteArray b;
    b.append(char((unit[0] & 0xE0) | 28));
    b.append(char((start ? 0x80 : 0) | (end ? 0x40 : 0) | (unit[0] & 0x1F)));
    b.append(unit.mid(1 + from, count));
    return b;
}

// `units` in Annex B form, each behind the start code 00 00 00 01.
inline QByteArray annexB(const QList<QByteArray>& units)
{
    QByteArray b;
    for (const QByteArray& u : units)
        b.append(QByteArray("\x00\x00\x00\x01", 4) + u);
    return b;
}

} // namespace rtptest
