// SPDX-License-Identifier: MIT
#include "imagegetworker.h"

#include "deadline.h"
#include "decoderfactory.h"
#include "framelimits.h"
#include "httpreceiver.h"
#include "httpresponsehead.h"
#include "latencyprobe.h"
#include "protocoldecoder.h"
#include "socketapi.h"

#include <QSettings>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <memory>
#include <utility>
#include <vector>

namespace {

// Datagrams drained after one wait before the stop flag is looked at again.
constexpr int MaxDatagramsPerWake = 256;
// The largest UDP payload over IPv4 (65507 bytes) fits.
constexpr int DatagramBytes = 65536;

QString sourceText(const DatagramSource& source)
{
    return QStringLiteral("%1.%2.%3.%4:%5")
        .arg(source.address >> 24)
        .arg((source.address >> 16) & 0xFF)
        .arg((source.address >> 8) & 0xFF)
        .arg(source.address & 0xFF)
        .arg(source.port);
}

ImageGetWorker::LinkState linkStateOf(SocketOpener::Result result)
{
    using LinkState = ImageGetWorker::LinkState;
    using Result = SocketOpener::Result;
    switch (result) {
    case Result::Opened:
        return LinkState::Connected;
    case Result::BadAddress:
        return LinkState::BadAddress;
    case Result::SocketFailed:
        return LinkState::SocketFailed;
    case Result::Refused:
        return LinkState::Refused;
    case Result::Unreachable:
        return LinkState::Unreachable;
    case Result::TimedOut:
        return LinkState::TimedOut;
    case Result::ConnectFailed:
        return LinkState::ConnectFailed;
    case Result::BindFailed:
        return LinkState::BindFailed;
    case Result::Stopped:
        break;
    }
    return LinkState::Stopped;
}

} // namespace

ImageGetWorker::ImageGetWorker(QSettings* settings) : ImageGetWorker(DeviceConfig::read(*settings))
{
}

ImageGetWorker::ImageGetWorker(const DeviceConfig& config) : ImageGetWorker(config.protocol)
{
    // A camera slower than one frame a second needs a longer quiet limit
    // than TCP's default, or it is dropped before every frame.
    m_quietLimitMs = config.quietMs;
    m_sourceSetting = config.source;
    m_rtpEncoding = config.encoding;
    m_multicastInterface = config.multicastInterface;
    m_http = {config.url,    config.user,      config.password,
              config.pollMs, config.tlsVerify, config.rtspTransport};
}

ImageGetWorker::ImageGetWorker(Protocol protocol)
    : QObject(nullptr), m_protocol(protocol),
      m_referenceHeaderFile(QString::fromLatin1(DefaultReferenceHeaderFile))
{
    // Multipart streams (TCP, UDP, HTTP) write every byte of a frame in
    // order; RTP payloads are placed by offset and may leave gaps.
    setFillNewArrays(m_protocol == Protocol::Rtp || m_protocol == Protocol::Rtsp);
    socketLibraryStartup();
}

ImageGetWorker::~ImageGetWorker()
{
    socketLibraryCleanup();
}

ImageGetWorker::Protocol ImageGetWorker::protocolFromSetting(const QString& value)
{
    return DeviceConfig::protocolFromSetting(value);
}

int ImageGetWorker::quietLimitMs() const
{
    if (m_quietLimitMs > 0)
        return m_quietLimitMs;
    if (m_protocol == Protocol::Rtsp)
        return DeviceConfig::RtspQuietLimitMs;
    return m_protocol == Protocol::Tcp || m_protocol == Protocol::Http ? TcpQuietLimitMs
                                                                       : DatagramQuietLimitMs;
}

void ImageGetWorker::requestStop()
{
    m_stopRequested.store(true, std::memory_order_relaxed);
}

void ImageGetWorker::setReferenceHeaderFile(const QString& path)
{
    std::lock_guard lock(m_referenceMutex);
    m_referenceHeaderFile = path;
}

QString ImageGetWorker::referenceHeaderFile() const
{
    std::lock_guard lock(m_referenceMutex);
    return m_referenceHeaderFile;
}

ImageGetWorker::LinkState ImageGetWorker::openingState(SocketOpener::Result result)
{
    return linkStateOf(result);
}

std::unique_ptr<protocolDecoder> ImageGetWorker::makeDecoder()
{
    std::optional<QString> text;
    std::unique_ptr<protocolDecoder> decoder = DecoderFactory::make(
        m_protocol, this, referenceHeaderFile(), &m_rtpCounters, &text, m_rtpEncoding);
    if (text)
        emit notice(*text);
    return decoder;
}

void ImageGetWorker::handOver(const QString& conType, unsigned char* destination, int len,
                              const QString& logMsg)
{
    emit newImageReceived(conType, destination, len, logMsg);
}

