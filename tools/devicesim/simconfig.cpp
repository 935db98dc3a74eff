// SPDX-License-Identifier: MIT
#include "simconfig.h"

#include <arpa/inet.h>

#include <cmath>

namespace {

constexpr int MaxDimension = 8192;
constexpr double MaxFps = 1000.0;
constexpr int MaxDatagram = 65507;

bool isLoopback(const QString& host)
{
    in_addr addr{};
    if (inet_pton(AF_INET, host.toLatin1().constData(), &addr) != 1)
        return false;
    return (ntohl(addr.s_addr) >> 24) == 127;
}

bool toInt(const QString& text, long long lo, long long hi, long long* out)
{
    bool ok = false;
    const long long v = text.toLongLong(&ok, 0);
    if (!ok || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

bool toDouble(const QString& text, double lo, double hi, double* out)
{
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok || !std::isfinite(v) || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

bool parseBadKinds(const QString& text, SimConfig* c)
{
    c->badPartKinds.clear();
    c->badRtpKinds.clear();
    for (const QString& name : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool known = false;
        for (int k = 0; k < simlib::BadPartKindCount; ++k) {
            const auto kind = simlib::BadPartKind(k);
            if (name == QLatin1String("all")
                || name == QLatin1String(simlib::badPartKindName(kind))) {
                c->badPartKinds.append(kind);
                known = true;
            }
        }
        for (int k = 0; k < simlib::BadRtpKindCount; ++k) {
            const auto kind = simlib::BadRtpKind(k);
            if (name == QLatin1String("all")
                || name == QLatin1String(simlib::badRtpKindName(kind))) {
                c->badRtpKinds.append(kind);
                known = true;
            }
        }
        if (!known)
            return false;
    }
    return true;
}

} // namespace

QString simHelpText()
{
    return QStringLiteral(R"(Usage: framescope-devicesim [options]

A simulated camera on the loopback interface. It sends a moving test picture
with the frame number drawn in, as a multipart stream over TCP or UDP or as
RTP/JPEG (RFC 2435) packets, until the frame count or the duration is reached
or it receives SIGINT or SIGTERM. Destinations outside 127.0.0.0/8 are
refused. It prints a line when it is ready ("listening on ..." or "sending
to ..."), when a TCP client connects ("client N connected") and when a quiet
pause starts; at the end one line of figures ("sent: frames ... dropped ...")
and it exits with 0 (2 for a bad command line, 1 when the socket fails).

Transport:
  --mode tcp|udp|rtp     tcp: listen and serve the multipart stream to every
                         client that connects, from the next frame on, for as
                         long as it stays connected. udp: send the multipart
                         stream in datagrams to --host:--port. rtp: send
                         RTP/JPEG packets to --host:--port. Default tcp.
  --host ADDR            TCP: the address to listen on; UDP, RTP: the
                         destination. A dotted 127.x.y.z address. Default
                         127.0.0.1.
  --port N               Port; 0 with tcp picks a free port. The chosen
                         address is printed ("listening on" or "sending to").
                         Default 5000.
  --datagram-size N      udp: bytes of the stream per datagram, so that parts
                         are split across datagrams (1 ... 65507). Default
                         1400.

Content:
  --content jpeg|gray    jpeg: "image/jpeg" frames from libjpeg; gray: raw
                         8-bit frames of width x height bytes,
                         "video/x-raw-gray" (not with rtp). Default jpeg.
  --width N, --height N  Frame size in pixels (rtp: multiples of 8, at most
                         2040). Default 640 x 480.
  --quality N            JPEG quality 1 ... 100. Default 80.
  --restart-interval N   JPEG restart interval in MCUs, 0 for none. Default 0,
                         or 60 for RTP types 64 and 65.
  --sampling 420|422|444 Chroma sampling of JPEG frames. Default 420 (rtp:
                         what the RTP type implies).
  --no-timestamp         Leave out the APP9 time stamp segment (16-bit frame
                         number, seconds, microseconds of the sender's clock,
                         big-endian) that every JPEG frame carries by default.

Replay:
  --replay FILE          Send the frames of a recording the viewer made
                         (File > Record) at the recorded pace instead of the
                         test picture: tcp and udp as the multipart stream,
                         rtp re-packetized (baseline JPEG frames only; others
                         are skipped and counted as refused). With tcp the
                         replay starts when the first client connects.
  --speed N|max          Replay N times as fast, or as fast as the socket
                         takes the frames. Default 1.
  --loop                 Start the recording over at its end.

Rate and length:
  --fps F                Frames per second (0.1 ... 1000). Default 25.
  --count N              Stop after N frames. Default: no limit.
  --duration S           Stop after S seconds. Default: no limit.
  --pause-every N        After every N frames send nothing for --pause-ms
                         (a quiet device: over TCP the viewer gives up after
                         1 s and connects again). Default 0: never.
  --pause-ms MS          Length of each quiet pause. Default 2000.

RTP:
  --rtp-type 0|1|64|65   RFC 2435 type: 1 and 65 are 4:2:0, 0 and 64 are
                         4:2:2, 64 and 65 carry a restart interval. Default 65
                         with interval 60, which matches the viewer's
                         built-in JPEG header.
  --q N                  Q of the JPEG header: 128 ... 255 sends the
                         quantisation tables in-band on each frame's first
                         packet; 1 ... 99 sends none. Default 255.
  --payload-size N       Scan data bytes per packet (1 ... 65000). Default
                         1400.
  --ssrc N               SSRC (decimal or 0x hex). Default 0x46530001.
  --ssrc-change-every N  Switch to a new SSRC every N frames. Default 0: never.
  --first-sequence N     Sequence number of the first packet (0 ... 65535).
                         Default 0.
  --write-reference FILE Write the JPEG header (SOI through SOS) matching the
                         stream to FILE and go on; name it reference.jpg in
                         the viewer's working directory for types 0 and 1.
  --loss P               Drop P percent of the packets (0 ... 100).
  --reorder P            Send P percent of the packets after their successor.
  --duplicate P          Send P percent of the packets twice.
  --seed N               Seed of the loss, reordering, duplication and bad
                         stream choices, so that runs repeat. Default 1.

Hostile input:
  --bad-every N          Every N-th frame comes with a bad item: for tcp and
                         udp a broken part before the good one, for rtp a
                         malformed packet among the frame's packets. Default 0:
                         never.
  --bad-kinds LIST       Comma-separated kinds to cycle through, default all.
                         Multipart: garbage, truncated, long-length,
                         short-length, bad-header, corrupt-body,
                         huge-dimensions. RTP: empty, short-header,
                         no-jpeg-header, csrc-overrun, cut-restart-header,
                         table-overrun, huge-offset, header-flags.

Other:
  --quiet                Print only errors.
  --help                 Show this text.
  --version              Show the version.
)");
}

bool parseSimConfig(const QStringList& arguments, SimConfig* c, QString* error, bool* helpRequested)
{
    *helpRequested = false;
    *c = SimConfig();
    bool badKindsGiven = false;
    bool restartGiven = false;
    for (int i = 1; i < arguments.size(); ++i) {
        QString name = arguments.at(i);
        QString value;
        bool hasValue = false;
        const int eq = name.indexOf(QLatin1Char('='));
        if (name.startsWith(QLatin1String("--")) && eq > 0) {
            value = name.mid(eq + 1);
            name = name.left(eq);
            hasValue = true;
        }
        auto flag = [&](const char* n) { return name == QLatin1String(n); };
        if (flag("--help") || flag("-h")) {
            *helpRequested = true;
            return true;
        }
        if (flag("--version")) {
            c->versionRequested = true;
            return true;
        }
        if (flag("--no-timestamp")) {
            c->timestamps = false;
            continue;
        }
        if (flag("--quiet")) {
            c->quiet = true;
            continue;
        }
        if (flag("--loop")) {
            c->loop = true;
            continue;
        }
        if (!name.startsWith(QLatin1String("--"))) {
            *error = QStringLiteral("unexpected argument '%1'").arg(name);
            return false;
        }
        if (!hasValue) {
            if (i + 1 >= arguments.size()) {
                *error = QStringLiteral("option %1 needs a value").arg(name);
                return false;
            }
            value = arguments.at(++i);
        }
        long long n = 0;
        double d = 0;
        bool ok = true;
        if (flag("--mode")) {
            if (value == QLatin1String("tcp"))
                c->mode = SimConfig::Mode::Tcp;
            else if (value == QLatin1String("udp"))
                c->mode = SimConfig::Mode::Udp;
            else if (value == QLatin1String("rtp"))
                c->mode = SimConfig::Mode::Rtp;
            else
                ok = false;
        } else if (flag("--host")) {
            c->host = value;
        } else if (flag("--port")) {
            ok = toInt(value, 0, 65535, &n);
            c->port = int(n);
        } else if (flag("--datagram-size")) {
            ok = toInt(value, 1, MaxDatagram, &n);
            c->datagramSize = int(n);
        } else if (flag("--content")) {
            if (value == QLatin1String("jpeg"))
                c->content = SimConfig::Content::Jpeg;
            else if (value == QLatin1String("gray"))
                c->content = SimConfig::Content::Gray;
            else
                ok = false;
        } else if (flag("--width")) {
            ok = toInt(value, 1, MaxDimension, &n);
            c->width = int(n);
        } else if (flag("--height")) {
            ok = toInt(value, 1, MaxDimension, &n);
            c->height = int(n);
        } else if (flag("--quality")) {
            ok = toInt(value, 1, 100, &n);
            c->quality = int(n);
        } else if (flag("--restart-interval")) {
            ok = toInt(value, 0, 65535, &n);
            c->restartInterval = int(n);
            restartGiven = true;
        } else if (flag("--sampling")) {
            c->samplingGiven = true;
            if (value == QLatin1String("420"))
                c->sampling = simlib::Sampling::YCbCr420;
            else if (value == QLatin1String("422"))
                c->sampling = simlib::Sampling::YCbCr422;
            else if (value == QLatin1String("444"))
                c->sampling = simlib::Sampling::YCbCr444;
            else
                ok = false;
        } else if (flag("--fps")) {
            ok = toDouble(value, 0.1, MaxFps, &d);
            c->fps = d;
        } else if (flag("--count")) {
            ok = toInt(value, 0, 1LL << 40, &n);
            c->count = n;
        } else if (flag("--duration")) {
            ok = toDouble(value, 0, 1e7, &d);
            c->duration = d;
        } else if (flag("--pause-every")) {
            ok = toInt(value, 0, 1 << 30, &n);
            c->pauseEvery = int(n);
        } else if (flag("--pause-ms")) {
            ok = toInt(value, 0, 3600000, &n);
            c->pauseMs = int(n);
        } else if (flag("--rtp-type")) {
            ok = toInt(value, 0, 127, &n) && (n == 0 || n == 1 || n == 64 || n == 65);
            c->rtpType = int(n);
        } else if (flag("--q")) {
            ok = toInt(value, 1, 255, &n) && (n < 100 || n >= 128);
            c->q = int(n);
        } else if (flag("--payload-size")) {
            ok = toInt(value, 1, 65000, &n);
            c->payloadSize = int(n);
        } else if (flag("--ssrc")) {
            ok = toInt(value, 0, 0xFFFFFFFFLL, &n);
            c->ssrc = std::uint32_t(n);
        } else if (flag("--ssrc-change-every")) {
            ok = toInt(value, 0, 1 << 30, &n);
            c->ssrcChangeEvery = int(n);
        } else if (flag("--first-sequence")) {
            ok = toInt(value, 0, 65535, &n);
            c->firstSequence = int(n);
        } else if (flag("--replay")) {
            c->replay = value;
            ok = !value.isEmpty();
        } else if (flag("--speed")) {
            if (value == QLatin1String("max"))
                c->speed = 0;
            else {
                ok = toDouble(value, 0.01, 1000, &d);
                c->speed = d;
            }
        } else if (flag("--write-reference")) {
            c->writeReference = value;
            ok = !value.isEmpty();
        } else if (flag("--loss")) {
            ok = toDouble(value, 0, 100, &d);
            c->lossPercent = d;
        } else if (flag("--reorder")) {
            ok = toDouble(value, 0, 100, &d);
            c->reorderPercent = d;
        } else if (flag("--duplicate")) {
            ok = toDouble(value, 0, 100, &d);
            c->duplicatePercent = d;
        } else if (flag("--seed")) {
            ok = toInt(value, 0, 0xFFFFFFFFLL, &n);
            c->seed = std::uint32_t(n);
        } else if (flag("--bad-every")) {
            ok = toInt(value, 0, 1 << 30, &n);
            c->badEvery = int(n);
        } else if (flag("--bad-kinds")) {
            ok = parseBadKinds(value, c);
            badKindsGiven = true;
        } else {
            *error = QStringLiteral("unknown option %1 (see --help)").arg(name);
            return false;
        }
        if (!ok) {
            *error = QStringLiteral("invalid value '%1' for %2 (see --help)").arg(value, name);
            return false;
        }
    }

    if (!isLoopback(c->host)) {
        *error = QStringLiteral("refusing host '%1': only 127.x.y.z loopback addresses are allowed")
                     .arg(c->host);
        return false;
    }
    if (c->mode != SimConfig::Mode::Tcp && c->port == 0) {
        *error = QStringLiteral("udp and rtp need a destination port other than 0");
        return false;
    }
    if (!badKindsGiven)
        parseBadKinds(QStringLiteral("all"), c);
    if (c->mode == SimConfig::Mode::Rtp) {
        if (c->content != SimConfig::Content::Jpeg) {
            *error = QStringLiteral("rtp sends JPEG frames only");
            return false;
        }
        if (c->width % 8 || c->height % 8 || c->width > 2040 || c->height > 2040) {
            *error = QStringLiteral("rtp frame sizes are multiples of 8 up to 2040");
            return false;
        }
        if (c->samplingGiven) {
            const bool want422 = c->rtpType == 0 || c->rtpType == 64;
            const auto expected = want422 ? simlib::Sampling::YCbCr422 : simlib::Sampling::YCbCr420;
            if (c->sampling != expected) {
                *error = QStringLiteral("--sampling does not match --rtp-type %1").arg(c->rtpType);
                return false;
            }
        }
        c->sampling = (c->rtpType == 0 || c->rtpType == 64) ? simlib::Sampling::YCbCr422
                                                            : simlib::Sampling::YCbCr420;
        const bool wantsRestart = c->rtpType >= 64;
        if (!restartGiven)
            c->restartInterval = wantsRestart ? 60 : 0;
        if (wantsRestart != (c->restartInterval > 0)) {
            *error = QStringLiteral("RTP types 64 and 65 need a restart interval, 0 and 1 none");
            return false;
        }
        if (c->badEvery > 0 && c->badRtpKinds.isEmpty()) {
            *error = QStringLiteral("--bad-kinds names no RTP kind");
            return false;
        }
    } else {
        if (!restartGiven)
            c->restartInterval = 0;
        if (c->badEvery > 0 && c->badPartKinds.isEmpty()) {
            *error = QStringLiteral("--bad-kinds names no multipart kind");
            return false;
        }
        if (c->lossPercent > 0 || c->reorderPercent > 0 || c->duplicatePercent > 0
            || c->ssrcChangeEvery > 0 || !c->writeReference.isEmpty()) {
            *error = QStringLiteral("loss, reordering, duplication, SSRC changes and "
                                    "--write-reference apply to rtp only");
            return false;
        }
    }
    return true;
}
