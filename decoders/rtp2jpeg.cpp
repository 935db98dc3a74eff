// SPDX-License-Identifier: MIT
#include "rtp2jpeg.h"

#include "framelimits.h"
#include "framesink.h"
#include "jpegheader.h"
#include "jpegsegments.h"

#include <QString>
#include <QTime>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>

namespace {
constexpr int TableBytes = 64;

QString timeOfDay()
{
    return QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
}
} // namespace

Rtp2Jpeg::Rtp2Jpeg(FrameSink* sink, const ReferenceHeader& reference)
    : m_worker(sink), m_headerStore(reference)
{
    Q_ASSERT(sink != nullptr);
}

Rtp2Jpeg::~Rtp2Jpeg() = default;

int Rtp2Jpeg::findMarker(int marker, int start, int* segmentLength) const
{
    return m_headerStore.findMarker(marker, start, segmentLength);
}

int Rtp2Jpeg::updateHeader()
{
    // Q 1-99 names the scaled standard tables; Q >= 128 sends its own. With
    // neither (no table received yet, or a reserved Q) the reference's own
    // tables stay.
    unsigned char luma[TableBytes];
    unsigned char chroma[TableBytes];
    const unsigned char* tables[2] = {nullptr, nullptr};
    if (m_packet.m_q >= 1 && m_packet.m_q <= 99) {
        makeRfc2435Tables(m_packet.m_q, luma, chroma);
        tables[0] = luma;
        tables[1] = chroma;
    } else if (m_packet.m_q >= 128 && m_packet.m_qTableBytes >= TableBytes) {
        tables[0] = m_packet.m_qTable[0];
        tables[1] = m_packet.m_qTable[1];
    }
    return m_headerStore.patch(tables, m_packet.m_width, m_packet.m_height);
}

Rtp2Jpeg::Layout Rtp2Jpeg::packetLayout() const
{
    Layout l;
    l.type = m_packet.m_type;
    l.q = m_packet.m_q;
    l.width = m_packet.m_width;
    l.height = m_packet.m_height;
    l.restartInterval =
        (m_packet.m_type >= 64 && m_packet.m_type <= 127) ? m_packet.m_restartInterval : 0;
    if (m_packet.m_q >= 1 && m_packet.m_q <= 99) {
        makeRfc2435Tables(m_packet.m_q, l.tables, l.tables + TableBytes);
    } else if (m_packet.m_q >= 128 && m_packet.m_qTableBytes >= TableBytes) {
        std::memcpy(l.tables, m_packet.m_qTable[0], TableBytes);
        std::memcpy(l.tables + TableBytes, m_packet.m_qTable[1], TableBytes);
    }
    return l;
}

void Rtp2Jpeg::followStream()
{
    // Rebuilt or patched only when something changed: a constant stream
    // costs one comparison per frame.
    const Layout now = packetLayout();
    if (m_applied == now)
        return;
    if (m_headerStore.isBuiltin()) {
        buildHeader(now);
        // A rebuilt header has no interval; keep the one the markers gave.
        if (now.type <= 1
            && m_restartCheckedFor == std::array<int, 3>{now.type, now.width, now.height})
            m_headerStore.setRestartInterval(m_restartNote > 0 ? m_restartNote : 0);
    } else {
        checkReferenceLayout(now);
    }
    updateHeader();
    m_applied = now;
}

void Rtp2Jpeg::checkReferenceLayout(const Layout& layout)
{
    // A reference file keeps its own layout; one that contradicts the
    // stream's gives broken pictures, so the user is told why.
    int sampling = 0;
    int interval = 0;
    if (!JpegHeaderStore::isDefinedType(layout.type)
        || !m_headerStore.referenceLayout(&sampling, &interval))
        return;
    const int streamSampling = (layout.type & 1) ? 0x22 : 0x21;
    if (sampling == streamSampling && interval == layout.restartInterval)
        return;
    const auto name = [](int s) {
        return s == 0x22   ? QStringLiteral("4:2:0")
               : s == 0x21 ? QStringLiteral("4:2:2")
                           : QStringLiteral("other");
    };
    m_worker->reportProblem(QStringLiteral("the reference file's layout (%1 sampling, restart "
                                           "interval %2) does not fit the RTP/JPEG stream (type "
                                           "%3: %4 sampling, restart interval %5), so pictures "
                                           "are broken")
                                .arg(name(sampling))
                                .arg(interval)
                                .arg(layout.type)
                                .arg(name(streamSampling))
                                .arg(layout.restartInterval));
}

void Rtp2Jpeg::buildHeader(const Layout& layout)
{
    if (!m_headerStore.build(layout.type, layout.restartInterval)) {
        m_worker->reportProblem(
            QStringLiteral("RTP/JPEG type %1 is not defined by RFC 2435; its frames get the "
                           "built-in JPEG header (4:2:0, restart interval 60), give the sender's "
                           "JPEG header as reference.jpg")
                .arg(layout.type));
    }
}

