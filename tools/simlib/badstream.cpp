// SPDX-License-Identifier: MIT
#include "badstream.h"

#include "jpegsegments.h"
#include "multipartwriter.h"

#include <algorithm>
#include <climits>

namespace simlib {

namespace {

QByteArray randomBytes(int n, std::mt19937& rng)
{
    QByteArray out(n, '\0');
    for (int i = 0; i < n; ++i)
        out[i] = char(rng() & 0xFF);
    return out;
}

int pick(std::mt19937& rng, int n)
{
    return int(rng() % unsigned(n));
}

} // namespace

const char* badPartKindName(BadPartKind kind)
{
    switch (kind) {
    case BadPartKind::Garbage:
        return "garbage";
    case BadPartKind::Truncated:
        return "truncated";
    case BadPartKind::LongLength:
        return "long-length";
    case BadPartKind::ShortLength:
        return "short-length";
    case BadPartKind::BadHeader:
        return "bad-header";
    case BadPartKind::CorruptBody:
        return "corrupt-body";
    case BadPartKind::HugeDimensions:
        return "huge-dimensions";
    }
    return "?";
}

const char* badRtpKindName(BadRtpKind kind)
{
    switch (kind) {
    case BadRtpKind::Empty:
        return "empty";
    case BadRtpKind::ShortHeader:
        return "short-header";
    case BadRtpKind::NoJpegHeader:
        return "no-jpeg-header";
    case BadRtpKind::CsrcOverrun:
        return "csrc-overrun";
    case BadRtpKind::CutRestartHeader:
        return "cut-restart-header";
    case BadRtpKind::TableOverrun:
        return "table-overrun";
    case BadRtpKind::HugeOffset:
        return "huge-offset";
    case BadRtpKind::HeaderFlags:
        return "header-flags";
    }
    return "?";
}

QByteArray badMultipartItem(BadPartKind kind, const QByteArray& contentType,
                            const QByteArray& goodBody, std::mt19937& rng)
{
    const qsizetype n = goodBody.size();
    switch (kind) {
    case BadPartKind::Garbage: {
        // Noise with fragments that look like the start of a part but never
        // complete one; it ends in a line feed so that the following
        // boundary is not glued to a partial match.
        QByteArray out = randomBytes(16 + pick(rng, 2000), rng);
        out += "---jworudfg83";
        out += randomBytes(pick(rng, 64), rng);
        out += "\r\nContent-Type: image/jp";
        out += randomBytes(pick(rng, 64), rng);
        out += "\r\n";
        return out;
    }
    case BadPartKind::Truncated:
        return multipartHeader(contentType, n) + goodBody.left(n / 2) + "\r\n";
    case BadPartKind::LongLength:
        return multipartHeader(contentType, n + 5000) + goodBody + "\r\n";
    case BadPartKind::ShortLength:
        return multipartHeader(contentType, n / 2) + goodBody + "\r\n";
    case BadPartKind::BadHeader: {
        static const char* const lengths[] = {"-5",         "abc",        "0",   "99999999999999",
                                              "2147483647", "4294967296", " 12x"};
        QByteArray out;
        const int variant = pick(rng, 9);
        if (variant < 7) {
            out = QByteArray(MultipartBoundary) + "\r\nContent-Type: " + contentType
                  + "\r\nContent-Length: " + lengths[variant] + "\r\n\r\n";
        } else if (variant == 7) {
            out = QByteArray(MultipartBoundary) + "\r\nContent-Type: " + QByteArray(300, 'x')
                  + "\r\nContent-Length: " + QByteArray::number(n) + "\r\n\r\n";
        } else {
            out = QByteArray(MultipartBoundary) + "\r\ncontent-type: " + contentType
                  + "\r\nContent-Length: " + QByteArray::number(n) + "\r\n\r\n";
        }
        return out + goodBody.left(qMin<qsizetype>(n, 64)) + "\r\n";
    }
    case BadPartKind::CorruptBody: {
        QByteArray body = goodBody;
        if (pick(rng, 2) == 0 && n > 4) {
            body.truncate(n / 3);
        } else {
            for (int i = 0; i < 32 && n > 0; ++i)
                body[pick(rng, int(n))] = char(rng() & 0xFF);
        }
        return multipartPart(contentType, body);
    }
    case BadPartKind::HugeDimensions: {
        // Patch the SOF0 size fields of a JPEG body; a raw frame gets a
        // body far shorter than any configured frame instead.
        QByteArray body = goodBody;
        jpeg::SegmentWalker walker(reinterpret_cast<const unsigned char*>(goodBody.constData()),
                                   int(std::min<qsizetype>(n, INT_MAX)), 2);
        jpeg::Segment segment;
        bool patched = false;
        while (!patched && walker.next(&segment)) {
            // Height and width follow the precision byte.
            if (segment.code == jpeg::MarkerSOF0 && segment.offset + 4 < n) {
                body.replace(segment.offset + 1, 4, QByteArray("\xFF\xDC\xFF\xDC", 4));
                patched = true;
            }
        }
        if (!patched)
            body = goodBody.left(qMin<qsizetype>(n, 100));
        return multipartPart(contentType, body);
    }
    }
    return {};
}

QByteArray badRtpPacket(BadRtpKind kind, const QByteArray& goodPacket, std::mt19937& rng)
{
    QByteArray pkt = goodPacket;
    if (pkt.size() < 20)
        pkt.resize(20, '\0');
    switch (kind) {
    case BadRtpKind::Empty:
        return {};
    case BadRtpKind::ShortHeader:
        return pkt.left(1 + pick(rng, 11));
    case BadRtpKind::NoJpegHeader:
        return pkt.left(12 + pick(rng, 8));
    case BadRtpKind::CsrcOverrun:
        pkt[0] = char(0x8F);
        return pkt.left(20 + pick(rng, 40));
    case BadRtpKind::CutRestartHeader:
        pkt[0] = char(0x80);
        pkt[16] = char(65);
        return pkt.left(20 + pick(rng, 4));
    case BadRtpKind::TableOverrun: {
        pkt[0] = char(0x80);
        pkt[13] = pkt[14] = pkt[15] = 0; // fragment offset 0
        pkt[16] = char(1);               // no restart header
        pkt[17] = char(255);
        QByteArray out = pkt.left(20);
        out += QByteArray("\x00\x00\xFF\xFF", 4);
        out += randomBytes(pick(rng, 200), rng);
        return out;
    }
    case BadRtpKind::HugeOffset:
        pkt[0] = char(0x80);
        pkt[13] = pkt[14] = pkt[15] = char(0xFF);
        return pkt;
    case BadRtpKind::HeaderFlags:
        pkt[0] = char(0x30 | (pkt[0] & 0x0F));
        return pkt;
    }
    return {};
}

} // namespace simlib
