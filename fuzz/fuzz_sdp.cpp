// SPDX-License-Identifier: MIT
// A session description as DESCRIBE returns it.
//
// Input: the SDP text for SdpSession::parse. Each media's control URL is
// then resolved against a fixed base. Checks the bounds of what the parse
// keeps.
#include "fuzzsupport.h"
#include "sdpsession.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::quietProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const SdpSession s = SdpSession::parse(data, size);
    FUZZ_CHECK(s.media.size() <= SdpSession::MaxMedia);
    FUZZ_CHECK(s.control.size() <= SdpSession::MaxLineBytes);
    const std::string base = "rtsp://127.0.0.1:8554/test/";
    for (const SdpMedia& m : s.media) {
        FUZZ_CHECK(m.formats.size() <= SdpSession::MaxFormats);
        FUZZ_CHECK(m.port >= 0 && m.port <= 65535 && m.portCount >= 1);
        FUZZ_CHECK(m.connection.ttl <= 255 && m.connection.address.size() <= 255);
        for (const SdpFormat& f : m.formats) {
            FUZZ_CHECK(f.payloadType >= 0 && f.payloadType <= 127);
            FUZZ_CHECK(f.encoding.size() <= 64 && f.clockRate >= 0);
            FUZZ_CHECK(f.fmtp.size() <= SdpSession::MaxLineBytes);
        }
        const std::string url = resolveControlUrl(base, m.control);
        FUZZ_CHECK(url.size() <= base.size() + 1 + m.control.size());
    }
    return 0;
}
