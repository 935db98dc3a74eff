// SPDX-License-Identifier: MIT
#pragma once

#include "httprequest.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QHash>

// HTTP authentication as an IP camera asks for it: Basic, and Digest with
// MD5 and qop "auth" (RFC 7616, RFC 2617).
namespace simlib {

// Lower-case hexadecimal MD5 of `text`.
QByteArray md5Hex(const QByteArray& text);

// The user and password of a "Basic <base64>" credential (scheme name in
// any case). False when it is another scheme, the Base64 is not valid or
// the decoded text has no colon.
bool parseBasicCredentials(const QByteArray& authorization, QByteArray* user, QByteArray* password);

// The parameters of a credential "<scheme> name=value, name="quoted", ...":
// names in lower case, quoted values without their quotes and escapes. False
// when the scheme is not `scheme` (any case), the list is malformed (an
// unterminated quote, a name without value, a parameter given twice) or it
// has more than 32 parameters.
bool parseAuthParams(const QByteArray& authorization, const char* scheme,
                     QHash<QByteArray, QByteArray>* params);

// response = MD5(HA1:nonce:nc:cnonce:qop:HA2) with HA1 = MD5(user:realm:
// password) and HA2 = MD5(method:uri), in lower-case hex.
QByteArray digestResponse(const QByteArray& user, const QByteArray& realm,
                          const QByteArray& password, const QByteArray& method,
                          const QByteArray& uri, const QByteArray& nonce, const QByteArray& nc,
                          const QByteArray& cnonce, const QByteArray& qop);

struct DigestAccount
{
    QByteArray user;
    QByteArray password;
    QByteArray realm;
};

// Whether the parameters of a Digest credential answer the account for a
// request with `method` and `target`: user and realm match, the uri is the
// request's target, qop is "auth", the algorithm MD5 (or not named), nc
// eight hex digits, a cnonce is given and the response is right. The nonce
// is not judged here.
bool digestAnswers(const QHash<QByteArray, QByteArray>& params, const DigestAccount& account,
                   const QByteArray& method, const QByteArray& target);

// The simulator's gate: which schemes it offers, the challenges of a 401
// and the check of a request's Authorization field.
class HttpAuthenticator
{
public:
    enum class Scheme
    {
        Basic,
        Digest,
        Any // both offered, either accepted
    };
    static constexpr const char* Realm = "framescope-devicesim";

    HttpAuthenticator(const QByteArray& user, const QByteArray& password, Scheme scheme);

    // Whether the request carries valid credentials for an offered scheme.
    bool accepts(const HttpRequest& request) const;
    // The values of the WWW-Authenticate fields of a 401, Digest with a
    // fresh nonce.
    QByteArrayList challenges();
    // Whether this authenticator issued the nonce.
    bool issued(const QByteArray& nonce) const;

private:
    QByteArray nonceFor(const QByteArray& serial) const;

    DigestAccount m_account;
    Scheme m_scheme;
    QByteArray m_secret;
    unsigned m_nonces = 0;
};

} // namespace simlib
