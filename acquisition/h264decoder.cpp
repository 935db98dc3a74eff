// SPDX-License-Identifier: MIT
#include "h264decoder.h"

#include "h264nal.h"
#include "yuvimage.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

#include <mutex>

namespace {

void quietLibraryLog()
{
    // Damaged units are counted and summed up in the device log; the
    // library's own lines about them would flood the console.
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_FATAL); });
}

} // namespace

H264Decoder::H264Decoder() = default;

H264Decoder::~H264Decoder()
{
    avcodec_free_context(&m_context);
    av_frame_free(&m_frame);
    av_packet_free(&m_packet);
}

bool H264Decoder::open()
{
    if (m_context != nullptr)
        return true;
    if (m_openFailed)
        return false;
    quietLibraryLog();
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    m_context = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
    m_frame = av_frame_alloc();
    m_packet = av_packet_alloc();
    if (m_context == nullptr || m_frame == nullptr || m_packet == nullptr) {
        m_openFailed = true;
        return false;
    }
    // One thread per stream: the decode pool already decodes different
    // devices on different threads, and the codec's own frame threads
    // would each hold a frame back, delaying every picture.
    m_context->thread_count = 1;
    m_context->thread_type = 0;
    // One picture out for every access unit in: cameras send no B-frames,
    // and without this flag the decoder may hold pictures back for
    // reordering it never needs. Pictures are not shown before the
    // decoder has recovered (no AV_CODEC_FLAG2_SHOW_ALL), and no
    // speed-for-accuracy shortcut is taken (no AV_CODEC_FLAG2_FAST), so
    // the pictures equal the library's reference decode.
    m_context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    m_context->opaque = this;
    m_context->get_buffer2 = &H264Decoder::getBuffer;
    if (avcodec_open2(m_context, codec, nullptr) < 0) {
        avcodec_free_context(&m_context);
        m_openFailed = true;
        return false;
    }
    return true;
}

int H264Decoder::getBuffer(AVCodecContext* context, AVFrame* frame, int flags)
{
    auto* self = static_cast<H264Decoder*>(context->opaque);
    // The picture's size as the sequence parameter set declares it (after
    // cropping); refused here, before its pixels are allocated.
    const qint64 pixels = qint64(context->width) * qint64(context->height);
    if (pixels > self->m_maxPixels) {
        self->m_refusal.cause = FrameRefusal::Cause::TooManyPixels;
        self->m_refusal.width = context->width;
        self->m_refusal.height = context->height;
        return AVERROR(EINVAL);
    }
    return avcodec_default_get_buffer2(context, frame, flags);
}

void H264Decoder::restart()
{
    if (m_context != nullptr)
        avcodec_flush_buffers(m_context);
    m_waitForKeyFrame = true;
}

H264Decoder::Result H264Decoder::fault(Outcome outcome)
{
    restart();
    Result result;
    result.outcome = outcome;
    result.refusal = m_refusal;
    return result;
}

H264Decoder::Result H264Decoder::decode(const unsigned char* data, int len, qint64 maxPixels)
{
    Result result;
    // An access unit begins with a start code; bytes without one are not
    // H.264 at all.
    const bool startCode = data != nullptr && len >= 4 && data[0] == 0 && data[1] == 0
                           && (data[2] == 1 || (data[2] == 0 && data[3] == 1));
    if (!startCode)
        return fault(Outcome::Corrupt);
    if (m_waitForKeyFrame && !h264AccessUnitIsIdr(data, std::size_t(len))) {
        result.outcome = Outcome::WaitingForKeyFrame;
        return result;
    }
    if (!open())
        return fault(Outcome::Corrupt);
    // The parser reads a little past the end of its input; a copy with
    // the padding it asks for keeps it inside memory of ours.
    m_padded.assign(data, data + len);
    m_padded.resize(std::size_t(len) + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    m_packet->data = m_padded.data();
    m_packet->size = len;
    m_maxPixels = maxPixels;
    m_refusal = FrameRefusal();
    const int sent = avcodec_send_packet(m_context, m_packet);
    m_packet->data = nullptr;
    m_packet->size = 0;
    if (m_refusal.refused())
        return fault(Outcome::Refused);
    if (sent < 0)
        return fault(Outcome::Corrupt);
    m_waitForKeyFrame = false;
    // Normally one picture; should the decoder hand out more, the newest
    // is shown.
    bool havePicture = false;
    for (int i = 0; i < 4; ++i) {
        av_frame_unref(m_frame);
        const int received = avcodec_receive_frame(m_context, m_frame);
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
            break;
        if (received < 0 || m_refusal.refused())
            return fault(m_refusal.refused() ? Outcome::Refused : Outcome::Corrupt);
        if (m_frame->decode_error_flags != 0 || (m_frame->flags & AV_FRAME_FLAG_CORRUPT) != 0) {
            av_frame_unref(m_frame);
            return fault(Outcome::Corrupt);
        }
        result.image = pictureImage();
        havePicture = true;
    }
    av_frame_unref(m_frame);
    if (!havePicture) {
        result.outcome = Outcome::NoPicture;
        return result;
    }
    if (result.image.isNull())
        return fault(Outcome::Corrupt); // a pixel format not converted here
    result.outcome = Outcome::Picture;
    return result;
}

QImage H264Decoder::pictureImage() const
{
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(m_frame->format));
    if (desc == nullptr || desc->nb_components != 3 || (desc->flags & AV_PIX_FMT_FLAG_PLANAR) == 0
        || (desc->flags & AV_PIX_FMT_FLAG_RGB) != 0 || desc->comp[0].depth != 8)
        return QImage();
    YuvPlanes planes;
    planes.y = m_frame->data[0];
    planes.u = m_frame->data[1];
    planes.v = m_frame->data[2];
    planes.yStride = m_frame->linesize[0];
    planes.uStride = m_frame->linesize[1];
    planes.vStride = m_frame->linesize[2];
    planes.width = m_frame->width;
    planes.height = m_frame->height;
    planes.chromaShiftX = desc->log2_chroma_w;
    planes.chromaShiftY = desc->log2_chroma_h;
    planes.matrix = m_frame->colorspace == AVCOL_SPC_BT709 ? YuvPlanes::Matrix::Bt709
                                                           : YuvPlanes::Matrix::Bt601;
    const AVPixelFormat format = AVPixelFormat(m_frame->format);
    planes.fullRange = m_frame->color_range == AVCOL_RANGE_JPEG || format == AV_PIX_FMT_YUVJ420P
                       || format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUVJ444P;
    return yuvPlanesToImage(planes);
}

void convertH264Frame(const FrameJob& job, ConvertedFrame* out)
{
    H264Decoder own;
    H264Decoder& decoder = job.h264 != nullptr ? *job.h264 : own;
    if (job.afterGap)
        decoder.noteGap();
    H264Decoder::Result result = decoder.decode(job.data, job.len, job.maxPixels);
    out->image = std::move(result.image);
    out->refusal = result.refusal;
    out->corrupt = result.outcome == H264Decoder::Outcome::Corrupt;
    out->leftOut = result.outcome == H264Decoder::Outcome::WaitingForKeyFrame
                   || result.outcome == H264Decoder::Outcome::NoPicture;
}
