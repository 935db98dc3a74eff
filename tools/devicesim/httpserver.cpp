// SPDX-License-Identifier: MIT
#include "httpserver.h"

#include "multipartwriter.h"
#include "nonblocking.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int MaxClients = 32;
// Request line and fields: an endless line or endless fields get 431.
constexpr simlib::HttpLimits Limits{8192, 100};
// A streaming client with more than this queued misses frames until it has
// caught up, as in tcp mode.
constexpr qsizetype MaxBacklog = qsizetype(8) * 1024 * 1024;
constexpr qsizetype CompactAfterBytes = qsizetype(1024) * 1024;
// How long a connection that was answered and shut down is read to its end,
// so that its answer is not lost to a reset by unread input.
constexpr auto LingerTime = std::chrono::seconds(2);

simlib::HttpAuthenticator::Scheme schemeOf(HttpSimOptions::Auth auth)
{
    switch (auth) {
    case HttpSimOptions::Auth::Digest:
        return simlib::HttpAuthenticator::Scheme::Digest;
    case HttpSimOptions::Auth::Any:
        return simlib::HttpAuthenticator::Scheme::Any;
    default:
        return simlib::HttpAuthenticator::Scheme::Basic;
    }
}

} // namespace

HttpServer::HttpServer(const SimConfig& config, int listenFd)
    : m_config(config), m_listenFd(listenFd), m_streamPath(config.http.streamPath.toLatin1()),
      m_snapshotPath(config.http.snapshotPath.toLatin1())
{
    if (config.http.auth != HttpSimOptions::Auth::None)
        m_auth = std::make_unique<simlib::HttpAuthenticator>(
            config.http.user.toUtf8(), config.http.password.toUtf8(), schemeOf(config.http.auth));
}

HttpServer::~HttpServer()
{
    for (const Client& c : m_clients)
        ::close(c.fd);
}

void HttpServer::acceptClients()
{
    for (int i = 0; i < MaxClients; ++i) {
        const int fd = ::accept(m_listenFd, nullptr, nullptr);
        if (fd < 0)
            return;
        if (int(m_clients.size()) >= MaxClients)
            evictIdleClient();
        if (int(m_clients.size()) >= MaxClients || !setNonBlocking(fd)) {
            ::close(fd);
            continue;
        }
        Client c;
        c.fd = fd;
        c.deadline = Clock::now() + RequestTimeout;
        m_clients.push_back(std::move(c));
        ++m_clientsServed;
        if (!m_config.quiet) {
            std::printf("framescope-devicesim: client %lld connected\n", m_clientsServed);
            std::fflush(stdout);
        }
    }
}

void HttpServer::evictIdleClient()
{
    // The client that has waited longest without a request and without an
    // answer on its way: connections that send nothing cannot keep the
    // others out until they time out.
    auto oldest = m_clients.end();
    for (auto it = m_clients.begin(); it != m_clients.end(); ++it) {
        if (it->state == State::Request && it->out.isEmpty()
            && (oldest == m_clients.end() || it->deadline < oldest->deadline))
            oldest = it;
    }
    if (oldest == m_clients.end())
        return;
    ::close(oldest->fd);
    m_clients.erase(oldest);
}

bool HttpServer::readFrom(Client& c)
{
    char buffer[4096];
    // A request is read only up to the bound of its head; the rest waits in
    // the socket until the head is answered (or refused as too large).
    qsizetype room = qsizetype(sizeof buffer);
    if (c.state == State::Request)
        room = std::min(room, Limits.maxHeadBytes - c.in.size());
    if (room <= 0)
        return true;
    const ssize_t n = ::recv(c.fd, buffer, size_t(room), 0);
    if (n == 0)
        return false;
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    // A streaming or lingering client's bytes mean nothing: dropped.
    if (c.state == State::Request)
        c.in.append(buffer, n);
    return true;
}

bool HttpServer::writeTo(Client& c)
{
    const ssize_t n =
        ::send(c.fd, c.out.constData() + c.sent, size_t(c.out.size() - c.sent), MSG_NOSIGNAL);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    c.sent += n;
    if (c.state == State::Request)
        c.deadline = Clock::now() + RequestTimeout; // a slow reader that reads is not idle
    if (c.sent == c.out.size() || c.sent >= CompactAfterBytes) {
        c.out.remove(0, c.sent);
        c.sent = 0;
    }
    if (c.out.isEmpty())
        afterSent(c);
    return true;
}

