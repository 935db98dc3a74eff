// SPDX-License-Identifier: MIT
#include "httpreceiver.h"

#include "deadline.h"
#include "framesink.h"
#include "multipartdec.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

namespace {

using Link = ImageGetWorker::LinkState;

std::int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               SteadyClock::now().time_since_epoch())
        .count();
}

// libcurl's global state is set up once per process, before any thread
// makes a handle.
void initialiseCurl()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::size_t headerCallback(char* data, std::size_t size, std::size_t n, void* receiver)
{
    return static_cast<HttpReceiver*>(receiver)->onHeader(data, size * n);
}

std::size_t writeCallback(char* data, std::size_t size, std::size_t n, void* receiver)
{
    return static_cast<HttpReceiver*>(receiver)->onBody(data, size * n);
}

int progressCallback(void* receiver, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<const HttpReceiver*>(receiver)->onProgress() ? 1 : 0;
}

QString systemError(long error)
{
    return QString::fromLocal8Bit(std::strerror(int(error)));
}

} // namespace

struct HttpReceiver::Transfer
{
    CURLM* multi = curl_multi_init();
    CURL* easy = curl_easy_init();
    bool added = false;

    ~Transfer()
    {
        if (added)
            curl_multi_remove_handle(multi, easy);
        curl_easy_cleanup(easy);
        curl_multi_cleanup(multi);
    }
    void add()
    {
        if (!added)
            added = curl_multi_add_handle(multi, easy) == CURLM_OK;
    }
    void remove()
    {
        if (added)
            curl_multi_remove_handle(multi, easy);
        added = false;
    }
};

HttpReceiver::HttpReceiver(const Settings& settings, FrameSink* sink,
                           const std::atomic<bool>& stopRequested,
                           std::atomic<std::int64_t>* bytesReceived, std::function<void()> accepted)
    : m_settings(settings), m_url(settings.url.toUtf8()), m_user(settings.user.toUtf8()),
      m_password(settings.password.toUtf8()), m_sink(sink), m_stopRequested(stopRequested),
      m_bytesReceived(bytesReceived), m_accepted(std::move(accepted))
{
    initialiseCurl();
    m_transfer = std::make_unique<Transfer>();
}

HttpReceiver::~HttpReceiver()
{
    // The handles go first: nothing may call back into a half-destroyed
    // receiver.
    m_transfer.reset();
    // The password does not stay in this thread's memory longer than needed.
    m_password.fill('\0');
}

bool HttpReceiver::configure()
{
    CURL* e = m_transfer->easy;
    if (m_transfer->multi == nullptr || e == nullptr)
        return false;
    curl_easy_setopt(e, CURLOPT_URL, m_url.constData());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, MaxRedirects);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, long(m_settings.connectTimeoutMs));
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_USERAGENT, "framescope");
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 131072L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, m_errorText);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, headerCallback);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, writeCallback);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, progressCallback);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, this);
    if (!m_settings.tlsVerify) {
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    // Basic and Digest, whichever the camera asks for, also for
    // credentials written into the URL; libcurl sends them only after the
    // camera has named its scheme, and never to another host after a
    // redirect.
    curl_easy_setopt(e, CURLOPT_HTTPAUTH, long(CURLAUTH_BASIC | CURLAUTH_DIGEST));
    if (!m_user.isEmpty() || !m_password.isEmpty()) {
        curl_easy_setopt(e, CURLOPT_USERNAME, m_user.constData());
        curl_easy_setopt(e, CURLOPT_PASSWORD, m_password.constData());
    }
    return true;
}

HttpReceiver::Outcome HttpReceiver::run()
{
    if (!configure())
        return {Link::SocketFailed, QStringLiteral("libcurl could not be set up")};
    Outcome outcome{Link::Stopped, QStringLiteral("stopped")};
    // Fetches start every pollMs, measured from one start to the next, so
    // that the frame period is the polling period whatever each response
    // takes (a late fetch starts at once, never several together).
    auto nextStart = SteadyClock::now();
    while (perform(&outcome)) {
        nextStart += std::chrono::milliseconds(m_settings.pollMs);
        if (nextStart < SteadyClock::now())
            nextStart = SteadyClock::now();
        while (!stopRequested() && msUntil(nextStart) > 0)
            curl_multi_poll(m_transfer->multi, nullptr, 0,
                            std::min(msUntil(nextStart), m_settings.waitSliceMs), nullptr);
        if (stopRequested())
            return {Link::Stopped, QStringLiteral("stopped")};
    }
    return outcome;
}

