// SPDX-License-Identifier: MIT
// GetStreamImage: the job made of a delivered frame, and what its
// conversion changes: the picture shown, the device's counts and reports.
#include "getstreamimage.h"

#include "h264decoder.h"

#include <algorithm>
#include <utility>

FrameJob GetStreamImage::makeJob(QString conType, const unsigned char* pBuf, int len) const
{
    // A delivery never exceeds the transfer buffer; hold to that even for a
    // caller that reports more.
    if (isTransferBuffer(pBuf))
        len = std::min(len, transferLength());
    FrameJob job;
    job.conType = m_contentOverwrite.isEmpty() ? conType : m_contentOverwrite;
    job.data = pBuf;
    job.len = len;
    job.sizeX = m_sizeX;
    job.sizeY = m_sizeY;
    job.maxPixels = m_maxPixels;
    job.bigEndian = m_bigEndian;
    job.levels = m_levels;
    job.displaySize = m_displaySize;
    return job;
}

void GetStreamImage::attachDecoder(FrameJob& job, std::int64_t workerCount)
{
    // A jump in the worker's count: frames were replaced in its double
    // buffer or left out before this one reached the controller.
    const bool workerGap = workerCount > 0 && workerCount != m_lastWorkerCount + 1;
    if (workerCount > 0)
        m_lastWorkerCount = workerCount;
    m_h264Gap = m_h264Gap || workerGap;
    if (job.conType != QLatin1String(H264ContentType))
        return;
    if (m_h264 == nullptr) {
        m_h264 = std::make_shared<H264Decoder>();
        m_handOff.setSerial();
    }
    job.h264 = m_h264;
    job.afterGap = std::exchange(m_h264Gap, false);
}

ConvertedFrame GetStreamImage::convertStored(const QString& conType, const QByteArray& bytes) const
{
    FrameJob job = makeJob(conType, reinterpret_cast<const unsigned char*>(bytes.constData()),
                           int(bytes.size()));
    // Decoded at full size: stepped-to frames are looked into.
    job.displaySize = QSize();
    // The image outlives `bytes`' use here; it must hold its own pixels,
    // and must not reuse the decoder's image of this thread.
    job.ownPixels = true;
    ConvertedFrame frame = convertFrame(job);
    if (job.conType == QLatin1String(RawGrayContentType) && !frame.image.isNull())
        frame.image.setColorTable(grayColorTable());
    return frame;
}

void GetStreamImage::convertImage(QString conType, unsigned char* pBuf, int len)
{
    FrameJob job = makeJob(conType, pBuf, len);
    attachDecoder(job, 0);
    if (job.conType == QLatin1String(JpegContentType)) {
        // The delay is taken before decoding, so decoding time is not part
        // of it.
        if (const std::optional<double> delay = measureDelay(job))
            setFrameDelay(*delay);
        // The previous picture is released before the next is decoded.
        m_image = QImage();
    }
    if (job.conType == QLatin1String(RawGrayContentType) && m_transferBuf == nullptr) {
        finishConversion(job, ConvertedFrame());
        return;
    }
    finishConversion(job, convertFrame(job));
}

void GetStreamImage::finishConversion(const FrameJob& job, ConvertedFrame frame)
{
    if (frame.leftOut) {
        // An H.264 frame left out until the next IDR unit: counted as
        // skipped, and the picture shown stays, as for a frame skipped
        // before decoding.
        m_stats.frameConverted(FrameRecord::Fate::Skipped, 0, 0, DeviceStats::monotonicNs());
        return;
    }
    if (job.conType == QLatin1String(RawGrayContentType)
        || job.conType == QLatin1String(JpegContentType)
        || job.conType == QLatin1String(H264ContentType)) {
        // Kept only for a frame decoded scaled down, to decode it again at
        // full size on demand.
        m_shown.encoded = std::move(frame.encoded);
        m_shown.fullSize = frame.fullSize.isValid() ? frame.fullSize : frame.image.size();
        m_shownFullSize = m_shown.fullSize;
    }
    FrameRecord::Fate fate = FrameRecord::Fate::Refused;
    m_figures.noTimeStamp = job.conType == QLatin1String(H264ContentType);
    m_rawImage = QImage();
    if (job.conType == QLatin1String(Gray16ContentType)) {
        m_image = std::move(frame.image);
        m_rawImage = std::move(frame.raw);
        m_shownLevels = frame.levels;
        m_events.rawFrameConverted(job.len, m_sizeX, m_sizeY, !m_image.isNull(), 2);
        if (!m_image.isNull())
            fate = FrameRecord::Fate::Shown;
    } else if (job.conType == QLatin1String(RawGrayContentType)) {
        m_image = std::move(frame.image);
        m_image.setColorTable(grayColorTable());
        m_events.rawFrameConverted(job.len, m_sizeX, m_sizeY, !m_image.isNull());
        if (!m_image.isNull())
            fate = FrameRecord::Fate::Shown;
    } else if (job.conType == QLatin1String(JpegContentType)
               || job.conType == QLatin1String(H264ContentType)) {
        m_image = std::move(frame.image);
        if (frame.refusal.refused()) {
            m_events.reportUnshownFrame(QStringLiteral("refused-%1").arg(int(frame.refusal.cause)),
                                        frame.refusal.text(m_maxPixels));
        } else if (frame.corrupt) {
            if (job.conType == QLatin1String(H264ContentType))
                m_events.countCorruptH264Frame();
            else
                m_events.countCorruptFrame();
            fate = FrameRecord::Fate::Corrupt;
        } else {
            m_events.frameShown();
            fate = FrameRecord::Fate::Shown;
        }
    }
    m_stats.frameConverted(fate, m_image.width(), m_image.height(), DeviceStats::monotonicNs());
    emit acquisitionEvent(m_image, this);
}

QImage GetStreamImage::fullResolutionImage() const
{
    if (!m_shown.scaled())
        return m_image;
    ConvertedFrame shown;
    shown.encoded = m_shown.encoded;
    return ::fullResolutionImage(shown, m_maxPixels);
}