void HttpServer::afterSent(Client& c)
{
    if (c.closeWhenSent && c.state != State::Linger) {
        ::shutdown(c.fd, SHUT_WR);
        c.state = State::Linger;
        c.deadline = Clock::now() + LingerTime;
        return;
    }
    if (c.state == State::Request)
        answerRequests(c);
}

void HttpServer::answerRequests(Client& c)
{
    // One request at a time: the next is looked at once the answer to the
    // one before has gone out, so that a client sending many requests
    // without reading the answers never has more than one queued.
    while (c.state == State::Request && c.out.isEmpty() && !c.closeWhenSent) {
        simlib::HttpRequest request;
        qsizetype consumed = 0;
        const simlib::HttpParse r =
            simlib::parseHttpRequest(c.in.constData(), c.in.size(), &request, &consumed, Limits);
        if (r == simlib::HttpParse::Incomplete)
            return;
        ++m_requests;
        if (r != simlib::HttpParse::Complete) {
            c.closeWhenSent = true;
            if (r == simlib::HttpParse::TooLarge)
                respond(c, "431 Request Header Fields Too Large", {}, "Request too large\n");
            else
                respond(c, "400 Bad Request", {}, "Bad request\n");
            return;
        }
        c.in.remove(0, consumed);
        c.deadline = Clock::now() + RequestTimeout;
        // A body is not read: the connection ends after the answer instead.
        c.closeWhenSent = !request.keepAlive() || request.hasBody();
        answer(c, request);
    }
}

void HttpServer::answer(Client& c, const simlib::HttpRequest& request)
{
    const bool head = request.method == "HEAD";
    if (request.method != "GET" && !head) {
        respond(c, "405 Method Not Allowed", "Allow: GET, HEAD\r\n", "Method not allowed\n");
        return;
    }
    if (m_auth && !m_auth->accepts(request)) {
        ++m_unauthorized;
        QByteArray fields;
        for (const QByteArray& challenge : m_auth->challenges())
            fields += "WWW-Authenticate: " + challenge + "\r\n";
        respond(c, "401 Unauthorized", fields, "Unauthorized\n", head);
        return;
    }
    const QByteArray path = request.path();
    if (path == m_streamPath) {
        c.out += streamHead();
        if (head) {
            c.closeWhenSent = true; // as the head says
            return;
        }
        // The stream ends with the connection; its parts start with the next
        // frame.
        c.state = State::Stream;
        c.closeWhenSent = false;
        c.in.clear(); // anything sent after the request means nothing now
        return;
    }
    if (path == m_snapshotPath) {
        if (m_latest.isEmpty()) {
            respond(c, "503 Service Unavailable", "Retry-After: 1\r\n", "No frame yet\n", head);
            return;
        }
        respond(c, "200 OK",
                QByteArray("Content-Type: ") + simlib::ContentTypeJpeg
                    + "\r\nCache-Control: no-cache\r\n",
                m_latest, head);
        return;
    }
    respond(c, "404 Not Found", {}, "Not found\n", head);
}

void HttpServer::respond(Client& c, const char* status, const QByteArray& fields,
                         const QByteArray& body, bool headOnly)
{
    QByteArray r = QByteArray("HTTP/1.1 ") + status + "\r\nServer: framescope-devicesim\r\n";
    r += fields;
    if (!fields.contains("Content-Type:"))
        r += "Content-Type: text/plain\r\n";
    r += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    r += c.closeWhenSent ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
    if (!headOnly)
        r += body;
    c.out += r;
}

QByteArray HttpServer::streamHead() const
{
    const unsigned style = m_config.http.style;
    QByteArray boundary = Boundary;
    if (style & HttpSimOptions::DashedBoundary)
        boundary.prepend("--");
    if (style & HttpSimOptions::QuotedBoundary)
        boundary = "; boundary=\"" + boundary + '"';
    else
        boundary = ";boundary=" + boundary;
    return "HTTP/1.1 200 OK\r\nServer: framescope-devicesim\r\n"
           "Content-Type: multipart/x-mixed-replace"
           + boundary
           + "\r\nCache-Control: no-cache, no-store\r\nPragma: no-cache\r\n"
             "Connection: close\r\n\r\n";
}

