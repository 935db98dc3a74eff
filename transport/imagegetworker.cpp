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
#include <QSettings>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <chrono>
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
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv;
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = decltype(tv.tv_usec)(timeoutMs % 1000) * 1000;
    for (;;) {
        const int r = ::select(int(s) + 1, forWrite ? nullptr : &set, forWrite ? &set : nullptr,
                               nullptr, &tv);
#ifndef _WIN32
        if (r < 0 && errno == EINTR)
            continue;
#endif
        return r;
    }
}

using Clock = std::chrono::steady_clock;

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
    if (m_protocol == Protocol::Rtp)
        return std::make_unique<Rtp2Jpeg>(this);
    return std::make_unique<MultipartDec>(this);
}

// The decoders know only the FrameSink they fill. These constructors, for
// owners that hold a worker, take what the worker knows: the framing of its
// protocol and its reference file.
MultipartDec::MultipartDec(ImageGetWorker* worker)
    : MultipartDec(worker, worker->protocol() == ImageGetWorker::Protocol::Tcp
                               ? Framing::Stream
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
            return;
        }
        bulkCopy(destination, m_frameBuf[c], std::size_t(length));
        m_requestLen = length;
        m_requestBuf = nullptr;
        m_lastDelivered = done;
        updateDeliveryDue();
        conType = m_conType;
        logMsg = std::exchange(m_logMsg, QString());
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
    m_logMsg += text;
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

    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(Port & 0xFFFF));
    const QByteArray ip = Ip.toLatin1();
    address.sin_addr.s_addr = inet_addr(ip.constData());
    // Text that is no dotted address converts to INADDR_NONE, which a
    // datagram socket would happily bind as the broadcast address.
    if (address.sin_addr.s_addr == INADDR_NONE && ip != "255.255.255.255")
        return;

    int quietLimitMs = TcpQuietLimitMs;
    SocketHandle s = InvalidSocket;
    if (m_protocol == Protocol::Tcp) {
        s = ::socket(AF_INET, SOCK_STREAM, 0);
        if (s == InvalidSocket)
            return;
        setNonBlocking(s, true);
        if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            if (!connectInProgress()) {
                closeSocket(s);
                return;
            }
            // Wait for the outcome in slices so that a stop request is seen.
            int ready = 0;
            while (ready == 0 && !stopRequested())
                ready = waitSocket(s, WaitSliceMs, true);
            int error = 0;
            socklen_t errorLen = sizeof error;
            if (ready < 0 || stopRequested()
                || ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &errorLen)
                       != 0
                || error != 0) {
                closeSocket(s);
                return;
            }
        }
    } else {
        s = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (s == InvalidSocket)
            return;
        if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            closeSocket(s);
            return;
        }
        int size = ReceiveBufferBytes;
        ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
        setNonBlocking(s, true);
        quietLimitMs = DatagramQuietLimitMs;
    }

    emit connected();
    receiveLoop(qintptr(s), quietLimitMs);
    closeSocket(s);
    emit disconnected();
}

void ImageGetWorker::receiveLoop(qintptr socket, int quietLimitMs)
{
    Q_ASSERT(QThread::currentThread() == thread());
    const auto s = SocketHandle(socket);
    std::unique_ptr<protocolDecoder> decoder = makeDecoder();
    std::vector<unsigned char> block(ReceiveBlockBytes);
    const bool datagrams = m_protocol != Protocol::Tcp;
    auto deadline = Clock::now() + std::chrono::milliseconds(quietLimitMs);

    while (!stopRequested()) {
        const int left = msUntil(deadline);
        if (left == 0)
            break; // quiet for the whole limit
        const int ready = waitSocket(s, std::min(left, int(WaitSliceMs)), false);
        if (ready < 0)
            break;
        if (ready == 0)
            continue;

        // One wait may be followed by several receives: a datagram socket is
        // drained until empty, each datagram still decoded as one block.
        bool closed = false;
        for (int n = 0; n < MaxDatagramsPerWake; ++n) {
            const auto received =
                ::recv(s, reinterpret_cast<char*>(block.data()), ReceiveBlockBytes, 0);
            if (received < 0) {
                closed = !receiveWouldBlock();
                break;
            }
            if (received == 0 && !datagrams) {
                closed = true; // the peer closed the connection
                break;
            }
            deadline = Clock::now() + std::chrono::milliseconds(quietLimitMs);
            if (received > 0 && decoder)
                decoder->decode(block.data(), int(received));
#ifdef FRAMESCOPE_LATENCY_PROBE
            if (datagrams)
                latencyprobe::recorder().datagrams.fetch_add(1, std::memory_order_relaxed);
#endif
            if (!datagrams || stopRequested())
                break;
        }
        if (closed)
            break;
    }
}
