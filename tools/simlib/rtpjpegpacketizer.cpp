// SPDX-License-Identifier: MIT
#include "rtpjpegpacketizer.h"

#include "jpegsegments.h"

namespace simlib {

namespace {

constexpr int RtpHeaderBytes = 12;
constexpr int MainJpegHeaderBytes = 8;
constexpr int RestartHeaderBytes = 4;
constexpr int QuantHeaderBytes = 4;
constexpr int MaxFragmentOffset = 0xFFFFFF;
constexpr int MaxDimension = 2040; // one byte of 8-pixel units

struct Component
{
    int id = 0;
    int h = 0;
    int v = 0;
    int tq = 0;
};

// SOI, TEM and RST0-7 carry no length field and no payload.
bool isStandalone(int marker)
{
    return marker == jpeg::MarkerSOI || marker == jpeg::MarkerTEM
           || (marker >= jpeg::MarkerRST0 && marker <= jpeg::MarkerRST7);
}

void put16(QByteArray& out, int v)
{
    out += char((v >> 8) & 0xFF);
    out += char(v & 0xFF);
}

void put32(QByteArray& out, std::uint32_t v)
{
    put16(out, int(v >> 16));
    put16(out, int(v & 0xFFFF));
}

} // namespace

bool parseBaselineJpeg(const unsigned char* d, int n, JpegScanInfo* info)
{
    *info = JpegScanInfo();
    if (!d || n < 4 || d[0] != 0xFF || d[1] != 0xD8)
        return false;

    QByteArray tables[4];
    Component comps[4];
    bool haveFrame = false;
    // The walk ends, and the file is refused, at anything but a marker where
    // one must be, at a marker or length cut off, at EOI and at a length
    // below 2: every one of them before the scan.
    jpeg::SegmentWalker walker(d, n, 2);
    jpeg::Segment segment;
    for (;;) {
        if (!walker.next(&segment))
            return false;
        if (isStandalone(segment.code))
            continue;
        if (!walker.fits(segment))
            return false; // length runs past the data
        const int marker = segment.code;
        const unsigned char* s = d + segment.offset;
        const int payload = segment.length;
        const int segEnd = segment.offset + segment.length;

        if (marker == 0xDB) {
            // DQT: one or more tables, each Pq/Tq then 64 (8-bit) values.
            int q = 0;
            while (q < payload) {
                const int pq = s[q] >> 4;
                const int tq = s[q] & 0x0F;
                if (pq != 0 || tq > 3 || q + 65 > payload)
                    return false; // 16-bit table, bad id or short segment
                tables[tq] = QByteArray(reinterpret_cast<const char*>(s + q + 1), 64);
                q += 65;
            }
        } else if (marker == 0xC0) {
            if (payload < 6)
                return false;
            const int nc = s[5];
            if (s[0] != 8 || nc < 1 || nc > 4 || payload < 6 + 3 * nc)
                return false;
            info->height = s[1] << 8 | s[2];
            info->width = s[3] << 8 | s[4];
            info->components = nc;
            for (int c = 0; c < nc; ++c) {
                comps[c].id = s[6 + 3 * c];
                comps[c].h = s[7 + 3 * c] >> 4;
                comps[c].v = s[7 + 3 * c] & 0x0F;
                comps[c].tq = s[8 + 3 * c] & 0x03;
            }
            haveFrame = true;
        } else if (marker >= 0xC1 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8
                   && marker != 0xCC) {
            return false; // not a baseline frame
        } else if (marker == 0xDD) {
            if (payload < 2)
                return false;
            info->restartInterval = s[0] << 8 | s[1];
        } else if (marker == 0xDA) {
            if (!haveFrame)
                return false;
            info->scanOffset = segEnd;
            // Entropy-coded data holds 0xFF only before 0x00 or RSTn, so the
            // first FF D9 ends the scan.
            int e = segEnd;
            while (e + 1 < n && !(d[e] == 0xFF && d[e + 1] == 0xD9))
                ++e;
            if (e + 1 >= n)
                return false; // no EOI: truncated
            info->scanLength = e - segEnd;
            break;
        }
    }

    if (info->width <= 0 || info->height <= 0 || info->width > MaxDimension
        || info->height > MaxDimension)
        return false;
    for (int c = 0; c < info->components; ++c) {
        if (tables[comps[c].tq].isEmpty())
            return false; // component names a table that was never defined
    }
    info->qTables = tables[comps[0].tq];
    if (info->components >= 2)
        info->qTables += tables[comps[1].tq];

    if (info->components == 3 && comps[1].h == 1 && comps[1].v == 1 && comps[2].h == 1
        && comps[2].v == 1 && comps[0].h == 2 && (comps[0].v == 1 || comps[0].v == 2)) {
        info->type = comps[0].v == 1 ? 0 : 1;
        if (info->restartInterval > 0)
            info->type += 64;
    }
    return true;
}

RtpJpegPacketizer::RtpJpegPacketizer(const RtpJpegOptions& options)
    : m_options(options), m_sequence(options.firstSequence)
{
}

bool RtpJpegPacketizer::packetize(const QByteArray& jpeg, std::uint32_t timestamp,
                                  QList<QByteArray>* packets)
{
    JpegScanInfo info;
    const auto* d = reinterpret_cast<const unsigned char*>(jpeg.constData());
    if (jpeg.size() > 0x7FFFFFFF || !parseBaselineJpeg(d, int(jpeg.size()), &info))
        return false;
    const int type = m_options.forceType >= 0 ? (m_options.forceType & 0xFF) : info.type;
    if (type < 0 || info.scanLength <= 0 || info.scanLength > MaxFragmentOffset + 1)
        return false;
    const int q = m_options.q & 0xFF;
    const int chunk = m_options.scanBytesPerPacket > 0 ? m_options.scanBytesPerPacket : 1400;

    for (int offset = 0; offset < info.scanLength; offset += chunk) {
        const int len = qMin(chunk, info.scanLength - offset);
        const bool last = offset + len >= info.scanLength;
        QByteArray pkt;
        pkt.reserve(RtpHeaderBytes + MainJpegHeaderBytes + RestartHeaderBytes + QuantHeaderBytes
                    + int(info.qTables.size()) + len);

        // RTP fixed header (RFC 3550):
        //  0                   1                   2                   3
        // |V=2|P|X|  CC   |M|     PT      |       sequence number         |
        // |                           timestamp                           |
        // |           synchronization source (SSRC) identifier            |
        pkt += char(0x80);
        pkt += char((last ? 0x80 : 0) | (m_options.payloadType & 0x7F));
        put16(pkt, m_sequence);
        put32(pkt, timestamp);
        put32(pkt, m_options.ssrc);

        // Main JPEG header (RFC 2435 3.1):
        // | Type-specific |              Fragment Offset                  |
        // |      Type     |       Q       |     Width     |     Height    |
        pkt += char(0);
        pkt += char((offset >> 16) & 0xFF);
        put16(pkt, offset & 0xFFFF);
        pkt += char(type);
        pkt += char(q);
        pkt += char(((info.width + 7) / 8) & 0xFF);
        pkt += char(((info.height + 7) / 8) & 0xFF);

        // Restart marker header: | Restart Interval |F|L| Restart Count |
        // Packets are not cut at restart boundaries, so F = L = 1 and the
        // count is 0x3FFF.
        if (type >= 64 && type <= 127) {
            put16(pkt, info.restartInterval);
            put16(pkt, 0xFFFF);
        }

        // Quantization table header: | MBZ | Precision | Length |, then the
        // tables, on the first packet of a frame only.
        if (q >= 128 && offset == 0) {
            pkt += char(0);
            pkt += char(0);
            put16(pkt, int(info.qTables.size()));
            pkt += info.qTables;
        }

        pkt.append(reinterpret_cast<const char*>(d + info.scanOffset + offset), len);
        packets->append(pkt);
        ++m_sequence;
    }
    return true;
}

QByteArray jpegHeaderForReference(const QByteArray& jpeg)
{
    JpegScanInfo info;
    const auto* d = reinterpret_cast<const unsigned char*>(jpeg.constData());
    if (jpeg.size() > 0x7FFFFFFF || !parseBaselineJpeg(d, int(jpeg.size()), &info))
        return {};
    // The segments are known to be well formed up to the scan: copy them
    // without fill bytes, leaving out APP9 so that no fixed time stamp
    // reaches every frame.
    QByteArray header("\xFF\xD8", 2);
    jpeg::SegmentWalker walker(d, info.scanOffset, 2);
    jpeg::Segment segment;
    while (walker.next(&segment)) {
        // The marker's two bytes, and the length field unless the marker
        // stands alone, lie before the payload.
        const int start = segment.offset - (isStandalone(segment.code) ? 2 : 4);
        if (segment.code != jpeg::MarkerAPP9 && segment.code != jpeg::MarkerSOI)
            header.append(reinterpret_cast<const char*>(d + start), walker.position() - start);
    }
    return header;
}

} // namespace simlib
