// SPDX-License-Identifier: MIT
// MultipartDec fed a stream cut into blocks by the input itself.
//
// Input: one flag byte (bit 0: datagram framing, each block is one datagram;
// otherwise a TCP stream), then blocks, each preceded by its length as two
// bytes big-endian. Every finished frame is checked against the frame bound
// and the write position against the write buffer.
#include "framelimits.h"
#include "fuzzsupport.h"
#include "multipartdec.h"
#include "recordingsink.h"

namespace {
// One sink for the whole run: it allocates and fills two 2 MiB arrays, which
// would cost more than most inputs. Each input starts a new frame and a new
// decoder, so no decoder state carries over.
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
    if (size < 1)
        return 0;
    RecordingSink& sink = *g_sink;
    sink.clear();
    MultipartDec decoder(&sink, (data[0] & 1) ? MultipartDec::Framing::Datagrams
                                              : MultipartDec::Framing::Stream);
    for (const auto& block : fuzzsupport::splitDatagrams(data + 1, size - 1, 4096)) {
        if (block.len == 0)
            continue; // the receive loop never hands over an empty block
        decoder.decode(block.bytes.get(), block.len);
        FUZZ_CHECK(sink.curLen() >= 0 && sink.curLen() < sink.writeCapacity());
        FUZZ_CHECK(decoder.remaining() >= -1 && decoder.remaining() < MaxFrameBytes);
        for (const RecordingSink::Frame& frame : sink.frames)
            FUZZ_CHECK(frame.data.size() > 0 && frame.data.size() <= MaxFrameBytes);
        sink.frames.clear();
    }
    return 0;
}
