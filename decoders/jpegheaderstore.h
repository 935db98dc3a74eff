// SPDX-License-Identifier: MIT
#pragma once

#include "jpegheader.h"

#include <memory>

// The JPEG header the RTP/JPEG reassembler puts in front of every frame, in
// a store of StoreBytes. It holds either the built-in header, rebuilt for
// the stream's type and restart interval, or the first bytes of a reference
// file, whose header runs from the start of the file through its scan
// header (SOS). Quantization tables, frame size and restart interval are
// patched in place. Every read of the store is bounded by the bytes it
// holds.
class JpegHeaderStore
{
public:
    static constexpr int StoreBytes = 1024;

    // The types RFC 2435 defines: 0 (4:2:2) and 1 (4:2:0), and 64 and 65,
    // the same with restart markers.
    static bool isDefinedType(int type)
    {
        return type == 0 || type == 1 || type == 64 || type == 65;
    }

    // `reference` holds the first bytes of a reference JPEG file; without
    // one the store starts with the built-in header.
    explicit JpegHeaderStore(const ReferenceHeader& reference);
    JpegHeaderStore(const JpegHeaderStore&) = delete;
    JpegHeaderStore& operator=(const JpegHeaderStore&) = delete;

    const unsigned char* data() const { return m_header.get(); }
    // The header's length: through the scan header, 0 when a reference
    // file has none within its bytes read.
    int length() const { return m_headerLen; }
    // The bytes of the store that hold a header or a reference file's data.
    int dataLength() const { return m_headerDataLen; }
    // Whether the store holds the built-in header rather than a reference
    // file's.
    bool isBuiltin() const { return m_builtinHeader; }

    // Scans from `start` for the segment with the given marker code. Returns
    // the position of its first payload byte and its length field in
    // segmentLength, or -1. The scan ends at SOS and never looks past
    // dataLength().
    int findMarker(int marker, int start, int* segmentLength) const;
    // Replaces the 8-bit tables 0 and 1 of every DQT segment with `tables`
    // (64 bytes each; a null entry keeps its table) and writes the size into
    // SOF0. Returns 0, or -1 when no DQT or no SOF0 segment was found.
    int patch(const unsigned char* const tables[2], int width, int height);
    // Rebuilds the built-in header for an RTP/JPEG type and restart
    // interval, before tables and size are patched in. Returns false for a
    // type RFC 2435 does not define, which keeps the built-in header as it
    // is.
    bool build(int type, int restartInterval);
    // The restart interval of a built header's DRI segment.
    void setRestartInterval(int interval);
    // A reference file's component 1 sampling factors (the SOF0 byte) and
    // restart interval (0 without DRI); false when its SOF0 cannot be read.
    bool referenceLayout(int* sampling, int* restartInterval) const;

private:
    // The DRI segment of a built header: where it stands.
    static constexpr int DriAt = 8;

    void patchTables(int pos, int end, const unsigned char* const tables[2]);

    std::unique_ptr<unsigned char[]> m_header;
    int m_headerDataLen = StoreBytes;
    int m_headerLen = 0;
    bool m_builtinHeader = false;
};
