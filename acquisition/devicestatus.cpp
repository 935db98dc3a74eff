// SPDX-License-Identifier: MIT
#include "devicestatus.h"

#include <QDateTime>

namespace {
using Link = ImageGetWorker::LinkState;
using State = DeviceStatus::State;

// Bounds the rate window's memory whatever the frame rate.
constexpr std::size_t MaxRecentFrames = 4096;

State failureState(Link link)
{
    switch (link) {
    case Link::Refused:
        return State::Refused;
    case Link::Unreachable:
        return State::Unreachable;
    case Link::TimedOut:
        return State::TimedOut;
    case Link::BindFailed:
        return State::BindFailed;
    case Link::BadAddress:
        return State::BadAddress;
    case Link::SocketFailed:
        return State::SocketFailed;
    case Link::Unauthorized:
        return State::Unauthorized;
    case Link::HttpStatus:
        return State::HttpStatus;
    case Link::BadContent:
        return State::BadContent;
    default:
        return State::ConnectFailed;
    }
}

QString seconds(std::int64_t ms)
{
    return QString::number(ms / 1000);
}
} // namespace

DeviceStatus::DeviceStatus(const QString& name, const QString& host, int port,
                           ImageGetWorker::Protocol protocol)
    : m_name(name), m_protocol(protocol)
{
    setAddress(host, port);
}

void DeviceStatus::setAddress(const QString& host, int port)
{
    // A port no socket can have is never connected to; the start-up line,
    // the tool tip and the captions say so instead of naming it as the
    // address.
    if (port < 1 || port > 65535)
        m_address = QStringLiteral("%1 (port %2 refused)").arg(host).arg(port);
    else
        m_address = QStringLiteral("%1:%2").arg(host).arg(port);
}

QString DeviceStatus::protocolName() const
{
    switch (m_protocol) {
    case ImageGetWorker::Protocol::Udp:
        return QStringLiteral("UDP");
    case ImageGetWorker::Protocol::Rtp:
        return QStringLiteral("RTP");
    case ImageGetWorker::Protocol::Http:
        return QStringLiteral("HTTP");
    case ImageGetWorker::Protocol::Rtsp:
        return QStringLiteral("RTSP");
    case ImageGetWorker::Protocol::Tcp:
        break;
    }
    return QStringLiteral("TCP");
}

bool DeviceStatus::isFailure() const
{
    switch (m_state) {
    case State::Refused:
    case State::Unreachable:
    case State::TimedOut:
    case State::ConnectFailed:
    case State::BindFailed:
    case State::BadAddress:
    case State::SocketFailed:
    case State::Unauthorized:
    case State::HttpStatus:
    case State::BadContent:
        return true;
    default:
        return false;
    }
}

QString DeviceStatus::failureLine(State state, const QString& detail) const
{
    switch (state) {
    case State::BindFailed:
        return QStringLiteral("bind %1 failed: %2").arg(m_address, detail);
    case State::BadAddress:
        return QStringLiteral("bad address %1").arg(detail);
    case State::SocketFailed:
        return QStringLiteral("no socket for %1: %2").arg(m_address, detail);
    case State::TimedOut:
        return QStringLiteral("connect to %1 timed out: %2").arg(m_address, detail);
    case State::Unauthorized:
        return QStringLiteral("%1: unauthorized (HTTP 401); the camera offers %2")
            .arg(m_address, detail);
    case State::HttpStatus:
        return QStringLiteral("%1: %2").arg(m_address, detail);
    case State::BadContent:
        return QStringLiteral("%1 answers with content type %2, neither a multipart stream nor "
                              "a JPEG image")
            .arg(m_address, detail);
    default:
        return QStringLiteral("connect to %1 failed: %2").arg(m_address, detail);
    }
}

QStringList DeviceStatus::enter(State state, const QString& detail, std::int64_t nowMs)
{
    m_state = state;
    m_detail = detail;
    m_since = nowMs;
    return {};
}

