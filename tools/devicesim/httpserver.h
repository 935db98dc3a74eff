// SPDX-License-Identifier: MIT
#pragma once

#include "httpauth.h"
#include "httprequest.h"
#include "simconfig.h"

#include <QByteArray>

#include <chrono>
#include <csignal>
#include <memory>
#include <vector>

// --mode http: the simulated camera as an HTTP server on the listening
// socket it is given. Every connection first sends a request; the stream
// path answers with a multipart/x-mixed-replace stream of the frames handed
// to sendFrame() from then on, the snapshot path with the newest frame (the
// connection then takes further requests), anything else with an error.
// One thread: non-blocking sockets and poll, every client bounded in what
// it may send and how long it may take.
class HttpServer
{
public:
    using Clock = std::chrono::steady_clock;

    // The longest time a client may take to send a request, also the time
    // an idle kept-alive connection is held.
    static constexpr auto RequestTimeout = std::chrono::seconds(5);
    // The announced boundary of the stream (without "--" in front).
    static constexpr const char* Boundary = "framescope-devicesim-frame";

    HttpServer(const SimConfig& config, int listenFd);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Accepts, reads requests, answers and sends until `until` or until
    // `stop` becomes nonzero.
    void serviceUntil(Clock::time_point until, volatile std::sig_atomic_t* stop);
    // A new frame: a part for every streaming client, and the answer to the
    // snapshot requests from now on.
    void sendFrame(const QByteArray& jpeg);
    // Bytes of the stream's parts queued for clients.
    long long bytes() const { return m_bytes; }
    // "clients N skipped N requests N unauthorized N dropped N" of the
    // "sent:" line.
    QString figures() const;

private:
    enum class State
    {
        Request, // reading a request, or answering one
        Stream,  // sending the stream's parts
        Linger,  // answered and shut down for writing; waiting for the end
    };
    struct Client
    {
        int fd = -1;
        State state = State::Request;
        QByteArray in;
        QByteArray out;
        qsizetype sent = 0;
        Clock::time_point deadline;
        long long parts = 0;
        bool closeWhenSent = false;
    };

    void acceptClients();
    // Closes the longest-waiting client that has not sent a request, to
    // make room when every place is taken.
    void evictIdleClient();
    // Reads what the client sent; false when the connection has ended.
    bool readFrom(Client& c);
    // Sends queued bytes; false when the connection has failed.
    bool writeTo(Client& c);
    // Answers the requests in the client's input while nothing is queued.
    void answerRequests(Client& c);
    void answer(Client& c, const simlib::HttpRequest& request);
    void respond(Client& c, const char* status, const QByteArray& fields, const QByteArray& body,
                 bool headOnly = false);
    // After the last queued byte: shut down, or back to reading requests.
    void afterSent(Client& c);
    QByteArray streamHead() const;
    QByteArray part(const QByteArray& jpeg) const;

    SimConfig m_config;
    int m_listenFd;
    std::unique_ptr<simlib::HttpAuthenticator> m_auth;
    QByteArray m_streamPath;
    QByteArray m_snapshotPath;
    std::vector<Client> m_clients;
    QByteArray m_latest;

    long long m_clientsServed = 0;
    long long m_requests = 0;
    long long m_unauthorized = 0;
    long long m_dropped = 0;
    long long m_skipped = 0;
    long long m_bytes = 0;
};
