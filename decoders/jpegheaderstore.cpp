// SPDX-License-Identifier: MIT
#include "jpegheaderstore.h"

#include "jpegsegments.h"

#include <QtGlobal>

#include <algorithm>
#include <cstring>

namespace {
constexpr int TableBytes = 64;
} // namespace

JpegHeaderStore::JpegHeaderStore(const ReferenceHeader& reference)
    : m_header(std::make_unique<unsigned char[]>(StoreBytes))
{
    if (reference) {
        m_headerDataLen = int(std::min<std::size_t>(reference->size(), StoreBytes));
        if (m_headerDataLen > 0) // an empty file has no bytes to copy (and no data pointer)
            std::memcpy(m_header.get(), reference->data(), std::size_t(m_headerDataLen));
        // The header runs from the start of the file through the scan header.
        // An SOS segment that does not end within the bytes read is not used.
        int length = 0;
        const int sos = findMarker(jpeg::MarkerSOS, 0, &length);
        if (sos >= 0 && sos + length - 2 <= m_headerDataLen)
            m_headerLen = sos + length - 2;
    } else {
        std::memcpy(m_header.get(), BuiltinJpegHeader, BuiltinJpegHeaderBytes);
        m_headerLen = BuiltinJpegHeaderBytes;
        m_builtinHeader = true;
    }
}

int JpegHeaderStore::findMarker(int marker, int start, int* segmentLength) const
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

void JpegHeaderStore::patchTables(int pos, int end, const unsigned char* const tables[2])
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

int JpegHeaderStore::patch(const unsigned char* const tables[2], int width, int height)
{
    int length = 0;
    int pos = findMarker(jpeg::MarkerDQT, 0, &length);
    if (pos < 0)
        return -1;
    while (pos >= 0) {
        const int end = std::min(pos + length - 2, m_headerDataLen);
        patchTables(pos, end, tables);
        pos = findMarker(jpeg::MarkerDQT, end, &length);
    }

    const int sof = findMarker(jpeg::MarkerSOF0, 0, &length);
    if (sof < 0 || length < 7 || m_headerDataLen - sof < 5)
        return -1;
    unsigned char* h = m_header.get();
    h[sof + 1] = static_cast<unsigned char>(height >> 8);
    h[sof + 2] = static_cast<unsigned char>(height);
    h[sof + 3] = static_cast<unsigned char>(width >> 8);
    h[sof + 4] = static_cast<unsigned char>(width);
    return 0;
}

bool JpegHeaderStore::build(int type, int restartInterval)
{
    // The header of RFC 2435 Appendix B, in the built-in header's segment
    // order: SOI, APP9, DRI (only with a restart interval), the two DQT,
    // the four standard DHT, SOF0, SOS. Types 0 and 64 are 4:2:2 (Y 2x1),
    // 1 and 65 are 4:2:0 (Y 2x2); 64 and 65 carry the restart interval.
    // Tables and size are patched in afterwards, so type 65 with an
    // interval of 60 gives exactly the patched built-in header.
    unsigned char* h = m_header.get();
    std::memcpy(h, BuiltinJpegHeader, BuiltinJpegHeaderBytes);
    m_headerLen = BuiltinJpegHeaderBytes;
    m_headerDataLen = StoreBytes;
    if (!isDefinedType(type))
        return false; // kept as before: the built-in header, whatever it fits
    // Types 0 and 1 get a DRI too, with an interval of 0 (no restarts), so
    // that restart markers found in their scan can be given an interval
    // without moving the scan data.
    setRestartInterval(restartInterval);
    std::memset(h + m_headerLen, 0, std::size_t(StoreBytes - m_headerLen));
    int length = 0;
    const int sof = findMarker(jpeg::MarkerSOF0, 0, &length);
    Q_ASSERT(sof > 0 && length == 17);
    // Component 1's sampling factors: the sixth byte behind the length.
    h[sof + 7] = (type & 1) == 0 ? 0x21 : 0x22;
    return true;
}

void JpegHeaderStore::setRestartInterval(int interval)
{
    unsigned char* h = m_header.get();
    h[DriAt + 4] = static_cast<unsigned char>(interval >> 8);
    h[DriAt + 5] = static_cast<unsigned char>(interval);
}

bool JpegHeaderStore::referenceLayout(int* sampling, int* restartInterval) const
{
    int length = 0;
    const int sof = findMarker(jpeg::MarkerSOF0, 0, &length);
    if (sof < 0 || length < 11 || sof + 7 >= m_headerDataLen)
        return false;
    const unsigned char* h = m_header.get();
    *sampling = h[sof + 7];
    const int dri = findMarker(jpeg::MarkerDRI, 0, &length);
    *restartInterval =
        (dri >= 0 && length >= 4 && dri + 1 < m_headerDataLen) ? (h[dri] << 8) | h[dri + 1] : 0;
    return true;
}