QStringList DeviceStatus::linkChanged(Link link, const QString& detail, std::int64_t nowMs)
{
    QStringList lines;
    switch (link) {
    case Link::Connecting:
        // Retries of a failing device keep showing the failure rather than
        // flickering between it and "connecting" every second.
        if (!isFailure() && m_state != State::Connecting && !quietCycle())
            enter(State::Connecting, detail, nowMs);
        break;
    case Link::Connected:
        if (quietCycle()) {
            // Connected again after a quiet end: still the same silence
            // until a frame arrives.
            m_connectedAt = nowMs;
            break;
        }
        if (isFailure() && m_attempts > 1)
            lines << QStringLiteral("%1 (%2 attempts)")
                         .arg(failureLine(m_state, m_detail))
                         .arg(m_attempts);
        m_attempts = 0;
        m_connectedAt = nowMs;
        lines << (m_protocol == ImageGetWorker::Protocol::Tcp
                          || m_protocol == ImageGetWorker::Protocol::Http
                          || m_protocol == ImageGetWorker::Protocol::Rtsp
                      ? QStringLiteral("connected to %1").arg(m_address)
                      : QStringLiteral("bound to %1").arg(m_address));
        enter(State::Connected, QString(), nowMs);
        break;
    case Link::Quiet: {
        // The device went quiet. Over TCP the quiet limit (1 s by default)
        // ends the connection before the indicator could call it silent, and
        // a quiet device that still accepts connections repeats this every
        // second: it is one silence, logged once.
        const std::int64_t quietSince =
            m_lastFrameAt >= m_connectedAt ? m_lastFrameAt : m_connectedAt;
        m_connectedAt = -1;
        if (m_state != State::Silent)
            lines << enterSilence(QStringLiteral("connection lost: %1").arg(detail), detail,
                                  quietSince);
        break;
    }
    case Link::Lost:
        m_framesSinceSilence = -1;
        m_connectedAt = -1;
        m_lastError = QStringLiteral("connection lost: %1").arg(detail);
        lines << m_lastError;
        enter(State::Lost, detail, nowMs);
        break;
    case Link::Stopped:
        enter(State::Stopped, detail, nowMs);
        break;
    default: {
        const State failure = failureState(link);
        if (m_state == failure && m_detail == detail) {
            ++m_attempts; // the same failure again: counted, not logged
            break;
        }
        m_attempts = 1;
        m_framesSinceSilence = -1;
        m_lastError = failureLine(failure, detail);
        lines << m_lastError;
        enter(failure, detail, nowMs);
        break;
    }
    }
    return lines;
}

QStringList DeviceStatus::enterSilence(const QString& line, const QString& detail,
                                       std::int64_t quietSince)
{
    // A silence after at most one frame since the last one ended is that
    // outage going on: a camera slower than the quiet limit, or than
    // SilentAfterMs, that sends a frame now and then. It is logged once,
    // with its end, however often it repeats.
    m_silenceLogged = m_framesSinceSilence < 0 || m_framesSinceSilence > 1;
    m_framesSinceSilence = 0;
    enter(State::Silent, detail, quietSince);
    return m_silenceLogged ? QStringList{line} : QStringList();
}

void DeviceStatus::frameDelivered(std::int64_t nowMs)
{
    ++m_frames;
    if (m_framesSinceSilence >= 0)
        ++m_framesSinceSilence;
    m_lastFrameAt = nowMs;
    m_recentFrames.push_back(nowMs);
    if (m_recentFrames.size() > MaxRecentFrames)
        m_recentFrames.pop_front();
}

