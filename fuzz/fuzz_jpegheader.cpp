// SPDX-License-Identifier: MIT
// The RTP/JPEG header store: built from a fuzzed reference file, then
// patched by synchronising packets with fuzzed table stores and frame sizes.
//
// Input: a flag byte (bit 0: a reference file exists), the reference file's
// length as two bytes big-endian and its bytes, then datagrams, each preceded
// by its length as two bytes big-endian. The marker scan and the patch must
// stay inside the bytes taken from the file, and the header written in front
// of frames must lie within them.
#include "fuzzsupport.h"
#include "jpegheader.h"
#include "recordingsink.h"
#include "rtp2jpeg.h"

#include <algorithm>
#include <cstring>

namespace {
RecordingSink* g_sink; // one for the whole run (see fuzz_multipart.cpp)

void checkScans(const Rtp2Jpeg& decoder)
{
    static const int markers[] = {0xDB, 0xC0, 0xDA, 0xC4, 0xDD, 0xE9, 0xD8, 0x00};
    for (int marker : markers) {
        for (int start : {-1, 0, 2, decoder.headerDataLen() - 1, decoder.headerDataLen(), 5000}) {
            int length = -7;
            const int pos = decoder.findMarker(marker, start, &length);
            if (pos >= 0) {
                FUZZ_CHECK(pos >= 4 && pos <= decoder.headerDataLen());
                FUZZ_CHECK(length >= 2);
            } else {
                FUZZ_CHECK(pos == -1);
            }
        }
    }
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::quietProcess();
    g_sink = new RecordingSink;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    const bool withReference = data[0] & 1;
    std::size_t refLen = (std::size_t(data[1]) << 8) | data[2];
    refLen = std::min(refLen, size - 3);
    const std::uint8_t* ref = data + 3;

    // The owner hands over as much of the file as the header store holds.
    ReferenceHeader reference;
    if (withReference)
        reference.emplace(ref, ref + std::min<std::size_t>(refLen, Rtp2Jpeg::HeaderStoreBytes));

    g_sink->clear();
    Rtp2Jpeg decoder(g_sink, reference);
    const int dataLen = decoder.headerDataLen();
    if (withReference) {
        const int readLen = int(std::min<std::size_t>(refLen, Rtp2Jpeg::HeaderStoreBytes));
        FUZZ_CHECK(dataLen == readLen);
        FUZZ_CHECK(std::memcmp(decoder.header(), ref, std::size_t(readLen)) == 0);
    } else {
        FUZZ_CHECK(dataLen == Rtp2Jpeg::HeaderStoreBytes);
        FUZZ_CHECK(decoder.headerLen() == BuiltinJpegHeaderBytes);
    }
    FUZZ_CHECK(decoder.headerLen() >= 0 && decoder.headerLen() <= dataLen);
    checkScans(decoder);

    const std::uint8_t* rest = ref + refLen;
    for (const auto& d : fuzzsupport::splitDatagrams(rest, size - 3 - refLen, 64)) {
        if (d.len == 0)
            continue;
        decoder.decode(d.bytes.get(), d.len);
        checkScans(decoder);
        g_sink->frames.clear();
    }
    decoder.updateHeader();
    checkScans(decoder);
    // Nothing beyond the bytes read from the file is ever written.
    for (int i = dataLen; i < Rtp2Jpeg::HeaderStoreBytes; ++i)
        FUZZ_CHECK(decoder.header()[i] == 0);
    return 0;
}
