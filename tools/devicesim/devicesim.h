// SPDX-License-Identifier: MIT
#pragma once

#include "impairment.h"
#include "jpegencoder.h"
#include "recordingreader.h"
#include "rtph264packetizer.h"
#include "rtpjpegpacketizer.h"
#include "simconfig.h"

#include <QByteArray>
#include <QList>

#include <chrono>
#include <csignal>
#include <memory>
#include <random>
#include <vector>

class HttpServer;

// The simulated camera: produces frames on its own clock and sends them in
// the configured way, one thread, non-blocking sockets and poll.
class DeviceSim
{
public:
    explicit DeviceSim(const SimConfig& config);
    ~DeviceSim();

    // Opens the socket (listening for tcp and http) and the recording to replay.
    // Returns false with a message. Reading the recording gives up once
    // `stop` becomes nonzero.
    bool open(QString* error, const volatile std::sig_atomic_t* stop = nullptr);
    // Sends frames until the count or duration is reached or `stop` becomes
    // nonzero. Returns the process exit code.
    int run(volatile std::sig_atomic_t* stop);
    // "sent: ..." figures of the run.
    QString summary() const;
    int boundPort() const { return m_boundPort; }

private:
    using Clock = std::chrono::steady_clock;

    // A client's queue is compacted once this much of it has gone out.
    static constexpr qsizetype CompactAfterBytes = qsizetype(1024) * 1024;

    struct Client
    {
        int fd = -1;
        QByteArray out;
        qsizetype sent = 0;
        bool startedPart = false; // has had the head of a part
    };

    // --replay: sends the recording's frames at their recorded spacing.
    // Returns the exit code: 1 when the recording could not be read to its
    // end or a pass over it sent no frame.
    int runReplay(volatile std::sig_atomic_t* stop);
    // Waits until a TCP client is connected; false when stopped first.
    bool waitForClient(Clock::time_point end, volatile std::sig_atomic_t* stop);
    // Sends one frame of the recording; false when RTP/JPEG cannot carry
    // it. The refusal is printed when `announce` is set.
    bool sendRecordedFrame(const simlib::RecordedFrame& frame, long long index, bool announce);
    // A replay's line to stdout (none with --quiet), or its error to stderr.
    void replayNote(const QString& text) const;
    void replayError(const QString& text) const;
    QByteArray makeFrame(long long index, bool withTimestamp);
    // A frame as the sender sends it: pre-encoded (--pregenerate) with a
    // time stamp put in, or made now.
    QByteArray frameToSend(long long index, bool withTimestamp);
    // The APP9 time stamp of a frame sent now.
    static simlib::FrameTimestamp timestampNow(long long index);
    void sendFrame(long long index);
    void sendMultipart(const QByteArray& bytes, bool frameStart);
    void sendRtpFrame(const QByteArray& jpeg, long long index);
    void sendDatagram(const QByteArray& bytes);
    // --h264: reads the file's access units; false with the reason.
    bool loadH264(QString* error);
    // Sends one H.264 access unit (Annex B) as RTP H.264; false when it
    // holds no NAL unit.
    bool sendRtpH264(const QByteArray& accessUnit);
    // Services sockets until `until` (accepts, writes, closes); returns
    // early when `stop` is set.
    void serviceUntil(Clock::time_point until, volatile std::sig_atomic_t* stop);
    void acceptClients();
    void closeClient(std::size_t i);
    bool writeReference(QString* error);

    SimConfig m_config;
    int m_fd = -1;
    std::unique_ptr<HttpServer> m_http; // --mode http
    int m_boundPort = 0;
    std::vector<Client> m_clients;
    QList<QByteArray> m_pregenerated; // --pregenerate: frames without a time stamp
    simlib::RtpJpegPacketizer m_packetizer;
    simlib::PacketImpairment m_impairment;
    simlib::RtpH264Packetizer m_h264Packetizer;
    QList<QByteArray> m_h264Units; // --h264
    bool m_h264Sent = false;
    std::mt19937 m_rng;
    Clock::time_point m_rtpEpoch;
    std::uint32_t m_rtpBase = 0;
    int m_badCounter = 0;
    int m_datagramsThisFrame = 0;

    long long m_frames = 0;
    long long m_bytes = 0;
    long long m_datagrams = 0;
    long long m_badItems = 0;
    long long m_clientsServed = 0;
    long long m_framesSkipped = 0; // tcp: a client's queue was full
    int m_ssrcChanges = 0;
    simlib::RecordingReader m_recording;
    long long m_refused = 0;    // rtp replay: frames the packetizer cannot take
    long long m_gapsCapped = 0; // replay: waits shortened to --max-gap
};
