// SPDX-License-Identifier: MIT
// Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/,
// from what the simulated camera sends: small JPEG frames of the test
// pattern (with and without time stamps, several layouts), multipart parts,
// RTP/JPEG packets, and the simulator's hostile items and packets. Run from
// the fuzz preset's build directory:
//
//     build/fuzz/fuzz/fuzz_makecorpus fuzz/corpus
//
// The seeds are kept small (tiny pictures) so that the corpora stay a few
// hundred KiB in the repository.
#include "badstream.h"
#include "jpegencoder.h"
#include "multipartwriter.h"
#include "rtph264packetizer.h"
#include "rtpjpegpacketizer.h"
#include "testpattern.h"

#include <QBuffer>
#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QList>

#include <algorithm>
#include <cstdio>
#include <random>

using namespace simlib;

namespace {

QString g_root;

void write(const char* target, const QString& name, const QByteArray& bytes)
{
    const QString dir = g_root + QLatin1Char('/') + QLatin1String(target);
    QDir().mkpath(dir);
    QFile f(dir + QLatin1Char('/') + name);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(f.fileName()));
        std::exit(1);
    }
}

QByteArray be16(int v)
{
    QByteArray b(2, '\0');
    b[0] = char((v >> 8) & 0xFF);
    b[1] = char(v & 0xFF);
    return b;
}

QByteArray le32(std::int32_t v)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char((std::uint32_t(v) >> (8 * i)) & 0xFF);
    return b;
}

// Length-prefixed blocks, the format of the multipart, RTP and header targets.
QByteArray blocks(const QList<QByteArray>& list)
{
    QByteArray out;
    for (const QByteArray& b : list)
        out += be16(int(b.size())) + b;
    return out;
}

QList<QByteArray> cut(const QByteArray& stream, int blockSize)
{
    QList<QByteArray> out;
    for (qsizetype i = 0; i < stream.size(); i += blockSize)
        out.append(stream.mid(i, blockSize));
    return out;
}

QByteArray jpeg(int w, int h, int frame, const JpegEncodeOptions& options, int components = 3)
{
    const QByteArray pixels = renderTestPattern(w, h, components, frame);
    return encodeJpeg(reinterpret_cast<const unsigned char*>(pixels.constData()), w, h, components,
                      options);
}

JpegEncodeOptions stamped(int quality = 50, int restart = 0, Sampling s = Sampling::YCbCr420)
{
    JpegEncodeOptions o;
    o.quality = quality;
    o.restartInterval = restart;
    o.sampling = s;
    o.writeTimestamp = true;
    o.timestamp = {7, 1700000000, 123456};
    return o;
}

QByteArray progressiveJpeg(int w, int h)
{
    const QByteArray pixels = renderTestPattern(w, h, 3, 3);
    QImage image(reinterpret_cast<const uchar*>(pixels.constData()), w, h, w * 3,
                 QImage::Format_RGB888);
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setProgressiveScanWrite(true);
    writer.setQuality(40);
    writer.write(image);
    return out;
}

QList<QByteArray> rtpFrames(const RtpJpegOptions& options, const QList<QByteArray>& frames)
{
    RtpJpegPacketizer packetizer(options);
    QList<QByteArray> packets;
    std::uint32_t ts = 1000;
    for (const QByteArray& f : frames) {
        if (!packetizer.packetize(f, ts, &packets))
            std::fprintf(stderr, "packetize failed\n");
        ts += 3000;
    }
    return packets;
}

// A made-up H.264 NAL unit of `type`: the depacketizer never looks past
// the header, and bytes without zeros hold no start code.
QByteArray h264Nal(int type, int size, int seed)
{
    QByteArray b(1, char(0x60 | type));
    for (int i = 0; i < size; ++i)
        b.append(char(1 + (seed + 7 * i) % 250));
    return b;
}

QList<QByteArray> rtpH264(const RtpH264Options& options, const QList<QList<QByteArray>>& units)
{
    RtpH264Packetizer packetizer(options);
    QList<QByteArray> packets;
    std::uint32_t ts = 1000;
    for (const QList<QByteArray>& unit : units) {
        QByteArray annexB;
        for (const QByteArray& nal : unit)
            annexB += QByteArray("\x00\x00\x00\x01", 4) + nal;
        packetizer.packetize(annexB, ts, &packets);
        ts += 3600;
    }
    return packets;
}

