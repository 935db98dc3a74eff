// SPDX-License-Identifier: MIT
#include "recordingreader.h"

#include "framelimits.h"
#include "framesink.h"
#include "multipartdec.h"
#include "recordingformat.h"
#include "regularfile.h"

#include <QByteArrayView>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace simlib {

namespace {
// Bytes handed to the decoder in one call, well inside its int lengths.
constexpr std::int64_t FeedBytes = 1 << 20;
// Bytes read from a file at a time.
constexpr std::int64_t BlockBytes = 1 << 20;
// Bytes kept in reach behind a boundary: its line and the part's two header
// lines, each at most as long as the decoder takes one.
constexpr std::int64_t Lookahead = 1024;
static_assert(Lookahead > std::int64_t(std::char_traits<char>::length(MultipartDec::BoundaryText))
                              + 3 * (std::int64_t(MultipartDec::MaxHeaderLine) + 2)
              && BlockBytes > 2 * Lookahead);
// Parts left out that get a line of their own; the figures count them all.
constexpr long long MaxNotes = 10;

// The Content-Length of the part whose boundary text ends at p, or -1: the
// rest of the boundary line and the type line are stepped over. Reads only
// p[0 .. n).
std::int64_t declaredLength(const char* p, std::int64_t n)
{
    std::int64_t i = 0;
    for (int line = 0; line < 2; ++line) {
        const void* lf = std::memchr(p + i, '\n', std::size_t(n - i));
        if (lf == nullptr)
            return -1;
        i = static_cast<const char*>(lf) - p + 1;
    }
    const QByteArrayView prefix("Content-Length: ");
    if (!QByteArrayView(p + i, n - i).startsWith(prefix))
        return -1;
    i += prefix.size();
    while (i < n && p[i] == ' ')
        ++i;
    std::int64_t value = 0;
    int digits = 0;
    // 18 digits always fit 64 bits.
    for (; i < n && digits < 18 && p[i] >= '0' && p[i] <= '9'; ++i, ++digits)
        value = value * 10 + (p[i] - '0');
    return digits > 0 ? value : -1;
}
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
    QString why;
    m_file.close();
    m_fromFile = false;
    if (!openRegularFile(&m_file, path, &why)) {
        *error = QStringLiteral("cannot open %1: %2").arg(path, why);
        return false;
    }
    m_fromFile = true;
    m_store.resize(std::size_t(BlockBytes));
    m_notesGiven = 0;
    rewind();
    // The first frame is read now and kept for next(), so that a file
    // without any is refused before the replay starts.
    if (fill())
        return true;
    if (m_end == End::Shrunk || m_end == End::Failed)
        *error = m_endMessage;
    else if (m_end == End::Stopped)
        *error = QStringLiteral("stopped while reading %1").arg(path);
    else if (m_figures.bytes == 0)
        *error = QStringLiteral("%1 is empty: no frame to replay").arg(path);
    else
        *error = QStringLiteral("%1 holds no frame to replay: %2").arg(path, describe());
    return false;
}

void RecordingReader::setData(const QByteArray& bytes)
{
    m_file.close();
    m_fromFile = false;
    m_store.clear();
    m_block = bytes.constData();
    m_blockEnd = bytes.size();
    rewind();
}

void RecordingReader::rewind()
{
    m_pos = 0;
    m_blockOffset = 0;
    m_end = End::Open;
    m_endMessage.clear();
    if (m_fromFile) {
        m_block = m_store.data();
        m_blockEnd = 0;
        m_eof = false;
        m_fileSize = m_file.size();
        if (!m_file.seek(0))
            finish(
                End::Failed,
                QStringLiteral("cannot read %1: %2").arg(m_file.fileName(), m_file.errorString()));
    } else {
        m_eof = true;
        m_fileSize = m_blockEnd;
    }
    m_figures = RecordingFigures();
    m_figures.bytes = m_fromFile ? 0 : m_blockEnd;
    m_inPart = false;
    m_partTime = -1;
    m_partFrames = 0;
    m_sink->frames.clear();
    m_sink->restartFrame();
    m_decoder = std::make_unique<MultipartDec>(m_sink.get(), MultipartDec::Framing::Stream);
}

void RecordingReader::finish(End end, const QString& message)
{
    m_end = end;
    m_endMessage = message;
}

