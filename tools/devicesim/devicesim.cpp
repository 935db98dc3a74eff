// SPDX-License-Identifier: MIT
#include "devicesim.h"

#include "httpserver.h"
#include "jpegencoder.h"
#include "multipartwriter.h"
#include "nonblocking.h"
#include "testpattern.h"

#include <QFile>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <thread>

namespace {

// A client whose queue holds more than this is behind; it misses frames
// until it has caught up, as a camera with a bounded send queue would do.
// With many clients each gets a share of MaxBacklogTotal, at least 1 MiB.
constexpr qsizetype MaxClientBacklog = qsizetype(8) * 1024 * 1024;
constexpr qsizetype MaxBacklogTotal = qsizetype(256) * 1024 * 1024;
// Datagrams sent back to back before a short breath, so that a burst of a
// large frame does not overrun the receiver's socket buffer on loopback.
constexpr int DatagramBurst = 32;
constexpr auto BurstBreath = std::chrono::microseconds(200);

sockaddr_in makeAddress(const QString& host, int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(std::uint16_t(port));
    ::inet_pton(AF_INET, host.toLatin1().constData(), &addr.sin_addr);
    return addr;
}

simlib::RtpJpegOptions rtpOptions(const SimConfig& c)
{
    simlib::RtpJpegOptions o;
    o.ssrc = c.ssrc;
    o.q = c.q;
    o.scanBytesPerPacket = c.payloadSize;
    o.firstSequence = std::uint16_t(c.firstSequence);
    return o;
}

} // namespace

DeviceSim::DeviceSim(const SimConfig& config)
    : m_config(config), m_packetizer(rtpOptions(config)),
      m_impairment(config.lossPercent, config.reorderPercent, config.duplicatePercent, config.seed),
      m_h264Packetizer({.ssrc = config.ssrc,
                        .maxPayload = config.payloadSize,
                        .firstSequence = std::uint16_t(config.firstSequence)}),
      m_rng(config.seed ^ 0x9E3779B9u), m_rtpEpoch(Clock::now())
{
    m_rtpBase = std::uint32_t(m_rng());
}

DeviceSim::~DeviceSim()
{
    for (const Client& c : m_clients)
        ::close(c.fd);
    if (m_fd >= 0)
        ::close(m_fd);
}

bool DeviceSim::open(QString* error, const volatile std::sig_atomic_t* stop)
{
    m_recording.setStopFlag(stop);
    const bool tcp =
        m_config.mode == SimConfig::Mode::Tcp || m_config.mode == SimConfig::Mode::Http;
    m_fd = ::socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    if (m_fd < 0) {
        *error = QStringLiteral("cannot create a socket: %1")
                     .arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    if (tcp) {
        const int one = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr = makeAddress(m_config.host, m_config.port);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0
            || ::listen(m_fd, 128) != 0) {
            *error = QStringLiteral("cannot listen on %1:%2: %3")
                         .arg(m_config.host)
                         .arg(m_config.port)
                         .arg(QString::fromLocal8Bit(strerror(errno)));
            return false;
        }
        socklen_t len = sizeof addr;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_boundPort = ntohs(addr.sin_port);
        if (m_config.mode == SimConfig::Mode::Http)
            m_http = std::make_unique<HttpServer>(m_config, m_fd);
    } else {
        m_boundPort = m_config.port;
    }
    if (!setNonBlocking(m_fd)) {
        *error = QStringLiteral("cannot make the socket non-blocking");
        return false;
    }
    if (!m_config.h264File.isEmpty() && !loadH264(error))
        return false;
    return writeReference(error);
}

bool DeviceSim::writeReference(QString* error)
{
    if (!m_config.replay.isEmpty() && !m_recording.open(m_config.replay, error))
        return false;
    // Frame i of the run is frame i mod N of this cycle.
    for (int i = 0; i < m_config.pregenerate && m_config.replay.isEmpty(); ++i)
        m_pregenerated.append(makeFrame(i, false));
    if (m_config.writeReference.isEmpty())
        return true;
    const QByteArray header = simlib::jpegHeaderForReference(makeFrame(0, false));
    QFile file(m_config.writeReference);
    if (header.isEmpty() || !file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(header) != header.size()) {
        *error =
            QStringLiteral("cannot write the reference header to %1").arg(m_config.writeReference);
        return false;
    }
    return true;
}

