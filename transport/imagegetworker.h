// SPDX-License-Identifier: MIT
#pragma once

#include "latencyprobe.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <mutex>

class QSettings;

// The per-device network worker. It lives in a thread of its own: initConnect
// connects (TCP) or binds (UDP, RTP) and runs the receive loop, handing every
// block to the stream decoder. The decoder assembles frames in the worker's
// double buffer, through which the newest complete frame is handed to the
// device controller in the GUI thread.
//
// Thread rules: the write buffer, m_curLen and m_writePtr belong to the worker
// thread. Everything the GUI thread's delivery reads (the completed buffer,
// its length, the array pointers, the log text, the content type) changes
// only under m_mutex, so a delivery always copies a stable frame. The
// per-byte path takes no lock.
class ImageGetWorker : public QObject
{
    Q_OBJECT

public:
    enum Protocol { Tcp = 0, Udp = 1, Rtp = 2 };

    // Waits of the receive loop are cut into slices of this length so that a
    // stop request ends the loop promptly in every mode.
    static constexpr int WaitSliceMs = 100;
    static constexpr int TcpQuietLimitMs = 1000;
    static constexpr int DatagramQuietLimitMs = 60000;
    static constexpr int ReceiveBufferBytes = 0x100000;

    explicit ImageGetWorker(QSettings* settings);
    ~ImageGetWorker() override;

    // Asks a running (or future) initConnect to end within one wait slice.
    // Thread-safe; the owner then quits and waits for the worker's thread.
    void requestStop();
    bool stopRequested() const { return m_stopRequested.load(std::memory_order_relaxed); }

    int protocol() const { return m_protocol; }
    QString contentType() const;

    // Frame buffer operations used by the decoders, in the worker's thread.
    void growFrameBuffer();
    // Grows the write buffer in x3/2 steps until it holds at least `needed`
    // bytes. Returns false, without allocating, when that exceeds the frame
    // bound.
    bool ensureWriteCapacity(std::int64_t needed);
    void finishFrame();
    void restartFrame();
    void deliverIfRequested()
    {
        if (m_requestBuf.load(std::memory_order_acquire) != nullptr
            && m_framesDone.load(std::memory_order_relaxed)
                   != m_lastDelivered.load(std::memory_order_relaxed))
            deliverFrame();
    }
    void deliverFrame();
    void setContentType(const QString& text);
    void appendLog(const QString& text);

    int writeCapacity() const { return m_frameBufSize[writeIndex()]; }
    unsigned char* writeBuffer() const { return m_frameBuf[writeIndex()]; }
    int writeIndex() const { return m_framesDone.load(std::memory_order_relaxed) % 2; }
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

public slots:
    void initConnect(QString Ip, int Port);
    void imageRequested(unsigned char* m_transferBuf, int transferLength);

private:
    void receiveLoop(qintptr socket, int quietLimitMs);

    QString m_logMsg;
    mutable std::mutex m_mutex;

public:
    // Shared with the decoders, which run in the worker's thread.
    int m_protocol = Tcp;
    std::atomic<int> m_framesDone{0};
    int m_curLen = 0;
    unsigned char* m_writePtr = nullptr;

private:
    std::atomic<int> m_lastDelivered{0};

public:
    unsigned char* m_frameBuf[2] = {nullptr, nullptr};
    int m_frameBufSize[2] = {0, 0};

private:
    int m_frameLen[2] = {0, 0};
    std::atomic<unsigned char*> m_requestBuf{nullptr};
    int m_requestLen = 0;
    QString m_conType;
    std::atomic<bool> m_stopRequested{false};
#ifdef FRAMESCOPE_LATENCY_PROBE
    std::int64_t m_finishedNs[2] = {0, 0};
    std::atomic<std::int64_t> m_deliveredFinishNs{0};
#endif
};
