// SPDX-License-Identifier: MIT
#include "recordingreader.h"

#include "framelimits.h"
#include "framesink.h"
#include "multipartdec.h"
#include "recordingformat.h"

#include <QByteArrayView>

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

namespace simlib {

namespace {
// Bytes handed to the decoder in one call, well inside its int lengths.
constexpr std::int64_t FeedBytes = 1 << 20;
} // namespace

// Keeps the frames the decoder finishes, in order.
class RecordingReader::Sink : public FrameSink
{
public:
    Sink()
    {
        m_array.resize(std::size_t(InitialFrameBufferBytes));
        setWriteArray(m_array.data(), int(m_array.size()), 0);
    }

    bool ensureWriteCapacity(std::int64_t needed) override
    {
        // The decoder keeps one byte free behind a frame of the bound.
        if (needed > std::int64_t(MaxFrameBytes) + 1)
            return false;
        if (needed <= std::int64_t(m_array.size()))
            return true;
        const int len = curLen();
        m_array.resize(
            std::size_t(std::max<std::int64_t>(needed, std::int64_t(m_array.size()) * 3 / 2)));
        setWriteArray(m_array.data(), int(m_array.size()), len);
        return true;
    }
    void finishFrame() override
    {
        RecordedFrame frame;
        frame.contentType = m_type.toLatin1();
        frame.bytes = QByteArray(reinterpret_cast<const char*>(m_array.data()), curLen());
        frames.push_back(std::move(frame));
        restartFrame();
    }
    void setContentType(const QString& text) override { m_type = text; }
    void appendLog(const QString& text) override { Q_UNUSED(text); }

    std::deque<RecordedFrame> frames;

private:
    std::vector<unsigned char> m_array;
    QString m_type;
};

RecordingReader::RecordingReader() : m_sink(std::make_unique<Sink>())
{
    rewind();
}

RecordingReader::~RecordingReader() = default;

bool RecordingReader::open(const QString& path, QString* error)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot open %1: %2").arg(path, m_file.errorString());
        return false;
    }
    m_size = m_file.size();
    m_data = m_size > 0 ? m_file.map(0, m_size) : nullptr;
    if (m_size > 0 && m_data == nullptr) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, m_file.errorString());
        return false;
    }
    rewind();
    return true;
}

void RecordingReader::setData(const QByteArray& bytes)
{
    m_data = reinterpret_cast<const unsigned char*>(bytes.constData());
    m_size = bytes.size();
    rewind();
}

void RecordingReader::rewind()
{
    m_pos = 0;
    m_sink->frames.clear();
    m_sink->restartFrame();
    m_decoder = std::make_unique<MultipartDec>(m_sink.get(), MultipartDec::Framing::Stream);
}

bool RecordingReader::next(RecordedFrame* frame)
{
    const QByteArrayView boundary(MultipartDec::BoundaryText);
    const QByteArrayView all(reinterpret_cast<const char*>(m_data), m_size);
    while (m_sink->frames.empty() && m_pos < m_size) {
        // One part at a time, from its boundary to the next: the frame the
        // decoder finishes in it gets the time of that boundary's line.
        std::int64_t time = -1;
        if (all.sliced(m_pos).startsWith(boundary)) {
            const std::int64_t rest = m_pos + boundary.size();
            recording::parseTime(all.data() + rest, std::min<std::int64_t>(m_size - rest, 64),
                                 &time);
        }
        std::int64_t end = all.indexOf(boundary, m_pos + 1);
        if (end < 0)
            end = m_size;
        for (std::int64_t at = m_pos; at < end; at += FeedBytes)
            m_decoder->decode(m_data + at, int(std::min(FeedBytes, end - at)));
        m_pos = end;
        for (RecordedFrame& f : m_sink->frames)
            f.timeUs = time;
    }
    if (m_sink->frames.empty())
        return false;
    *frame = std::move(m_sink->frames.front());
    m_sink->frames.pop_front();
    return true;
}

QList<RecordedFrame> readRecording(const QByteArray& bytes)
{
    RecordingReader reader;
    reader.setData(bytes);
    QList<RecordedFrame> frames;
    RecordedFrame frame;
    while (reader.next(&frame))
        frames.append(frame);
    return frames;
}

} // namespace simlib
