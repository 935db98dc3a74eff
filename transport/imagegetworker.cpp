// SPDX-License-Identifier: MIT
#include "imagegetworker.h"

#include "bulkcopy.h"
#include "framelimits.h"
#include "multipartdec.h"
#include "protocoldecoder.h"
#include "regularfile.h"
#include "rtp2jpeg.h"
#include "socketapi.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QThread>
#include <QTime>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace {

// Upper bound for any array of the double buffer: the frame bound plus room
// for the bytes a decoder adds around a frame (a JPEG header, an EOI).
constexpr std::int64_t MaxFrameBufferBytes = std::int64_t(MaxFrameBytes) + 0x10000;

// Datagrams drained after one wait before the stop flag is looked at again.
constexpr int MaxDatagramsPerWake = 256;
// The largest UDP payload over IPv4 (65507 bytes) fits.
constexpr int DatagramBytes = 65536;

// The first bytes of the reference file, as many as the header store holds;
// nothing when the file cannot be read or is not a regular file (a FIFO or a
// device would block the worker or never end).
ReferenceHeader readReferenceHeader(const QString& path)
{
    const std::optional<QByteArray> file = readRegularFile(path, Rtp2Jpeg::HeaderStoreBytes);
    if (!file)
        return std::nullopt;
    return std::vector<unsigned char>(file->cbegin(), file->cend());
}

// Waits until the socket is readable (or writable), for at most timeoutMs.
// Returns >0 when ready, 0 on time-out, <0 on failure.
int waitSocket(SocketHandle s, int timeoutMs, bool forWrite)
{
    PollDescriptor fd{};
    fd.fd = s;
    fd.events = forWrite ? POLLOUT : POLLIN;
    for (;;) {
        const int r = pollSockets(&fd, 1, timeoutMs);
        if (r < 0 && interruptedCall())
            continue;
        return r;
    }
}

// The operating system's text for a socket error number.
QString socketErrorText(int error)
{
#ifdef _WIN32
    return QStringLiteral("socket error %1").arg(error);
#else
    return QString::fromLocal8Bit(std::strerror(error));
#endif
}

ImageGetWorker::ConnectOutcome connectFailure(int error)
{
    using LinkState = ImageGetWorker::LinkState;
#ifdef _WIN32
    const bool refused = error == WSAECONNREFUSED;
    const bool unreachable = error == WSAENETUNREACH || error == WSAEHOSTUNREACH;
#else
    const bool refused = error == ECONNREFUSED;
    const bool unreachable = error == ENETUNREACH || error == EHOSTUNREACH;
#endif
    const LinkState state = refused       ? LinkState::Refused
                            : unreachable ? LinkState::Unreachable
                                          : LinkState::ConnectFailed;
    return {state, socketErrorText(error)};
}

// The system resolver, IPv4 only.
bool systemResolve(const QString& host, quint32* address, QString* error)
{
    const QByteArray text = host.toLatin1();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    const int r = ::getaddrinfo(text.constData(), nullptr, &hints, &found);
    if (r != 0 || found == nullptr) {
        *error = QString::fromLocal8Bit(::gai_strerror(r));
        return false;
    }
    *address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(found);
    return true;
}

// A dotted IPv4 address as it stands; any other text goes to the resolver.
// False, with the reason, when nothing is found.
bool resolveIPv4(const QString& host, const ImageGetWorker::Resolver& resolver, in_addr* address,
                 QString* error)
{
    const QByteArray text = host.toLatin1();
    const in_addr_t dotted = inet_addr(text.constData());
    // inet_addr's INADDR_NONE is also the broadcast address itself.
    if (dotted != INADDR_NONE || text == "255.255.255.255") {
        address->s_addr = dotted;
        return true;
    }
    if (text.trimmed().isEmpty()) {
        *error = QStringLiteral("no host given");
        return false;
    }
    quint32 found = 0;
    if (!(resolver ? resolver(host, &found, error) : systemResolve(host, &found, error)))
        return false;
    address->s_addr = found;
    return true;
}

using Clock = std::chrono::steady_clock;

QString sourceText(const DatagramSource& source)
{
    return QStringLiteral("%1.%2.%3.%4:%5")
        .arg(source.address >> 24)
        .arg((source.address >> 16) & 0xFF)
        .arg((source.address >> 8) & 0xFF)
        .arg(source.address & 0xFF)
        .arg(source.port);
}

int msUntil(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

} // namespace

