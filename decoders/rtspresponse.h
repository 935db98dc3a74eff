// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// What a Transport header says about one transport (RFC 2326, 12.39): the
// lower transport, unicast or multicast, and the ports or channels.
// Values that are not numbers in range stay -1.
struct RtspTransport
{
    bool present = false;
    bool tcp = false;       // RTP/AVP/TCP
    bool multicast = false; // "multicast" rather than "unicast"
    std::string destination;
    std::string source;
    std::string ssrc;
    int clientRtpPort = -1;
    int clientRtcpPort = -1;
    int serverRtpPort = -1;
    int serverRtcpPort = -1;
    int rtpChannel = -1; // interleaved=
    int rtcpChannel = -1;
    int multicastRtpPort = -1; // port=, with multicast
    int multicastRtcpPort = -1;
    int ttl = -1;

    // The first transport of the header's comma-separated list.
    static RtspTransport parse(std::string_view value);
};

// One WWW-Authenticate challenge: its scheme and the parameters a Basic or
// Digest answer needs.
struct RtspChallenge
{
    std::string scheme; // as written: "Basic", "Digest", ...
    std::string realm;
    std::string nonce;
    std::string opaque;
    std::string algorithm; // empty: MD5
    bool qopAuth = false;  // qop offers "auth"
    bool qopOffered = false;
    bool stale = false;

    static RtspChallenge parse(std::string_view value);
    bool isDigest() const;
    bool isBasic() const;
};

// One RTSP response read from the start of a buffer: status line, headers
// and a body of Content-Length bytes. The head and the body are bounded;
// header lines beyond the bound of lines are ignored, a head or body past
// its bound is an error.
class RtspResponse
{
public:
    static constexpr std::size_t MaxHeadBytes = 16384;
    static constexpr std::size_t MaxBodyBytes = 65536;
    static constexpr int MaxHeaderLines = 64;
    static constexpr std::size_t MaxChallenges = 4;
    static constexpr std::size_t MaxReasonChars = 64;
    static constexpr std::size_t MaxValueChars = 2048;
    // A Session timeout is kept within 1 s and one hour; 60 s without one.
    static constexpr int DefaultSessionTimeoutS = 60;
    static constexpr int MaxSessionTimeoutS = 3600;

    enum class Parse
    {
        NeedMore,  // no whole response yet
        Complete,  // `consumed` bytes are the response
        Malformed, // not a response: no RTSP status line, a bad Content-Length
        TooLarge,  // the head or the body is past its bound
    };

    // Parses the response at the start of `data`; with Complete, `consumed`
    // is its length, head and body.
    Parse parse(const unsigned char* data, std::size_t len, std::size_t* consumed);

    int status() const { return m_status; }
    // "RTSP 454 Session Not Found": the code and its usual reason, or for
    // a code without one the reason the server gave (printable ASCII only).
    std::string statusText() const;
    int cseq() const { return m_cseq; }
    // The session identifier, without its parameters; empty without one.
    const std::string& session() const { return m_session; }
    int sessionTimeoutS() const { return m_sessionTimeoutS; }
    const RtspTransport& transport() const { return m_transport; }
    const std::vector<RtspChallenge>& challenges() const { return m_challenges; }
    const std::string& location() const { return m_location; }
    const std::string& contentBase() const { return m_contentBase; }
    const std::string& contentLocation() const { return m_contentLocation; }
    const std::string& contentType() const { return m_contentType; }
    // The methods a Public header names, as written.
    const std::string& publicMethods() const { return m_public; }
    const std::string& body() const { return m_body; }

    // The usual reason phrase of an RTSP status code; empty for unknown ones.
    static std::string_view standardReason(int status);

private:
    bool parseStatusLine(std::string_view line);
    void parseHeader(std::string_view line);

    int m_status = 0;
    std::string m_reason;
    int m_cseq = -1;
    std::string m_session;
    int m_sessionTimeoutS = DefaultSessionTimeoutS;
    RtspTransport m_transport;
    std::vector<RtspChallenge> m_challenges;
    std::string m_location;
    std::string m_contentBase;
    std::string m_contentLocation;
    std::string m_contentType;
    std::string m_public;
    std::string m_body;
    long long m_contentLength = 0;
    bool m_badLength = false;
};

// The head of a request a server sends to the client (RFC 2326, 10: a
// keep-alive probe such as OPTIONS or GET_PARAMETER, an ANNOUNCE, ...),
// which the client answers and passes over: its method, CSeq and the
// length of head and body, bounded as a response's.
struct RtspServerRequest
{
    std::string method; // "OPTIONS"
    int cseq = -1;

    // The request at the start of `data`: "METHOD URI RTSP/1.x", headers and
    // a Content-Length body. With Complete, `consumed` is its length.
    static RtspResponse::Parse parse(const unsigned char* data, std::size_t len,
                                     RtspServerRequest* request, std::size_t* consumed);
};

// An interleaved binary frame on an RTSP connection (RFC 2326, 10.12):
//
//    0                   1                   2                   3
//    +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//    |      '$'      |    channel    |        length (16 bits)       |
//    +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//    |                 length bytes of data (one RTP or RTCP packet) |
struct RtspInterleaved
{
    static constexpr std::size_t HeaderBytes = 4;
    static constexpr std::size_t MaxFrameBytes = HeaderBytes + 65535;

    int channel = -1;
    std::size_t length = 0; // of the data, which begins HeaderBytes in

    // Whether the bytes at `data` start an interleaved frame rather than a
    // response ('$').
    static bool startsFrame(const unsigned char* data, std::size_t len)
    {
        return len > 0 && data[0] == '$';
    }
    // The frame at the start of `data`: true once its header and all its
    // data are there.
    static bool parse(const unsigned char* data, std::size_t len, RtspInterleaved* frame);
};
