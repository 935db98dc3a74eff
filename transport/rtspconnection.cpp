// SPDX-License-Identifier: MIT
#include "rtspconnection.h"

#include "deadline.h"
#include "socketapi.h"

#include <algorithm>
#include <cstring>

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif

namespace {

// Room for the largest response (head and body) or interleaved frame, and
// one receive beyond it.
constexpr std::size_t ReceiveBytes = 16384;
constexpr std::size_t BufferBytes =
    std::max(RtspResponse::MaxHeadBytes + RtspResponse::MaxBodyBytes,
             RtspInterleaved::MaxFrameBytes)
    + ReceiveBytes;

} // namespace

RtspConnection::RtspConnection(const std::atomic<bool>& stopRequested,
                               std::atomic<std::int64_t>* bytesReceived, int waitSliceMs)
    : m_stopRequested(stopRequested), m_bytesReceived(bytesReceived), m_waitSliceMs(waitSliceMs)
{
}

RtspConnection::~RtspConnection()
{
    close();
}

void RtspConnection::adopt(qintptr socket)
{
    close();
    m_socket = socket;
    if (m_buffer.empty())
        m_buffer.resize(BufferBytes);
}

void RtspConnection::close()
{
    if (m_socket >= 0)
        closeSocket(SocketHandle(m_socket));
    m_socket = -1;
    m_used = 0;
    m_responses.clear();
}

int RtspConnection::send(const std::string& method, const std::string& url,
                         const std::string& headers)
{
    if (m_socket < 0)
        return -1;
    const int cseq = ++m_cseq;
    const std::string text = method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq)
                             + "\r\n" + headers + "User-Agent: framescope\r\n\r\n";
    return sendAll(text) ? cseq : -1;
}

bool RtspConnection::sendAll(const std::string& text)
{
    if (m_socket < 0)
        return false;
    const auto s = SocketHandle(m_socket);
    std::size_t sent = 0;
    // A request is small; the socket's buffer takes it unless the server
    // stopped reading, which a bounded wait for room shows.
    for (int slices = 0; sent < text.size() && slices < 20;) {
        const auto n = ::send(s, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += std::size_t(n);
        } else if (n < 0 && receiveWouldBlock()) {
            waitSocket(s, m_waitSliceMs, true);
            ++slices;
        } else {
            return false;
        }
    }
    return sent == text.size();
}

RtspConnection::Result RtspConnection::request(const std::string& method, const std::string& url,
                                               const std::string& headers, RtspResponse* response,
                                               int timeoutMs, bool ignoreStop)
{
    const int cseq = send(method, url, headers);
    if (cseq < 0)
        return Result::Failed;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        // Responses to earlier requests (keep-alives) are passed over.
        while (takeResponse(response)) {
            if (response->cseq() == cseq)
                return Result::Ok;
        }
        if (!ignoreStop && m_stopRequested.load(std::memory_order_relaxed))
            return Result::Stopped;
        const int left = msUntil(deadline);
        if (left == 0)
            return Result::TimedOut;
        const int ready = waitSocket(SocketHandle(m_socket), std::min(left, m_waitSliceMs), false);
        if (ready < 0)
            return Result::Failed;
        if (ready == 0)
            continue;
        const Result read = readAvailable();
        if (read != Result::Ok)
            return read;
    }
}

RtspConnection::Result RtspConnection::readAvailable(bool* gotBytes)
{
    if (gotBytes != nullptr)
        *gotBytes = false;
    if (m_socket < 0)
        return Result::Closed;
    const std::size_t room = m_buffer.size() - m_used;
    if (room == 0)
        return Result::TooLarge;
    const auto n = ::recv(SocketHandle(m_socket), reinterpret_cast<char*>(m_buffer.data() + m_used),
                          std::min(room, ReceiveBytes), 0);
    if (n == 0)
        return Result::Closed;
    if (n < 0)
        return receiveWouldBlock() ? Result::Ok : Result::Failed;
    if (m_bytesReceived != nullptr)
        m_bytesReceived->fetch_add(n, std::memory_order_relaxed);
    m_used += std::size_t(n);
    if (gotBytes != nullptr)
        *gotBytes = true;
    return split();
}

RtspConnection::Result RtspConnection::split()
{
    std::size_t at = 0;
    Result result = Result::Ok;
    while (at < m_used) {
        const unsigned char* p = m_buffer.data() + at;
        const std::size_t left = m_used - at;
        if (RtspInterleaved::startsFrame(p, left)) {
            RtspInterleaved frame;
            if (!RtspInterleaved::parse(p, left, &frame))
                break; // the rest of the frame follows
            if (m_frameHandler)
                m_frameHandler(frame.channel, p + RtspInterleaved::HeaderBytes, int(frame.length));
            at += RtspInterleaved::HeaderBytes + frame.length;
            continue;
        }
        RtspResponse response;
        std::size_t consumed = 0;
        RtspResponse::Parse parse = response.parse(p, left, &consumed);
        if (parse == RtspResponse::Parse::Malformed) {
            // A request of the server's is answered and passed over.
            RtspServerRequest request;
            parse = RtspServerRequest::parse(p, left, &request, &consumed);
            if (parse == RtspResponse::Parse::Complete) {
                answer(request);
                at += consumed;
                continue;
            }
        }
        if (parse == RtspResponse::Parse::NeedMore)
            break;
        if (parse != RtspResponse::Parse::Complete) {
            result = parse == RtspResponse::Parse::TooLarge ? Result::TooLarge : Result::Malformed;
            at = m_used;
            break;
        }
        if (m_responses.size() == MaxQueuedResponses)
            m_responses.pop_front();
        m_responses.push_back(std::move(response));
        at += consumed;
    }
    // What is left is the start of the next response or frame.
    std::memmove(m_buffer.data(), m_buffer.data() + at, m_used - at);
    m_used -= at;
    return result;
}

void RtspConnection::answer(const RtspServerRequest& request)
{
    // Probes of whether the client is still there are answered yes; what
    // else a server may ask (ANNOUNCE, SET_PARAMETER, REDIRECT) is not done.
    const bool probe = request.method == "OPTIONS" || request.method == "GET_PARAMETER";
    const std::string text = std::string("RTSP/1.0 ") + (probe ? "200 OK" : "501 Not Implemented")
                             + "\r\nCSeq: " + std::to_string(std::max(request.cseq, 0))
                             + "\r\n\r\n";
    sendAll(text);
}

bool RtspConnection::takeResponse(RtspResponse* response)
{
    if (m_responses.empty())
        return false;
    *response = std::move(m_responses.front());
    m_responses.pop_front();
    return true;
}

const char* RtspConnection::resultText(Result result)
{
    switch (result) {
    case Result::Ok:
        return "ok";
    case Result::Stopped:
        return "stopped";
    case Result::TimedOut:
        return "no response within the time limit";
    case Result::Closed:
        return "closed by the peer";
    case Result::Failed:
        return "send or receive failed";
    case Result::Malformed:
        return "not an RTSP response";
    case Result::TooLarge:
        return "response too large";
    }
    return "";
}