void ImageGetWorker::imageRequested(unsigned char* m_transferBuf, int transferLength)
{
    request(m_transferBuf, transferLength);
}

void ImageGetWorker::initConnect(QString Ip, int Port)
{
    Q_ASSERT(QThread::currentThread() == thread());
    m_connectQueued.store(false, std::memory_order_relaxed);
    if (stopRequested())
        return;
    if (m_protocol == Protocol::Http) {
        connectHttp();
        return;
    }
    if (m_protocol == Protocol::Rtsp) {
        connectRtsp();
        return;
    }

    const bool datagrams = m_protocol != Protocol::Tcp;
    beginConnection(datagrams ? QStringLiteral("image/jpeg") : QString());

    const QString where = QStringLiteral("%1:%2").arg(Ip).arg(Port);
    const SocketOpener opener(m_resolver, m_stopRequested, WaitSliceMs);
    sockaddr_in address;
    QString error;
    if (!opener.resolve(Ip, Port, &address, &error)
        || (datagrams && !opener.resolveSource(m_sourceSetting, &m_fixedSource, &error))) {
        emit linkStateChanged(LinkState::BadAddress, error);
        return;
    }

    const int quietLimitMs = this->quietLimitMs();
    emit linkStateChanged(LinkState::Connecting, where);
    const SocketOpener::Outcome opened =
        datagrams ? opener.bindDatagrams(address, ReceiveBufferBytes, m_multicastInterface)
                  : opener.connectStream(address, ConnectTimeoutMs);
    if (opened.result != SocketOpener::Result::Opened) {
        // A connect ended by a stop request reports nothing.
        if (opened.result != SocketOpener::Result::Stopped)
            emit linkStateChanged(linkStateOf(opened.result), opened.detail);
        return;
    }

    emit connected();
    emit linkStateChanged(LinkState::Connected, where);
    m_answerBytesSeen = 0;
    const ConnectOutcome ending = receiveLoop(opened.socket, quietLimitMs);
    closeSocket(SocketHandle(opened.socket));
    emit disconnected();
    emit linkStateChanged(ending.state, ending.detail);
}

ImageGetWorker::ConnectOutcome ImageGetWorker::receiveLoop(qintptr socket, int quietLimitMs)
{
    Q_ASSERT(QThread::currentThread() == thread());
    const auto s = SocketHandle(socket);
    std::unique_ptr<protocolDecoder> decoder = makeDecoder();
    const bool datagrams = m_protocol != Protocol::Tcp;
    // Made when the socket first has data, so that a silent device holds
    // no receive block; left uninitialised, its pages are only touched as
    // far as data arrives.
    std::unique_ptr<unsigned char[]> block;
    std::vector<DatagramSlot> datagramSlots;
    const auto makeBlock = [&] {
        block = std::make_unique_for_overwrite<unsigned char[]>(
            datagrams ? std::size_t(MaxDatagramBatch) * DatagramBytes
                      : std::size_t(ReceiveBlockBytes));
        datagramSlots.resize(datagrams ? MaxDatagramBatch : 0);
        for (std::size_t k = 0; k < datagramSlots.size(); ++k) {
            datagramSlots[k].data = block.get() + k * DatagramBytes;
            datagramSlots[k].capacity = DatagramBytes;
        }
    };
    SenderLock lock;
    if (m_fixedSource)
        lock.fixSource(*m_fixedSource);
    LatencyProbe* const probe = latencyProbe();
    auto deadline = SteadyClock::now() + std::chrono::milliseconds(quietLimitMs);

    while (!stopRequested()) {
        const int left = msUntil(deadline);
        if (left == 0) // quiet for the whole limit
            return {LinkState::Quiet,
                    QStringLiteral("no data for %1 s").arg(quietLimitMs / 1000.0)};
        const int ready = waitSocket(s, std::min(left, int(WaitSliceMs)), false);
        if (ready < 0)
            return {
                LinkState::Lost,
                QStringLiteral("wait failed: %1").arg(SocketOpener::errorText(lastSocketError()))};
        if (ready == 0)
            continue;
        if (!block)
            makeBlock();

        QString ending;
        if (datagrams) {
            // A datagram socket is drained until empty, in batches of one
            // system call each; every datagram is still decoded as one block.
            for (int taken = 0; taken < MaxDatagramsPerWake && !stopRequested();) {
                const int got = receiveDatagrams(s, datagramSlots.data(), MaxDatagramBatch);
                if (got < 0) {
                    if (!receiveWouldBlock())
                        ending = QStringLiteral("receive failed: %1")
                                     .arg(SocketOpener::errorText(lastSocketError()));
                    break;
                }
                const auto now = SteadyClock::now();
                deadline = now + std::chrono::milliseconds(quietLimitMs);
                const std::int64_t nowMs =
                    std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch())
                        .count();
                for (int k = 0; k < got; ++k) {
                    m_bytesReceived.fetch_add(datagramSlots[k].length, std::memory_order_relaxed);
                    if (decoder)
                        decodeDatagram(*decoder, lock, datagramSlots[k].data,
                                       datagramSlots[k].length, datagramSlots[k].from, nowMs);
                }
                if (probe != nullptr)
                    probe->datagramsReceived(got);
                taken += got;
                if (got < MaxDatagramBatch)
                    break; // drained
            }
        } else {
            const auto received =
                ::recv(s, reinterpret_cast<char*>(block.get()), ReceiveBlockBytes, 0);
            if (received < 0) {
                if (!receiveWouldBlock())
                    ending = QStringLiteral("receive failed: %1")
                                 .arg(SocketOpener::errorText(lastSocketError()));
            } else if (received == 0) {
                ending = QStringLiteral("closed by the peer");
            } else {
                m_bytesReceived.fetch_add(received, std::memory_order_relaxed);
                deadline = SteadyClock::now() + std::chrono::milliseconds(quietLimitMs);
                if (m_answerBytesSeen == 0)
                    checkForHttpAnswer(block.get(), int(received));
                if (decoder)
                    decoder->decode(block.get(), int(received));
            }
        }
        if (!ending.isEmpty())
            return {LinkState::Lost, ending};
    }
    return {LinkState::Stopped, QStringLiteral("stopped")};
}

