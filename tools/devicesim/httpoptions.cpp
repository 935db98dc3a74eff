// SPDX-License-Identifier: MIT
#include "httpoptions.h"

#include "simconfig.h"

#include <QStringList>

#include <algorithm>

namespace {

// An origin-form path: "/" first, then printable ASCII without blanks.
bool isPath(const QString& value)
{
    if (!value.startsWith(QLatin1Char('/')))
        return false;
    for (const QChar ch : value) {
        if (ch.unicode() <= 0x20 || ch.unicode() >= 0x7F || ch == QLatin1Char('?')
            || ch == QLatin1Char('#'))
            return false;
    }
    return true;
}

} // namespace

namespace httpoptions {

bool setStreamPath(const QString& value, SimConfig* c)
{
    c->http.streamPath = value;
    return isPath(value);
}

bool setSnapshotPath(const QString& value, SimConfig* c)
{
    c->http.snapshotPath = value;
    return isPath(value);
}

bool setStyle(const QString& value, SimConfig* c)
{
    c->http.style = HttpSimOptions::Plain;
    for (const QString& word : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        if (word == QLatin1String("plain"))
            continue;
        if (word == QLatin1String("quoted"))
            c->http.style |= HttpSimOptions::QuotedBoundary;
        else if (word == QLatin1String("no-length"))
            c->http.style |= HttpSimOptions::NoLength;
        else if (word == QLatin1String("lf"))
            c->http.style |= HttpSimOptions::LfOnly;
        else if (word == QLatin1String("dashed"))
            c->http.style |= HttpSimOptions::DashedBoundary;
        else
            return false;
    }
    return true;
}

bool setUser(const QString& value, SimConfig* c)
{
    // Basic credentials are "user:password": a user name cannot hold a
    // colon, nor a control character.
    c->http.user = value;
    return !value.isEmpty() && std::none_of(value.begin(), value.end(), [](QChar ch) {
        return ch == QLatin1Char(':') || ch.unicode() < 0x20 || ch.unicode() == 0x7F;
    });
}

bool setPassword(const QString& value, SimConfig* c)
{
    // Every value is taken, so that no message ever repeats the password.
    c->http.password = value;
    c->http.passwordGiven = true;
    return true;
}

bool setAuth(const QString& value, SimConfig* c)
{
    using Auth = HttpSimOptions::Auth;
    c->http.authGiven = true;
    if (value == QLatin1String("basic"))
        c->http.auth = Auth::Basic;
    else if (value == QLatin1String("digest"))
        c->http.auth = Auth::Digest;
    else if (value == QLatin1String("any"))
        c->http.auth = Auth::Any;
    else
        return false;
    return true;
}

bool setDropAfter(const QString& value, SimConfig* c)
{
    bool ok = false;
    const long long v = value.toLongLong(&ok);
    ok = ok && v >= 0 && v <= (1LL << 40);
    if (ok)
        c->http.dropAfter = v;
    return ok;
}

bool check(SimConfig* c, bool httpOptionGiven, QString* error)
{
    const auto refuse = [error](const char* why) {
        *error = QLatin1String(why);
        return false;
    };
    HttpSimOptions& h = c->http;
    if (c->mode != SimConfig::Mode::Http)
        return !httpOptionGiven
               || refuse("--http-path, --snapshot-path, --http-style, --user, --password, --auth "
                         "and --drop-after apply to --mode http only");
    if (c->content != SimConfig::Content::Jpeg)
        return refuse("http sends JPEG frames only");
    if (!c->replay.isEmpty())
        return refuse("--replay is not offered with --mode http");
    if (c->badEvery > 0)
        return refuse("--bad-every applies to tcp, udp and rtp");
    if (h.streamPath == h.snapshotPath)
        return refuse("--http-path and --snapshot-path must differ");
    if (!h.user.isEmpty() && !h.passwordGiven)
        return refuse("--user needs --password");
    if (h.passwordGiven && h.user.isEmpty())
        return refuse("--password needs --user");
    if (h.authGiven && h.user.isEmpty())
        return refuse("--auth needs --user and --password");
    if (!h.user.isEmpty() && !h.authGiven)
        h.auth = HttpSimOptions::Auth::Basic;
    return true;
}

} // namespace httpoptions
