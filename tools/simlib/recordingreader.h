// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>

#include <csignal>
#include <cstdint>
#include <memory>
#include <vector>

class MultipartDec;

// Reads a recording of the viewer (decoders/recordingformat.h) back, frame by
// frame: the multipart decoder takes the parts, and the time comes from the
// rest of each boundary line. A file is read in blocks of bounded size, so
// that memory does not grow with the file, and a file that shrinks while it
// is read ends the reading with a message instead of a fault.
namespace simlib {

struct RecordedFrame
{
    QByteArray contentType;
    QByteArray bytes;
    // The receive time in microseconds; -1 for a part without one.
    std::int64_t timeUs = -1;
};

// What one pass over the recording found so far.
struct RecordingFigures
{
    std::int64_t bytes = 0; // read
    long long parts = 0;    // boundaries found
    long long frames = 0;   // frames read
    long long leftOut = 0;  // parts that gave no frame
    long long tooLarge = 0; // of those, parts declaring more than a frame may hold
};

class RecordingReader
{
public:
    // How the last pass ended.
    enum class End
    {
        Open,     // not at the end yet
        Complete, // the whole file was read
        Shrunk,   // the file became shorter than it was while it was read
        Failed,   // a read failed
        Stopped,  // the stop flag was raised
    };

    RecordingReader();
    ~RecordingReader();
    RecordingReader(const RecordingReader&) = delete;
    RecordingReader& operator=(const RecordingReader&) = delete;

    // Opens a regular file (FIFOs, devices and folders are refused without
    // blocking) and reads up to its first frame. False with a message when
    // it cannot be read or holds no frame.
    bool open(const QString& path, QString* error);
    // Reads from bytes the caller keeps alive.
    void setData(const QByteArray& bytes);
    // Reading gives up at the next block once *stop is nonzero.
    void setStopFlag(const volatile std::sig_atomic_t* stop) { m_stop = stop; }

    // The next frame; false at the end, whose kind end() tells.
    bool next(RecordedFrame* frame);
    // Back to the first frame, for another pass.
    void rewind();

    End end() const { return m_end; }
    // Why the pass ended early (Shrunk, Failed), or empty.
    const QString& endMessage() const { return m_endMessage; }
    const RecordingFigures& figures() const { return m_figures; }
    // One line for each of the first parts left out since the last call.
    QStringList takeNotes();
    // The figures as text: "N frames in P parts (B bytes), L left out ...".
    QString describe() const;

private:
    class Sink;

    // Moves the unread bytes to the front of the block and reads behind
    // them; false at a read error, a shrunk file or a stop.
    bool refill();
    // Decodes until a frame is waiting or the pass has ended; true with a
    // frame.
    bool fill();
    // Bytes of the block not yet handed to the decoder.
    std::int64_t available() const { return m_blockEnd - m_pos; }
    const char* at() const { return m_block + m_pos; }
    // A part starts at the read position: its time and declared length.
    void startPart();
    // Counts the part that ends here when no frame came out of it.
    void closePart();
    void finish(End end, const QString& message = {});

    QFile m_file;
    bool m_fromFile = false;
    std::int64_t m_fileSize = 0; // as the pass started
    const volatile std::sig_atomic_t* m_stop = nullptr;

    // The bytes in reach: the caller's, or a block read from the file.
    std::vector<char> m_store;
    const char* m_block = nullptr;
    std::int64_t m_blockEnd = 0;
    std::int64_t m_blockOffset = 0; // of m_block[0] in the file
    std::int64_t m_pos = 0;
    bool m_eof = false;

    bool m_inPart = false;
    std::int64_t m_partTime = -1;
    std::int64_t m_partOffset = 0;
    std::int64_t m_partDeclared = -1;
    long long m_partFrames = 0;

    End m_end = End::Open;
    QString m_endMessage;
    RecordingFigures m_figures;
    QStringList m_notes;
    long long m_notesGiven = 0;

    std::unique_ptr<Sink> m_sink;
    std::unique_ptr<MultipartDec> m_decoder;
};

// Every frame of a recording held in memory.
QList<RecordedFrame> readRecording(const QByteArray& bytes);

} // namespace simlib
