// SPDX-License-Identifier: MIT
// Rtp2H264 fed a sprop-parameter-sets text and a sequence of datagrams.
//
// Input: the text's length as two bytes big-endian and the text, then
// datagrams, each preceded by its length as two bytes big-endian. SSRCs,
// sequence numbers, timestamps, NAL unit types, aggregation sizes and
// fragment bits are whatever the input says. Every finished frame must be
// an Annex B access unit within the frame bound that begins with a start
// code and a NAL unit of the stream's own types, every count must agree,
// and the write position must stay inside the write buffer.
#include "framelimits.h"
#include "fuzzsupport.h"
#include "h264nal.h"
#include "recordingsink.h"
#include "rtp2h264.h"
#include "rtpcounters.h"

#include <cstring>
#include <string_view>

namespace {
// One sink for the whole run (see fuzz_multipart.cpp); each input gets a new
// depacketizer, which starts unsynchronised.
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
    if (size < 2)
        return 0;
    const std::size_t textLen = std::min((std::size_t(data[0]) << 8) | data[1], size - 2);
    const std::string_view sprop(reinterpret_cast<const char*>(data + 2), textLen);
    RecordingSink& sink = *g_sink;
    sink.clear();
    RtpCounters counters;
    Rtp2H264 decoder(&sink, sprop);
    decoder.setDeviceCounters(&counters);

    long long delivered = 0;
    for (const auto& d : fuzzsupport::splitDatagrams(data + 2 + textLen, size - 2 - textLen)) {
        if (d.len == 0)
            continue; // the receive loop never hands over an empty datagram
        decoder.decode(d.bytes.get(), d.len);
        FUZZ_CHECK(sink.curLen() >= 0 && sink.curLen() < sink.writeCapacity());
        for (const RecordingSink::Frame& frame : sink.frames) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(frame.data.constData());
            const auto len = frame.data.size();
            FUZZ_CHECK(len > h264::StartCodeBytes && len <= MaxFrameBytes + 0x10000);
            FUZZ_CHECK(std::memcmp(bytes, h264::StartCode, h264::StartCodeBytes) == 0);
            const int type = bytes[h264::StartCodeBytes] & h264::NalTypeMask;
            FUZZ_CHECK(type >= 1 && type <= 23 && !(bytes[h264::StartCodeBytes] & 0x80));
            FUZZ_CHECK(frame.contentType == QLatin1String(Rtp2H264::ContentType));
        }
        delivered += sink.frames.size();
        sink.frames.clear();
    }
    FUZZ_CHECK(decoder.figures().accessUnits == delivered);
    FUZZ_CHECK(counters.framesDropped == decoder.figures().dropped);
    FUZZ_CHECK(counters.lost >= 0 && counters.outOfOrder >= 0 && counters.expected >= 0);
    return 0;
}
