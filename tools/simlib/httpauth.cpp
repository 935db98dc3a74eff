// SPDX-License-Identifier: MIT
#include "httpauth.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

namespace simlib {

namespace {

constexpr int MaxAuthParams = 32;

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool isHex(const QByteArray& text, qsizetype length)
{
    if (text.size() != length)
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

// The text after "<scheme> " when the credential is of that scheme.
bool schemeRest(const QByteArray& authorization, const char* scheme, QByteArray* rest)
{
    const QByteArray text = authorization.trimmed();
    qsizetype end = 0;
    while (end < text.size() && !isBlank(text[end]))
        ++end;
    if (!equalsNoCase(text.left(end), scheme))
        return false;
    *rest = text.mid(end).trimmed();
    return true;
}

// Equal without stopping at the first difference, so that the time taken
// does not tell how much of a guess was right.
bool sameBytes(const QByteArray& a, const QByteArray& b)
{
    if (a.size() != b.size())
        return false;
    unsigned diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= unsigned(static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i]));
    return diff == 0;
}

} // namespace

QByteArray md5Hex(const QByteArray& text)
{
    return QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex();
}

bool parseBasicCredentials(const QByteArray& authorization, QByteArray* user, QByteArray* password)
{
    QByteArray encoded;
    if (!schemeRest(authorization, "Basic", &encoded) || encoded.isEmpty())
        return false;
    const auto result =
        QByteArray::fromBase64Encoding(encoded, QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return false;
    const QByteArray& decoded = result.decoded;
    const qsizetype colon = decoded.indexOf(':');
    if (colon < 0)
        return false;
    *user = decoded.left(colon);
    *password = decoded.mid(colon + 1);
    return true;
}

bool parseAuthParams(const QByteArray& authorization, const char* scheme,
                     QHash<QByteArray, QByteArray>* params)
{
    params->clear();
    QByteArray text;
    if (!schemeRest(authorization, scheme, &text))
        return false;
    const qsizetype n = text.size();
    qsizetype i = 0;
    const auto skipBlanks = [&] {
        while (i < n && isBlank(text[i]))
            ++i;
    };
    while (i < n) {
        // Empty list elements are allowed: "a=1, , b=2".
        if (text[i] == ',' || isBlank(text[i])) {
            ++i;
            continue;
        }
        const qsizetype nameStart = i;
        while (i < n && text[i] != '=' && text[i] != ',' && !isBlank(text[i]) && text[i] != '"')
            ++i;
        const QByteArray name = text.mid(nameStart, i - nameStart).toLower();
        skipBlanks();
        if (name.isEmpty() || i >= n || text[i] != '=')
            return false;
        ++i;
        skipBlanks();
        QByteArray value;
        if (i < n && text[i] == '"') {
            ++i;
            bool closed = false;
            while (i < n) {
                const char c = text[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\') {
                    if (i >= n)
                        return false;
                    value += text[i++];
                } else {
                    value += c;
                }
            }
            if (!closed)
                return false;
        } else {
            const qsizetype valueStart = i;
            while (i < n && text[i] != ',' && !isBlank(text[i]) && text[i] != '"')
                ++i;
            value = text.mid(valueStart, i - valueStart);
            if (value.isEmpty())
                return false;
        }
        skipBlanks();
        if (i < n && text[i] != ',')
            return false;
        if (params->contains(name) || params->size() >= MaxAuthParams)
            return false;
        params->insert(name, value);
    }
    return true;
}

QByteArray digestResponse(const QByteArray& user, const QByteArray& realm,
                          const QByteArray& password, const QByteArray& method,
                          const QByteArray& uri, const QByteArray& nonce, const QByteArray& nc,
                          const QByteArray& cnonce, const QByteArray& qop)
{
    const QByteArray ha1 = md5Hex(user + ':' + realm + ':' + password);
    const QByteArray ha2 = md5Hex(method + ':' + uri);
    return md5Hex(ha1 + ':' + nonce + ':' + nc + ':' + cnonce + ':' + qop + ':' + ha2);
}

bool digestAnswers(const QHash<QByteArray, QByteArray>& p, const DigestAccount& account,
                   const QByteArray& method, const QByteArray& target)
{
    for (const char* required :
         {"username", "realm", "nonce", "uri", "response", "qop", "nc", "cnonce"}) {
        if (!p.contains(required))
            return false;
    }
    if (p.contains("algorithm") && !equalsNoCase(p.value("algorithm"), "MD5"))
        return false;
    // A hashed user name is not offered, so it cannot be matched.
    if (p.contains("userhash") && !equalsNoCase(p.value("userhash"), "false"))
        return false;
    if (p.value("username") != account.user || p.value("realm") != account.realm
        || p.value("uri") != target || !equalsNoCase(p.value("qop"), "auth")
        || !isHex(p.value("nc"), 8) || p.value("cnonce").isEmpty()
        || !isHex(p.value("response"), 32))
        return false;
    const QByteArray expected =
        digestResponse(account.user, account.realm, account.password, method, target,
                       p.value("nonce"), p.value("nc"), p.value("cnonce"), p.value("qop"));
    return sameBytes(p.value("response").toLower(), expected);
}

HttpAuthenticator::HttpAuthenticator(const QByteArray& user, const QByteArray& password,
                                     Scheme scheme)
    : m_account{user, password, Realm}, m_scheme(scheme)
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    m_secret = QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex();
}

bool HttpAuthenticator::accepts(const HttpRequest& request) const
{
    bool found = false;
    const QByteArray authorization = request.field("Authorization", &found);
    if (!found)
        return false;
    if (m_scheme != Scheme::Digest) {
        QByteArray user;
        QByteArray password;
        if (parseBasicCredentials(authorization, &user, &password))
            return sameBytes(user, m_account.user) && sameBytes(password, m_account.password);
    }
    if (m_scheme != Scheme::Basic) {
        QHash<QByteArray, QByteArray> params;
        if (parseAuthParams(authorization, "Digest", &params))
            return issued(params.value("nonce"))
                   && digestAnswers(params, m_account, request.method, request.target);
    }
    return false;
}

QByteArray HttpAuthenticator::nonceFor(const QByteArray& serial) const
{
    return serial + md5Hex(m_secret + ':' + serial);
}

bool HttpAuthenticator::issued(const QByteArray& nonce) const
{
    // Eight hex digits of a serial number, then the MD5 of the secret and
    // the serial: a nonce is checked without keeping a list of them.
    return isHex(nonce, 40) && sameBytes(nonce, nonceFor(nonce.left(8)));
}

QByteArrayList HttpAuthenticator::challenges()
{
    const QByteArray realm = QByteArray("realm=\"") + Realm + '"';
    QByteArrayList out;
    if (m_scheme != Scheme::Digest)
        out.append("Basic " + realm);
    if (m_scheme != Scheme::Basic) {
        const QByteArray serial = QByteArray::number(m_nonces++, 16).rightJustified(8, '0');
        out.append("Digest " + realm + ", qop=\"auth\", nonce=\"" + nonceFor(serial)
                   + "\", algorithm=MD5");
    }
    return out;
}

} // namespace simlib
