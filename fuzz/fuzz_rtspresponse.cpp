// SPDX-License-Identifier: MIT
// What an RTSP server sends on the session's connection: responses and
// interleaved binary frames, in any mix.
//
// Input: the bytes of the connection. They are split as the session's
// connection splits them: a frame where a '$' begins, else a response, each
// taken from the start of what is left; a response that needs more bytes
// ends the input, one that is malformed or too large ends it too, unless it
// is a request of the server's, which is passed over. Checks
// that nothing is taken past the input, the bounds of what a response keeps
// and that its texts are printable.
#include "fuzzsupport.h"
#include "rtspresponse.h"

namespace {

bool printable(const std::string& s)
{
    for (const char c : s) {
        if (c < 0x20 || c >= 0x7f)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::quietProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::size_t at = 0;
    while (at < size) {
        const unsigned char* p = data + at;
        const std::size_t left = size - at;
        if (RtspInterleaved::startsFrame(p, left)) {
            RtspInterleaved frame;
            if (!RtspInterleaved::parse(p, left, &frame))
                break;
            FUZZ_CHECK(frame.channel >= 0 && frame.channel <= 255);
            FUZZ_CHECK(RtspInterleaved::HeaderBytes + frame.length <= left);
            at += RtspInterleaved::HeaderBytes + frame.length;
            continue;
        }
        RtspResponse r;
        std::size_t consumed = 0;
        const RtspResponse::Parse parse = r.parse(p, left, &consumed);
        if (parse == RtspResponse::Parse::Malformed) {
            RtspServerRequest request;
            if (RtspServerRequest::parse(p, left, &request, &consumed)
                != RtspResponse::Parse::Complete) {
                FUZZ_CHECK(consumed == 0);
                break;
            }
            FUZZ_CHECK(consumed > 0 && consumed <= left && !request.method.empty());
            FUZZ_CHECK(request.method.size() <= 32);
            at += consumed;
            continue;
        }
        if (parse != RtspResponse::Parse::Complete) {
            FUZZ_CHECK(consumed == 0);
            break;
        }
        FUZZ_CHECK(consumed > 0 && consumed <= left);
        FUZZ_CHECK(consumed <= RtspResponse::MaxHeadBytes + RtspResponse::MaxBodyBytes);
        FUZZ_CHECK(r.status() >= 100 && r.status() <= 999);
        FUZZ_CHECK(printable(r.statusText()) && r.statusText().size() <= 80);
        FUZZ_CHECK(r.body().size() <= RtspResponse::MaxBodyBytes);
        FUZZ_CHECK(r.challenges().size() <= RtspResponse::MaxChallenges);
        FUZZ_CHECK(r.sessionTimeoutS() >= 1
                   && r.sessionTimeoutS() <= RtspResponse::MaxSessionTimeoutS);
        FUZZ_CHECK(printable(r.session()) && printable(r.location()) && printable(r.contentBase()));
        FUZZ_CHECK(r.location().size() <= RtspResponse::MaxValueChars);
        const RtspTransport& t = r.transport();
        FUZZ_CHECK(t.rtpChannel <= 255 && t.rtcpChannel <= 255 && t.ttl <= 255);
        FUZZ_CHECK(t.clientRtpPort <= 65535 && t.serverRtcpPort <= 65535);
        for (const RtspChallenge& c : r.challenges())
            FUZZ_CHECK(c.scheme.size() <= 32 && c.nonce.size() <= RtspResponse::MaxValueChars);
        at += consumed;
    }
    return 0;
}
