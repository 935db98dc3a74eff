// SPDX-License-Identifier: MIT
#pragma once

#include "frameconversion.h"
#include "frameconverter.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

// The hand-off of one device's delivered frames between its network worker
// and its converter thread. It owns the two transfer buffers: the worker is
// asked to fill one while the frame in the other is converted. It keeps the
// delivery being converted and at most one waiting for the converter; with
// both buffers taken no request is outstanding, and the worker's double
// buffer keeps only the newest frame until the converter is free again.
// Every delivery reaches the converter, in arrival order.
//
// GUI thread only, but for the converter (FrameConverter), which owns a
// delivery's bytes from its submission until its result is taken.
class ConversionHandOff
{
public:
    // One delivered frame on its way through the converter.
    struct Delivery
    {
        FrameJob job;
        unsigned char* buffer = nullptr;
        std::optional<double> delay; // seconds, from a time stamp
        QString logMsg;
        std::int64_t finishNs = 0; // the latency probe's stamp
    };
    struct Finished
    {
        Delivery delivery;
        ConvertedFrame frame;
    };

    // `finished` is called in the converter's thread after each result, to
    // wake the owner, who then calls takeResult().
    explicit ConversionHandOff(std::function<void()> finished);
    ConversionHandOff(const ConversionHandOff&) = delete;
    ConversionHandOff& operator=(const ConversionHandOff&) = delete;

    // Makes both transfer buffers, of `length` bytes each. Once, before the
    // first request.
    void allocateBuffers(int length);
    unsigned char* transferBuffer() const { return m_buffers[0].get(); }
    unsigned char* spareBuffer() const { return m_buffers[1].get(); }
    bool isTransferBuffer(const unsigned char* p) const
    {
        return p != nullptr && (p == transferBuffer() || p == spareBuffer());
    }

    // The buffer the worker has been asked to fill, or nullptr.
    unsigned char* requestedBuffer() const { return m_requestedBuf; }
    // The buffer for the next request: one neither converting nor waiting.
    // nullptr while a request is outstanding (its delivery may already be
    // on its way, and asking again would let the worker write into the
    // buffer a second time before that delivery is handled) or while both
    // buffers are taken.
    unsigned char* nextRequest();
    // True when `p` is the buffer of the outstanding request, which it then
    // answers.
    bool answersRequest(const unsigned char* p);

    // Deliveries not yet finished: 0, 1 (converting) or 2 (converting and
    // one waiting).
    int inConversion() const;
    // Hands a delivery to the converter, or keeps it waiting while the
    // converter is busy. Returns it back once the converter has stopped, or
    // when it could start no thread, for the caller to convert at once
    // rather than lose it.
    std::optional<Delivery> submit(Delivery delivery);
    // The converter's result with its delivery; nothing when none is ready.
    std::optional<Finished> takeResult();
    // After a result was taken: the waiting delivery, if any, goes to the
    // converter. Returned back as submit() does.
    std::optional<Delivery> startWaiting();

    // The log text that came with the delivery being handled: a delivery
    // queued for the converter takes it along (takeHeldLog), to be written
    // when its frame is shown; what no delivery took is written at once.
    void holdLog(QString text) { m_heldLog = std::move(text); }
    QString takeHeldLog() { return std::exchange(m_heldLog, QString()); }

    // Lets the conversion in progress finish and ends the converter thread;
    // its result and a waiting delivery are dropped. Returns their log
    // texts, which are still to be written.
    QStringList stop();

private:
    std::optional<Delivery> start(Delivery delivery);

    std::unique_ptr<unsigned char[]> m_buffers[2];
    unsigned char* m_requestedBuf = nullptr;
    std::optional<Delivery> m_converting;
    std::optional<Delivery> m_waiting;
    QString m_heldLog;
    // Last, so that it is destroyed (and its thread joined) first.
    FrameConverter m_converter;
};