ImageGetWorker::ImageGetWorker(QSettings* settings)
    : ImageGetWorker(protocolFromSetting(
        settings->value(QStringLiteral("protocol"), QStringLiteral("TCP")).toString()))
{
    // A camera slower than one frame a second needs a longer quiet limit
    // than TCP's default, or it is dropped before every frame.
    bool ok = false;
    const int quietMs = settings->value(QStringLiteral("quiet_ms")).toString().trimmed().toInt(&ok);
    if (ok && quietMs > 0)
        m_quietLimitMs = quietMs;
    m_sourceSetting = settings->value(QStringLiteral("source")).toString().trimmed();
}

bool ImageGetWorker::resolveSourceSetting(std::optional<DatagramSource>* source,
                                          QString* error) const
{
    source->reset();
    if (m_sourceSetting.isEmpty())
        return true;
    // ADDR or ADDR:PORT; without a port every port of the address is taken.
    QString host = m_sourceSetting;
    int port = 0;
    const int colon = m_sourceSetting.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        host = m_sourceSetting.left(colon);
        bool ok = false;
        port = m_sourceSetting.mid(colon + 1).toInt(&ok);
        if (!ok || port < 1 || port > 65535) {
            *error = QStringLiteral("source \"%1\": port %2 is outside 1-65535")
                         .arg(m_sourceSetting, m_sourceSetting.mid(colon + 1));
            return false;
        }
    }
    in_addr address{};
    QString reason;
    if (!resolveIPv4(host, m_resolver, &address, &reason)) {
        *error = QStringLiteral("source \"%1\": %2").arg(m_sourceSetting, reason);
        return false;
    }
    *source = DatagramSource{ntohl(address.s_addr), std::uint16_t(port)};
    return true;
}

int ImageGetWorker::quietLimitMs() const
{
    if (m_quietLimitMs > 0)
        return m_quietLimitMs;
    return m_protocol == Protocol::Tcp ? TcpQuietLimitMs : DatagramQuietLimitMs;
}

ImageGetWorker::ImageGetWorker(Protocol protocol)
    : QObject(nullptr), m_protocol(protocol),
      m_referenceHeaderFile(QString::fromLatin1(DefaultReferenceHeaderFile))
{
    for (int i = 0; i < 2; ++i) {
        m_frameLen[i] = 0;
        m_frameBufSize[i] = InitialFrameBufferBytes;
        m_frameBuf[i] = new unsigned char[InitialFrameBufferBytes];
        std::memset(m_frameBuf[i], 0x7F, InitialFrameBufferBytes);
    }
    setWriteArray(m_frameBuf[0], m_frameBufSize[0], 0);
    socketLibraryStartup();
}

ImageGetWorker::Protocol ImageGetWorker::protocolFromSetting(const QString& value)
{
    const QString upper = value.toUpper();
    if (upper == QLatin1String("UDP"))
        return Protocol::Udp;
    if (upper == QLatin1String("RTP"))
        return Protocol::Rtp;
    return Protocol::Tcp;
}

ImageGetWorker::~ImageGetWorker()
{
    delete[] m_frameBuf[0];
    delete[] m_frameBuf[1];
    socketLibraryCleanup();
}

void ImageGetWorker::requestStop()
{
    m_stopRequested.store(true, std::memory_order_relaxed);
}

QString ImageGetWorker::contentType() const
{
    std::lock_guard lock(m_mutex);
    return m_conType;
}

void ImageGetWorker::setReferenceHeaderFile(const QString& path)
{
    std::lock_guard lock(m_mutex);
    m_referenceHeaderFile = path;
}

QString ImageGetWorker::referenceHeaderFile() const
{
    std::lock_guard lock(m_mutex);
    return m_referenceHeaderFile;
}

std::unique_ptr<protocolDecoder> ImageGetWorker::makeDecoder()
{
    if (m_protocol != Protocol::Rtp)
        return std::make_unique<MultipartDec>(this);
    const QString path = referenceHeaderFile();
    QString error;
    ReferenceHeader reference;
    if (const std::optional<QByteArray> file =
            readRegularFile(path, Rtp2Jpeg::HeaderStoreBytes, &error))
        reference.emplace(file->cbegin(), file->cend());
    auto decoder = std::make_unique<Rtp2Jpeg>(this, reference);
    decoder->setDeviceCounters(&m_rtpCounters);
    // A reference file that is there but cannot be used is the likeliest
    // reason for broken pictures; say so (an empty notice: all is well).
    QString notice;
    if (!reference && QFileInfo::exists(path)) {
        notice = QStringLiteral("reference file \"%1\" cannot be used (%2); the built-in JPEG "
                                "header is used instead")
                     .arg(path, error);
    } else if (reference && decoder->headerLen() == 0) {
        notice = QStringLiteral("reference file \"%1\" has no scan header (SOS) within its "
                                "first %2 bytes; frames are shown without a JPEG header")
                     .arg(path)
                     .arg(Rtp2Jpeg::HeaderStoreBytes);
    }
    emit this->notice(notice);
    return decoder;
}

