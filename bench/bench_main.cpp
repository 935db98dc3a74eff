// SPDX-License-Identifier: MIT
// framescope-bench: Google Benchmark's command line, run inside an offscreen
// application so that images decode and windows paint as in the viewer.
#include "benchdata.h"

#include <QApplication>

#include <benchmark/benchmark.h>

#include "multipartwriter.h"
#include "rtpjpegpacketizer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

// --write-data DIR stores the benchmark's byte streams for the peer tools:
// the multipart stream and the RTP packets as an RFC 4571 stream (a 16-bit
// length before each packet).
int writeData(const QString& dir)
{
    QByteArray rtp;
    for (const QByteArray& p : benchdata::rtpPackets()) {
        rtp.append(char(p.size() >> 8));
        rtp.append(char(p.size() & 0xFF));
        rtp += p;
    }
    // The JPEG header matching the RTP stream, for a viewer that reassembles it.
    const QByteArray reference = simlib::jpegHeaderForReference(benchdata::jpegFrame(0));
    const bool ok =
        benchdata::writeFile(dir + QStringLiteral("/multipart.bin"), benchdata::multipartStream())
        && benchdata::writeFile(dir + QStringLiteral("/rtp.bin"), rtp)
        && benchdata::writeFile(dir + QStringLiteral("/reference.jpg"), reference);
    if (!ok) {
        std::fprintf(stderr, "framescope-bench: cannot write to %s\n", qPrintable(dir));
        return 1;
    }
    std::printf("multipart_bytes %lld\nmultipart_frames %d\nrtp_packets %lld\n",
                (long long)benchdata::multipartStream().size(), benchdata::StreamFrames,
                (long long)benchdata::rtpPackets().size());
    return 0;
}

// --send-rtp PORT RATE SECONDS sends the benchmark's RTP packets to
// 127.0.0.1:PORT, paced at RATE packets per second, renumbered so that the
// stream runs on across repetitions. Prints the packets and frames sent.
//
// The packets are built once; between batches only their sequence numbers
// and timestamps are rewritten in place. The pace is kept by spinning on the
// clock, since a sleep's granularity (tens of microseconds) is longer than
// the gap between batches at the rates measured.
int sendRtp(int port, double rate, double seconds)
{
    const QList<QByteArray>& source = benchdata::rtpPackets();
    const long long total = std::min<long long>(20000000, (long long)(rate * seconds));
    if (port <= 0 || port > 65535 || rate <= 0 || total <= 0 || source.isEmpty())
        return 2;
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return 1;
    int sendBuffer = 4 * 1024 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(std::uint16_t(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    std::vector<std::vector<unsigned char>> packets;
    std::vector<std::uint32_t> baseTimestamps;
    for (const QByteArray& p : source) {
        packets.emplace_back(p.begin(), p.end());
        const auto& b = packets.back();
        baseTimestamps.push_back((std::uint32_t(b[4]) << 24) | (std::uint32_t(b[5]) << 16)
                                 | (std::uint32_t(b[6]) << 8) | std::uint32_t(b[7]));
    }
    const long long count = (long long)packets.size();
    // Sent in batches of up to Batch datagrams per system call (sendmmsg),
    // each batch due at its place on the paced time line.
    constexpr int Batch = 32;
    std::vector<iovec> iov(Batch);
    std::vector<mmsghdr> messages(Batch);
    long long frames = 0;
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    for (long long i = 0; i < total;) {
        const auto due = start + std::chrono::nanoseconds((long long)(1e9 * double(i) / rate));
        while (Clock::now() < due) {
        }
        const int n = int(std::min<long long>(Batch, total - i));
        for (int k = 0; k < n; ++k, ++i) {
            std::vector<unsigned char>& packet = packets[std::size_t(i % count)];
            const long long cycle = i / count;
            packet[2] = std::uint8_t(i >> 8);
            packet[3] = std::uint8_t(i);
            const std::uint32_t ts =
                baseTimestamps[std::size_t(i % count)]
                + std::uint32_t(cycle) * 3600u * std::uint32_t(benchdata::StreamFrames);
            packet[4] = std::uint8_t(ts >> 24);
            packet[5] = std::uint8_t(ts >> 16);
            packet[6] = std::uint8_t(ts >> 8);
            packet[7] = std::uint8_t(ts);
            if (packet[1] & 0x80)
                ++frames;
            iov[k] = {packet.data(), packet.size()};
            messages[k] = {};
            messages[k].msg_hdr.msg_name = &to;
            messages[k].msg_hdr.msg_namelen = sizeof to;
            messages[k].msg_hdr.msg_iov = &iov[k];
            messages[k].msg_hdr.msg_iovlen = 1;
        }
        int sent = 0;
        for (int attempt = 0; sent < n && attempt < 100; ++attempt) {
            const int r = ::sendmmsg(fd, messages.data() + sent, unsigned(n - sent), 0);
            if (r <= 0)
                break;
            sent += r;
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);
    std::printf("sent %lld frames %lld seconds %.3f\n", total, frames, elapsed);
    return 0;
}

// --serve-tcp SECONDS jpeg|gray FPS listens on a free port of 127.0.0.1
// (printed as "port N"), accepts one viewer and sends it multipart frames for
// SECONDS, FPS frames per second (0: as fast as the viewer reads them): the
// benchmark's JPEG frames, or raw gray frames of the benchmark's size. Unlike
// the device simulator it encodes nothing while sending, so it can offer the
// viewer its own conversion rate. Prints the frames sent.
int serveTcp(double seconds, const char* content, double fps)
{
    const bool gray = qstrcmp(content, "gray") == 0;
    QList<QByteArray> parts;
    if (gray) {
        parts.append(simlib::multipartPart(simlib::ContentTypeGray, benchdata::grayFrame()));
    } else {
        for (int i = 0; i < benchdata::DistinctFrames; ++i)
            parts.append(simlib::multipartPart(simlib::ContentTypeJpeg, benchdata::jpegFrame(i)));
    }
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0)
        return 1;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(listener, 1) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(listener);
        return 1;
    }
    std::printf("port %d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    pollfd waitFor = {listener, POLLIN, 0};
    if (::poll(&waitFor, 1, 30000) != 1) {
        ::close(listener);
        return 1;
    }
    const int client = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    if (client < 0)
        return 1;
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    const auto start = Clock::now();
    long long frames = 0;
    while (Clock::now() < end) {
        if (fps > 0) {
            const auto due = start
                             + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(double(frames) / fps));
            if (Clock::now() < due)
                std::this_thread::sleep_until(due);
        }
        const QByteArray& part = parts[int(frames % parts.size())];
        qsizetype sent = 0;
        while (sent < part.size()) {
            const ssize_t n =
                ::send(client, part.constData() + sent, size_t(part.size() - sent), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += n;
        }
        if (sent < part.size())
            break; // the viewer went away
        ++frames;
    }
    ::close(client);
    std::printf("sent %lld frames\n", frames);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The window reads its configuration path from the first argument; give
    // it none, the benchmark's own options are Google Benchmark's.
    int appArgc = 1;
    QApplication app(appArgc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--write-data") == 0)
        return writeData(QString::fromLocal8Bit(argv[2]));
    if (argc == 5 && qstrcmp(argv[1], "--serve-tcp") == 0)
        return serveTcp(std::atof(argv[2]), argv[3], std::atof(argv[4]));
    if (argc == 5 && qstrcmp(argv[1], "--send-rtp") == 0)
        return sendRtp(std::atoi(argv[2]), std::atof(argv[3]), std::atof(argv[4]));

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
