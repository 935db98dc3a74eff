// SPDX-License-Identifier: MIT
#pragma once

#include "frameconversion.h"

#include <QImage>

#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

// One H.264 stream's decoder (libavcodec). The decoder keeps reference
// pictures from frame to frame, so a stream needs one of its own, fed its
// access units one at a time and in order. It starts at the first IDR
// access unit and, after any fault or gap, waits for the next one: an
// access unit that refers to pictures the decoder does not have cannot be
// shown correctly. Not thread-safe; may be handed from thread to thread
// between calls when the hand-over orders memory (a mutex does).
class H264Decoder
{
public:
    enum class Outcome
    {
        Picture,            // `image` holds the decoded picture
        WaitingForKeyFrame, // left out: not an IDR unit after a gap or fault
        NoPicture,          // taken in, no picture out yet (decoder delay)
        Corrupt,            // the decoder failed or flagged the picture
        Refused,            // the stream's picture is larger than max_pixels
    };
    struct Result
    {
        Outcome outcome = Outcome::Corrupt;
        QImage image;
        FrameRefusal refusal;
    };

    H264Decoder();
    ~H264Decoder();
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;

    // A frame of the stream was lost before it reached the decoder: the
    // next units are left out until an IDR unit.
    void noteGap() { m_waitForKeyFrame = true; }
    bool waitingForKeyFrame() const { return m_waitForKeyFrame; }

    // Decodes one access unit (`len` bytes at `data`, which are only read).
    // A picture whose size, as the stream's sequence parameter set declares
    // it, exceeds `maxPixels` is refused before any of its pixels is
    // allocated.
    Result decode(const unsigned char* data, int len, qint64 maxPixels);

private:
    bool open();
    // Drops the decoder's pictures and waits for the next IDR unit.
    void restart();
    Result fault(Outcome outcome);
    QImage pictureImage() const;
    static int getBuffer(AVCodecContext* context, AVFrame* frame, int flags);

    AVCodecContext* m_context = nullptr;
    AVFrame* m_frame = nullptr;
    AVPacket* m_packet = nullptr;
    std::vector<unsigned char> m_padded;
    bool m_waitForKeyFrame = true;
    bool m_openFailed = false;
    qint64 m_maxPixels = DefaultMaxPixels;
    FrameRefusal m_refusal; // set by getBuffer during a decode
};

// convertFrame's part for H.264: decodes `job` on its stream's decoder
// (job.h264; a decoder of its own for this one unit when there is none),
// noting a gap first when job.afterGap says so.
void convertH264Frame(const FrameJob& job, ConvertedFrame* out);