// The decoders know only the FrameSink they fill. These constructors, for
// owners that hold a worker, take what the worker knows: the framing of its
// protocol and its reference file.
MultipartDec::MultipartDec(ImageGetWorker* worker)
    : MultipartDec(worker, worker->protocol() == ImageGetWorker::Protocol::Tcp ? Framing::Stream
                                                                               : Framing::Datagrams)
{
}

Rtp2Jpeg::Rtp2Jpeg(ImageGetWorker* worker)
    : Rtp2Jpeg(static_cast<FrameSink*>(worker), readReferenceHeader(worker->referenceHeaderFile()))
{
}

bool ImageGetWorker::ensureWriteCapacity(std::int64_t needed)
{
    const int w = writeIndex();
    const std::int64_t oldSize = m_frameBufSize[w];
    if (needed <= oldSize)
        return true;
    if (needed > MaxFrameBufferBytes)
        return false;
    std::int64_t newSize = oldSize;
    while (newSize < needed)
        newSize = newSize * 3 / 2;
    newSize = std::min(newSize, MaxFrameBufferBytes);

    // The whole old array is kept, not just the frame's length: the RTP
    // reassembler may have placed later fragments further out.
    auto* grown = new unsigned char[std::size_t(newSize)];
    std::memcpy(grown, m_frameBuf[w], std::size_t(oldSize));
    unsigned char* old = m_frameBuf[w];
    {
        // The GUI thread reads only the completed array, but it reads the
        // pointer table; swapping under the lock keeps that read stable.
        std::lock_guard lock(m_mutex);
        m_frameBuf[w] = grown;
        m_frameBufSize[w] = int(newSize);
    }
    delete[] old;
    setWriteArray(grown, int(newSize), curLen());
    return true;
}

void ImageGetWorker::finishFrame()
{
    {
        std::lock_guard lock(m_mutex);
        const int w = writeIndex();
        m_frameLen[w] = curLen();
#ifdef FRAMESCOPE_LATENCY_PROBE
        m_finishedNs[w] = latencyprobe::nowNs();
        latencyprobe::recorder().framesFinished.fetch_add(1, std::memory_order_relaxed);
#endif
        m_framesDone.store((m_framesDone.load(std::memory_order_relaxed) + 1) & 0xFFFF,
                           std::memory_order_relaxed);
        updateDeliveryDue();
        m_framesCompleted.fetch_add(1, std::memory_order_relaxed);
    }
    const int w = writeIndex();
    setWriteArray(m_frameBuf[w], m_frameBufSize[w], 0);
}

void ImageGetWorker::updateDeliveryDue()
{
    m_deliveryDue.store(m_requestBuf != nullptr
                            && m_framesDone.load(std::memory_order_relaxed) != m_lastDelivered,
                        std::memory_order_release);
}

