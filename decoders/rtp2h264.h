// SPDX-License-Identifier: MIT
#pragma once

#include "h264paramsets.h"
#include "protocoldecoder.h"
#include "rtpcounters.h"
#include "rtpjitter.h"
#include "rtppacket.h"

#include <cstdint>
#include <string_view>
#include <vector>

class FrameSink;

// Turns RTP H.264 packets (RFC 6184, packetization modes 0 and 1: single
// NAL unit packets, STAP-A and FU-A) into access units in Annex B form, in
// place in the sink's write buffer: every NAL unit behind the start code
// 00 00 00 01, in decoding order. An access unit ends at the marker bit or
// when a packet of another timestamp arrives. Each delivered frame (content
// type "video/h264") is one access unit; an IDR access unit without its
// own SPS or PPS gets the ones known (from sprop-parameter-sets or seen in
// the stream) in front, so that it can be decoded on its own.
//
// Packets are counted (expected, lost, out of order) and the interarrival
// jitter is kept as for RTP/JPEG. H.264 frames refer to earlier ones, so a
// frame with a missing piece cannot be repaired by the next: after a lost
// packet, the access unit it belonged to and every following non-IDR one
// are dropped until the next IDR access unit arrives whole, and counted.
// The same holds after joining a stream. Packets of the interleaved mode
// (STAP-B, MTAP, FU-B) and malformed ones are refused and counted; they
// damage their access unit. Every length on the wire is checked against
// the packet and the frame bound.
class Rtp2H264 : public protocolDecoder
{
public:
    static constexpr char ContentType[] = "video/h264";
    // RTCP packet types (SR, RR, SDES, BYE, APP) in the second byte.
    static constexpr int RtcpFirstType = 200;
    static constexpr int RtcpLastType = 204;
    // A sequence number further than this from the newest one, either way,
    // is a sender that restarted: the stream is taken up anew from it.
    static constexpr int RestartSequenceGap = 1024;

    // `spropParameterSets`: the session description's value, if any.
    explicit Rtp2H264(FrameSink* sink, std::string_view spropParameterSets = {});

    void decode(const unsigned char* data, int len) override;
    bool synchronised() const override { return m_synchronised; }

    // Counts this stream's packets and dropped access units into `counters`
    // as well as into the process-wide figures, and keeps its jitter there.
    void setDeviceCounters(RtpCounters* counters) { m_counters = counters; }

    struct Figures
    {
        long long accessUnits = 0;        // delivered
        long long dropped = 0;            // damaged, or waiting for an IDR one
        long long refusedPackets = 0;     // malformed, interleaved or undefined
        long long rtcpDropped = 0;        // RTCP on the RTP port
        long long parameterSetsAdded = 0; // IDR access units given SPS/PPS
    };
    const Figures& figures() const { return m_figures; }
    const H264ParameterSets& parameterSets() const { return m_parameterSets; }

private:
    // Where a parameter set NAL unit of the current access unit lies.
    struct NalPlace
    {
        int type;
        int offset;
        int length;
    };
    static constexpr int MaxNotedNals = 2 * int(H264ParameterSets::MaxSets);

    // Counts the packet's sequence number; false for a late or repeated
    // packet. Sets m_gap when packets were missed before it.
    bool admit();
    void takeUpStream();
    void measureJitter(bool restart);
    void handlePayload(const unsigned char* p, int n);
    void singleNal(const unsigned char* p, int n);
    void stapA(const unsigned char* p, int n);
    void fuA(const unsigned char* p, int n);
    void refuse(bool damages);
    // Appends to the access unit; false (and the unit damaged) when it is
    // already damaged or the frame bound refuses the bytes.
    bool put(const unsigned char* p, int n);
    void noteNal(int type, int offset, int length);
    void openAccessUnit();
    void finishAccessUnit();
    void keepParameterSets();
    void addParameterSets();
    void countDropped();

    FrameSink* m_sink;
    RTPPacket m_packet;
    H264ParameterSets m_parameterSets;
    RtpJitter m_jitter;
    RtpCounters* m_counters = nullptr;
    Figures m_figures;

    bool m_synchronised = false;
    std::uint32_t m_ssrc = 0;
    int m_lastSequence = 0;
    bool m_gap = false;

    bool m_unitOpen = false;
    std::uint32_t m_unitTimestamp = 0;
    bool m_unitDamaged = false;
    std::uint32_t m_unitTypes = 0; // bit n: a NAL unit of type n
    int m_unitNals = 0;
    // Where the unit's leading access unit delimiter ends, and where its
    // leading run of delimiter and SPS units ends: the places for a missing
    // SPS and a missing PPS.
    int m_leadingDelimiterEnd = 0;
    int m_leadingSpsEnd = 0;
    bool m_inLeadingRun = true;
    std::vector<NalPlace> m_unitParameterSets;
    bool m_fragmentOpen = false;
    int m_fragmentType = 0;
    int m_fragmentStart = 0;

    bool m_waitForIdr = true;
    long long m_droppedBeforeIdr = 0;
    bool m_interleavedReported = false;
    bool m_noParameterSetsReported = false;
};
