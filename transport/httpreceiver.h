// SPDX-License-Identifier: MIT
#pragma once

#include "httpresponsehead.h"
#include "imagegetworker.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

class FrameSink;
class MultipartDec;

// One connection of a camera on the web, run in the worker's thread: a
// libcurl transfer of the device's URL whose body goes into the worker's
// frame buffer. A multipart/x-mixed-replace response is read by the
// multipart decoder with the boundary it announced; an image/jpeg response
// is one frame (a snapshot), fetched again every pollMs on the same
// connection when polling. Waits are cut into slices after each of which
// the stop flag and the quiet limit are looked at; libcurl's progress
// callback checks the stop flag within a transfer too.
class HttpReceiver
{
public:
    struct Settings
    {
        QString url;
        QString user;
        QString password;
        int pollMs = 0; // 0: the URL is a stream
        bool tlsVerify = true;
        int connectTimeoutMs = ImageGetWorker::ConnectTimeoutMs;
        int quietLimitMs = ImageGetWorker::TcpQuietLimitMs;
        int waitSliceMs = ImageGetWorker::WaitSliceMs;
    };
    using Outcome = ImageGetWorker::ConnectOutcome;

    // Redirects followed before the transfer gives up.
    static constexpr long MaxRedirects = 5;

    // `stopRequested` is the worker's stop flag and `bytesReceived` its byte
    // count; both must outlive the receiver. `accepted` is called once,
    // when the first response the device can be shown from arrives.
    HttpReceiver(const Settings& settings, FrameSink* sink, const std::atomic<bool>& stopRequested,
                 std::atomic<std::int64_t>* bytesReceived, std::function<void()> accepted);
    ~HttpReceiver();
    HttpReceiver(const HttpReceiver&) = delete;
    HttpReceiver& operator=(const HttpReceiver&) = delete;

    // Runs the transfer (and, when polling, the next ones) until the
    // connection ends, the quiet limit passes or a stop is requested.
    Outcome run();

    // libcurl's callbacks.
    std::size_t onHeader(const char* data, std::size_t len);
    std::size_t onBody(const char* data, std::size_t len);
    bool onProgress() const;

private:
    enum class Body
    {
        Undecided, // no body byte yet
        Stream,    // multipart: the decoder
        Snapshot,  // one JPEG frame
    };
    struct Transfer; // the libcurl handles

    bool configure();
    // Decides from the head what the body is. False, with m_ending set, when
    // the response cannot be shown.
    bool acceptResponse();
    // The ending a response that cannot be shown gives, or nothing.
    bool refusal(Outcome* outcome) const;
    // One request, up to its end; true when it gave a snapshot and the next
    // may follow.
    bool perform(Outcome* outcome);
    void resetResponse();
    Outcome transferEnded(int code);
    bool stopRequested() const { return m_stopRequested.load(std::memory_order_relaxed); }

    Settings m_settings;
    QByteArray m_url;
    QByteArray m_user;
    QByteArray m_password;
    FrameSink* m_sink;
    const std::atomic<bool>& m_stopRequested;
    std::atomic<std::int64_t>* m_bytesReceived;
    std::function<void()> m_accepted;
    std::unique_ptr<Transfer> m_transfer;
    char m_errorText[256] = {};

    HttpResponseHead m_head;
    Body m_body = Body::Undecided;
    std::unique_ptr<MultipartDec> m_decoder;
    bool m_snapshotTooLarge = false;
    bool m_wasAccepted = false;
    bool m_ending = false;
    Outcome m_refusal{ImageGetWorker::LinkState::Lost, QString()};
    std::int64_t m_lastActivityMs = 0;
};
