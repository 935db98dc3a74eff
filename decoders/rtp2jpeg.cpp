// SPDX-License-Identifier: MIT
#include "rtp2jpeg.h"

#include "framelimits.h"
#include "framesink.h"
#include "jpegheader.h"
#include "jpegsegments.h"
#include "rtpcounters.h"

#include <QString>
#include <QTime>

#include <algorithm>
#include <array>
#include <cstring>

namespace {
using jpeg::MarkerDQT;
using jpeg::MarkerSOF0;
using jpeg::MarkerSOS;
constexpr int TableBytes = 64;

// The types RFC 2435 defines: 0 (4:2:2) and 1 (4:2:0), and 64 and 65, the
// same with restart markers.
bool isDefinedType(int type)
{
    return type == 0 || type == 1 || type == 64 || type == 65;
}

QString timeOfDay()
{
    return QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
}
} // namespace

Rtp2Jpeg::Rtp2Jpeg(FrameSink* sink, const ReferenceHeader& reference) : m_worker(sink)
{
    Q_ASSERT(sink != nullptr);
    prepareHeader(reference);
}

Rtp2Jpeg::~Rtp2Jpeg() = default;

void Rtp2Jpeg::prepareHeader(const ReferenceHeader& reference)
{
    m_header = std::make_unique<unsigned char[]>(HeaderStoreBytes);
    m_headerDataLen = HeaderStoreBytes;
    m_headerLen = 0;
    if (reference) {
        m_headerDataLen = int(std::min<std::size_t>(reference->size(), HeaderStoreBytes));
        if (m_headerDataLen > 0) // an empty file has no bytes to copy (and no data pointer)
            std::memcpy(m_header.get(), reference->data(), std::size_t(m_headerDataLen));
        // The header runs from the start of the file through the scan header.
        // An SOS segment that does not end within the bytes read is not used.
        int length = 0;
        const int sos = findMarker(MarkerSOS, 0, &length);
        if (sos >= 0 && sos + length - 2 <= m_headerDataLen)
            m_headerLen = sos + length - 2;
    } else {
        std::memcpy(m_header.get(), BuiltinJpegHeader, BuiltinJpegHeaderBytes);
        m_headerLen = BuiltinJpegHeaderBytes;
        m_builtinHeader = true;
    }
}

int Rtp2Jpeg::findMarker(int marker, int start, int* segmentLength) const
{
    // The store may hold anything a reference file held: bytes between
    // segments are stepped over.
    jpeg::SegmentWalker walker(m_header.get(), m_headerDataLen, start,
                               jpeg::SegmentWalker::StrayBytes::StepOver);
    jpeg::Segment segment;
    while (walker.next(&segment)) {
        if (segment.code == marker && segment.code != jpeg::MarkerSOI) {
            *segmentLength = segment.length + 2;
            return segment.offset;
        }
    }
    return -1;
}

