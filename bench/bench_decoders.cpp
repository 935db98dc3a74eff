// SPDX-License-Identifier: MIT
// Stream decoders next to memcpy of the same bytes in the same blocks.
#include "benchdata.h"

#include "imagegetworker.h"
#include "multipartdec.h"
#include "rtp2jpeg.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using namespace benchdata;

constexpr int TransferBytes = Width * Height + 1024;

// A worker with a request always pending, as a controller that keeps up:
// every completed frame is delivered (copied into the transfer buffer) and
// the request is renewed at once.
class Harness
{
public:
    explicit Harness(ImageGetWorker::Protocol protocol, bool request = true)
        : m_worker(protocol), m_transfer(new unsigned char[TransferBytes])
    {
        QObject::connect(
            &m_worker, &ImageGetWorker::newImageReceived, &m_worker,
            [this](const QString&, unsigned char*, int len, const QString&) {
                ++m_frames;
                m_bytes += len;
                m_worker.imageRequested(m_transfer.get(), TransferBytes);
            },
            Qt::DirectConnection);
        if (request)
            m_worker.imageRequested(m_transfer.get(), TransferBytes);
    }

    ImageGetWorker& worker() { return m_worker; }
    long long frames() const { return m_frames; }
    long long frameBytes() const { return m_bytes; }

private:
    ImageGetWorker m_worker;
    std::unique_ptr<unsigned char[]> m_transfer;
    long long m_frames = 0;
    long long m_bytes = 0;
};

void reportBlocks(benchmark::State& state, long long bytesPerPass, long long framesDone)
{
    state.SetBytesProcessed(std::int64_t(state.iterations()) * bytesPerPass);
    state.counters["frames/s"] =
        benchmark::Counter(double(framesDone), benchmark::Counter::kIsRate);
}

void feedMultipart(benchmark::State& state, ImageGetWorker::Protocol protocol, int blockBytes,
                   bool deliver = true)
{
    const QByteArray& stream = multipartStream();
    const auto* data = reinterpret_cast<const unsigned char*>(stream.constData());
    const int size = int(stream.size());
    Harness harness(protocol, deliver);
    MultipartDec decoder(&harness.worker());
    for (auto _ : state) {
        for (int pos = 0; pos < size; pos += blockBytes)
            decoder.decode(data + pos, std::min(blockBytes, size - pos));
    }
    if (deliver && harness.frames() < std::int64_t(state.iterations()) * StreamFrames)
        state.SkipWithError("frames were lost");
    if (!deliver && harness.worker().framesDone() == 0)
        state.SkipWithError("no frame was decoded");
    reportBlocks(state, size, deliver ? harness.frames() : state.iterations() * StreamFrames);
}

void memcpyBlocks(benchmark::State& state, int blockBytes)
{
    const QByteArray& stream = multipartStream();
    const int size = int(stream.size());
    std::vector<unsigned char> block(static_cast<std::size_t>(blockBytes));
    for (auto _ : state) {
        for (int pos = 0; pos < size; pos += blockBytes) {
            std::memcpy(block.data(), stream.constData() + pos,
                        std::size_t(std::min(blockBytes, size - pos)));
            benchmark::ClobberMemory();
        }
    }
    reportBlocks(state, size, std::int64_t(state.iterations()) * StreamFrames);
}

void BM_MultipartTcp(benchmark::State& state)
{
    feedMultipart(state, ImageGetWorker::Protocol::Tcp, TcpBlockBytes);
}
// The decoding alone: no request is pending, so frames are finished but
// never copied out.
void BM_MultipartTcpNoDelivery(benchmark::State& state)
{
    feedMultipart(state, ImageGetWorker::Protocol::Tcp, TcpBlockBytes, false);
}
void BM_MultipartTcp_Memcpy(benchmark::State& state)
{
    memcpyBlocks(state, TcpBlockBytes);
}
void BM_MultipartUdp(benchmark::State& state)
{
    feedMultipart(state, ImageGetWorker::Protocol::Udp, DatagramBytes);
}
void BM_MultipartUdp_Memcpy(benchmark::State& state)
{
    memcpyBlocks(state, DatagramBytes);
}

