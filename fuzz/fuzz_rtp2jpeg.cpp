// SPDX-License-Identifier: MIT
// Rtp2Jpeg fed a sequence of datagrams without a reference file: the header
// is built from the packets.
//
// Input: datagrams, each preceded by its length as two bytes big-endian.
// SSRCs, sequence numbers, timestamps and fragment offsets are whatever the
// input says. Every finished frame must be a header, scan data and EOI,
// within the frame bound, and the write position must stay inside the write
// buffer.
#include "framelimits.h"
#include "fuzzsupport.h"
#include "jpegheader.h"
#include "recordingsink.h"
#include "rtp2jpeg.h"

#include <cstring>

namespace {
// The built-in header without its DRI segment: the header of a frame
// without restart markers.
constexpr int ShortestHeader = BuiltinJpegHeaderBytes - 6;
// One sink for the whole run (see fuzz_multipart.cpp); each input gets a new
// decoder, which starts unsynchronised.
RecordingSink* g_sink;
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::quietProcess();
    g_sink = new RecordingSink;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    RecordingSink& sink = *g_sink;
    sink.clear();
    Rtp2Jpeg decoder(&sink);
    FUZZ_CHECK(decoder.headerLen() == BuiltinJpegHeaderBytes);

    for (const auto& d : fuzzsupport::splitDatagrams(data, size)) {
        if (d.len == 0)
            continue; // the receive loop never hands over an empty datagram
        decoder.decode(d.bytes.get(), d.len);
        FUZZ_CHECK(sink.curLen() >= 0 && sink.curLen() + 2 <= sink.writeCapacity());
        // A frame is completed with the header built for its layout; the
        // next frame's first fragment may already have rebuilt it.
        for (const RecordingSink::Frame& frame : sink.frames) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(frame.data.constData());
            const auto len = frame.data.size();
            FUZZ_CHECK(len >= ShortestHeader + 2 && len <= MaxFrameBytes + 0x10000);
            FUZZ_CHECK(std::memcmp(bytes, BuiltinJpegHeader, 8) == 0); // SOI, APP9
            FUZZ_CHECK(bytes[len - 2] == 0xFF && bytes[len - 1] == 0xD9);
        }
        FUZZ_CHECK(decoder.headerLen() == BuiltinJpegHeaderBytes
                   || decoder.headerLen() == ShortestHeader);
        sink.frames.clear();
    }
    return 0;
}
