// SPDX-License-Identifier: MIT
#pragma once

#include "rtspresponse.h"

#include <QtGlobal>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

// The TCP connection of an RTSP session: requests out, responses and
// interleaved binary frames in. Received bytes are split into responses
// (kept, a few at most, for the request waiting for them) and frames
// (handed to the frame handler at once); requests of the server's are
// answered. The buffer is bounded by the
// largest response head and body plus the largest frame. Plain blocking
// waits cut into slices after each of which the stop flag is looked at.
class RtspConnection
{
public:
    enum class Result
    {
        Ok,
        Stopped,   // a stop was requested
        TimedOut,  // no response within the time given
        Closed,    // the server closed the connection
        Failed,    // a send or receive failed
        Malformed, // the server sent what is neither a response nor a frame
        TooLarge,  // a response past its bounds
    };
    using FrameHandler = std::function<void(int channel, const unsigned char* data, int len)>;

    static constexpr std::size_t MaxQueuedResponses = 8;

    RtspConnection(const std::atomic<bool>& stopRequested, std::atomic<std::int64_t>* bytesReceived,
                   int waitSliceMs);
    ~RtspConnection();
    RtspConnection(const RtspConnection&) = delete;
    RtspConnection& operator=(const RtspConnection&) = delete;

    // Takes a connected socket; closes the one held before.
    void adopt(qintptr socket);
    void close();
    bool isOpen() const { return m_socket >= 0; }
    qintptr socket() const { return m_socket; }
    void setFrameHandler(FrameHandler handler) { m_frameHandler = std::move(handler); }

    // Sends `method url` with a fresh CSeq, `headers` (each ending in CRLF)
    // and a User-Agent; the CSeq sent, or -1 when the send failed.
    int send(const std::string& method, const std::string& url, const std::string& headers);
    // Sends the request and waits up to timeoutMs for the response with its
    // CSeq, handing frames on meanwhile. With `ignoreStop`, a stop request
    // does not cut the wait short (for the TEARDOWN at the end).
    Result request(const std::string& method, const std::string& url, const std::string& headers,
                   RtspResponse* response, int timeoutMs, bool ignoreStop = false);
    // Reads what has arrived without waiting and splits it; `gotBytes`
    // says whether anything was there.
    Result readAvailable(bool* gotBytes = nullptr);
    // The oldest response not yet taken.
    bool takeResponse(RtspResponse* response);
    // Text for a result other than Ok.
    static const char* resultText(Result result);

private:
    Result split();
    bool sendAll(const std::string& text);
    // Answers a request the server sent.
    void answer(const RtspServerRequest& request);

    const std::atomic<bool>& m_stopRequested;
    std::atomic<std::int64_t>* m_bytesReceived;
    int m_waitSliceMs;
    qintptr m_socket = -1;
    int m_cseq = 0;
    std::vector<unsigned char> m_buffer;
    std::size_t m_used = 0;
    std::deque<RtspResponse> m_responses;
    FrameHandler m_frameHandler;
};
