// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <cstdint>
#include <memory>

class MultipartDec;

// Reads a recording of the viewer (decoders/recordingformat.h) back, frame by
// frame: the multipart decoder takes the parts, and the time comes from the
// rest of each boundary line.
namespace simlib {

struct RecordedFrame
{
    QByteArray contentType;
    QByteArray bytes;
    // The receive time in microseconds; -1 for a part without one.
    std::int64_t timeUs = -1;
};

class RecordingReader
{
public:
    RecordingReader();
    ~RecordingReader();
    RecordingReader(const RecordingReader&) = delete;
    RecordingReader& operator=(const RecordingReader&) = delete;

    // Maps the file; false with a message when it cannot be read.
    bool open(const QString& path, QString* error);
    // Reads from bytes the caller keeps alive.
    void setData(const QByteArray& bytes);

    // The next frame; false at the end.
    bool next(RecordedFrame* frame);
    // Back to the first frame.
    void rewind();

private:
    class Sink;

    QFile m_file;
    const unsigned char* m_data = nullptr;
    std::int64_t m_size = 0;
    std::int64_t m_pos = 0;
    std::unique_ptr<Sink> m_sink;
    std::unique_ptr<MultipartDec> m_decoder;
};

// Every frame of a recording held in memory.
QList<RecordedFrame> readRecording(const QByteArray& bytes);

} // namespace simlib
