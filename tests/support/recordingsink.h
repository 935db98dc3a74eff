// SPDX-License-Identifier: MIT
// A FrameSink that keeps every frame a decoder finishes: what decoder tests
// and fuzzers use instead of a network worker.
#pragma once

#include "framelimits.h"
#include "framesink.h"
#include "multipartdec.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

class RecordingSink : public FrameSink
{
public:
    struct Frame
    {
        QByteArray data;
        QString contentType;
        // The log text appended since the frame before.
        QString log;
    };

    // Two arrays of `initialCapacity` bytes, filled with `fill`, alternate
    // the way the worker's double buffer does, so that bytes a reassembler
    // leaves unwritten are those of the frame before last there too. They
    // grow by half up to the frame bound plus the room a decoder adds.
    explicit RecordingSink(int initialCapacity = InitialFrameBufferBytes,
                           unsigned char fill = 0x7F);

    bool ensureWriteCapacity(std::int64_t needed) override;
    void finishFrame() override;
    void setContentType(const QString& text) override { m_contentType = text; }
    void appendLog(const QString& text) override { m_log += text; }
    void reportProblem(const QString& text) override { problems.append(text); }

    // Forgets the frames and log text kept so far and starts a new frame.
    void clear();

    QList<Frame> frames;
    QStringList problems;
    QString contentType() const { return m_contentType; }
    QString pendingLog() const { return m_log; }

private:
    std::vector<unsigned char> m_arrays[2];
    int m_writeIndex = 0;
    QString m_contentType;
    QString m_log;
};

// Hands `bytes` to `decoder` in one call, as the receive loop hands over one
// received block or datagram, from a copy of exactly their size so that a
// read past them is caught by the address sanitizer.
void feed(protocolDecoder& decoder, const QByteArray& bytes);
// The same in calls of at most `block` bytes.
void feed(protocolDecoder& decoder, const QByteArray& bytes, int block);

// The frames a datagram device makes of `datagrams` alone: an RTP/JPEG
// device ("rtp", any case) or a multipart one over UDP.
QList<QByteArray> framesOfDatagrams(const QString& protocol, const QList<QByteArray>& datagrams);

// How a worker of the given protocol ("TCP", "UDP") frames multipart bytes.
inline MultipartDec::Framing multipartFraming(const QString& protocol)
{
    return protocol == QLatin1String("TCP") ? MultipartDec::Framing::Stream
                                            : MultipartDec::Framing::Datagrams;
}