void ImageGetWorker::decodeDatagram(protocolDecoder& decoder, SenderLock& lock,
                                    const unsigned char* data, int len, const sockaddr_in& from,
                                    std::int64_t nowMs)
{
    const DatagramSource source{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
    const SenderLock::Verdict verdict = lock.admit(source, nowMs);
    if (verdict != SenderLock::Verdict::Admit) {
        m_foreignDropped.fetch_add(1, std::memory_order_relaxed);
        // Named once per source: to the device log and the console at once,
        // since no frame may follow to carry a log line.
        if (verdict == SenderLock::Verdict::DropFromNewSource)
            reportProblem(
                QStringLiteral("datagrams from %1 dropped: the stream is %2")
                    .arg(sourceText(source),
                         m_fixedSource
                             ? QStringLiteral("limited to source=%1").arg(m_sourceSetting)
                             : QStringLiteral("locked onto %1").arg(sourceText(*lock.holder()))));
        return;
    }
    if (len > 0)
        decoder.decode(data, len);
    if (decoder.synchronised())
        lock.lockOnto(source, nowMs);
}

void ImageGetWorker::checkForHttpAnswer(const unsigned char* data, int len)
{
    // Only the first block of each connection is looked at: a status line
    // at its start is a web server's answer, not a camera's stream.
    m_answerBytesSeen = len;
    if (m_httpHintGiven || !HttpResponseHead::looksLikeResponse(data, std::size_t(len)))
        return;
    m_httpHintGiven = true;
    int lineEnd = 0;
    while (lineEnd < len && lineEnd < 80 && data[lineEnd] >= 0x20 && data[lineEnd] < 0x7f)
        ++lineEnd;
    reportProblem(QStringLiteral("the device answers like a web server (\"%1\"); for a camera "
                                 "on the web set protocol=HTTP and url=http://HOST[:PORT]/PATH")
                      .arg(QString::fromLatin1(reinterpret_cast<const char*>(data), lineEnd)));
}

void ImageGetWorker::connectHttp()
{
    // Frames of a stream carry their own type; a snapshot is JPEG.
    beginConnection(QStringLiteral("image/jpeg"));
    const QString shown = DeviceConfig::withoutCredentials(m_http.url);
    const QString lower = m_http.url.toLower();
    if (!lower.startsWith(QLatin1String("http://"))
        && !lower.startsWith(QLatin1String("https://"))) {
        emit linkStateChanged(
            LinkState::BadAddress,
            m_http.url.isEmpty()
                ? QStringLiteral("no url")
                : QStringLiteral("\"%1\": not an http:// or https:// URL").arg(shown));
        return;
    }
    emit linkStateChanged(LinkState::Connecting, shown);
    HttpReceiver::Settings settings;
    settings.url = m_http.url;
    settings.user = m_http.user;
    settings.password = m_http.password;
    settings.pollMs = m_http.pollMs;
    settings.tlsVerify = m_http.tlsVerify;
    settings.quietLimitMs = quietLimitMs();
    bool accepted = false;
    HttpReceiver receiver(settings, this, m_stopRequested, &m_bytesReceived, [&] {
        accepted = true;
        emit connected();
        emit linkStateChanged(LinkState::Connected, shown);
    });
    const ConnectOutcome ending = receiver.run();
    if (accepted)
        emit disconnected();
    // An attempt ended by a stop request before anything was shown reports
    // nothing, as a TCP connect does.
    if (accepted || ending.state != LinkState::Stopped)
        emit linkStateChanged(ending.state, ending.detail);
}
