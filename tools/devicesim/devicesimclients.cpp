// SPDX-License-Identifier: MIT
// The simulator's TCP clients: accepting them and serving their queues.
#include "devicesim.h"
#include "httpserver.h"
#include "nonblocking.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

// Enough for a benchmark's hundreds of devices on one simulator.
constexpr int MaxClients = 256;

} // namespace

void DeviceSim::acceptClients()
{
    for (int i = 0; i < MaxClients; ++i) {
        const int fd = ::accept(m_fd, nullptr, nullptr);
        if (fd < 0)
            return;
        if (int(m_clients.size()) >= MaxClients || !setNonBlocking(fd)) {
            ::close(fd);
            continue;
        }
        m_clients.push_back(Client{fd, {}, 0, false});
        ++m_clientsServed;
        if (!m_config.quiet) {
            std::printf("framescope-devicesim: client %lld connected\n", m_clientsServed);
            std::fflush(stdout);
        }
    }
}

void DeviceSim::closeClient(std::size_t i)
{
    ::close(m_clients[i].fd);
    m_clients.erase(m_clients.begin() + std::ptrdiff_t(i));
}

void DeviceSim::serviceUntil(Clock::time_point until, volatile std::sig_atomic_t* stop)
{
    if (m_http) {
        m_http->serviceUntil(until, stop);
        return;
    }
    const bool tcp = m_config.mode == SimConfig::Mode::Tcp;
    while (!*stop) {
        const auto now = Clock::now();
        if (now >= until && !tcp)
            return;
        std::vector<pollfd> fds;
        if (tcp) {
            fds.push_back(pollfd{m_fd, POLLIN, 0});
            for (const Client& c : m_clients) {
                short events = POLLIN;
                if (c.sent < c.out.size())
                    events |= POLLOUT;
                fds.push_back(pollfd{c.fd, events, 0});
            }
        }
        const auto left = std::max<long long>(
            0, std::chrono::duration_cast<std::chrono::microseconds>(until - now).count());
        timespec timeout{time_t(left / 1000000), long(left % 1000000) * 1000};
        const int r =
            ::ppoll(fds.empty() ? nullptr : fds.data(), nfds_t(fds.size()), &timeout, nullptr);
        if (r < 0 && errno != EINTR)
            return;
        if (r > 0 && tcp) {
            if (fds[0].revents & POLLIN)
                acceptClients();
            for (std::size_t i = fds.size() - 1; i >= 1; --i) {
                const std::size_t ci = i - 1;
                if (ci >= m_clients.size())
                    continue;
                Client& c = m_clients[ci];
                bool drop = (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
                if (!drop && (fds[i].revents & POLLIN)) {
                    char sink[4096];
                    const ssize_t n = ::recv(c.fd, sink, sizeof sink, 0);
                    drop = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
                }
                if (!drop && (fds[i].revents & POLLOUT)) {
                    const ssize_t n = ::send(c.fd, c.out.constData() + c.sent,
                                             size_t(c.out.size() - c.sent), MSG_NOSIGNAL);
                    if (n > 0) {
                        c.sent += n;
                        // Drop what has gone out once it is worth a move,
                        // so that a client that never quite catches up
                        // does not make the queue grow without bound.
                        if (c.sent == c.out.size() || c.sent >= CompactAfterBytes) {
                            c.out.remove(0, c.sent);
                            c.sent = 0;
                        }
                    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                        drop = true;
                }
                if (drop)
                    closeClient(ci);
            }
        }
        if (Clock::now() >= until)
            return;
    }
}