const unsigned char* Rtp2Jpeg::parsePacket(const unsigned char* data, int len,
                                           RtpTimeline::Step* step)
{
    *step = RtpTimeline::Step::Drop;
    // RTCP on the RTP port (RFC 5761): packet types 200-204 take the place
    // of the marker bit and payload type. Read as RTP, a receiver report
    // could synchronise the reassembler on garbage.
    if (len >= 2 && data[1] >= RtcpFirstType && data[1] <= RtcpLastType) {
        ++m_rtcpDropped;
        return nullptr;
    }
    const unsigned char* p = m_packet.parse(data, len);
    if (p == nullptr)
        return nullptr; // shorter than its headers: dropped like an unsynchronised packet
    const std::int64_t frameEnd = std::int64_t(m_headerStore.length()) + m_packet.m_fragmentOffset
                                  + (m_packet.payloadEnd() - p) + 2;
    if (frameEnd > MaxFrameBytes)
        return nullptr; // would make the frame larger than any frame is allowed to be

    if (m_packet.m_width == 0 || m_packet.m_height == 0) {
        // A JPEG frame header cannot say 0 pixels (its 0 height would defer
        // the height to a DNL marker no RTP/JPEG frame has).
        if (!m_zeroSizeReported) {
            m_zeroSizeReported = true;
            m_worker->reportProblem(QStringLiteral("RTP/JPEG packets of %1x%2 pixels dropped: a "
                                                   "JPEG frame needs a width and height of 8 to "
                                                   "2040 pixels")
                                        .arg(m_packet.m_width)
                                        .arg(m_packet.m_height));
        }
        return nullptr;
    }

    // A frame not completed by its marker is still in progress: a packet of
    // another timestamp must not end it on its own word.
    *step = m_timeline.admit(m_packet, data, len, !m_frameCompleted);
    return p;
}

bool Rtp2Jpeg::accountSequence(bool synchronised)
{
    const RtpTimeline::Sequence sequence =
        m_timeline.account(m_packet.m_sequenceNumber, synchronised);
    if (sequence.missed > 0)
        m_worker->appendLog(QStringLiteral("%1: image:%2, missed %3 packets after %4\n")
                                .arg(timeOfDay())
                                .arg(m_packet.m_timestamp)
                                .arg(sequence.missed)
                                .arg(sequence.after));
    return sequence.late;
}

void Rtp2Jpeg::fitRestartMarkers(const unsigned char* scan, int scanLen)
{
    // Some senders (FFmpeg with slice threads) put restart markers into a
    // type 0 or 1 scan, one interval per MCU row, without the restart header
    // that would say so. Counted here, the markers give the interval; if
    // they do not fit one per row, none is used.
    int markers = 0;
    const unsigned char* const last = scanLen >= 2 ? scan + scanLen - 1 : scan;
    for (const unsigned char* p = scan; p < last;) {
        p = static_cast<const unsigned char*>(std::memchr(p, 0xFF, std::size_t(last - p)));
        if (p == nullptr)
            break;
        if (p[1] >= jpeg::MarkerRST0 && p[1] <= jpeg::MarkerRST7)
            ++markers;
        p += 2;
    }
    const int mcuWidth = 16;
    const int mcuHeight = (m_applied->type & 1) ? 16 : 8;
    const int mcusPerRow = (m_applied->width + mcuWidth - 1) / mcuWidth;
    const int rows = (m_applied->height + mcuHeight - 1) / mcuHeight;
    const int interval = (markers > 0 && markers == rows - 1) ? mcusPerRow : 0;
    if (markers > 0 && interval == 0 && m_restartNote != -1) {
        m_restartNote = -1;
        m_worker->appendLog(QStringLiteral("%1: RTP/JPEG type %2 frame with %3 restart markers, "
                                           "not one per MCU row (%4 rows): no restart interval "
                                           "used\n")
                                .arg(timeOfDay())
                                .arg(m_applied->type)
                                .arg(markers)
                                .arg(rows));
    } else if (interval > 0 && m_restartNote != interval) {
        m_restartNote = interval;
        m_worker->appendLog(QStringLiteral("%1: RTP/JPEG type %2 frame with restart markers: "
                                           "restart interval of one MCU row (%3 MCUs)\n")
                                .arg(timeOfDay())
                                .arg(m_applied->type)
                                .arg(interval));
    }
    m_headerStore.setRestartInterval(interval);
}

