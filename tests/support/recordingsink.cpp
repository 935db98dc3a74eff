// SPDX-License-Identifier: MIT
#include "recordingsink.h"

#include "rtp2jpeg.h"

#include <algorithm>
#include <memory>

namespace {
// The worker's bound: the frame bound plus room for a JPEG header and EOI.
constexpr std::int64_t MaxArrayBytes = std::int64_t(MaxFrameBytes) + 0x10000;
} // namespace

RecordingSink::RecordingSink(int initialCapacity, unsigned char fill)
{
    for (auto& array : m_arrays)
        array.assign(std::size_t(initialCapacity), fill);
    setWriteArray(m_arrays[0].data(), initialCapacity, 0);
}

bool RecordingSink::ensureWriteCapacity(std::int64_t needed)
{
    auto& array = m_arrays[m_writeIndex];
    std::int64_t size = std::int64_t(array.size());
    if (needed <= size)
        return true;
    if (needed > MaxArrayBytes)
        return false;
    while (size < needed)
        size = std::max(size * 3 / 2, size + 1); // an array of one byte grows too
    array.resize(std::size_t(std::min(size, MaxArrayBytes)));
    setWriteArray(array.data(), int(array.size()), curLen());
    return true;
}

void RecordingSink::finishFrame()
{
    frames.append(
        {QByteArray(reinterpret_cast<const char*>(writeBuffer()), curLen()), m_contentType, m_log});
    m_log.clear();
    m_writeIndex = 1 - m_writeIndex;
    auto& array = m_arrays[m_writeIndex];
    setWriteArray(array.data(), int(array.size()), 0);
}

void RecordingSink::clear()
{
    frames.clear();
    m_log.clear();
    restartFrame();
}

void feed(protocolDecoder& decoder, const QByteArray& bytes)
{
    const auto copy =
        std::make_unique<unsigned char[]>(std::size_t(std::max<qsizetype>(bytes.size(), 1)));
    std::copy(bytes.cbegin(), bytes.cend(), copy.get());
    decoder.decode(copy.get(), int(bytes.size()));
}

void feed(protocolDecoder& decoder, const QByteArray& bytes, int block)
{
    for (qsizetype at = 0; at < bytes.size(); at += block)
        feed(decoder, bytes.mid(at, block));
}

QList<QByteArray> framesOfDatagrams(const QString& protocol, const QList<QByteArray>& datagrams)
{
    RecordingSink sink;
    std::unique_ptr<protocolDecoder> decoder;
    if (protocol.compare(QLatin1String("rtp"), Qt::CaseInsensitive) == 0)
        decoder = std::make_unique<Rtp2Jpeg>(&sink);
    else
        decoder = std::make_unique<MultipartDec>(&sink, MultipartDec::Framing::Datagrams);
    for (const QByteArray& d : datagrams)
        feed(*decoder, d);
    QList<QByteArray> frames;
    for (const RecordingSink::Frame& f : sink.frames)
        frames << f.data;
    return frames;
}