void ImageGetWorker::deliverFrame()
{
    unsigned char* destination = nullptr;
    int length = 0;
    QString conType;
    QString logMsg;
    {
        std::lock_guard lock(m_mutex);
        destination = m_requestBuf;
        const int done = m_framesDone.load(std::memory_order_relaxed);
        if (destination == nullptr || done == m_lastDelivered)
            return;
        const int c = (done + 1) % 2;
        length = m_frameLen[c];
        if (m_requestLen < length) {
            // Too large for the destination: skip this frame but keep the
            // request pending, so the next frame that fits is delivered.
            m_lastDelivered = done;
            updateDeliveryDue();
            m_oversizeSkipped.fetch_add(1, std::memory_order_relaxed);
            m_lastOversizeBytes.store(length, std::memory_order_relaxed);
            return;
        }
        bulkCopy(destination, m_frameBuf[c], std::size_t(length));
        m_requestLen = length;
        m_requestBuf = nullptr;
        m_lastDelivered = done;
        updateDeliveryDue();
        conType = m_conType;
        logMsg = std::exchange(m_logMsg, QString());
        if (m_droppedLogLines > 0) {
            logMsg += QStringLiteral("%1: %2 log lines dropped: more than %3 characters were "
                                     "waiting for a frame\n")
                          .arg(QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")))
                          .arg(m_droppedLogLines)
                          .arg(MaxPendingLogChars);
            m_droppedLogLines = 0;
        }
#ifdef FRAMESCOPE_LATENCY_PROBE
        m_deliveredFinishNs.store(m_finishedNs[c], std::memory_order_relaxed);
        latencyprobe::recorder().framesDelivered.fetch_add(1, std::memory_order_relaxed);
#endif
    }
    // The connection is queued, so emitting outside the lock changes nothing
    // for the receiver and cannot deadlock a directly connected slot.
    emit newImageReceived(conType, destination, length, logMsg);
}

void ImageGetWorker::setContentType(const QString& text)
{
    std::lock_guard lock(m_mutex);
    if (m_conType != text)
        m_conType = text;
}

void ImageGetWorker::appendLog(const QString& text)
{
    std::lock_guard lock(m_mutex);
    // The text waits for a delivered frame; a stream of gaps that never
    // completes one must not grow it without bound.
    if (m_logMsg.size() + text.size() <= MaxPendingLogChars)
        m_logMsg += text;
    else
        m_droppedLogLines += std::max<int>(1, int(text.count(QLatin1Char('\n'))));
}

void ImageGetWorker::imageRequested(unsigned char* m_transferBuf, int transferLength)
{
    {
        std::lock_guard lock(m_mutex);
        m_requestLen = std::max(transferLength, 0);
        m_requestBuf = m_transferBuf;
        updateDeliveryDue();
    }
    deliverIfRequested();
}

void ImageGetWorker::initConnect(QString Ip, int Port)
{
    Q_ASSERT(QThread::currentThread() == thread());
    m_connectQueued.store(false, std::memory_order_relaxed);
    if (stopRequested())
        return;

    restartFrame();
    {
        std::lock_guard lock(m_mutex);
        // Frames completed before this connection began were delivered or
        // skipped then; only the new connection's frames are handed over.
        m_lastDelivered = m_framesDone.load(std::memory_order_relaxed);
        updateDeliveryDue();
        m_conType = (m_protocol == Protocol::Tcp) ? QString() : QStringLiteral("image/jpeg");
    }

    const QString where = QStringLiteral("%1:%2").arg(Ip).arg(Port);
    if (Port < 1 || Port > 65535) {
        // Wrapped modulo 65536, port=70000 would quietly reach port 4464.
        emit linkStateChanged(LinkState::BadAddress,
                              QStringLiteral("port %1 is outside 1-65535").arg(Port));
        return;
    }
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(Port));
    QString resolveError;
    if (!resolveIPv4(Ip, m_resolver, &address.sin_addr, &resolveError)) {
        emit linkStateChanged(LinkState::BadAddress,
                              QStringLiteral("\"%1\": %2").arg(Ip, resolveError));
        return;
    }

    QString sourceError;
    if (m_protocol != Protocol::Tcp && !resolveSourceSetting(&m_fixedSource, &sourceError)) {
        emit linkStateChanged(LinkState::BadAddress, sourceError);
        return;
    }

    const int quietLimitMs = this->quietLimitMs();
    SocketHandle s = InvalidSocket;
    if (m_protocol == Protocol::Tcp) {
        emit linkStateChanged(LinkState::Connecting, where);
        s = ::socket(AF_INET, SOCK_STREAM, 0);
        if (s == InvalidSocket) {
            emit linkStateChanged(LinkState::SocketFailed, socketErrorText(lastSocketError()));
            return;
        }
        const ConnectOutcome outcome = connectWithin(s, address, ConnectTimeoutMs);
        if (outcome.state != LinkState::Connected) {
            closeSocket(s);
            if (!stopRequested())
                emit linkStateChanged(outcome.state, outcome.detail);
            return;
        }
    } else {
        emit linkStateChanged(LinkState::Connecting, where);
        s = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (s == InvalidSocket) {
            emit linkStateChanged(LinkState::SocketFailed, socketErrorText(lastSocketError()));
            return;
        }
        if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            const int error = lastSocketError();
            closeSocket(s);
            emit linkStateChanged(LinkState::BindFailed, socketErrorText(error));
            return;
        }
        int size = ReceiveBufferBytes;
        ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
        setNonBlocking(s, true);
    }

    emit connected();
    emit linkStateChanged(LinkState::Connected, where);
    const ConnectOutcome ending = receiveLoop(qintptr(s), quietLimitMs);
    closeSocket(s);
    emit disconnected();
    emit linkStateChanged(ending.state, ending.detail);
}