void HttpReceiver::resetResponse()
{
    m_head.clear();
    m_body = Body::Undecided;
    m_decoder.reset();
    m_snapshotTooLarge = false;
    m_ending = false;
    m_errorText[0] = '\0';
}

bool HttpReceiver::perform(Outcome* outcome)
{
    resetResponse();
    m_transfer->add();
    m_lastActivityMs = -1;
    const std::int64_t quietMs = m_settings.quietLimitMs;
    int running = 0;
    // Starts the request at once; then every wait is followed by the work
    // it woke up for.
    bool ok = curl_multi_perform(m_transfer->multi, &running) == CURLM_OK;
    while (ok && running > 0) {
        if (stopRequested()) {
            m_transfer->remove();
            *outcome = {Link::Stopped, QStringLiteral("stopped")};
            return false;
        }
        // The quiet limit runs from the moment the request could be sent
        // (connected, TLS set up); before that the connect limit applies.
        curl_off_t pretransfer = 0;
        curl_easy_getinfo(m_transfer->easy, CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
        int waitMs = m_settings.waitSliceMs;
        if (pretransfer > 0 || m_lastActivityMs >= 0) {
            if (m_lastActivityMs < 0)
                m_lastActivityMs = nowMs();
            const std::int64_t left = m_lastActivityMs + quietMs - nowMs();
            if (left <= 0) {
                m_transfer->remove();
                *outcome = {Link::Quiet, QStringLiteral("no data for %1 s").arg(quietMs / 1000.0)};
                return false;
            }
            waitMs = int(std::min<std::int64_t>(waitMs, left));
        }
        curl_multi_poll(m_transfer->multi, nullptr, 0, waitMs, nullptr);
        ok = curl_multi_perform(m_transfer->multi, &running) == CURLM_OK;
    }
    int code = CURLE_OK;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(m_transfer->multi, &queued)) {
        if (message->msg == CURLMSG_DONE)
            code = message->data.result;
    }
    m_transfer->remove();
    if (stopRequested()) {
        *outcome = {Link::Stopped, QStringLiteral("stopped")};
        return false;
    }
    *outcome = transferEnded(code);
    return m_settings.pollMs > 0 && outcome->state == Link::Connected;
}

HttpReceiver::Outcome HttpReceiver::transferEnded(int code)
{
    if (m_ending)
        return m_refusal;
    // A response without a body is judged by its head now.
    if (code == CURLE_OK && m_body == Body::Undecided && !acceptResponse())
        return m_refusal;
    if (code == CURLE_OK || code == CURLE_PARTIAL_FILE) {
        if (m_body == Body::Snapshot) {
            if (m_snapshotTooLarge || code != CURLE_OK || m_sink->curLen() == 0) {
                m_sink->restartFrame();
            } else {
                m_sink->finishFrame();
                m_sink->deliverIfRequested();
            }
            if (code == CURLE_OK && m_settings.pollMs > 0)
                return {Link::Connected, QString()}; // the next fetch follows
            if (code == CURLE_OK)
                return {Link::Lost, QStringLiteral("the URL is a snapshot (one frame per "
                                                   "request); poll_ms=N fetches it every N ms")};
        }
        return {Link::Lost, QStringLiteral("closed by the peer")};
    }
    const QString text = m_errorText[0] != '\0'
                             ? QString::fromLocal8Bit(m_errorText)
                             : QString::fromLatin1(curl_easy_strerror(static_cast<CURLcode>(code)));
    // Failures after a response was shown are the connection's loss.
    if (m_wasAccepted && code != CURLE_COULDNT_CONNECT && code != CURLE_COULDNT_RESOLVE_HOST)
        return {Link::Lost, text};
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
        return {Link::BadAddress, text};
    case CURLE_COULDNT_CONNECT: {
        long error = 0;
        curl_easy_getinfo(m_transfer->easy, CURLINFO_OS_ERRNO, &error);
        if (error == ECONNREFUSED)
            return {Link::Refused, systemError(error)};
        if (error == ENETUNREACH || error == EHOSTUNREACH)
            return {Link::Unreachable, systemError(error)};
        return {Link::ConnectFailed, text};
    }
    case CURLE_OPERATION_TIMEDOUT:
        return {Link::TimedOut,
                QStringLiteral("no answer within %1 s").arg(m_settings.connectTimeoutMs / 1000.0)};
    case CURLE_TOO_MANY_REDIRECTS:
        return {Link::ConnectFailed, QStringLiteral("more than %1 redirects").arg(MaxRedirects)};
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
        return {Link::Lost, text};
    default:
        return {Link::ConnectFailed, text};
    }
}

