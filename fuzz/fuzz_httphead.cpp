// SPDX-License-Identifier: MIT
// The head of an HTTP response and the body it announces.
//
// Input: the head's length as two bytes big-endian, the head (split into
// lines after each LF and handed to HttpResponseHead one line at a time, as
// libcurl does), then body blocks, each preceded by its length as two bytes
// big-endian. A multipart Content-Type makes a MultipartDec with the
// delimiter it announced, which decodes the blocks. Checks the bounds of
// what the head keeps and of every finished frame.
#include "framelimits.h"
#include "fuzzsupport.h"
#include "httpresponsehead.h"
#include "multipartdec.h"
#include "recordingsink.h"

namespace {
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
    const std::size_t headLen = std::min<std::size_t>(size - 2, (data[0] << 8) | data[1]);
    const auto* head = reinterpret_cast<const char*>(data + 2);
    HttpResponseHead response;
    for (std::size_t start = 0; start < headLen;) {
        std::size_t end = start;
        while (end < headLen && head[end] != '\n')
            ++end;
        end = std::min(end + 1, headLen);
        response.addLine(head + start, end - start);
        start = end;
    }
    const std::string status = response.statusText();
    for (char c : status)
        FUZZ_CHECK(c >= 0x20 && c < 0x7f);
    FUZZ_CHECK(response.authSchemes().size() <= HttpResponseHead::MaxSchemes);
    const ContentTypeInfo type = ContentTypeInfo::parse(response.contentType());
    FUZZ_CHECK(type.mediaType.size() <= 64);
    if (type.kind != ContentTypeInfo::Kind::Multipart)
        return 0;
    FUZZ_CHECK(type.delimiter.size() >= 3
               && type.delimiter.size() <= std::size_t(MultipartDec::MaxDelimiterLen));

    RecordingSink& sink = *g_sink;
    sink.clear();
    MultipartDec decoder(&sink, type.delimiter);
    const std::size_t bodyAt = 2 + headLen;
    for (const auto& block : fuzzsupport::splitDatagrams(data + bodyAt, size - bodyAt, 4096)) {
        if (block.len == 0)
            continue;
        decoder.decode(block.bytes.get(), block.len);
        FUZZ_CHECK(sink.curLen() >= 0 && sink.curLen() < sink.writeCapacity());
        FUZZ_CHECK(decoder.remaining() >= -1 && decoder.remaining() < MaxFrameBytes);
        for (const RecordingSink::Frame& frame : sink.frames)
            FUZZ_CHECK(frame.data.size() > 0 && frame.data.size() <= MaxFrameBytes);
        sink.frames.clear();
    }
    return 0;
}
