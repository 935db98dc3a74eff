// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

struct SimConfig;

// What the command line decides for --mode http: the paths served, the
// framing of the stream, the account a client must give and when the
// simulated camera drops its clients.
struct HttpSimOptions
{
    enum class Auth
    {
        None,
        Basic,
        Digest,
        Any
    };
    // Variations of the stream's framing, combinable (--http-style LIST).
    enum Style : unsigned
    {
        Plain = 0,
        QuotedBoundary = 1u << 0, // boundary="..." in the Content-Type field
        NoLength = 1u << 1,       // parts without a Content-Length line
        LfOnly = 1u << 2,         // part lines end with LF alone
        DashedBoundary = 1u << 3, // the announced boundary begins with "--"
    };

    QString streamPath = QStringLiteral("/video.mjpg");
    QString snapshotPath = QStringLiteral("/snapshot.jpg");
    unsigned style = Plain;
    QString user;
    QString password;
    bool passwordGiven = false;
    Auth auth = Auth::None;
    bool authGiven = false;
    // Close a streaming client once it has been given this many parts; 0:
    // never.
    long long dropAfter = 0;
};

// Appliers of the http options' values (false: not a valid value).
namespace httpoptions {
bool setStreamPath(const QString& value, SimConfig* c);
bool setSnapshotPath(const QString& value, SimConfig* c);
bool setStyle(const QString& value, SimConfig* c);
bool setUser(const QString& value, SimConfig* c);
bool setPassword(const QString& value, SimConfig* c);
bool setAuth(const QString& value, SimConfig* c);
bool setDropAfter(const QString& value, SimConfig* c);

// Checks the http options against the rest of the command line once it
// has been read; false with a message when they do not fit together.
// Settles the scheme: basic when a user is given without --auth.
bool check(SimConfig* c, bool httpOptionGiven, QString* error);
} // namespace httpoptions