void Rtp2Jpeg::completeFrame()
{
    FrameSink& w = *m_worker;
    const int headerLen = m_headerStore.length();
    // Only a frame whose packets were all dropped could end inside the header.
    const int len = std::max(w.curLen(), headerLen);
    // Every placement leaves TailRoomBytes free behind the packet, so this
    // only asks. The sink's arrays are made with the first data, so room for
    // the header and EOI is not taken for granted.
    if (!w.ensureWriteCapacity(std::int64_t(len) + 3)) {
        w.restartFrame();
        return;
    }
    unsigned char* buffer = w.writeBuffer();
    // The markers are counted in the first frame of each type and size; the
    // interval found holds for the frames after it.
    if (m_headerStore.isBuiltin() && m_applied && m_applied->type <= 1) {
        const std::array<int, 3> key = {m_applied->type, m_applied->width, m_applied->height};
        if (key != m_restartCheckedFor) {
            m_restartCheckedFor = key;
            fitRestartMarkers(buffer + headerLen, len - headerLen);
        }
    }
    std::memcpy(buffer, m_headerStore.data(), std::size_t(headerLen));
    buffer[len] = 0xFF;
    buffer[len + 1] = 0xD9;
    w.setCurLen(len + 2);
    w.finishFrame();
}

void Rtp2Jpeg::replayHeld(const unsigned char* data, int len)
{
    // The held packet begins the next frame, and this one follows it.
    // Neither can be confirmed as held again, so this recurses once.
    std::vector<unsigned char> held = m_timeline.takeHeldPacket();
    decode(held.data(), int(held.size()));
    decode(data, len);
    m_timeline.returnHeldPacket(std::move(held)); // keeps its capacity for the next one
}

void Rtp2Jpeg::measureJitter(bool synchronised)
{
    // Only a device's stream has its figures read; the clock costs about a
    // tenth of the reassembly of a packet.
    if (m_deviceCounters == nullptr)
        return;
    if (synchronised)
        m_jitter.restart();
    // Arrival on a 90 kHz clock, the clock of RTP/JPEG timestamps.
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
    m_jitter.packet(m_packet.m_timestamp, std::uint32_t(std::uint64_t(ns) * 9 / 100000));
    m_deviceCounters->jitter16.store(m_jitter.scaled16(), std::memory_order_relaxed);
}

void Rtp2Jpeg::decode(const unsigned char* data, int len)
{
    RtpTimeline::Step step = RtpTimeline::Step::Drop;
    const unsigned char* p = parsePacket(data, len, &step);
    FrameSink& w = *m_worker;
    switch (step) {
    case RtpTimeline::Step::Drop:
        return;
    case RtpTimeline::Step::Replay:
        replayHeld(data, len);
        return;
    case RtpTimeline::Step::Rollback:
        // The frame the packet before began was an outlier's: what it placed
        // goes, and the frame before it stays the completed one. The timeline
        // stands where it stood before the outlier, so this recurses once.
        m_frameOpen = false;
        m_frameCompleted = true;
        w.restartFrame();
        decode(data, len);
        return;
    case RtpTimeline::Step::Synchronised:
        m_frameOpen = false;
        m_frameCompleted = false;
        break;
    case RtpTimeline::Step::SameFrame:
    case RtpTimeline::Step::NewFrame:
        break;
    }

    if (m_packet.m_sequenceNumber == 0)
        w.appendLog(QStringLiteral("%1: MARK 64k packets\n").arg(timeOfDay()));

    const int payloadLen = int(m_packet.payloadEnd() - p);
    const bool late = accountSequence(step == RtpTimeline::Step::Synchronised);
    measureJitter(step == RtpTimeline::Step::Synchronised);

    if (step == RtpTimeline::Step::NewFrame) {
        if (m_frameOpen)
            completeFrame(); // its marker packet was lost
        m_frameOpen = true;
        m_frameCompleted = false;
    } else if (m_frameCompleted) {
        // A repeated or late packet of the frame its marker completed. Placed,
        // it would complete the array holding the frame before it again, and
        // an older picture would follow the newer one. A further frame of the
        // same timestamp begins with its first fragment; without it, it would
        // be the rest of a frame the stream never began.
        if (late || m_packet.m_fragmentOffset != 0)
            return;
        m_frameOpen = true;
        m_frameCompleted = false;
    }
    // The frame before was completed with the header it was placed for; this
    // frame's first fragment may bring another layout, tables or size.
    if (m_packet.m_fragmentOffset == 0)
        followStream();
    const int writePos = m_headerStore.length() + m_packet.m_fragmentOffset;

    // The growth keeps everything already placed; the packet's end then
    // becomes the frame's length.
    const int packetEnd = writePos + payloadLen;
    if (!w.ensureWriteCapacity(std::int64_t(packetEnd) + TailRoomBytes + 1))
        return;
    std::memcpy(w.writeBuffer() + writePos, p, std::size_t(payloadLen));
    w.setCurLen(packetEnd);

    if (m_packet.m_marker) {
        completeFrame();
        m_frameOpen = false;
        m_frameCompleted = true;
    }
    w.deliverIfRequested();
}