void Rtp2Jpeg::patchTables(int pos, int end, const unsigned char* const tables[2])
{
    // A DQT segment holds one or more tables, each a Pq/Tq byte followed by
    // 64 8-bit or 64 16-bit values. Only 8-bit tables 0 and 1 are replaced;
    // the others, and a table cut off by the segment's end, are left alone.
    unsigned char* h = m_header.get();
    while (pos < end) {
        const int precision = h[pos] >> 4;
        const int id = h[pos] & 0x0F;
        const int size = precision == 0 ? TableBytes : 2 * TableBytes;
        if (end - pos - 1 < size)
            return;
        if (precision == 0 && id < 2 && tables[id] != nullptr)
            std::memcpy(h + pos + 1, tables[id], TableBytes);
        pos += 1 + size;
    }
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

    int length = 0;
    int pos = findMarker(MarkerDQT, 0, &length);
    if (pos < 0)
        return -1;
    while (pos >= 0) {
        const int end = std::min(pos + length - 2, m_headerDataLen);
        patchTables(pos, end, tables);
        pos = findMarker(MarkerDQT, end, &length);
    }

    const int sof = findMarker(MarkerSOF0, 0, &length);
    if (sof < 0 || length < 7 || m_headerDataLen - sof < 5)
        return -1;
    unsigned char* h = m_header.get();
    h[sof + 1] = static_cast<unsigned char>(m_packet.m_height >> 8);
    h[sof + 2] = static_cast<unsigned char>(m_packet.m_height);
    h[sof + 3] = static_cast<unsigned char>(m_packet.m_width >> 8);
    h[sof + 4] = static_cast<unsigned char>(m_packet.m_width);
    return 0;
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
    if (m_builtinHeader) {
        buildHeader(now);
        // A rebuilt header has no interval; keep the one the markers gave.
        if (now.type <= 1
            && m_restartCheckedFor == std::array<int, 3>{now.type, now.width, now.height})
            setRestartInterval(m_restartNote > 0 ? m_restartNote : 0);
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
    const bool defined = isDefinedType(layout.type);
    int length = 0;
    const int sof = findMarker(MarkerSOF0, 0, &length);
    if (!defined || sof < 0 || length < 11 || sof + 7 >= m_headerDataLen)
        return;
    const unsigned char* h = m_header.get();
    const int sampling = h[sof + 7];
    const int dri = findMarker(jpeg::MarkerDRI, 0, &length);
    const int interval =
        (dri >= 0 && length >= 4 && dri + 1 < m_headerDataLen) ? (h[dri] << 8) | h[dri + 1] : 0;
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
    // The header of RFC 2435 Appendix B, in the built-in header's segment
    // order: SOI, APP9, DRI (only with a restart interval), the two DQT,
    // the four standard DHT, SOF0, SOS. Types 0 and 64 are 4:2:2 (Y 2x1),
    // 1 and 65 are 4:2:0 (Y 2x2); 64 and 65 carry the restart interval.
    // Tables and size are patched in by updateHeader() afterwards, so type
    // 65 with an interval of 60 gives exactly the patched built-in header.
    const bool defined = isDefinedType(layout.type);
    unsigned char* h = m_header.get();
    std::memcpy(h, BuiltinJpegHeader, BuiltinJpegHeaderBytes);
    m_headerLen = BuiltinJpegHeaderBytes;
    m_headerDataLen = HeaderStoreBytes;
    if (!defined) {
        // Kept as before: the built-in header, whatever it fits.
        m_worker->reportProblem(
            QStringLiteral("RTP/JPEG type %1 is not defined by RFC 2435; its frames get the "
                           "built-in JPEG header (4:2:0, restart interval 60), give the sender's "
                           "JPEG header as reference.jpg")
                .arg(layout.type));
        return;
    }
    // Types 0 and 1 get a DRI too, with an interval of 0 (no restarts), so
    // that restart markers found in their scan can be given an interval
    // without moving the scan data (see completeFrame).
    setRestartInterval(layout.restartInterval);
    std::memset(h + m_headerLen, 0, std::size_t(HeaderStoreBytes - m_headerLen));
    int length = 0;
    const int sof = findMarker(MarkerSOF0, 0, &length);
    Q_ASSERT(sof > 0 && length == 17);
    // Component 1's sampling factors: the sixth byte behind the length.
    h[sof + 7] = (layout.type & 1) == 0 ? 0x21 : 0x22;
}

const unsigned char* Rtp2Jpeg::parsePacket(const unsigned char* data, int len, bool* synchronised)
{
    *synchronised = false;
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
    const std::int64_t frameEnd =
        std::int64_t(m_headerLen) + m_packet.m_fragmentOffset + (m_packet.payloadEnd() - p) + 2;
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

    if (m_packet.m_ssrc != m_streamSsrc) {
        m_needSync = true;
        m_jump.reset();
    } else if (!m_needSync && !nearCurrentFrame(m_packet.m_timestamp)) {
        if (!confirmsRestart(data, len))
            return nullptr; // held, in case the next packet confirms it
        m_needSync = true;
        m_replayHeld = true;
        return nullptr;
    }
    if (m_packet.m_fragmentOffset == 0 && m_needSync) {
        m_needSync = false;
        m_streamSsrc = m_packet.m_ssrc;
        m_lastTimestamp = m_packet.m_timestamp;
        m_frameOpen = false;
        m_frameCompleted = false;
        m_lastSequence = m_packet.m_sequenceNumber;
        *synchronised = true;
    }
    return m_needSync ? nullptr : p;
}

bool Rtp2Jpeg::confirmsRestart(const unsigned char* data, int len)
{
    // Without restarts every packet of a restarted sender would count as
    // late until its timestamps passed the old ones, for up to 6.6 hours;
    // with a restart on any single packet, one forged datagram could patch
    // its size and tables into the header, or make every real packet late.
    if (m_jump && m_packet.m_sequenceNumber == ((m_jump->sequence + 1) & 0xFFFF)
        && withinRestartTicks(m_packet.m_timestamp, m_jump->timestamp)) {
        m_jump.reset();
        return true;
    }
    m_jump = TimelineJump{m_packet.m_sequenceNumber, m_packet.m_timestamp};
    m_heldPacket.assign(data, data + len);
    countOutOfOrder();
    return false;
}

void Rtp2Jpeg::countLost(std::int64_t n)
{
    g_packetsLost.fetch_add(n, std::memory_order_relaxed);
    if (m_deviceCounters)
        m_deviceCounters->lost.fetch_add(n, std::memory_order_relaxed);
}

void Rtp2Jpeg::countOutOfOrder()
{
    g_packetsOutOfOrder.fetch_add(1, std::memory_order_relaxed);
    if (m_deviceCounters)
        m_deviceCounters->outOfOrder.fetch_add(1, std::memory_order_relaxed);
}

void Rtp2Jpeg::countExpected(std::int64_t n)
{
    g_packetsExpected.fetch_add(n, std::memory_order_relaxed);
    if (m_deviceCounters)
        m_deviceCounters->expected.fetch_add(n, std::memory_order_relaxed);
}

bool Rtp2Jpeg::accountSequence(bool synchronised)
{
    if (synchronised) {
        countExpected(1);
        return false;
    }
    const int d = std::int16_t(std::uint16_t(m_packet.m_sequenceNumber - m_lastSequence));
    if (d <= 0) {
        // Late or repeated: the stored number stays that of the newest packet.
        countOutOfOrder();
        return true;
    }
    if (d > 1) {
        countLost(d - 1);
        m_worker->appendLog(QStringLiteral("%1: image:%2, missed %3 packets after %4\n")
                                .arg(timeOfDay())
                                .arg(m_packet.m_timestamp)
                                .arg(d - 1)
                                .arg(m_lastSequence));
    }
    countExpected(d);
    m_lastSequence = m_packet.m_sequenceNumber;
    return false;
}

void Rtp2Jpeg::setRestartInterval(int interval)
{
    unsigned char* h = m_header.get();
    h[DriAt + 4] = static_cast<unsigned char>(interval >> 8);
    h[DriAt + 5] = static_cast<unsigned char>(interval);
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
    setRestartInterval(interval);
}

void Rtp2Jpeg::completeFrame()
{
    FrameSink& w = *m_worker;
    // Only a frame whose packets were all dropped could end inside the header.
    const int len = std::max(w.curLen(), m_headerLen);
    // Every placement leaves TailRoomBytes free behind the packet; a frame
    // of no packet fits the initial array.
    Q_ASSERT(len + 2 <= w.writeCapacity());
    unsigned char* buffer = w.writeBuffer();
    // The markers are counted in the first frame of each type and size; the
    // interval found holds for the frames after it.
    if (m_builtinHeader && m_applied && m_applied->type <= 1) {
        const std::array<int, 3> key = {m_applied->type, m_applied->width, m_applied->height};
        if (key != m_restartCheckedFor) {
            m_restartCheckedFor = key;
            fitRestartMarkers(buffer + m_headerLen, len - m_headerLen);
        }
    }
    std::memcpy(buffer, m_header.get(), std::size_t(m_headerLen));
    buffer[len] = 0xFF;
    buffer[len + 1] = 0xD9;
    w.setCurLen(len + 2);
    w.finishFrame();
}

void Rtp2Jpeg::decode(const unsigned char* data, int len)
{
    bool synchronised = false;
    const unsigned char* p = parsePacket(data, len, &synchronised);
    if (m_replayHeld) {
        // A restart confirmed: the packet held as an outlier opens the new
        // timeline, and this one follows it. Neither can confirm a restart
        // again, so this recurses once.
        m_replayHeld = false;
        std::vector<unsigned char> held;
        held.swap(m_heldPacket);
        decode(held.data(), int(held.size()));
        decode(data, len);
        held.swap(m_heldPacket); // keeps its capacity for the next outlier
        return;
    }
    if (p == nullptr)
        return;
    FrameSink& w = *m_worker;

    if (m_packet.m_sequenceNumber == 0)
        w.appendLog(QStringLiteral("%1: MARK 64k packets\n").arg(timeOfDay()));

    const int payloadLen = int(m_packet.payloadEnd() - p);
    const bool late = accountSequence(synchronised);

    const std::int32_t t = std::int32_t(m_packet.m_timestamp - m_lastTimestamp);
    if (t < 0)
        return; // part of an older frame
    if (t > 0) {
        m_lastTimestamp = m_packet.m_timestamp;
        if (m_frameOpen)
            completeFrame(); // its marker packet was lost
        m_frameOpen = true;
        m_frameCompleted = false;
    } else if (m_frameCompleted && late) {
        // A repeated or late packet of the frame its marker completed. Placed,
        // it would complete the array holding the frame before it again, and
        // an older picture would follow the newer one.
        return;
    }
    // The frame before was completed with the header it was placed for; this
    // frame's first fragment may bring another layout, tables or size.
    if (m_packet.m_fragmentOffset == 0)
        followStream();
    const int writePos = m_headerLen + m_packet.m_fragmentOffset;

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