QByteArray DeviceSim::makeFrame(long long index, bool withTimestamp)
{
    if (m_config.content == SimConfig::Content::Gray16)
        return simlib::renderGray16Ramp(m_config.width, m_config.height, int(index % 1000000),
                                        m_config.bigEndian);
    const bool gray = m_config.content == SimConfig::Content::Gray;
    QByteArray pixels = simlib::renderTestPattern(m_config.width, m_config.height, gray ? 1 : 3,
                                                  int(index % 1000000));
    if (gray)
        return pixels;
    simlib::JpegEncodeOptions o;
    o.quality = m_config.quality;
    o.restartInterval = m_config.restartInterval;
    o.sampling = m_config.sampling;
    o.writeTimestamp = withTimestamp;
    if (withTimestamp)
        o.timestamp = timestampNow(index);
    return simlib::encodeJpeg(reinterpret_cast<const unsigned char*>(pixels.constData()),
                              m_config.width, m_config.height, 3, o);
}

simlib::FrameTimestamp DeviceSim::timestampNow(long long index)
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    simlib::FrameTimestamp ts;
    ts.field = std::uint16_t(index & 0xFFFF);
    ts.seconds = std::int32_t(now.tv_sec);
    ts.microseconds = std::int32_t(now.tv_nsec / 1000);
    return ts;
}

QByteArray DeviceSim::frameToSend(long long index, bool withTimestamp)
{
    if (m_pregenerated.isEmpty())
        return makeFrame(index, withTimestamp);
    const QByteArray& frame = m_pregenerated.at(qsizetype(index % m_pregenerated.size()));
    if (!withTimestamp || m_config.content == SimConfig::Content::Gray)
        return frame;
    return simlib::withApp9Timestamp(frame, timestampNow(index));
}

void DeviceSim::sendFrame(long long index)
{
    if (!m_h264Units.isEmpty()) {
        ++m_frames;
        sendRtpH264(m_h264Units.at(qsizetype(index % m_h264Units.size())));
        return;
    }
    const QByteArray body = frameToSend(index, m_config.timestamps);
    ++m_frames;
    if (m_http) {
        m_http->sendFrame(body);
        return;
    }
    const bool bad = m_config.badEvery > 0 && index % m_config.badEvery == m_config.badEvery - 1;
    if (m_config.mode == SimConfig::Mode::Rtp) {
        if (m_config.ssrcChangeEvery > 0 && index > 0 && index % m_config.ssrcChangeEvery == 0) {
            m_packetizer.setSsrc(m_packetizer.ssrc() + 0x101);
            ++m_ssrcChanges;
        }
        sendRtpFrame(body, index);
        return;
    }
    const QByteArray type =
        m_config.content == SimConfig::Content::Gray     ? QByteArray(simlib::ContentTypeGray)
        : m_config.content == SimConfig::Content::Gray16 ? QByteArray(simlib::ContentTypeGray16)
                                                         : QByteArray(simlib::ContentTypeJpeg);
    if (bad) {
        const auto kind = m_config.badPartKinds.at(m_badCounter++ % m_config.badPartKinds.size());
        sendMultipart(simlib::badMultipartItem(kind, type, body, m_rng), true);
        ++m_badItems;
    }
    sendMultipart(simlib::multipartPart(type, body), !bad);
}

void DeviceSim::sendMultipart(const QByteArray& bytes, bool frameStart)
{
    if (m_config.mode == SimConfig::Mode::Udp) {
        m_datagramsThisFrame = 0;
        for (qsizetype off = 0; off < bytes.size(); off += m_config.datagramSize)
            sendDatagram(bytes.mid(off, m_config.datagramSize));
        return;
    }
    // TCP: a client joins at the start of a part, and a client that is
    // behind misses whole parts, never a piece of one.
    const qsizetype backlog =
        std::clamp(MaxBacklogTotal / qsizetype(std::max<std::size_t>(m_clients.size(), 1)),
                   qsizetype(1024) * 1024, MaxClientBacklog);
    for (Client& c : m_clients) {
        if (!frameStart && !c.startedPart)
            continue;
        if (c.out.size() - c.sent > backlog) {
            ++m_framesSkipped;
            c.startedPart = false;
            continue;
        }
        c.out += bytes;
        c.startedPart = true;
    }
    m_bytes += bytes.size();
}

