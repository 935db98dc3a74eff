// SPDX-License-Identifier: MIT
#pragma once

// JPEG marker segments, ITU-T T.81 B.1.1.4:
//
//   +------+------+--------+--------+-------------------------+
//   | 0xFF | code | len hi | len lo | payload (len - 2 bytes) |
//   +------+------+--------+--------+-------------------------+
//
// The length counts its own two bytes and the payload, not the marker. SOI,
// RST0-7 and TEM stand alone, without a length; any number of 0xFF fill bytes
// may come before a marker.
namespace jpeg {

constexpr int MarkerTEM = 0x01;
constexpr int MarkerSOF0 = 0xC0;
constexpr int MarkerRST0 = 0xD0;
constexpr int MarkerRST7 = 0xD7;
constexpr int MarkerSOI = 0xD8;
constexpr int MarkerEOI = 0xD9;
constexpr int MarkerSOS = 0xDA;
constexpr int MarkerDQT = 0xDB;
constexpr int MarkerDRI = 0xDD;
constexpr int MarkerAPP9 = 0xE9;

struct Segment
{
    int code = 0;   // the byte after 0xFF
    int offset = 0; // the first payload byte (behind the code for a stand-alone marker)
    int length = 0; // payload bytes the length field declares; 0 for a stand-alone marker
};

// Walks the marker segments of a JPEG file from a given position up to and
// including the first SOS. Every read is checked against the length given:
// the walk ends where a marker or length field would be cut off, at a length
// field below 2, at EOI, and behind SOS, since entropy-coded data follows
// it. A segment's payload may still run past the end; callers that read it
// check with fits().
class SegmentWalker
{
public:
    // What a byte other than 0xFF does where a marker is expected: end the
    // walk (a well-formed file), or be stepped over by itself (a header
    // store that may hold stray bytes between segments).
    enum class StrayBytes
    {
        End,
        StepOver
    };

    SegmentWalker(const unsigned char* data, int len, int start = 0,
                  StrayBytes stray = StrayBytes::End);

    // The next segment, or false when the walk has ended.
    bool next(Segment* segment);
    // True when the walk ended behind an SOS segment.
    bool reachedScan() const { return m_reachedScan; }
    // Where the walk stands: behind the last segment returned.
    long long position() const { return m_pos; }
    bool fits(const Segment& segment) const
    {
        return segment.offset + (long long)segment.length <= m_len;
    }

private:
    const unsigned char* m_data;
    int m_len;
    long long m_pos;
    StrayBytes m_stray;
    bool m_ended = false;
    bool m_reachedScan = false;
};

// The first byte behind the entropy-coded data that starts at `start`: the
// 0xFF of the next marker that is neither a stuffed zero nor a restart
// marker, or len when the data runs to the end.
int skipEntropyCoded(const unsigned char* data, int len, int start);

} // namespace jpeg