bool RecordingReader::refill()
{
    if (!m_fromFile) {
        m_eof = true;
        return true;
    }
    if (m_stop != nullptr && *m_stop != 0) {
        finish(End::Stopped);
        return false;
    }
    const std::int64_t keep = available();
    std::memmove(m_store.data(), m_store.data() + m_pos, std::size_t(keep));
    m_blockOffset += m_pos;
    m_pos = 0;
    m_blockEnd = keep;
    const auto capacity = std::int64_t(m_store.size());
    while (m_blockEnd < capacity) {
        const qint64 n = m_file.read(m_store.data() + m_blockEnd, capacity - m_blockEnd);
        if (n < 0) {
            finish(
                End::Failed,
                QStringLiteral("cannot read %1: %2").arg(m_file.fileName(), m_file.errorString()));
            return false;
        }
        if (n == 0) {
            m_eof = true;
            break;
        }
        m_blockEnd += n;
    }
    m_figures.bytes = m_blockOffset + m_blockEnd;
    // Reads end early only when the file became shorter than it was when
    // the pass began: it is being rewritten, and what follows cannot be
    // trusted.
    if (m_eof && m_figures.bytes < m_fileSize) {
        finish(End::Shrunk, QStringLiteral("%1 shrank from %2 to %3 bytes while it was read")
                                .arg(m_file.fileName())
                                .arg(m_fileSize)
                                .arg(m_file.size()));
        return false;
    }
    return true;
}

void RecordingReader::startPart()
{
    const auto boundaryLen = std::int64_t(std::strlen(MultipartDec::BoundaryText));
    m_inPart = true;
    m_partFrames = 0;
    ++m_figures.parts;
    m_partOffset = m_blockOffset + m_pos;
    m_partTime = -1;
    const std::int64_t rest = available() - boundaryLen;
    recording::parseTime(at() + boundaryLen, std::min<std::int64_t>(rest, 64), &m_partTime);
    m_partDeclared = declaredLength(at() + boundaryLen, std::min(rest, Lookahead - boundaryLen));
}

void RecordingReader::closePart()
{
    if (!m_inPart)
        return;
    m_inPart = false;
    if (m_partFrames > 0)
        return;
    ++m_figures.leftOut;
    const bool large = m_partDeclared > MaxFrameBytes;
    if (large)
        ++m_figures.tooLarge;
    if (m_notesGiven >= MaxNotes)
        return;
    ++m_notesGiven;
    m_notes.append(
        large ? QStringLiteral("the part at byte %1 declares %2 bytes, more than the %3 a frame "
                               "may have; left out")
                    .arg(m_partOffset)
                    .arg(m_partDeclared)
                    .arg(MaxFrameBytes)
              : QStringLiteral("the part at byte %1 holds no frame (its header is not one the "
                               "recorder writes, or it is cut short); left out")
                    .arg(m_partOffset));
}

bool RecordingReader::fill()
{
    const QByteArrayView boundary(MultipartDec::BoundaryText);
    while (m_sink->frames.empty() && m_end == End::Open) {
        if (!m_eof && available() < Lookahead && !refill())
            break;
        if (available() == 0) {
            closePart();
            finish(End::Complete);
            break;
        }
        // From a boundary up to the next one, at most a block at a time: the
        // frame the decoder finishes there gets the time of that boundary's
        // line. The last bytes of a block wait for the next one, where a
        // boundary they begin is seen whole.
        const QByteArrayView rest(at(), available());
        if (rest.startsWith(boundary)) {
            closePart();
            startPart();
        }
        std::int64_t end = rest.indexOf(boundary, 1);
        if (end < 0)
            end = m_eof ? rest.size() : rest.size() - (boundary.size() - 1);
        const auto* bytes = reinterpret_cast<const unsigned char*>(at());
        for (std::int64_t done = 0; done < end; done += FeedBytes)
            m_decoder->decode(bytes + done, int(std::min(FeedBytes, end - done)));
        m_pos += end;
        for (RecordedFrame& f : m_sink->frames)
            f.timeUs = m_partTime;
        m_partFrames += qsizetype(m_sink->frames.size());
        m_figures.frames += qsizetype(m_sink->frames.size());
    }
    return !m_sink->frames.empty();
}

bool RecordingReader::next(RecordedFrame* frame)
{
    if (!fill())
        return false;
    *frame = std::move(m_sink->frames.front());
    m_sink->frames.pop_front();
    return true;
}

QStringList RecordingReader::takeNotes()
{
    QStringList notes;
    notes.swap(m_notes);
    return notes;
}

QString RecordingReader::describe() const
{
    QString text = QStringLiteral("%1 frames in %2 parts (%3 bytes)")
                       .arg(m_figures.frames)
                       .arg(m_figures.parts)
                       .arg(m_figures.bytes);
    if (m_figures.leftOut > 0)
        text += QStringLiteral(", %1 left out").arg(m_figures.leftOut);
    if (m_figures.tooLarge > 0)
        text +=
            QStringLiteral(" (%1 longer than %2 bytes)").arg(m_figures.tooLarge).arg(MaxFrameBytes);
    return text;
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
