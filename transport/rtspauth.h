// SPDX-License-Identifier: MIT
#pragma once

#include "rtspresponse.h"

#include <QByteArray>
#include <QString>

#include <string>
#include <string_view>
#include <vector>

// The Authorization header of an RTSP session's requests: Basic, or Digest
// with MD5 and qop=auth where the server offers it (RFC 2617, RFC 7616).
// Nothing is sent before the server has asked with a 401.
class RtspAuth
{
public:
    void setCredentials(const QString& user, const QString& password);
    bool hasCredentials() const { return !m_user.isEmpty() || !m_password.isEmpty(); }

    // Takes the challenges of a 401 response, Digest before Basic; false
    // when none can be answered (no credentials, only unknown schemes or
    // algorithms).
    bool accept(const std::vector<RtspChallenge>& challenges);
    // Whether a challenge was accepted and is answered.
    bool active() const { return m_scheme != Scheme::None; }

    // "Authorization: ...\r\n" for a request, or nothing before a challenge.
    std::string header(std::string_view method, std::string_view uri);

    // The Digest response: MD5 of HA1:nonce[:nc:cnonce:qop]:HA2, in lower
    // case hexadecimal; `qop` empty for the RFC 2069 form.
    static QByteArray digestResponse(const QByteArray& user, const QByteArray& realm,
                                     const QByteArray& password, const QByteArray& method,
                                     const QByteArray& uri, const QByteArray& nonce,
                                     const QByteArray& nc, const QByteArray& cnonce,
                                     const QByteArray& qop);

private:
    enum class Scheme
    {
        None,
        Basic,
        Digest
    };

    QByteArray m_user;
    QByteArray m_password;
    Scheme m_scheme = Scheme::None;
    RtspChallenge m_challenge;
    unsigned m_nonceCount = 0;
};
