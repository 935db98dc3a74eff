// SPDX-License-Identifier: MIT
#pragma once

#include "framesink.h"
#include "latencyprobe.h"
#include "rtpcounters.h"
#include "senderlock.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

class QSettings;
class protocolDecoder;
struct sockaddr_in;

// The per-device network worker. It lives in a thread of its own: initConnect
// connects (TCP) or binds (UDP, RTP) and runs the receive loop, handing every
// block to the stream decoder. The decoder assembles frames in the worker's
// double buffer, the FrameSink it writes through, from which the newest
// complete frame is handed to the device controller in the GUI thread.
//
// Thread rules: the write array and the sink's cursor belong to the thread
// that decodes. Everything the GUI thread's delivery reads (the completed
// array, its length, the array pointers, the log text, the content type)
// changes only under m_mutex, so a delivery always copies a stable frame.
// The per-byte path takes no lock.
class ImageGetWorker : public QObject, public FrameSink
{
    Q_OBJECT

public:
    enum class Protocol
    {
        Tcp,
        Udp,
        Rtp
    };

    // What the connection is doing, reported with linkStateChanged at every
    // step of every attempt (the receiver decides what is a change).
    enum class LinkState
    {
        Connecting,    // an attempt to connect (TCP) or bind (UDP, RTP) begins
        Connected,     // connected or bound; the receive loop runs
        Quiet,         // the receive loop ended after the quiet limit without data
        Lost,          // the receive loop ended: peer closed, receive error
        Refused,       // the TCP connect was refused
        Unreachable,   // no route to the host or its network
        TimedOut,      // the TCP connect got no answer within ConnectTimeoutMs
        ConnectFailed, // any other connect error
        BindFailed,    // the local address or port could not be bound
        BadAddress,    // the host does not resolve, or the port is outside 1-65535
        SocketFailed,  // no socket could be created (for instance, no descriptor left)
        Stopped,       // the loop ended on a stop request
    };
    Q_ENUM(LinkState)

    struct ConnectOutcome
    {
        LinkState state;
        QString detail;
    };

    // Waits of the receive loop are cut into slices of this length so that a
    // stop request ends the loop promptly in every mode.
    static constexpr int WaitSliceMs = 100;
    static constexpr int TcpQuietLimitMs = 1000;
    static constexpr int DatagramQuietLimitMs = 60000;
    static constexpr int ConnectTimeoutMs = 3000;
    // Asked for a datagram socket (the system may give less, up to its
    // limit): enough for several full 1280x960 JPEG frames, so that a burst
    // of packets outlasts a moment in which the receive thread gets no core.
    static constexpr int ReceiveBufferBytes = 4 * 0x100000;
    // Log text waiting for the next delivered frame is kept up to this many
    // characters; further lines are counted and reported as dropped.
    static constexpr int MaxPendingLogChars = 64 * 1024;

    // Reads `protocol` and `quiet_ms` from the device group `settings` is
    // positioned in.
    explicit ImageGetWorker(QSettings* settings);
    explicit ImageGetWorker(Protocol protocol);
    ~ImageGetWorker() override;

    // The protocol a `protocol` setting names: UDP and RTP in any case,
    // TCP for anything else.
    static Protocol protocolFromSetting(const QString& value);

    // Asks a running (or future) initConnect to end within one wait slice.
    // Thread-safe; the owner then quits and waits for the worker's thread.
    void requestStop();
    bool stopRequested() const { return m_stopRequested.load(std::memory_order_relaxed); }

    Protocol protocol() const { return m_protocol; }
    QString contentType() const;
    // How long the receive loop waits for data before it gives the
    // connection up: `quiet_ms`, by default TcpQuietLimitMs for TCP and
    // DatagramQuietLimitMs for UDP and RTP.
    int quietLimitMs() const;
    void setQuietLimitMs(int ms) { m_quietLimitMs = ms; }

    // Looks up a host that is not a dotted IPv4 address: true with the
    // address in network byte order, or false with the reason. The default
    // asks the system resolver for IPv4 addresses. Set before the first
    // connect.
    using Resolver = std::function<bool(const QString& host, quint32* address, QString* error)>;
    void setResolver(Resolver resolver) { m_resolver = std::move(resolver); }

    // Marks a connect request as queued. Returns false when one is queued
    // already and has not started yet, so that requests arriving while an
    // attempt runs cannot pile up behind it. Thread-safe.
    bool markConnectQueued() { return !m_connectQueued.exchange(true); }