QByteArray HttpServer::part(const QByteArray& jpeg) const
{
    const unsigned style = m_config.http.style;
    const char* eol = (style & HttpSimOptions::LfOnly) ? "\n" : "\r\n";
    // A dashed boundary is announced with its two dashes and delimits the
    // parts as announced, without two more.
    QByteArray p = QByteArray("--") + Boundary;
    p += eol;
    p += QByteArray("Content-Type: ") + simlib::ContentTypeJpeg + eol;
    if (!(style & HttpSimOptions::NoLength))
        p += "Content-Length: " + QByteArray::number(jpeg.size()) + eol;
    p += eol;
    p += jpeg;
    p += eol;
    return p;
}

void HttpServer::sendFrame(const QByteArray& jpeg)
{
    m_latest = jpeg;
    QByteArray bytes;
    for (Client& c : m_clients) {
        if (c.state != State::Stream || c.closeWhenSent)
            continue;
        if (c.out.size() - c.sent > MaxBacklog) {
            ++m_skipped;
            continue;
        }
        if (bytes.isEmpty())
            bytes = part(jpeg);
        c.out += bytes;
        m_bytes += bytes.size();
        // A camera restarting: the client is let go once the part is out.
        if (m_config.http.dropAfter > 0 && ++c.parts >= m_config.http.dropAfter) {
            c.closeWhenSent = true;
            ++m_dropped;
        }
    }
}

void HttpServer::serviceUntil(Clock::time_point until, volatile std::sig_atomic_t* stop)
{
    std::vector<pollfd> fds;
    while (!*stop) {
        auto now = Clock::now();
        auto wake = until;
        fds.clear();
        fds.push_back(pollfd{m_listenFd, POLLIN, 0});
        for (const Client& c : m_clients) {
            short events = 0;
            if (c.state != State::Request || c.in.size() < Limits.maxHeadBytes)
                events |= POLLIN;
            if (c.sent < c.out.size())
                events |= POLLOUT;
            fds.push_back(pollfd{c.fd, events, 0});
            if (c.state != State::Stream)
                wake = std::min(wake, c.deadline);
        }
        const auto left = std::max<long long>(
            0, std::chrono::duration_cast<std::chrono::microseconds>(wake - now).count());
        timespec timeout{time_t(left / 1000000), long(left % 1000000) * 1000};
        const int r = ::ppoll(fds.data(), nfds_t(fds.size()), &timeout, nullptr);
        if (r < 0 && errno != EINTR)
            return;
        now = Clock::now();
        // Clients from the back, so that closing one leaves the indexes of
        // those still to be looked at; accepted ones are looked at next time.
        const std::size_t polled = fds.size() - 1;
        for (std::size_t i = polled; i >= 1; --i) {
            Client& c = m_clients[i - 1];
            const short ev = r > 0 ? fds[i].revents : 0;
            bool keep = (ev & (POLLERR | POLLNVAL)) == 0;
            if (keep && (ev & (POLLIN | POLLHUP)))
                keep = readFrom(c);
            if (keep && (ev & POLLOUT))
                keep = writeTo(c);
            if (keep && c.state == State::Request && c.out.isEmpty())
                answerRequests(c);
            if (keep && c.state != State::Stream && now >= c.deadline)
                keep = false; // too slow a request, or idle, or lingered long enough
            if (!keep) {
                ::close(c.fd);
                m_clients.erase(m_clients.begin() + std::ptrdiff_t(i - 1));
            }
        }
        if (r > 0 && (fds[0].revents & POLLIN))
            acceptClients();
        if (Clock::now() >= until)
            return;
    }
}

QString HttpServer::figures() const
{
    return QStringLiteral("clients %1 skipped %2 requests %3 unauthorized %4 dropped %5")
        .arg(m_clientsServed)
        .arg(m_skipped)
        .arg(m_requests)
        .arg(m_unauthorized)
        .arg(m_dropped);
}
