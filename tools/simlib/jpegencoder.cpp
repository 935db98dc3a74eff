// SPDX-License-Identifier: MIT
#include "jpegencoder.h"

#include "jpegsegments.h"

#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

namespace simlib {

namespace {

// libjpeg reports errors through a callback that must not return; jump back
// to the encoder instead of letting it exit the process.
struct ErrorManager
{
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

void onError(j_common_ptr cinfo)
{
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    std::longjmp(err->jump, 1);
}

void onMessage(j_common_ptr, int)
{
}

void putBigEndian32(unsigned char* p, std::uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// Everything the setjmp-protected part touches lives outside it, so a
// longjmp leaves no object half-destroyed.
struct EncodeState
{
    jpeg_compress_struct cinfo;
    ErrorManager err;
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
};

bool runEncoder(EncodeState& st, const unsigned char* pixels, int width, int height, int components,
                const JpegEncodeOptions& options, int stride, const QByteArray& app9)
{
    jpeg_compress_struct& cinfo = st.cinfo;
    cinfo.err = jpeg_std_error(&st.err.pub);
    st.err.pub.error_exit = onError;
    st.err.pub.emit_message = onMessage;
    if (setjmp(st.err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &st.out, &st.outSize);

    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    cinfo.input_components = components;
    cinfo.in_color_space = components == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, options.quality, TRUE);
    cinfo.write_JFIF_header = options.writeJfif ? TRUE : FALSE;
    cinfo.restart_interval = static_cast<unsigned int>(options.restartInterval);
    cinfo.optimize_coding = FALSE; // keep the standard Huffman tables
    if (components == 3) {
        int h = 2;
        int v = 2;
        if (options.sampling == Sampling::YCbCr422)
            v = 1;
        else if (options.sampling == Sampling::YCbCr444)
            h = v = 1;
        cinfo.comp_info[0].h_samp_factor = h;
        cinfo.comp_info[0].v_samp_factor = v;
        for (int c = 1; c < 3; ++c) {
            cinfo.comp_info[c].h_samp_factor = 1;
            cinfo.comp_info[c].v_samp_factor = 1;
        }
    }

    jpeg_start_compress(&cinfo, TRUE);
    if (!app9.isEmpty())
        jpeg_write_marker(&cinfo, JPEG_APP0 + 9, reinterpret_cast<const JOCTET*>(app9.constData()),
                          static_cast<unsigned int>(app9.size()));
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels + std::size_t(cinfo.next_scanline) * stride);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

} // namespace

QByteArray app9Payload(const FrameTimestamp& ts)
{
    QByteArray payload(10, '\0');
    auto* p = reinterpret_cast<unsigned char*>(payload.data());
    p[0] = static_cast<unsigned char>(ts.field >> 8);
    p[1] = static_cast<unsigned char>(ts.field);
    putBigEndian32(p + 2, static_cast<std::uint32_t>(ts.seconds));
    putBigEndian32(p + 6, static_cast<std::uint32_t>(ts.microseconds));
    return payload;
}

QByteArray withApp9Timestamp(const QByteArray& jpeg, const FrameTimestamp& ts)
{
    const auto* b = reinterpret_cast<const unsigned char*>(jpeg.constData());
    if (jpeg.size() < 4 || b[0] != 0xFF || b[1] != 0xD8)
        return {};
    qsizetype at = 2;
    if (b[2] == 0xFF && b[3] == 0xE0 && jpeg.size() >= 6) {
        const qsizetype length = (qsizetype(b[4]) << 8) | b[5];
        if (length < 2 || 4 + length > jpeg.size())
            return {};
        at = 4 + length;
    }
    const QByteArray payload = app9Payload(ts);
    QByteArray segment;
    segment.reserve(4 + payload.size());
    segment.append(char(0xFF)).append(char(0xE9));
    segment.append(char((payload.size() + 2) >> 8)).append(char((payload.size() + 2) & 0xFF));
    segment.append(payload);
    QByteArray out;
    out.reserve(jpeg.size() + segment.size());
    out.append(jpeg.constData(), at)
        .append(segment)
        .append(jpeg.constData() + at, jpeg.size() - at);
    return out;
}

QByteArray encodeJpeg(const unsigned char* pixels, int width, int height, int components,
                      const JpegEncodeOptions& options, int stride)
{
    if (!pixels || width <= 0 || height <= 0 || width > 65500 || height > 65500)
        return {};
    if (components != 1 && components != 3)
        return {};
    if (options.quality < 1 || options.quality > 100 || options.restartInterval < 0
        || options.restartInterval > 65535)
        return {};
    if (stride == 0)
        stride = width * components;
    if (stride < width * components)
        return {};

    const QByteArray app9 = options.writeTimestamp ? app9Payload(options.timestamp) : QByteArray();
    EncodeState st;
    const bool ok = runEncoder(st, pixels, width, height, components, options, stride, app9);
    QByteArray result;
    if (ok && st.out)
        result = QByteArray(reinterpret_cast<const char*>(st.out), qsizetype(st.outSize));
    std::free(st.out);
    return result;
}

bool readApp9Timestamp(const QByteArray& jpeg, FrameTimestamp* ts)
{
    const auto* d = reinterpret_cast<const unsigned char*>(jpeg.constData());
    const int n = int(std::min<qsizetype>(jpeg.size(), INT_MAX));
    if (n < 4 || d[0] != 0xFF || d[1] != 0xD8)
        return false;
    jpeg::SegmentWalker walker(d, n, 2);
    jpeg::Segment segment;
    // Up to the frame header or the scan, each segment whole.
    while (walker.next(&segment) && segment.code != jpeg::MarkerSOF0
           && segment.code != jpeg::MarkerSOS) {
        if (!walker.fits(segment))
            return false;
        if (segment.code == jpeg::MarkerAPP9 && segment.length >= 10) {
            const unsigned char* q = d + segment.offset;
            ts->field = static_cast<std::uint16_t>(q[0] << 8 | q[1]);
            ts->seconds = static_cast<std::int32_t>(std::uint32_t(q[2]) << 24 | q[3] << 16
                                                    | q[4] << 8 | q[5]);
            ts->microseconds = static_cast<std::int32_t>(std::uint32_t(q[6]) << 24 | q[7] << 16
                                                         | q[8] << 8 | q[9]);
            return true;
        }
    }
    return false;
}

} // namespace simlib