// The RTP packets of StreamFrames frames, renumbered before every pass so
// that sequence numbers and timestamps keep rising across passes.
class RtpStream
{
public:
    RtpStream()
    {
        for (const QByteArray& p : rtpPackets())
            m_packets.emplace_back(p.begin(), p.end());
        for (const auto& p : m_packets) {
            // Fixed RTP header (12) + main JPEG header (8); the first packet
            // of a frame also carries the 132-byte table header and tables.
            const int offset = (p[13] << 16) | (p[14] << 8) | p[15];
            const int headers = offset == 0 ? 12 + 8 + 4 + 128 : 12 + 8;
            m_payloadBytes += long(p.size()) - headers;
            m_slices.push_back({headers, int(p.size()) - headers, offset});
        }
    }

    void advance()
    {
        const std::uint16_t seqStep = std::uint16_t(m_packets.size());
        const std::uint32_t tsStep = 3600u * std::uint32_t(StreamFrames);
        for (auto& p : m_packets) {
            const std::uint16_t seq = std::uint16_t(((p[2] << 8) | p[3]) + seqStep);
            p[2] = seq >> 8;
            p[3] = seq & 0xFF;
            std::uint32_t ts = (std::uint32_t(p[4]) << 24) | (std::uint32_t(p[5]) << 16)
                               | (std::uint32_t(p[6]) << 8) | std::uint32_t(p[7]);
            ts += tsStep;
            p[4] = ts >> 24;
            p[5] = (ts >> 16) & 0xFF;
            p[6] = (ts >> 8) & 0xFF;
            p[7] = ts & 0xFF;
        }
    }

    struct Slice
    {
        int start;
        int length;
        int fragmentOffset;
    };
    std::vector<std::vector<unsigned char>> m_packets;
    std::vector<Slice> m_slices;
    long m_payloadBytes = 0;
};

void BM_RtpReassembly(benchmark::State& state)
{
    RtpStream rtp;
    Harness harness(ImageGetWorker::Protocol::Rtp);
    Rtp2Jpeg decoder(&harness.worker());
    for (auto _ : state) {
        for (const auto& p : rtp.m_packets)
            decoder.decode(p.data(), int(p.size()));
        state.PauseTiming();
        rtp.advance();
        state.ResumeTiming();
    }
    // The first frame of the run is the synchronisation frame.
    if (harness.frames() + 1 < std::int64_t(state.iterations()) * StreamFrames)
        state.SkipWithError("frames were lost");
    state.SetBytesProcessed(std::int64_t(state.iterations()) * rtp.m_payloadBytes);
    state.counters["packets/s"] = benchmark::Counter(
        double(state.iterations()) * double(rtp.m_packets.size()), benchmark::Counter::kIsRate);
    state.counters["frames/s"] =
        benchmark::Counter(double(harness.frames()), benchmark::Counter::kIsRate);
}

void BM_RtpReassembly_Memcpy(benchmark::State& state)
{
    RtpStream rtp;
    std::vector<unsigned char> frame(static_cast<std::size_t>(4) << 20);
    for (auto _ : state) {
        for (std::size_t i = 0; i < rtp.m_packets.size(); ++i) {
            const auto& s = rtp.m_slices[i];
            std::memcpy(frame.data() + 1024 + s.fragmentOffset, rtp.m_packets[i].data() + s.start,
                        std::size_t(s.length));
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * rtp.m_payloadBytes);
    state.counters["packets/s"] = benchmark::Counter(
        double(state.iterations()) * double(rtp.m_packets.size()), benchmark::Counter::kIsRate);
    state.counters["frames/s"] =
        benchmark::Counter(double(state.iterations()) * StreamFrames, benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(BM_MultipartTcp);
BENCHMARK(BM_MultipartTcpNoDelivery);
BENCHMARK(BM_MultipartTcp_Memcpy);
BENCHMARK(BM_MultipartUdp);
BENCHMARK(BM_MultipartUdp_Memcpy);
BENCHMARK(BM_RtpReassembly);
BENCHMARK(BM_RtpReassembly_Memcpy);
