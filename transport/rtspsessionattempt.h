// SPDX-License-Identifier: MIT
#pragma once

// What the units of RtspSession share: one attempt's connection and the
// state its requests set up, and the helpers around responses.

#include "rtspresponse.h"
#include "rtspsession.h"
#include "socketapi.h"

#include <QString>

#include <chrono>
#include <string>

namespace rtspsessiondetail {

using Ms = std::chrono::milliseconds;
using Link = ImageGetWorker::LinkState;

// Datagrams and reads of the connection taken per wake before the stop
// flag is looked at again.
constexpr int MaxReadsPerWake = 256;

inline QString text(const std::string& s)
{
    return QString::fromStdString(s);
}

inline bool isSuccess(const RtspResponse& r)
{
    return r.status() >= 200 && r.status() <= 299;
}

} // namespace rtspsessiondetail

struct RtspSession::Attempt
{
    Attempt(const std::atomic<bool>& stop, std::atomic<std::int64_t>* bytes, int sliceMs)
        : connection(stop, bytes, sliceMs)
    {
    }
    Attempt(const Attempt&) = delete;
    Attempt& operator=(const Attempt&) = delete;

    RtspConnection connection;
    sockaddr_in server{};
    std::string url;
    std::string mediaUrl;
    std::string playUrl;
    std::string session;
    int timeoutS = RtspResponse::DefaultSessionTimeoutS;
    bool getParameter = false; // keep-alives with GET_PARAMETER, else OPTIONS
    int rtpChannel = 0;
    RtpPortPair ports; // over UDP
    QString group;     // "GROUP port N" when the ports are a multicast group's

    std::string sessionHeader() const
    {
        return session.empty() ? std::string() : "Session: " + session + "\r\n";
    }
};
