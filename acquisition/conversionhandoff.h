// SPDX-License-Identifier: MIT
#pragma once

#include "decodepool.h"
#include "frameconversion.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

// The hand-off of one device's delivered frames between its network worker
// and the decode pool. It owns the transfer buffers: the worker is asked to
// fill one while the frames in the others are decoded. Up to maxInFlight()
// deliveries are in the pool at once (waiting, being decoded, or decoded and
// waiting for an earlier one), and one more buffer is for the worker. When
// every buffer is taken, the oldest delivery no thread has started on is
// skipped, so that the worker always has a buffer for the newest frame;
// each skip is counted. With every delivery being decoded or done, no
// request is outstanding and the worker's double buffer keeps only the
// newest frame until a result was taken. Results come back in arrival
// order.
//
// GUI thread only, but for the pool (DecodePool), which owns a delivery's
// bytes from its submission until its result is taken or it is skipped.
class ConversionHandOff
{
public:
    // One delivered frame on its way through the pool.
    struct Delivery
    {
        FrameJob job;
        unsigned char* buffer = nullptr;
        std::optional<double> delay; // seconds, from a time stamp
        QString logMsg;
        std::int64_t finishNs = 0; // the latency probe's stamp
        std::uint64_t id = 0;
    };
    struct Finished
    {
        Delivery delivery;
        ConvertedFrame frame;
    };

    // Deliveries in the pool at once, for a pool of `threads`: one being
    // decoded on each thread and one waiting.
    static int framesInFlightFor(int threads);

    // `finished` is called in a pool thread whenever the next result in
    // arrival order is ready, to wake the owner, who then calls
    // takeResult(). `maxInFlight` 0: framesInFlightFor(pool's threads).
    explicit ConversionHandOff(std::function<void()> finished,
                               DecodePool& pool = DecodePool::shared(), int maxInFlight = 0);
    ConversionHandOff(const ConversionHandOff&) = delete;
    ConversionHandOff& operator=(const ConversionHandOff&) = delete;

    // Makes the transfer buffers, maxInFlight() + 1 of `length` bytes each
    // (reserved, not touched). Once, before the first request.
    void allocateBuffers(int length);
    int bufferCount() const { return int(m_buffers.size()); }
    unsigned char* buffer(int i) const { return m_buffers[std::size_t(i)].get(); }
    unsigned char* transferBuffer() const { return buffer(0); }
    unsigned char* spareBuffer() const { return buffer(1); }
    bool isTransferBuffer(const unsigned char* p) const;
    int maxInFlight() const { return m_maxInFlight; }

    // The buffer the worker has been asked to fill, or nullptr.
    unsigned char* requestedBuffer() const { return m_requestedBuf; }
    // The buffer for the next request: one not in the pool. nullptr while a
    // request is outstanding (its delivery may already be on its way, and
    // asking again would let the worker write into the buffer a second time
    // before that delivery is handled) or while every buffer is taken.
    unsigned char* nextRequest();
    // True when `p` is the buffer of the outstanding request, which it then
    // answers.
    bool answersRequest(const unsigned char* p);
    // Keeps `p` from being asked for again until releaseHold(): its bytes
    // are still read in this thread after its frame was handed on.
    void holdBuffer(const unsigned char* p) { m_heldBuf = p; }
    void releaseHold() { m_heldBuf = nullptr; }

    // Deliveries not yet finished: from 0 to maxInFlight() + 1.
    int inConversion() const { return int(m_inFlight.size()); }
    // Of those, the deliveries no thread has started on yet.
    int waitingInPool() const { return m_client.waiting(); }
    // Of those, the deliveries a pool thread is still working on.
    int decodingInPool() const { return m_client.decoding(); }
    // Hands a delivery to the pool. Returns it back once the hand-off has
    // stopped, or when the pool could start no thread, for the caller to
    // convert at once rather than lose it.
    std::optional<Delivery> submit(Delivery delivery);
    // With every buffer taken and no request outstanding: drops the oldest
    // delivery no thread has started on, freeing its buffer for the next
    // request. Its log text goes with the delivery after it, to be written
    // in order. Returns whether one was skipped.
    bool skipIfFull();
    // The next result in arrival order with its delivery; nothing when it
    // is not ready.
    std::optional<Finished> takeResult();
    // For a device whose frames need a stateful decoder (H.264): its frames
    // are decoded one at a time, in order, and a skip marks the frame
    // after it (DecodeClient::setSerial).
    void setSerial() { m_client.setSerial(); }
    // Deliveries skipped so far.
    std::int64_t skipped() const { return m_skipped; }

    // The log text that came with the delivery being handled: a delivery
    // handed to the pool takes it along (takeHeldLog), to be written when
    // its frame is shown; what no delivery took is written at once.
    void holdLog(QString text) { m_heldLog = std::move(text); }
    QString takeHeldLog() { return std::exchange(m_heldLog, QString()); }

    // Lets the decodes in progress finish and drops every delivery not yet
    // shown. Returns their log texts, which are still to be written.
    QStringList stop();

private:
    std::vector<std::unique_ptr<unsigned char[]>> m_buffers;
    unsigned char* m_requestedBuf = nullptr;
    const unsigned char* m_heldBuf = nullptr;
    std::deque<Delivery> m_inFlight; // in arrival order
    std::uint64_t m_nextId = 0;
    std::int64_t m_skipped = 0;
    int m_maxInFlight = 2;
    bool m_stopped = false;
    QString m_heldLog;
    // Last, so that it is stopped (its decodes finished) first.
    DecodeClient m_client;
};