ImageGetWorker::ConnectOutcome
ImageGetWorker::connectWithin(qintptr socket, const sockaddr_in& address, int timeoutMs)
{
    const auto s = SocketHandle(socket);
    setNonBlocking(s, true);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return {LinkState::Connected, QString()};
    if (!connectInProgress())
        return connectFailure(lastSocketError());
    // Wait for the outcome in slices so that a stop request is seen, and no
    // longer than the connect time limit: a host that never answers would
    // otherwise hold the worker for the operating system's minutes.
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int ready = 0;
    while (ready == 0 && !stopRequested()) {
        const int left = msUntil(deadline);
        if (left == 0)
            return {LinkState::TimedOut,
                    QStringLiteral("no answer within %1 s").arg(timeoutMs / 1000.0)};
        ready = waitSocket(s, std::min(left, int(WaitSliceMs)), true);
    }
    if (stopRequested())
        return {LinkState::Stopped, QString()};
    int error = 0;
    socklen_t errorLen = sizeof error;
    // A failed wait, or the connect's own outcome.
    if (ready < 0
        || ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &errorLen) != 0)
        error = lastSocketError();
    if (error != 0)
        return connectFailure(error);
    return {LinkState::Connected, QString()};
}

ImageGetWorker::ConnectOutcome ImageGetWorker::receiveLoop(qintptr socket, int quietLimitMs)
{
    Q_ASSERT(QThread::currentThread() == thread());
    const auto s = SocketHandle(socket);
    std::unique_ptr<protocolDecoder> decoder = makeDecoder();
    const bool datagrams = m_protocol != Protocol::Tcp;
    // Left uninitialised: pages are only touched as far as data arrives.
    std::unique_ptr<unsigned char[]> block(
        new unsigned char[datagrams ? std::size_t(MaxDatagramBatch) * DatagramBytes
                                    : std::size_t(ReceiveBlockBytes)]);
    std::vector<DatagramSlot> datagramSlots(datagrams ? MaxDatagramBatch : 0);
    for (std::size_t k = 0; k < datagramSlots.size(); ++k) {
        datagramSlots[k].data = block.get() + k * DatagramBytes;
        datagramSlots[k].capacity = DatagramBytes;
    }
    SenderLock lock;
    if (m_fixedSource)
        lock.fixSource(*m_fixedSource);
    auto deadline = Clock::now() + std::chrono::milliseconds(quietLimitMs);

    while (!stopRequested()) {
        const int left = msUntil(deadline);
        if (left == 0) // quiet for the whole limit
            return {LinkState::Quiet,
                    QStringLiteral("no data for %1 s").arg(quietLimitMs / 1000.0)};
        const int ready = waitSocket(s, std::min(left, int(WaitSliceMs)), false);
        if (ready < 0)
            return {LinkState::Lost,
                    QStringLiteral("wait failed: %1").arg(socketErrorText(lastSocketError()))};
        if (ready == 0)
            continue;

        QString ending;
        if (datagrams) {
            // A datagram socket is drained until empty, in batches of one
            // system call each; every datagram is still decoded as one block.
            for (int taken = 0; taken < MaxDatagramsPerWake && !stopRequested();) {
                const int got = receiveDatagrams(s, datagramSlots.data(), MaxDatagramBatch);
                if (got < 0) {
                    if (!receiveWouldBlock())
                        ending = QStringLiteral("receive failed: %1")
                                     .arg(socketErrorText(lastSocketError()));
                    break;
                }
                const auto now = Clock::now();
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
#ifdef FRAMESCOPE_LATENCY_PROBE
                latencyprobe::recorder().datagrams.fetch_add(got, std::memory_order_relaxed);
#endif
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
                                 .arg(socketErrorText(lastSocketError()));
            } else if (received == 0) {
                ending = QStringLiteral("closed by the peer");
            } else {
                m_bytesReceived.fetch_add(received, std::memory_order_relaxed);
                deadline = Clock::now() + std::chrono::milliseconds(quietLimitMs);
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
