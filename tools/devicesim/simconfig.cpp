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
// hex (0x...). Otherwise it is decimal, also with leading zeros ("010" is
// ten, not the octal eight).
template <auto Field, long long Lo, long long Hi> bool num(Arg text, Cfg c)
{
    bool ok = false;
    const bool hex = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
    const long long v = hex ? text.mid(2).toLongLong(&ok, 16) : text.toLongLong(&ok, 10);
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
    {"mode", "tcp|udp|rtp|http",
     [](Arg v, Cfg c) {
         return pick(
             v, {{"tcp", Mode::Tcp}, {"udp", Mode::Udp}, {"rtp", Mode::Rtp}, {"http", Mode::Http}},
             &c->mode);
     }},
    {"host", "ADDR", text<&SimConfig::host, true>},
    {"port", "N", num<&SimConfig::port, 0, 65535>},
    {"datagram-size", "N", num<&SimConfig::datagramSize, 1, MaxDatagram>},
    {"content", "jpeg|gray|gray16",
     [](Arg v, Cfg c) {
         return pick(
             v, {{"jpeg", Content::Jpeg}, {"gray", Content::Gray}, {"gray16", Content::Gray16}},
             &c->content);
     }},
    {"pixel-order", "little|big",
     [](Arg v, Cfg c) {
         return pick(v, {{"little", false}, {"big", true}}, &c->bigEndian);
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
    {"h264", "FILE", text<&SimConfig::h264File, false>},
    {"max-gap", "S", real<&SimConfig::maxGap, GapRange>},
    {"fps", "F", real<&SimConfig::fps, FpsRange>},
    {"count", "N", num<&SimConfig::count, 0, 1LL << 40>},
    {"pregenerate", "N", num<&SimConfig::pregenerate, 0, SimConfig::MaxPregenerate>},
    {"wait-client", nullptr, set<&SimConfig::waitClient, true>},
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
    {"http-path", "PATH", httpoptions::setStreamPath},
    {"snapshot-path", "PATH", httpoptions::setSnapshotPath},
    {"http-style", "LIST", httpoptions::setStyle},
    {"user", "NAME", httpoptions::setUser},
    {"password", "TEXT", httpoptions::setPassword},
    {"auth", "basic|digest|any", httpoptions::setAuth},
    {"drop-after", "N", httpoptions::setDropAfter},
    {"quiet", nullptr, set<&SimConfig::quiet, true>},
    {"h,help", nullptr, nullptr},
    {"version", nullptr, set<&SimConfig::versionRequested, true>},
};

const char* const HttpOptionNames[] = {"http-path", "snapshot-path", "http-style", "user",
                                       "password",  "auth",          "drop-after"};

QStringList namesOf(const SimOption& o)
{
    return QString::fromLatin1(o.names).split(QLatin1Char(','));
}

} // namespace

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
    if ((c->mode == Mode::Udp || c->mode == Mode::Rtp) && c->port == 0)
        return refuse(QStringLiteral("udp and rtp need a destination port other than 0"));
    if (!parser.isSet(QStringLiteral("bad-kinds")))
        parseBadKinds(QStringLiteral("all"), c);
    const bool httpOptionGiven =
        std::any_of(std::begin(HttpOptionNames), std::end(HttpOptionNames),
                    [&parser](const char* name) { return parser.isSet(QLatin1String(name)); });
    if (!httpoptions::check(c, httpOptionGiven, error))
        return false;
    const bool restartGiven = parser.isSet(QStringLiteral("restart-interval"));
    if (!c->h264File.isEmpty() && (c->mode != Mode::Rtp || !c->replay.isEmpty()))
        return refuse(QStringLiteral("--h264 needs --mode rtp and no --replay"));
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