void DeviceSim::sendRtpFrame(const QByteArray& jpeg, long long index)
{
    const auto elapsedUs =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - m_rtpEpoch).count();
    const std::uint32_t ts = m_rtpBase + simlib::rtpTimestamp90k(elapsedUs);
    QList<QByteArray> packets;
    if (!m_packetizer.packetize(jpeg, ts, &packets))
        return;
    // A malformed packet goes straight onto the wire among the frame's
    // packets, outside the simulated loss, so that the loss figures stay
    // those of the good packets.
    int badAt = -1;
    QByteArray badPacket;
    if (m_config.badEvery > 0 && index % m_config.badEvery == m_config.badEvery - 1) {
        const auto kind = m_config.badRtpKinds.at(m_badCounter++ % m_config.badRtpKinds.size());
        badAt = int(m_rng() % unsigned(packets.size()));
        badPacket = simlib::badRtpPacket(kind, packets.at(badAt), m_rng);
        ++m_badItems;
    }
    m_datagramsThisFrame = 0;
    QList<QByteArray> wire;
    for (int i = 0; i < packets.size(); ++i) {
        if (i == badAt)
            sendDatagram(badPacket);
        wire.clear();
        m_impairment.push(packets.at(i), &wire);
        for (const QByteArray& w : wire)
            sendDatagram(w);
    }
}

void DeviceSim::sendDatagram(const QByteArray& bytes)
{
    if (++m_datagramsThisFrame % DatagramBurst == 0)
        std::this_thread::sleep_for(BurstBreath);
    sockaddr_in to = makeAddress(m_config.host, m_config.port);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const ssize_t r = ::sendto(m_fd, bytes.constData(), size_t(bytes.size()), 0,
                                   reinterpret_cast<sockaddr*>(&to), sizeof to);
        if (r >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS))
            break; // sent, or refused (nobody listening): a camera does not care
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    ++m_datagrams;
    m_bytes += bytes.size();
}

int DeviceSim::run(volatile std::sig_atomic_t* stop)
{
    if (!m_config.replay.isEmpty())
        return runReplay(stop);
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / m_config.fps));
    if (m_config.waitClient && m_config.mode == SimConfig::Mode::Tcp
        && !waitForClient(Clock::time_point::max(), stop))
        return 0;
    const auto start = Clock::now();
    const auto end = m_config.duration > 0
                         ? start
                               + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(m_config.duration))
                         : Clock::time_point::max();
    auto due = start;
    for (long long i = 0; !*stop; ++i) {
        if (m_config.count > 0 && i >= m_config.count)
            break;
        if (m_config.pauseEvery > 0 && i > 0 && i % m_config.pauseEvery == 0) {
            QList<QByteArray> held;
            m_impairment.flush(&held);
            for (const QByteArray& p : held)
                sendDatagram(p);
            due += std::chrono::milliseconds(m_config.pauseMs);
            if (!m_config.quiet) {
                std::printf("framescope-devicesim: pause of %d ms after frame %lld\n",
                            m_config.pauseMs, i - 1);
                std::fflush(stdout);
            }
        }
        serviceUntil(std::min(due, end), stop);
        if (*stop || Clock::now() >= end)
            break;
        sendFrame(i);
        due += interval;
        // A sender that fell far behind (a paused process) does not burst
        // to catch up; it goes on from now.
        if (Clock::now() - due > std::chrono::seconds(1))
            due = Clock::now();
    }
    QList<QByteArray> held;
    m_impairment.flush(&held);
    for (const QByteArray& p : held)
        sendDatagram(p);
    // Let TCP and HTTP clients take what is queued, briefly.
    if (!*stop && m_config.mode != SimConfig::Mode::Udp && m_config.mode != SimConfig::Mode::Rtp)
        serviceUntil(Clock::now() + std::chrono::milliseconds(200), stop);
    return 0;
}

QString DeviceSim::summary() const
{
    const simlib::ImpairmentCounts& ic = m_impairment.counts();
    QString s = QStringLiteral("sent: frames %1 bytes %2")
                    .arg(m_frames)
                    .arg(m_http ? m_http->bytes() : m_bytes);
    if (m_http)
        s += QLatin1Char(' ') + m_http->figures();
    else if (m_config.mode == SimConfig::Mode::Tcp)
        s += QStringLiteral(" clients %1 skipped %2").arg(m_clientsServed).arg(m_framesSkipped);
    else
        s += QStringLiteral(" datagrams %1").arg(m_datagrams);
    if (m_config.mode == SimConfig::Mode::Rtp)
        s += QStringLiteral(" packets %1 dropped %2 reordered %3 duplicated %4 ssrc-changes %5 "
                            "next-sequence %6")
                 .arg(ic.packetsIn)
                 .arg(ic.dropped)
                 .arg(ic.reordered)
                 .arg(ic.duplicated)
                 .arg(m_ssrcChanges)
                 .arg(m_h264Sent ? m_h264Packetizer.nextSequence() : m_packetizer.nextSequence());
    s += QStringLiteral(" bad %1").arg(m_badItems);
    if (!m_config.replay.isEmpty())
        s += QStringLiteral(" refused %1").arg(m_refused);
    return s;
}
