// SPDX-License-Identifier: MIT
// RtspSession: the played session, receiving RTP (over UDP or interleaved)
// and keeping the session alive until it stops, goes quiet or fails.
#include "rtspsession.h"

#include "deadline.h"
#include "rtspsessionattempt.h"
#include "socketapi.h"

#include <algorithm>
#include <chrono>

using namespace rtspsessiondetail;

RtspSession::Step RtspSession::play(Attempt& a, bool tcp, Outcome* outcome)
{
    const auto start = SteadyClock::now();
    auto lastRtp = start;
    bool anyRtp = false;
    const auto packet = [&](const unsigned char* data, int len, const sockaddr_in& from) {
        anyRtp = true;
        lastRtp = SteadyClock::now();
        if (m_hooks.packet)
            m_hooks.packet(data, len, from);
    };
    a.connection.setFrameHandler([&](int channel, const unsigned char* data, int len) {
        if (channel == a.rtpChannel)
            packet(data, len, a.server);
    });
    // Keep-alives at half the session timeout keep it well within.
    const Ms keepAlive(std::max(200, a.timeoutS * 1000 / 2));
    auto nextKeepAlive = start + keepAlive;
    int keepAliveCseq = -1;

    while (!stopRequested()) {
        const auto now = SteadyClock::now();
        if (!tcp && !anyRtp && now - start >= Ms(m_settings.firstRtpWaitMs)) {
            const QString seconds = QString::number(m_settings.firstRtpWaitMs / 1000.0);
            *outcome = failure(a.group.isEmpty()
                                   ? QStringLiteral("no RTP within %1 s over UDP").arg(seconds)
                                   : QStringLiteral("no RTP within %1 s from multicast group %2")
                                         .arg(seconds, a.group));
            return Step::NoUdp;
        }
        if (now - lastRtp >= Ms(m_settings.quietLimitMs)) {
            *outcome = {Link::Quiet,
                        QStringLiteral("no data for %1 s").arg(m_settings.quietLimitMs / 1000.0)};
            return Step::Done;
        }
        if (now >= nextKeepAlive) {
            const std::string method = a.getParameter ? "GET_PARAMETER" : "OPTIONS";
            keepAliveCseq = a.connection.send(method, a.playUrl,
                                              a.sessionHeader() + m_auth.header(method, a.playUrl));
            if (keepAliveCseq < 0) {
                *outcome = {Link::Lost, QStringLiteral("the keep-alive could not be sent")};
                return Step::Done;
            }
            nextKeepAlive = now + keepAlive;
        }

        PollDescriptor fds[3] = {};
        const qintptr sockets[3] = {a.connection.socket(), a.ports.rtpSocket(),
                                    a.ports.rtcpSocket()};
        const unsigned long count = tcp ? 1 : 3;
        for (unsigned long k = 0; k < count; ++k) {
            fds[k].fd = SocketHandle(sockets[k]);
            fds[k].events = POLLIN;
        }
        const int ready = pollSockets(fds, count, m_settings.waitSliceMs);
        if (ready < 0 && !interruptedCall()) {
            *outcome = {
                Link::Lost,
                QStringLiteral("wait failed: %1").arg(SocketOpener::errorText(lastSocketError()))};
            return Step::Done;
        }
        if (ready <= 0)
            continue;

        if (fds[0].revents != 0) {
            for (int reads = 0; reads < MaxReadsPerWake; ++reads) {
                bool got = false;
                const RtspConnection::Result result = a.connection.readAvailable(&got);
                if (result != RtspConnection::Result::Ok) {
                    *outcome =
                        result == RtspConnection::Result::Closed
                            ? Outcome{Link::Lost, QStringLiteral("closed by the peer")}
                            : failure(QStringLiteral("RTSP: %1")
                                          .arg(QLatin1String(RtspConnection::resultText(result))));
                    a.connection.close();
                    return Step::Done;
                }
                if (!got || stopRequested())
                    break;
            }
            RtspResponse r;
            while (a.connection.takeResponse(&r)) {
                // A keep-alive method the server does not know is replaced
                // by OPTIONS; any other refusal ends the session.
                if (isSuccess(r))
                    continue;
                if (r.cseq() == keepAliveCseq && a.getParameter
                    && (r.status() == 405 || r.status() == 501 || r.status() == 551)) {
                    a.getParameter = false;
                    continue;
                }
                if (r.status() == 454 || r.cseq() == keepAliveCseq) {
                    *outcome = failure(text(r.statusText()));
                    if (r.status() == 454)
                        a.session.clear(); // nothing left to tear down
                    return Step::Done;
                }
            }
        }
        if (tcp)
            continue;
        std::int64_t bytes = 0;
        if (fds[1].revents != 0)
            bytes += a.ports.readRtp(MaxReadsPerWake, packet);
        if (fds[2].revents != 0)
            bytes += a.ports.drainRtcp(MaxReadsPerWake);
        if (m_bytesReceived != nullptr)
            m_bytesReceived->fetch_add(bytes, std::memory_order_relaxed);
    }
    *outcome = {Link::Stopped, QStringLiteral("stopped")};
    return Step::Done;
}