QStringList DeviceStatus::tick(std::int64_t nowMs, std::int64_t bytesReceived)
{
    if (bytesReceived != m_bytes) {
        m_bytes = bytesReceived;
        // Bytes that completed a frame since the last look arrived with
        // that frame, not now: they are no sign of data without frames.
        m_lastBytesAt = m_frames != m_framesAtTick ? m_lastFrameAt : nowMs;
    }
    m_framesAtTick = m_frames;
    while (!m_recentFrames.empty() && nowMs - m_recentFrames.front() > RateWindowMs)
        m_recentFrames.pop_front();

    QStringList lines;
    const bool live = m_state == State::Connected || m_state == State::Receiving
                      || m_state == State::NoFrames || m_state == State::Silent;
    if (!live || m_connectedAt < 0)
        return lines;
    const bool frameThisConnection = m_lastFrameAt >= m_connectedAt;
    const std::int64_t quietSince = frameThisConnection ? m_lastFrameAt : m_connectedAt;
    if (nowMs - quietSince < SilentAfterMs + m_pollMs) {
        if (frameThisConnection && m_state != State::Receiving) {
            if ((m_state == State::Silent && m_silenceLogged) || m_state == State::NoFrames)
                lines << QStringLiteral("receiving again after %1 s").arg(seconds(nowMs - m_since));
            enter(State::Receiving, QString(), nowMs);
        }
        return lines;
    }
    if (m_lastBytesAt >= quietSince && nowMs - m_lastBytesAt < SilentAfterMs) {
        if (m_state != State::NoFrames) {
            lines << QStringLiteral("data arrives but no frame is complete");
            enter(State::NoFrames, QString(), nowMs);
        }
    } else if (m_state != State::Silent) {
        lines << enterSilence(
            QStringLiteral("silent: no data for %1 s").arg(seconds(nowMs - quietSince)), QString(),
            quietSince);
    }
    return lines;
}

double DeviceStatus::frameRate(std::int64_t nowMs) const
{
    std::int64_t n = 0;
    for (std::int64_t t : m_recentFrames)
        n += (nowMs - t <= RateWindowMs) ? 1 : 0;
    return double(n) * 1000.0 / double(RateWindowMs);
}

QString DeviceStatus::stateText(std::int64_t nowMs) const
{
    switch (m_state) {
    case State::Connecting:
        return QStringLiteral("connecting");
    case State::Connected:
        return m_protocol == ImageGetWorker::Protocol::Tcp
                       || m_protocol == ImageGetWorker::Protocol::Http
                       || m_protocol == ImageGetWorker::Protocol::Rtsp
                   ? QStringLiteral("connected")
                   : QStringLiteral("bound");
    case State::Receiving:
        return QStringLiteral("receiving %1 fps").arg(frameRate(nowMs), 0, 'f', 1);
    case State::NoFrames:
        return QStringLiteral("no frames");
    case State::Silent:
        return QStringLiteral("silent %1 s").arg(seconds(nowMs - m_since));
    case State::Lost:
        return QStringLiteral("lost");
    case State::Refused:
        return QStringLiteral("refused");
    case State::Unreachable:
        return QStringLiteral("unreachable");
    case State::TimedOut:
        return QStringLiteral("timed out");
    case State::ConnectFailed:
        return QStringLiteral("connect failed");
    case State::BindFailed:
        return QStringLiteral("bind failed");
    case State::BadAddress:
        return QStringLiteral("bad address");
    case State::SocketFailed:
        return QStringLiteral("no socket");
    case State::Stopped:
        return QStringLiteral("stopped");
    case State::Unauthorized:
        return QStringLiteral("unauthorized (%1)").arg(m_detail);
    case State::HttpStatus:
        return m_detail;
    case State::BadContent:
        return QStringLiteral("not a stream: %1").arg(m_detail);
    }
    return QString();
}

QString DeviceStatus::details(std::int64_t nowMs) const
{
    QString text = QStringLiteral("%1: %2 %3, %4\nframes %5, bytes %6")
                       .arg(m_name, protocolName(), m_address, stateText(nowMs))
                       .arg(m_frames)
                       .arg(m_bytes);
    if (m_lastFrameAt >= 0) {
        const QDateTime at = QDateTime::currentDateTime().addMSecs(m_lastFrameAt - nowMs);
        text +=
            QStringLiteral("\nlast frame at %1").arg(at.toString(QStringLiteral("hh:mm:ss.zzz")));
    }
    if (m_foreignDatagrams > 0)
        text +=
            QStringLiteral("\ndatagrams from other senders dropped: %1").arg(m_foreignDatagrams);
    if (m_skippedFrames > 0)
        text += QStringLiteral("\nframes skipped, decoding behind: %1").arg(m_skippedFrames);
    if (!m_lastError.isEmpty())
        text += QStringLiteral("\nlast error: %1").arg(m_lastError);
    if (isFailure() && m_attempts > 1)
        text += QStringLiteral(" (%1 attempts)").arg(m_attempts);
    return text;
}