bool HttpReceiver::refusal(Outcome* outcome) const
{
    const int status = m_head.status();
    if (status == 401) {
        QStringList schemes;
        for (const std::string& scheme : m_head.authSchemes())
            schemes << QString::fromStdString(scheme);
        *outcome = {Link::Unauthorized, schemes.isEmpty() ? QStringLiteral("no scheme offered")
                                                          : schemes.join(QStringLiteral(", "))};
        return true;
    }
    if (status < 200 || status > 299) {
        *outcome = {Link::HttpStatus, QString::fromStdString(m_head.statusText())};
        return true;
    }
    const ContentTypeInfo type = ContentTypeInfo::parse(m_head.contentType());
    switch (type.kind) {
    case ContentTypeInfo::Kind::Multipart:
    case ContentTypeInfo::Kind::Jpeg:
        return false;
    case ContentTypeInfo::Kind::None:
        *outcome = {Link::BadContent, QStringLiteral("no content type")};
        return true;
    case ContentTypeInfo::Kind::Other:
        break;
    }
    *outcome = {Link::BadContent, type.problem.empty() ? QString::fromStdString(type.mediaType)
                                                       : QStringLiteral("%1 (%2)").arg(
                                                           QString::fromStdString(type.mediaType),
                                                           QString::fromStdString(type.problem))};
    return true;
}

bool HttpReceiver::acceptResponse()
{
    if (refusal(&m_refusal)) {
        m_ending = true;
        return false;
    }
    const ContentTypeInfo type = ContentTypeInfo::parse(m_head.contentType());
    if (type.kind == ContentTypeInfo::Kind::Multipart) {
        m_body = Body::Stream;
        m_decoder = std::make_unique<MultipartDec>(m_sink, type.delimiter);
    } else {
        m_body = Body::Snapshot;
        m_sink->setContentType(QStringLiteral("image/jpeg"));
        m_sink->restartFrame();
    }
    if (!m_wasAccepted) {
        m_wasAccepted = true;
        if (m_accepted)
            m_accepted();
    }
    return true;
}

std::size_t HttpReceiver::onHeader(const char* data, std::size_t len)
{
    m_lastActivityMs = nowMs();
    m_bytesReceived->fetch_add(std::int64_t(len), std::memory_order_relaxed);
    m_head.addLine(data, len);
    return len;
}

std::size_t HttpReceiver::onBody(const char* data, std::size_t len)
{
    m_lastActivityMs = nowMs();
    m_bytesReceived->fetch_add(std::int64_t(len), std::memory_order_relaxed);
    // libcurl passes on the body of the last response only: redirects it
    // follows and authentication rounds it answers are skipped by it.
    if (m_body == Body::Undecided && !acceptResponse())
        return 0; // ends the transfer; m_refusal says why
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    switch (m_body) {
    case Body::Stream:
        m_decoder->decode(bytes, int(len));
        break;
    case Body::Snapshot:
        if (!m_snapshotTooLarge && !m_sink->appendBytes(bytes, int(len))) {
            m_snapshotTooLarge = true;
            m_sink->restartFrame();
        }
        break;
    case Body::Undecided:
        break;
    }
    m_sink->deliverIfRequested();
    return len;
}

bool HttpReceiver::onProgress() const
{
    return stopRequested();
}
