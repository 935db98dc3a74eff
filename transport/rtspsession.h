// SPDX-License-Identifier: MIT
#pragma once

#include "imagegetworker.h"
#include "rtpportpair.h"
#include "rtspauth.h"
#include "rtspconnection.h"
#include "sdpsession.h"
#include "socketopener.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

struct sockaddr_in;

// One RTSP session of a camera (RFC 2326), run in the worker's thread:
// OPTIONS, DESCRIBE (the SDP names the media), SETUP of the first video
// media the owner can show, PLAY, keep-alives within the session timeout,
// and TEARDOWN at the end. RTP arrives over UDP on a client port pair, or
// interleaved in the RTSP connection; each packet goes to the owner as one
// datagram. A server that refuses unicast UDP (461) is asked for multicast;
// a multicast answer's group is joined and its ports receive RTP as the
// client's own pair would. `auto` tries UDP first and falls back to interleaved TCP when
// no packet arrives within FirstRtpWaitMs. 401 is answered with Basic or
// Digest credentials, 3xx with Location is followed a bounded number of
// times. Every wait is bounded and cut into slices after each of which the
// stop flag is looked at.
class RtspSession
{
public:
    using LinkState = ImageGetWorker::LinkState;
    using Outcome = ImageGetWorker::ConnectOutcome;
    using Lower = DeviceConfig::RtspLower;

    static constexpr int DefaultPort = 554;
    static constexpr int MaxRedirects = 5;
    static constexpr int TeardownWaitMs = 500;

    struct Settings
    {
        QString url; // rtsp://[user[:password]@]host[:port]/path
        QString user;
        QString password;
        Lower lower = Lower::Auto;
        int connectTimeoutMs = ImageGetWorker::ConnectTimeoutMs;
        int responseTimeoutMs = 5000;
        int firstRtpWaitMs = 2000;
        int quietLimitMs = DeviceConfig::RtspQuietLimitMs;
        int waitSliceMs = ImageGetWorker::WaitSliceMs;
        int receiveBufferBytes = ImageGetWorker::ReceiveBufferBytes;
        QString multicastInterface; // where a multicast group is joined; empty: the default
    };

    struct Hooks
    {
        // Offered each payload format of each video media in order; true
        // when the owner made a decoder for it (the media is set up).
        std::function<bool(const SdpMedia&, const SdpFormat&)> chooseFormat;
        // One RTP packet and where it came from (the server's RTSP address
        // for interleaved packets).
        std::function<void(const unsigned char*, int, const sockaddr_in&)> packet;
        // PLAY was answered: the session runs.
        std::function<void()> playing;
        // A problem worth saying that does not end the session.
        std::function<void(const QString&)> notice;
    };

    RtspSession(const Settings& settings, Hooks hooks, const std::atomic<bool>& stopRequested,
                std::atomic<std::int64_t>* bytesReceived, SocketOpener::Resolver resolver);
    ~RtspSession();
    RtspSession(const RtspSession&) = delete;
    RtspSession& operator=(const RtspSession&) = delete;

    // Runs the session until it ends; returns why.
    Outcome run();

    // The URL without user:password@, and the credentials it held.
    static QString splitCredentials(const QString& url, QString* user, QString* password);

private:
    struct Attempt; // the state of one connection
    enum class Step
    {
        Done,       // the outcome stands
        Redirected, // start again at m_url
        NoUdp,      // no RTP over UDP: interleaved TCP may follow
    };

    Step attempt(bool tcp, Outcome* outcome);
    Step describe(Attempt& a, Outcome* outcome);
    bool setUp(Attempt& a, bool tcp, Outcome* outcome, bool* noUdp);
    Step play(Attempt& a, bool tcp, Outcome* outcome);
    bool openPorts(Attempt& a, QString* error);
    void teardown(Attempt& a);
    // A request answered with credentials when asked; a 401 is asked again
    // once. False, with the outcome, when no response came.
    bool exchange(Attempt& a, const std::string& method, const std::string& url,
                  const std::string& headers, RtspResponse* response, Outcome* outcome);
    Outcome failure(const QString& text) const { return {LinkState::HttpStatus, text}; }
    bool stopRequested() const { return m_stopRequested.load(std::memory_order_relaxed); }

    Settings m_settings;
    Hooks m_hooks;
    const std::atomic<bool>& m_stopRequested;
    std::atomic<std::int64_t>* m_bytesReceived;
    SocketOpener m_opener;
    RtspAuth m_auth;
    QString m_url; // without credentials
    QString m_firstHost;
    int m_redirects = 0;
};
