// SPDX-License-Identifier: MIT
#include "rtspauth.h"

#include <QCryptographicHash>
#include <QRandomGenerator>

namespace {

QByteArray md5Hex(const QByteArray& text)
{
    return QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex();
}

QByteArray bytes(const std::string& s)
{
    return QByteArray(s.data(), qsizetype(s.size()));
}

// A quoted-string value: quotes and backslashes of a user name are escaped.
QByteArray quoted(const QByteArray& value)
{
    QByteArray out = "\"";
    for (const char c : value) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + '"';
}

} // namespace

void RtspAuth::setCredentials(const QString& user, const QString& password)
{
    m_user = user.toUtf8();
    m_password = password.toUtf8();
}

bool RtspAuth::accept(const std::vector<RtspChallenge>& challenges)
{
    m_scheme = Scheme::None;
    if (!hasCredentials())
        return false;
    for (const RtspChallenge& c : challenges) {
        const bool md5 = c.algorithm.empty() || c.algorithm == "MD5" || c.algorithm == "md5";
        // A Digest challenge offering qop without "auth" cannot be answered.
        if (c.isDigest() && md5 && !c.nonce.empty() && (!c.qopOffered || c.qopAuth)) {
            m_scheme = Scheme::Digest;
            m_challenge = c;
            m_nonceCount = 0;
            return true;
        }
    }
    for (const RtspChallenge& c : challenges) {
        if (c.isBasic()) {
            m_scheme = Scheme::Basic;
            m_challenge = c;
            return true;
        }
    }
    return false;
}

std::string RtspAuth::header(std::string_view method, std::string_view uri)
{
    if (m_scheme == Scheme::Basic)
        return "Authorization: Basic " + (m_user + ':' + m_password).toBase64().toStdString()
               + "\r\n";
    if (m_scheme != Scheme::Digest)
        return {};
    const QByteArray realm = bytes(m_challenge.realm);
    const QByteArray nonce = bytes(m_challenge.nonce);
    const QByteArray uriBytes(uri.data(), qsizetype(uri.size()));
    QByteArray qop;
    QByteArray nc;
    QByteArray cnonce;
    if (m_challenge.qopAuth) {
        qop = "auth";
        nc = QByteArray::number(++m_nonceCount, 16).rightJustified(8, '0');
        cnonce = QByteArray::number(QRandomGenerator::global()->generate64(), 16);
    }
    const QByteArray response = digestResponse(m_user, realm, m_password,
                                               QByteArray(method.data(), qsizetype(method.size())),
                                               uriBytes, nonce, nc, cnonce, qop);
    QByteArray line = "Authorization: Digest username=" + quoted(m_user)
                      + ", realm=" + quoted(realm) + ", nonce=" + quoted(nonce)
                      + ", uri=" + quoted(uriBytes) + ", response=\"" + response + '"';
    if (!m_challenge.algorithm.empty())
        line += ", algorithm=" + bytes(m_challenge.algorithm);
    if (!m_challenge.opaque.empty())
        line += ", opaque=" + quoted(bytes(m_challenge.opaque));
    if (!qop.isEmpty())
        line += ", qop=auth, nc=" + nc + ", cnonce=\"" + cnonce + '"';
    return line.toStdString() + "\r\n";
}

QByteArray RtspAuth::digestResponse(const QByteArray& user, const QByteArray& realm,
                                    const QByteArray& password, const QByteArray& method,
                                    const QByteArray& uri, const QByteArray& nonce,
                                    const QByteArray& nc, const QByteArray& cnonce,
                                    const QByteArray& qop)
{
    const QByteArray ha1 = md5Hex(user + ':' + realm + ':' + password);
    const QByteArray ha2 = md5Hex(method + ':' + uri);
    if (qop.isEmpty())
        return md5Hex(ha1 + ':' + nonce + ':' + ha2);
    return md5Hex(ha1 + ':' + nonce + ':' + nc + ':' + cnonce + ':' + qop + ':' + ha2);
}
