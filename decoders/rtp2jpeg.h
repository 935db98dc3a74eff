// SPDX-License-Identifier: MIT
#pragma once

#include "jpegheader.h"
#include "jpegheaderstore.h"
#include "protocoldecoder.h"
#include "rtpcounters.h"
#include "rtpjitter.h"
#include "rtppacketjpeg.h"
#include "rtptimeline.h"

#include <array>
#include <cstdint>
#include <optional>

class FrameSink;
class ImageGetWorker;

// Reassembles RTP/JPEG packets (RFC 2435) into complete JPEG files in the
// sink's write buffer. Each packet's scan data goes straight to its
// fragment offset behind room for the JPEG header; a frame is completed on
// the marker bit or when a newer timestamp arrives, by copying the header in
// front and an EOI behind. Gaps left by lost packets keep stale bytes.
//
// Without a reference file the header is built from each frame's RFC 2435
// header (type: sampling and restart interval; Q: tables; size), in the
// layout of the built-in header, which it equals for type 65 with a restart
// interval of 60. A reference file (the bytes its owner hands over) keeps
// its own layout. Either way the header follows the stream: tables and size
// are patched in at a frame's first fragment whenever they change. The
// header lives in a JpegHeaderStore; which packets belong to the stream,
// and the packet counts, are the RtpTimeline's to decide.
class Rtp2Jpeg : public protocolDecoder
{
public:
    static constexpr int HeaderStoreBytes = JpegHeaderStore::StoreBytes;
    // The write buffer keeps at least this many bytes free behind a packet.
    static constexpr int TailRoomBytes = 16;
    // How far behind the frame being assembled a packet that is also
    // behind in sequence is dropped as late (see RtpTimeline).
    static constexpr std::int32_t LateTicks = RtpTimeline::LateTicks;
    // RTCP packet types (SR, RR, SDES, BYE, APP) in the second byte.
    static constexpr int RtcpFirstType = 200;
    static constexpr int RtcpLastType = 204;

    // `reference` holds the first bytes of a reference JPEG file; without
    // one the built-in header is used.
    explicit Rtp2Jpeg(FrameSink* sink, const ReferenceHeader& reference = std::nullopt);
    // Decodes into a worker's frame buffer with the worker's reference file,
    // read now.
    explicit Rtp2Jpeg(ImageGetWorker* worker);
    ~Rtp2Jpeg() override;

    void decode(const unsigned char* data, int len) override;

    // Scans the header store from start for the segment with the given
    // marker code. Returns the position of its first payload byte and its
    // length field in segmentLength, or -1. The scan ends at SOS and never
    // looks past headerDataLen().
    int findMarker(int marker, int start, int* segmentLength) const;
    // Patches the quantization tables and the SOF0 frame size of the header
    // store from the most recently parsed packet. Returns 0, or -1 when no
    // DQT or no SOF0 segment was found.
    int updateHeader();

    const unsigned char* header() const { return m_headerStore.data(); }
    int headerLen() const { return m_headerStore.length(); }
    int headerDataLen() const { return m_headerStore.dataLength(); }
    const RTPPacketJpeg& packet() const { return m_packet; }
    bool waitingForSync() const { return m_timeline.waitingForSync(); }
    bool synchronised() const override { return !m_timeline.waitingForSync(); }
    // Counts this stream's packets into `counters` as well as into the
    // process-wide figures, and keeps its interarrival jitter there;
    // nullptr: only the process-wide counts.
    void setDeviceCounters(RtpCounters* counters)
    {
        m_timeline.setDeviceCounters(counters);
        m_deviceCounters = counters;
    }

    // RTCP packets dropped before they reached the reassembly.
    long long rtcpDropped() const { return m_rtcpDropped; }

private:
    // What the header must express for the current packet's frame.
    struct Layout
    {
        int type = 0;
        int q = 0;
        int width = 0;
        int height = 0;
        int restartInterval = 0;
        unsigned char tables[128] = {}; // luma, chroma; zeros: none received
        bool operator==(const Layout&) const = default;
    };
    Layout packetLayout() const;
    // At a frame's first fragment: makes the header fit the frame's layout,
    // tables and size when they changed.
    void followStream();
    // Without a reference file: the header for the layout's type and restart
    // interval, before tables and size are patched in.
    void buildHeader(const Layout& layout);
    // With a reference file: reports a layout that contradicts the stream's.
    void checkReferenceLayout(const Layout& layout);
    // For a type 0 or 1 frame: an interval of one MCU row when the scan
    // holds one restart marker per row boundary, otherwise none.
    void fitRestartMarkers(const unsigned char* scan, int scanLen);
    // The packet's scan data, or nullptr when it is not placed; `step` says
    // where the timeline put it.
    const unsigned char* parsePacket(const unsigned char* data, int len, RtpTimeline::Step* step);
    // The held packet first, then this one.
    void replayHeld(const unsigned char* data, int len);
    // Counts the packet's sequence number and logs missed packets; returns
    // true for a late or repeated packet.
    bool accountSequence(bool synchronised);
    // Adds the current packet's arrival to the interarrival jitter.
    void measureJitter(bool synchronised);
    void completeFrame();

    // The sink frames are assembled in: a worker's double buffer, or a
    // test's sink.
    FrameSink* m_worker;
    RTPPacketJpeg m_packet;
    JpegHeaderStore m_headerStore;
    RtpTimeline m_timeline;
    RtpJitter m_jitter;
    RtpCounters* m_deviceCounters = nullptr;
    bool m_frameOpen = false;
    // The frame of the current timestamp was completed by its marker: a
    // repeated or late packet of it must not start a second, stale copy.
    // (Senders without buffer times may give several frames one timestamp;
    // their packets come in sequence and are not affected.)
    bool m_frameCompleted = false;
    std::optional<Layout> m_applied;
    // The restart interval last reported in the log; -1 for a mismatch.
    int m_restartNote = 0;
    // Type, width and height of the frame whose restart markers were
    // counted last.
    std::array<int, 3> m_restartCheckedFor = {-1, -1, -1};
    long long m_rtcpDropped = 0;
    bool m_zeroSizeReported = false;
};
