// SPDX-License-Identifier: MIT
#include "simconfig.h"

#include <QCommandLineParser>

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <type_traits>
#include <utility>

namespace {

constexpr int MaxDimension = 8192;
constexpr double MaxFps = 1000.0;
constexpr int MaxDatagram = 65507;

using Arg = const QString&;
using Cfg = SimConfig*;
using Mode = SimConfig::Mode;
using Content = SimConfig::Content;
using simlib::Sampling;

bool isLoopback(const QString& host)
{
    in_addr addr{};
    if (inet_pton(AF_INET, host.toLatin1().constData(), &addr) != 1)
        return false;
    return (ntohl(addr.s_addr) >> 24) == 127;
}

// Options whose value is a number in a range; an integer may be written in
// hex (0x...).
template <auto Field, long long Lo, long long Hi> bool num(Arg text, Cfg c)
{
    bool ok = false;
    const long long v = text.toLongLong(&ok, 0);
    ok = ok && v >= Lo && v <= Hi;
    if (ok)
        c->*Field = std::remove_reference_t<decltype(c->*Field)>(v);
    return ok;
}
// A real number's range is a type, since floating-point template arguments
// are not understood by every compiler and tool the project is built with.
struct SpeedRange
{
    static constexpr double lo = 0.01, hi = 1000.0;
};
struct FpsRange
{
    static constexpr double lo = 0.1, hi = MaxFps;
};
struct SecondsRange
{
    static constexpr double lo = 0.0, hi = 1e7;
};
struct GapRange
{
    static constexpr double lo = 0.001, hi = 86400.0;
};
struct PercentRange
{
    static constexpr double lo = 0.0, hi = 100.0;
};
template <auto Field, typename R> bool real(Arg text, Cfg c)
{
    bool ok = false;
    const double v = text.toDouble(&ok);
    ok = ok && std::isfinite(v) && v >= R::lo && v <= R::hi;
    if (ok)
        c->*Field = v;
    return ok;
}

// Switches, and options whose value is kept as text.
template <auto Field, auto Value> bool set(Arg, Cfg c)
{
    c->*Field = Value;
    return true;
}
template <auto Field, bool MayBeEmpty> bool text(Arg value, Cfg c)
{
    c->*Field = value;
    return MayBeEmpty || !value.isEmpty();
}

// Options whose value is one of a few words.
template <typename E>
bool pick(Arg text, std::initializer_list<std::pair<const char*, std::type_identity_t<E>>> words,
          E* out)
{
    for (const auto& [word, value] : words) {
        if (text == QLatin1String(word)) {
            *out = value;
            return true;
        }
    }
    return false;
}

bool parseBadKinds(Arg text, Cfg c)
{
    c->badPartKinds.clear();
    c->badRtpKinds.clear();
    for (const QString& name : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const bool all = name == QLatin1String("all");
        bool known = all;
        for (int k = 0; k < simlib::BadPartKindCount; ++k) {
            if (all || name == QLatin1String(simlib::badPartKindName(simlib::BadPartKind(k)))) {
                c->badPartKinds.append(simlib::BadPartKind(k));
                known = true;
            }
        }
        for (int k = 0; k < simlib::BadRtpKindCount; ++k) {
            if (all || name == QLatin1String(simlib::badRtpKindName(simlib::BadRtpKind(k)))) {
                c->badRtpKinds.append(simlib::BadRtpKind(k));
                known = true;
            }
        }
        if (!known)
            return false;
    }
    return true;
}

// Every option once: its names (comma-separated, the long one last), its
// value as --help names it (none for a switch) and what the value does to
// the configuration (false: not a valid value). --help has no effect on the
// configuration: parsing ends with it.
struct SimOption
{
    const char* names;
    const char* value;
    bool (*apply)(Arg value, Cfg c);
};

const SimOption Options[] = {
    {"mode", "tcp|udp|rtp",
     [](Arg v, Cfg c) {
         return pick(v, {{"tcp", Mode::Tcp}, {"udp", Mode::Udp}, {"rtp", Mode::Rtp}}, &c->mode);
     }},
    {"host", "ADDR", text<&SimConfig::host, true>},
    {"port", "N", num<&SimConfig::port, 0, 65535>},
    {"datagram-size", "N", num<&SimConfig::datagramSize, 1, MaxDatagram>},
    {"content", "jpeg|gray",
     [](Arg v, Cfg c) {
         return pick(v, {{"jpeg", Content::Jpeg}, {"gray", Content::Gray}}, &c->content);
     }},
    {"width", "N", num<&SimConfig::width, 1, MaxDimension>},
    {"height", "N", num<&SimConfig::height, 1, MaxDimension>},
    {"quality", "N", num<&SimConfig::quality, 1, 100>},
    {"restart-interval", "N", num<&SimConfig::restartInterval, 0, 65535>},
    {"sampling", "420|422|444",
     [](Arg v, Cfg c) {
         c->samplingGiven = true;
         return pick(v,
                     {{"420", Sampling::YCbCr420},
                      {"422", Sampling::YCbCr422},
                      {"444", Sampling::YCbCr444}},
                     &c->sampling);
     }},
    {"no-timestamp", nullptr, set<&SimConfig::timestamps, false>},
    {"replay", "FILE", text<&SimConfig::replay, false>},
    {"speed", "N|max",
     [](Arg v, Cfg c) {
         c->speed = 0;
         return v == QLatin1String("max") || real<&SimConfig::speed, SpeedRange>(v, c);
     }},
    {"loop", nullptr, set<&SimConfig::loop, true>},
    {"max-gap", "S", real<&SimConfig::maxGap, GapRange>},
    {"fps", "F", real<&SimConfig::fps, FpsRange>},
    {"count", "N", num<&SimConfig::count, 0, 1LL << 40>},
    {"duration", "S", real<&SimConfig::duration, SecondsRange>},
    {"pause-every", "N", num<&SimConfig::pauseEvery, 0, 1 << 30>},
    {"pause-ms", "MS", num<&SimConfig::pauseMs, 0, 3600000>},
    {"rtp-type", "0|1|64|65",
     [](Arg v, Cfg c) {
         return num<&SimConfig::rtpType, 0, 127>(v, c) && QList{0, 1, 64, 65}.contains(c->rtpType);
     }},
    {"q", "N",
     [](Arg v, Cfg c) { return num<&SimConfig::q, 1, 255>(v, c) && (c->q < 100 || c->q >= 128); }},
    {"payload-size", "N", num<&SimConfig::payloadSize, 1, 65000>},
    {"ssrc", "N", num<&SimConfig::ssrc, 0, 0xFFFFFFFFLL>},
    {"ssrc-change-every", "N", num<&SimConfig::ssrcChangeEvery, 0, 1 << 30>},
    {"first-sequence", "N", num<&SimConfig::firstSequence, 0, 65535>},
    {"write-reference", "FILE", text<&SimConfig::writeReference, false>},
    {"loss", "P", real<&SimConfig::lossPercent, PercentRange>},
    {"reorder", "P", real<&SimConfig::reorderPercent, PercentRange>},
    {"duplicate", "P", real<&SimConfig::duplicatePercent, PercentRange>},
    {"seed", "N", num<&SimConfig::seed, 0, 0xFFFFFFFFLL>},
    {"bad-every", "N", num<&SimConfig::badEvery, 0, 1 << 30>},
    {"bad-kinds", "LIST", parseBadKinds},
    {"quiet", nullptr, set<&SimConfig::quiet, true>},
    {"h,help", nullptr, nullptr},
    {"version", nullptr, set<&SimConfig::versionRequested, true>},
};

QStringList namesOf(const SimOption& o)
{
    return QString::fromLatin1(o.names).split(QLatin1Char(','));
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
and it exits with 0 (2 for a bad command line, 1 when the socket fails or a
--replay cannot be read or sends nothing).

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
                         Only a regular file is read (a FIFO or device is
                         refused), piece by piece. A file that is empty or
                         holds no frame is refused with what was found in it
                         ("... holds no frame to replay: 0 frames in 2 parts
                         (180 bytes), 2 left out"); a part that gives no
                         frame, such as one longer than 64 MiB, is named
                         ("the part at byte N ...; left out"), and the end of
                         the first pass prints "end of the recording: ...". A
                         file that shrinks while it is read, or a pass in
                         which every frame was refused, ends the replay with
                         an error and exit code 1.
  --speed N|max          Replay N times as fast, or as fast as the socket
                         takes the frames. Default 1.
  --loop                 Start the recording over at its end, one mean frame
                         period after its last frame. A recording without a
                         recorded duration (one frame, or frames sharing one
                         time) then goes on at --fps.
  --max-gap S            The longest wait between two frames (0.001 ...
                         86400 s); a longer recorded gap is shortened, with a
                         line "a wait of X s before frame N is shortened to S
                         s" for each of the first ten. Default 10.

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
    const auto refuse = [error](const QString& why) {
        *error = why;
        return false;
    };
    // --help and --version end the command line: what follows them is not
    // looked at, what precedes them must be right.
    const auto end = std::find_if(arguments.begin(), arguments.end(), [](const QString& a) {
        return a == QLatin1String("--help") || a == QLatin1String("-h")
               || a == QLatin1String("--version");
    });
    const QStringList given(arguments.begin(), end == arguments.end() ? end : std::next(end));
    QCommandLineParser parser;
    for (const SimOption& o : Options)
        parser.addOption(QCommandLineOption(namesOf(o), QString(), QLatin1String(o.value)));
    if (!parser.parse(given)) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty())
            return refuse(QStringLiteral("unknown option %1%2 (see --help)")
                              .arg(QLatin1String(unknown[0].size() == 1 ? "-" : "--"), unknown[0]));
        // An option that takes a value fails only as the last argument:
        // whatever follows it is taken as its value.
        const QString& last = given.last();
        return refuse(last.startsWith(QLatin1Char('-')) && !last.contains(QLatin1Char('='))
                          ? QStringLiteral("option %1 needs a value").arg(last)
                          : parser.errorText());
    }
    if (!parser.positionalArguments().isEmpty())
        return refuse(
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    for (const SimOption& o : Options) {
        const QString name = namesOf(o).last();
        const QStringList values =
            o.value ? parser.values(name) : QStringList(parser.isSet(name) ? 1 : 0, QString());
        for (const QString& value : values) {
            if (o.apply && !o.apply(value, c))
                return refuse(
                    QStringLiteral("invalid value '%1' for --%2 (see --help)").arg(value, name));
        }
    }
    *helpRequested = parser.isSet(QStringLiteral("help"));
    if (*helpRequested || c->versionRequested)
        return true;

    if (!isLoopback(c->host))
        return refuse(
            QStringLiteral("refusing host '%1': only 127.x.y.z loopback addresses are allowed")
                .arg(c->host));
    if (c->mode != Mode::Tcp && c->port == 0)
        return refuse(QStringLiteral("udp and rtp need a destination port other than 0"));
    if (!parser.isSet(QStringLiteral("bad-kinds")))
        parseBadKinds(QStringLiteral("all"), c);
    const bool restartGiven = parser.isSet(QStringLiteral("restart-interval"));
    if (c->mode != Mode::Rtp) {
        if (!restartGiven)
            c->restartInterval = 0;
        if (c->badEvery > 0 && c->badPartKinds.isEmpty())
            return refuse(QStringLiteral("--bad-kinds names no multipart kind"));
        if (c->lossPercent > 0 || c->reorderPercent > 0 || c->duplicatePercent > 0
            || c->ssrcChangeEvery > 0 || !c->writeReference.isEmpty())
            return refuse(QStringLiteral("loss, reordering, duplication, SSRC changes and "
                                         "--write-reference apply to rtp only"));
        return true;
    }
    if (c->content != Content::Jpeg)
        return refuse(QStringLiteral("rtp sends JPEG frames only"));
    if (c->width % 8 || c->height % 8 || c->width > 2040 || c->height > 2040)
        return refuse(QStringLiteral("rtp frame sizes are multiples of 8 up to 2040"));
    const Sampling implied =
        (c->rtpType == 0 || c->rtpType == 64) ? Sampling::YCbCr422 : Sampling::YCbCr420;
    if (c->samplingGiven && c->sampling != implied)
        return refuse(QStringLiteral("--sampling does not match --rtp-type %1").arg(c->rtpType));
    c->sampling = implied;
    const bool wantsRestart = c->rtpType >= 64;
    if (!restartGiven)
        c->restartInterval = wantsRestart ? 60 : 0;
    if (wantsRestart != (c->restartInterval > 0))
        return refuse(QStringLiteral("RTP types 64 and 65 need a restart interval, 0 and 1 none"));
    if (c->badEvery > 0 && c->badRtpKinds.isEmpty())
        return refuse(QStringLiteral("--bad-kinds names no RTP kind"));
    return true;
}
