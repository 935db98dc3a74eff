// SPDX-License-Identifier: MIT
#pragma once

#include "deviceconfig.h"
#include "framedoublebuffer.h"
#include "rtpcounters.h"
#include "senderlock.h"
#include "socketopener.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

class QSettings;
class protocolDecoder;
struct sockaddr_in;

// The per-device network worker. It lives in a thread of its own: initConnect
// has the socket opened (TCP connected, UDP and RTP bound) and runs the
// receive loop, handing every block to the stream decoder it makes for the
// connection. The decoder assembles frames in the worker's double buffer,
// the FrameSink it writes through (FrameDoubleBuffer, whose thread rules
// hold here), from which the newest complete frame is handed to the device
// controller in the GUI thread with newImageReceived.
class ImageGetWorker : public QObject, public FrameDoubleBuffer
{
    Q_OBJECT

public:
    using Protocol = DeviceProtocol;

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
        Unauthorized,  // HTTP 401; the detail names the schemes the camera offered
        HttpStatus,    // any other HTTP status but 2xx; the detail is "HTTP 404 Not Found"
                       // (for RTSP the detail names the failure: "RTSP 454 Session Not Found")
        BadContent,    // a response neither multipart nor JPEG; the detail names its type
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
    static constexpr int TcpQuietLimitMs = DeviceConfig::TcpQuietLimitMs;
    static constexpr int DatagramQuietLimitMs = DeviceConfig::DatagramQuietLimitMs;
    static constexpr int ConnectTimeoutMs = 3000;
    // Asked for a datagram socket (the system may give less, up to its
    // limit): enough for several full 1280x960 JPEG frames, so that a burst
    // of packets outlasts a moment in which the receive thread gets no core.
    static constexpr int ReceiveBufferBytes = 4 * 0x100000;

    // A camera on the web (protocol=HTTP or RTSP): its URL, the credentials
    // it may ask for, the snapshot period (0: a stream), whether TLS
    // certificates are verified and how an RTSP camera's RTP arrives.
    struct HttpTarget
    {
        QString url;
        QString user;
        QString password;
        int pollMs = 0;
        bool tlsVerify = true;
        DeviceConfig::RtspLower rtspTransport = DeviceConfig::RtspLower::Auto;
    };

    // Reads `protocol`, `quiet_ms` and `source` (and the HTTP keys) from
    // the device group `settings` is positioned in.
    explicit ImageGetWorker(QSettings* settings);
    // The protocol, quiet_ms and source (and the HTTP keys) of `config`.
    explicit ImageGetWorker(const DeviceConfig& config);
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
    // What RTP packets carry (`encoding`); set before the first connect.
    void setRtpEncoding(RtpEncoding encoding) { m_rtpEncoding = encoding; }
    // Set before the first connect.
    void setHttpTarget(const HttpTarget& target) { m_http = target; }
    const HttpTarget& httpTarget() const { return m_http; }
    // How long the receive loop waits for data before it gives the
    // connection up: `quiet_ms`, by default TcpQuietLimitMs for TCP and
    // DatagramQuietLimitMs for UDP and RTP.
    int quietLimitMs() const;
    void setQuietLimitMs(int ms) { m_quietLimitMs = ms; }

    // Looks up a host that is not a dotted IPv4 address: true with the
    // address in network byte order, or false with the reason. The default
    // asks the system resolver for IPv4 addresses. Set before the first
    // connect.
    using Resolver = SocketOpener::Resolver;
    void setResolver(Resolver resolver) { m_resolver = std::move(resolver); }

    // Marks a connect request as queued. Returns false when one is queued
    // already and has not started yet, so that requests arriving while an
    // attempt runs cannot pile up behind it. Thread-safe.
    bool markConnectQueued() { return !m_connectQueued.exchange(true); }

    // Figures for the device's status, thread-safe (the frame figures are
    // the double buffer's).
    std::int64_t bytesReceived() const { return m_bytesReceived.load(std::memory_order_relaxed); }

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
    // `interface`: where a multicast host is joined (an address or a name;
    // empty: the system's choice).
    void setMulticastInterface(const QString& text) { m_multicastInterface = text; }

    // The JPEG file whose header the RTP reassembler puts in front of each
    // frame, read at every connect; without the file the built-in header is
    // used. Thread-safe.
    void setReferenceHeaderFile(const QString& path);
    QString referenceHeaderFile() const;

    // The state a failed socket opening is reported with.
    static LinkState openingState(SocketOpener::Result result);

    // The decoder for one connection in this worker's protocol.
    std::unique_ptr<protocolDecoder> makeDecoder();

    // A reason why the stream's frames will not show right, reported at once.
    void reportProblem(const QString& text) override { emit notice(text); }

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

protected:
    void handOver(const QString& conType, unsigned char* destination, int len,
                  const QString& logMsg) override;

private:
    // Runs until the connection ends; returns why it ended.
    ConnectOutcome receiveLoop(qintptr socket, int quietLimitMs);
    // initConnect for a camera on the web: the URL's transfers, up to the
    // connection's end.
    void connectHttp();
    // initConnect for an RTSP camera: one session, up to its end.
    void connectRtsp();
    // A TCP device that answers like a web server is named so, once.
    void checkForHttpAnswer(const unsigned char* data, int len);
    // Decodes one datagram if the sender lock admits its source.
    void decodeDatagram(protocolDecoder& decoder, SenderLock& lock, const unsigned char* data,
                        int len, const sockaddr_in& from, std::int64_t nowMs);

    // Read and set in the worker's thread, and before it starts.
    Protocol m_protocol = Protocol::Tcp;
    RtpEncoding m_rtpEncoding = RtpEncoding::Jpeg;
    Resolver m_resolver;
    int m_quietLimitMs = 0; // 0: the protocol's default
    QString m_sourceSetting;
    QString m_multicastInterface;
    HttpTarget m_http;
    // Bytes of the TCP connection looked at for an HTTP status line.
    int m_answerBytesSeen = 0;
    bool m_httpHintGiven = false;
    std::optional<DatagramSource> m_fixedSource; // for the running connection
    // Guards m_referenceHeaderFile, which any thread may set.
    mutable std::mutex m_referenceMutex;
    QString m_referenceHeaderFile;
    // Readable from any thread.
    std::atomic<std::int64_t> m_foreignDropped{0};
    RtpCounters m_rtpCounters;
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_connectQueued{false};
    std::atomic<std::int64_t> m_bytesReceived{0};
};
