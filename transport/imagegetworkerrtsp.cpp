// SPDX-License-Identifier: MIT
// The RTSP connection of an ImageGetWorker: the session runs in the worker's
// thread and hands every RTP packet to the decoder the SDP chose, through
// the same sender lock and counters as an RTP device's datagrams.
#include "deadline.h"
#include "decoderfactory.h"
#include "imagegetworker.h"
#include "protocoldecoder.h"
#include "rtspsession.h"
#include "socketapi.h"

#include <chrono>

void ImageGetWorker::connectRtsp()
{
    beginConnection(QStringLiteral("image/jpeg"));
    const QString shown = DeviceConfig::withoutCredentials(m_http.url);
    if (!m_http.url.startsWith(QLatin1String("rtsp://"), Qt::CaseInsensitive)) {
        emit linkStateChanged(LinkState::BadAddress,
                              m_http.url.isEmpty()
                                  ? QStringLiteral("no url")
                                  : QStringLiteral("\"%1\": not an rtsp:// URL").arg(shown));
        return;
    }
    emit linkStateChanged(LinkState::Connecting, shown);

    std::unique_ptr<protocolDecoder> decoder;
    SenderLock lock;
    m_fixedSource.reset();
    bool playing = false;
    RtspSession::Hooks hooks;
    hooks.chooseFormat = [&](const SdpMedia&, const SdpFormat& format) {
        std::optional<QString> text;
        decoder = DecoderFactory::makeRtp(format.encoding, format.fmtp, this, referenceHeaderFile(),
                                          &m_rtpCounters, &text);
        if (decoder && text && !text->isEmpty())
            emit notice(*text);
        lock = SenderLock();
        return decoder != nullptr;
    };
    hooks.packet = [&](const unsigned char* data, int len, const sockaddr_in& from) {
        if (!decoder)
            return;
        const std::int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                       SteadyClock::now().time_since_epoch())
                                       .count();
        decodeDatagram(*decoder, lock, data, len, from, nowMs);
    };
    hooks.playing = [&] {
        if (playing)
            return; // after a fall-back to TCP, still the same connection
        playing = true;
        emit connected();
        emit linkStateChanged(LinkState::Connected, shown);
    };
    hooks.notice = [this](const QString& text) { reportProblem(text); };

    RtspSession::Settings settings;
    settings.url = m_http.url;
    settings.user = m_http.user;
    settings.password = m_http.password;
    settings.lower = m_http.rtspTransport;
    settings.quietLimitMs = quietLimitMs();
    settings.multicastInterface = m_multicastInterface;
    RtspSession session(settings, std::move(hooks), m_stopRequested, &m_bytesReceived, m_resolver);
    const ConnectOutcome ending = session.run();
    if (playing)
        emit disconnected();
    // An attempt ended by a stop request before anything was shown reports
    // nothing, as a TCP connect does.
    if (playing || ending.state != LinkState::Stopped)
        emit linkStateChanged(ending.state, ending.detail);
}