// The fuzz_rtp2h264 input: a sprop-parameter-sets text, then datagrams.
QByteArray h264Input(const QByteArray& sprop, const QList<QByteArray>& packets)
{
    return be16(int(sprop.size())) + sprop + blocks(packets);
}

void writeH264Seeds()
{
    const QByteArray sps = h264Nal(7, 12, 3);
    const QByteArray pps = h264Nal(8, 4, 5);
    const QByteArray idr = h264Nal(5, 2500, 9);
    const QByteArray slice = h264Nal(1, 600, 11);
    const RtpH264Options options{.maxPayload = 1000};
    const QList<QByteArray> stream =
        rtpH264(options, {{sps, pps, idr}, {slice}, {slice, slice}, {idr}, {slice}});
    write("fuzz_rtp2h264", "stream", h264Input({}, stream));
    write("fuzz_rtp2h264", "sprop_no_inband",
          h264Input(sps.toBase64() + ',' + pps.toBase64(), rtpH264(options, {{idr}, {slice}})));
    QList<QByteArray> lossy = stream;
    lossy.removeAt(3);                        // a lost fragment of the IDR slice
    lossy.swapItemsAt(5, 6);                  // a reordered pair
    lossy.append(lossy.at(lossy.size() - 2)); // a late duplicate
    write("fuzz_rtp2h264", "lossy", h264Input({}, lossy));
    RtpH264Options other = options;
    other.ssrc = 0xCAFEBABE;
    other.aggregate = false;
    write("fuzz_rtp2h264", "ssrc_change",
          h264Input({}, rtpH264(options, {{sps, pps, idr}}) + rtpH264(other, {{slice}, {idr}})));
    // Refused payloads among good packets: STAP-B, MTAP16, FU-B, types 0,
    // 30 and 31, a STAP-A size past the end, an FU-A with S and E.
    QList<QByteArray> refused = rtpH264(options, {{sps, pps, idr}, {slice}});
    const QList<QByteArray> payloads = {QByteArray("\x79\x00\x01\x00\x02\x61\x01", 7),
                                        QByteArray("\x7A\x00\x01", 3),
                                        QByteArray("\x7D\x81\x00\x01\x02", 5),
                                        QByteArray("\x60\x01", 2),
                                        QByteArray("\x7E\x01", 2),
                                        QByteArray("\x7F\x01", 2),
                                        QByteArray("\x78\x00\x09\x61\x01", 5),
                                        QByteArray("\x7C\xC1\x01\x02", 4)};
    for (int i = 0; i < payloads.size(); ++i) {
        QByteArray p = refused.at(1).left(12) + payloads.at(i);
        p[3] = char(0x80 + i); // sequence numbers of their own
        refused.insert(2 + i, p);
    }
    write("fuzz_rtp2h264", "refused_mixed", h264Input({}, refused));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_makecorpus <corpus directory>\n");
        return 2;
    }
    g_root = QString::fromLocal8Bit(argv[1]);
    std::mt19937 rng(12345);

    const QByteArray small = jpeg(32, 24, 1, stamped());
    const QByteArray small2 = jpeg(32, 24, 2, stamped(80, 2));
    JpegEncodeOptions plain;
    plain.quality = 30;
    const QByteArray noStamp = jpeg(24, 16, 3, plain);
    const QByteArray gray = renderTestPattern(16, 12, 1, 4);

    // Multipart: TCP streams cut into blocks of several sizes, one part per
    // datagram, and the simulator's bad items between good parts.
    {
        const QByteArray stream = multipartPart(ContentTypeJpeg, small)
                                  + multipartPart(ContentTypeGray, gray)
                                  + multipartPart(ContentTypeJpeg, small2);
        write("fuzz_multipart", "tcp_block1400", QByteArray(1, '\0') + blocks(cut(stream, 1400)));
        write("fuzz_multipart", "tcp_block7",
              QByteArray(1, '\0') + blocks(cut(stream.left(400), 7)));
        write("fuzz_multipart", "udp_parts",
              QByteArray(1, '\1')
                  + blocks({multipartPart(ContentTypeJpeg, small),
                            multipartPart(ContentTypeGray, gray)}));
        for (int k = 0; k < BadPartKindCount; ++k) {
            const auto kind = BadPartKind(k);
            const QByteArray bad = badMultipartItem(kind, ContentTypeGray, gray, rng);
            const QByteArray s = bad.left(3000) + multipartPart(ContentTypeGray, gray);
            write("fuzz_multipart", QStringLiteral("bad_%1").arg(badPartKindName(kind)),
                  QByteArray(1, char(k & 1)) + blocks(cut(s, 997)));
        }
    }

    // RTP: single packets of several layouts, and sequences of frames.
    RtpJpegOptions type1;
    type1.scanBytesPerPacket = 120;
    RtpJpegOptions type65 = type1;
    type65.forceType = 65;
    RtpJpegOptions q50 = type1;
    q50.q = 50;
    const QByteArray restartJpeg = jpeg(32, 24, 5, stamped(50, 2));
    {
        const QList<QByteArray> a = rtpFrames(type1, {small});
        const QList<QByteArray> b = rtpFrames(type65, {restartJpeg});
        const QList<QByteArray> c = rtpFrames(q50, {small});
        write("fuzz_rtppacket", "type1_first", a.first());
        write("fuzz_rtppacket", "type1_last", a.last());
        write("fuzz_rtppacket", "type65_first", b.first());
        write("fuzz_rtppacket", "q50_first", c.first());
        for (int k = 0; k < BadRtpKindCount; ++k) {
            const auto kind = BadRtpKind(k);
            write("fuzz_rtppacket", QStringLiteral("bad_%1").arg(badRtpKindName(kind)),
                  badRtpPacket(kind, a.first(), rng));
        }

        write("fuzz_rtp2jpeg", "type1_two_frames", blocks(rtpFrames(type1, {small, small2})));
        write("fuzz_rtp2jpeg", "type65_frame", blocks(b));
        write("fuzz_rtp2jpeg", "q50_frame", blocks(c));
        QList<QByteArray> lossy = rtpFrames(type1, {small, small2, small});
        lossy.removeAt(1);                        // a lost packet
        lossy.swapItemsAt(2, 3);                  // and a reordered pair
        lossy.append(lossy.at(lossy.size() - 2)); // a late duplicate
        write("fuzz_rtp2jpeg", "lossy", blocks(lossy));
        RtpJpegOptions other = type1;
        other.ssrc = 0xCAFEBABE;
        write("fuzz_rtp2jpeg", "ssrc_change",
              blocks(rtpFrames(type1, {small}) + rtpFrames(other, {small2})));
        // The second frame 20 s behind the first: a restart, confirmed by its
        // second packet; the third frame's first packet alone, 20 s ahead.
        QList<QByteArray> jumps = rtpFrames(type1, {small, small2, small});
        const int perFrame = int(rtpFrames(type1, {small}).size());
        for (int i = perFrame; i < jumps.size(); ++i) {
            const bool ahead = i >= 2 * perFrame;
            if (ahead && i > 2 * perFrame)
                break;
            const quint32 shift = ahead ? 20u * 90000u : quint32(-20 * 90000);
            QByteArray& p = jumps[i];
            const quint32 ts = (quint32(quint8(p[4])) << 24) | (quint32(quint8(p[5])) << 16)
                               | (quint32(quint8(p[6])) << 8) | quint32(quint8(p[7]));
            const quint32 moved = ts + shift;
            for (int b = 0; b < 4; ++b)
                p[4 + b] = char((moved >> (24 - 8 * b)) & 0xFF);
        }
        write("fuzz_rtp2jpeg", "timeline_jumps", blocks(jumps));
        QList<QByteArray> mixed = rtpFrames(type1, {small});
        for (int k = 0; k < BadRtpKindCount; ++k)
            mixed.insert(1 + k % std::max<qsizetype>(mixed.size() - 1, 1),
                         badRtpPacket(BadRtpKind(k), mixed.first(), rng));
        write("fuzz_rtp2jpeg", "bad_mixed", blocks(mixed));
    }

    // APP9 time stamps: stamped frames, plain JFIF, and a frame header only.
    write("fuzz_framemetadata", "stamped", small);
    write("fuzz_framemetadata", "stamped_restart", small2);
    write("fuzz_framemetadata", "no_stamp", noStamp);
    write("fuzz_framemetadata", "header_only", jpegHeaderForReference(small));

    // Header store: no reference, a reference header, a whole small file,
    // each followed by synchronising packets of two streams.
    {
        RtpJpegOptions other = type1;
        other.ssrc = 0x0BADF00D;
        const QByteArray big = jpeg(64, 48, 9, stamped(90));
        QList<QByteArray> sync = {rtpFrames(type1, {small}).first(),
                                  rtpFrames(other, {big}).first(), rtpFrames(q50, {small}).first()};
        sync[2][8] = char(0x11); // q50 stream: another SSRC so it synchronises too
        const QByteArray packets = blocks(sync);
        auto entry = [&](bool withRef, const QByteArray& ref) {
            return QByteArray(1, char(withRef ? 1 : 0)) + be16(int(ref.size())) + ref + packets;
        };
        write("fuzz_jpegheader", "builtin", entry(false, QByteArray()));
        write("fuzz_jpegheader", "reference_header", entry(true, jpegHeaderForReference(small)));
        write("fuzz_jpegheader", "reference_file", entry(true, restartJpeg));
        write("fuzz_jpegheader", "reference_empty", entry(true, QByteArray()));
    }

    // Conversion: raw gray frames of packed and odd widths, JPEG frames
    // (baseline, progressive), each with its configuration head.
    {
        auto head = [](std::int32_t x, std::int32_t y, int styles, int overwrite, int type) {
            return le32(x) + le32(y) + QByteArray(1, char(styles)) + QByteArray(1, char(overwrite))
                   + QByteArray(1, char(type));
        };
        write("fuzz_conversion", "gray_16x12", head(16, 12, 0, 0, 2) + gray);
        write("fuzz_conversion", "gray_odd_width",
              head(5, 40, 0, 0, 2) + renderTestPattern(5, 40, 1, 6));
        write("fuzz_conversion", "gray_override", head(16, 12, 0, 2, 1) + gray);
        write("fuzz_conversion", "jpeg_stamped", head(64, 48, 0, 0, 1) + small);
        write("fuzz_conversion", "jpeg_gray", head(64, 48, 0, 0, 1) + jpeg(16, 16, 7, plain, 1));
        write("fuzz_conversion", "jpeg_progressive",
              head(64, 48, 0, 0, 1) + progressiveJpeg(40, 30));
        write("fuzz_conversion", "unknown_type", head(16, 12, 0, 3, 1) + small);
        // 16-bit gray: little-endian with automatic levels, big-endian with
        // fixed ones, and a frame one byte short.
        write("fuzz_conversion", "gray16_auto",
              head(16, 12, 0x20, 0, 6) + renderGray16Ramp(16, 12, 3, false));
        write("fuzz_conversion", "gray16_big_fixed",
              head(16, 12, 0x70, 6, 1) + renderGray16Ramp(16, 12, 4, true));
        write("fuzz_conversion", "gray16_short",
              head(16, 12, 0x10, 0, 6) + renderGray16Ramp(16, 12, 5, true).chopped(1));
    }
    // HTTP responses: heads with the boundary spelt as cameras spell it,
    // refusals, and parts with and without Content-Length.
    {
        const auto response = [](const QByteArray& head, const QByteArray& body) {
            return be16(int(head.size())) + head + be16(int(body.size())) + body;
        };
        const QByteArray frame = jpeg(16, 16, 1, JpegEncodeOptions{});
        const QByteArray parts = "--cam\r\nContent-Type: image/jpeg\r\nContent-Length: "
                                 + QByteArray::number(frame.size()) + "\r\n\r\n" + frame
                                 + "\r\n--cam\ncontent-type: image/jpeg\n\n" + frame
                                 + "\n--cam--\n";
        write("fuzz_httphead", "stream",
              response("HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace; "
                       "boundary=\"--cam\"\r\n\r\n",
                       parts));
        write("fuzz_httphead", "redirect_then_stream",
              response("HTTP/1.1 302 Found\r\nLocation: /v\r\n\r\nHTTP/1.1 200 OK\r\n"
                       "content-type: Multipart/X-Mixed-Replace;charset=x;BOUNDARY=cam\r\n\r\n",
                       parts));
        write("fuzz_httphead", "unauthorized",
              response("HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"c\"\r\n"
                       "WWW-Authenticate: Digest realm=\"c\", qop=\"auth\", nonce=\"x,y\", "
                       "Negotiate\r\n\r\n",
                       QByteArray()));
        write("fuzz_httphead", "not_found", response("HTTP/2 404\r\n\r\n", "gone"));
    }

    // HTTP requests to the simulated camera, and Authorization fields.
    write("fuzz_httprequest", "stream", "GET /video.mjpg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    write("fuzz_httprequest", "snapshots_pipelined",
          "GET /snapshot.jpg?x=1 HTTP/1.1\r\nConnection: keep-alive\r\n\r\n"
          "HEAD http://127.0.0.1:80/snapshot.jpg HTTP/1.0\nContent-Length: 0\n\n");
    write("fuzz_httprequest", "basic", "Basic " + QByteArray("user:pass:word").toBase64());
    write("fuzz_httprequest", "digest",
          "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", "
          "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", qop=auth, "
          "nc=00000001, cnonce=\"0a4f113b\", response=\"6629fae49393a05397450978507c4ef1\", "
          "opaque=\"a\\\"b\", algorithm=MD5");
    writeH264Seeds();
    // RTSP responses and interleaved frames as a server sends them, and session
    // descriptions.
    const auto bytes = [](const char* text, std::size_t n) {
        return QByteArray(text, qsizetype(n));
    };
    write("fuzz_rtspresponse", "describe",
          bytes("RTSP/1.0 200 OK\r\nCSeq: 2\r\nContent-Type: application/sdp\r\nContent-Base: "
                "rtsp://127.0.0.1:8554/test/\r\nContent-Length: 85\r\n\r\nv=0\r\no=- 1 1 IN IP4 "
                "127.0.0.1\r\ns=x\r\nt=0 0\r\nm=video 0 RTP/AVP 26\r\na=control:stream=0\r\n",
                207));
    write("fuzz_rtspresponse", "options",
          bytes("RTSP/1.0 200 OK\r\nCSeq: 1\r\nPublic: OPTIONS, DESCRIBE, SETUP, PLAY, "
                "GET_PARAMETER, TEARDOWN\r\n\r\n",
                93));
    write("fuzz_rtspresponse", "redirect",
          bytes("RTSP/1.0 302 Moved Temporarily\r\nCSeq: 1\r\nLocation: "
                "rtsp://127.0.0.1:8555/other\r\n\r\n",
                82));
    write(
        "fuzz_rtspresponse", "server_probe",
        bytes(
            "RTSP/1.0 200 OK\r\nCSeq: 4\r\n\r\nOPTIONS * RTSP/1.0\r\nCSeq: 7\r\n\r\n$\x00\x00\x01x",
            64));
    write("fuzz_rtspresponse", "setup_then_interleaved",
          bytes("RTSP/1.0 200 OK\r\nCSeq: 4\r\nSession: 5A3F;timeout=30\r\nTransport: "
                "RTP/AVP/TCP;unicast;interleaved=0-1;ssrc=1234\r\n\r\n$\x00"
                "\x00"
                "\x0c"
                "\x80"
                "\x1a"
                "\x00"
                "\x01"
                "\x00"
                "\x00"
                "\x00"
                "\x00"
                "\x11"
                "\"3D$\x01"
                "\x00"
                "\x04"
                "\x80"
                "\xc8"
                "\x00"
                "\x00"
                "RTSP/1.0 454 Session Not Found\nCSeq: 5\n\n",
                176));
    write("fuzz_rtspresponse", "setup_udp_multicast",
          bytes("RTSP/1.0 200 OK\r\nCSeq: 4\r\nSession: 1;timeout=60\r\nTransport: "
                "RTP/AVP;multicast;destination=224.1.2.3;port=5004-5005;ttl=16,RTP/"
                "AVP;unicast;client_port=5000-5001;server_port=6970-6971\r\n\r\n",
                185));
    write("fuzz_rtspresponse", "unauthorized",
          bytes("RTSP/1.0 401 Unauthorized\r\nCSeq: 3\r\nWWW-Authenticate: Digest realm=\"cam\", "
                "nonce=\"a,b\", qop=\"auth,auth-int\", opaque=\"o\", "
                "stale=FALSE\r\nWWW-Authenticate: Basic realm=\"cam\"\r\n\r\n",
                172));
    write("fuzz_sdp", "gstreamer_jpeg",
          bytes("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=Session streamed with GStreamer\r\nt=0 "
                "0\r\na=control:*\r\nm=video 0 RTP/AVP 26\r\nc=IN IP4 0.0.0.0\r\na=rtpmap:26 "
                "JPEG/90000\r\na=control:stream=0\r\n",
                170));
    write(
        "fuzz_sdp", "h264_multicast",
        bytes(
            "v=0\nc=IN IP4 239.1.1.1/32/2\nm=audio 5000 RTP/AVP 0 8\na=control:trackID=0\nm=video "
            "5002/2 RTP/AVP 96 26\na=rtpmap:96 H264/90000\na=fmtp:96 "
            "packetization-mode=1;sprop-parameter-sets=Z0IAH+KQ,aM4xUg==\na=control:rtsp://"
            "127.0.0.1/cam/trackID=1\nc=IN IP4 224.0.0.9/5\n",
            257));
    return 0;
}