    // Figures for the device's status, thread-safe.
    std::int64_t bytesReceived() const { return m_bytesReceived.load(std::memory_order_relaxed); }
    std::int64_t framesCompleted() const
    {
        return m_framesCompleted.load(std::memory_order_relaxed);
    }
    // Completed frames skipped because the destination was too small, and
    // the length of the most recent one.
    std::int64_t oversizeFramesSkipped() const
    {
        return m_oversizeSkipped.load(std::memory_order_relaxed);
    }
    int lastOversizeFrameBytes() const
    {
        return m_lastOversizeBytes.load(std::memory_order_relaxed);
    }

    // Datagrams dropped because they came from another sender than the one
    // the stream is locked onto.
    std::int64_t foreignDatagramsDropped() const
    {
        return m_foreignDropped.load(std::memory_order_relaxed);
    }
    // This device's RTP packet figures, over all its connections.
    const RtpCounters& rtpCounters() const { return m_rtpCounters; }
    // `source`: the only sender (ADDR or ADDR:PORT) whose datagrams are
    // decoded; empty for the sender the stream synchronises with. Set before
    // the first connect.
    void setSourceSetting(const QString& text) { m_sourceSetting = text; }
    QString sourceSetting() const { return m_sourceSetting; }

    // The JPEG file whose header the RTP reassembler puts in front of each
    // frame, read at every connect; without the file the built-in header is
    // used. Thread-safe.
    void setReferenceHeaderFile(const QString& path);
    QString referenceHeaderFile() const;

    // The decoder for one connection in this worker's protocol.
    std::unique_ptr<protocolDecoder> makeDecoder();

    // FrameSink: called by the decoder in the thread that decodes.
    bool ensureWriteCapacity(std::int64_t needed) override;
    void finishFrame() override;
    void deliverFrame() override;
    void setContentType(const QString& text) override;
    void appendLog(const QString& text) override;
    void reportProblem(const QString& text) override { emit notice(text); }

    int framesDone() const { return m_framesDone.load(std::memory_order_relaxed); }
#ifdef FRAMESCOPE_LATENCY_PROBE
    // When the last byte of the most recently delivered frame was decoded.
    std::int64_t deliveredFinishNs() const
    {
        return m_deliveredFinishNs.load(std::memory_order_relaxed);
    }
#endif

signals:
    void newImageReceived(QString conType, unsigned char* pBuffer, int len, QString logMsg);
    void connected();
    void disconnected();
    void linkStateChanged(ImageGetWorker::LinkState state, QString detail);
    // A problem with the device's setup found at connect time; empty when
    // the setup is fine again.
    void notice(QString text);

public slots:
    void initConnect(QString Ip, int Port);
    void imageRequested(unsigned char* m_transferBuf, int transferLength);

private:
    // Runs until the connection ends; returns why it ended.
    ConnectOutcome receiveLoop(qintptr socket, int quietLimitMs);
    // Decodes one datagram if the sender lock admits its source.
    void decodeDatagram(protocolDecoder& decoder, SenderLock& lock, const unsigned char* data,
                        int len, const sockaddr_in& from, std::int64_t nowMs);
    // The `source` setting's sender; false with the reason when it names none.
    bool resolveSourceSetting(std::optional<DatagramSource>* source, QString* error) const;
    ConnectOutcome connectWithin(qintptr socket, const sockaddr_in& address, int timeoutMs);
    int writeIndex() const
    {
        return m_framesDone.load(std::memory_order_relaxed) % 2;
    }
    // Caller holds m_mutex.
    void updateDeliveryDue();

    mutable std::mutex m_mutex;
    QString m_logMsg;
    Protocol m_protocol = Protocol::Tcp;
    // Written by the decoding thread under m_mutex; read there without it.
    std::atomic<int> m_framesDone{0};
    int m_lastDelivered = 0;
    unsigned char* m_frameBuf[2] = {nullptr, nullptr};
    int m_frameBufSize[2] = {0, 0};
    int m_frameLen[2] = {0, 0};
    unsigned char* m_requestBuf = nullptr;
    int m_requestLen = 0;
    QString m_conType;
    QString m_referenceHeaderFile;
    Resolver m_resolver;
    int m_droppedLogLines = 0;
    int m_quietLimitMs = 0; // 0: the protocol's default
    QString m_sourceSetting;
    std::optional<DatagramSource> m_fixedSource; // for the running connection
    std::atomic<std::int64_t> m_foreignDropped{0};
    RtpCounters m_rtpCounters;
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_connectQueued{false};
    std::atomic<std::int64_t> m_bytesReceived{0};
    std::atomic<std::int64_t> m_framesCompleted{0};
    std::atomic<std::int64_t> m_oversizeSkipped{0};
    std::atomic<int> m_lastOversizeBytes{0};
#ifdef FRAMESCOPE_LATENCY_PROBE
    std::int64_t m_finishedNs[2] = {0, 0};
    std::atomic<std::int64_t> m_deliveredFinishNs{0};
#endif
};
