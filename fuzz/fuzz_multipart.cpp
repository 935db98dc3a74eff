// SPDX-License-Identifier: MIT
// MultipartDec fed a stream cut into blocks by the input itself.
//
// Input: one flag byte (bit 0: datagram mode, each block is one datagram;
// otherwise a TCP stream), then blocks, each preceded by its length as two
// bytes big-endian. Every delivered frame is checked against the frame bound
// and the write position against the write buffer.
#include "framelimits.h"
#include "fuzzsupport.h"
#include "imagegetworker.h"
#include "multipartdec.h"

#include <QSettings>

#include <vector>

namespace {
// One worker per mode for the whole run: a worker allocates and fills two
// 2 MiB arrays, which would cost more than most inputs. Each input starts a
// new frame and a new decoder, so no decoder state carries over.
ImageGetWorker* g_worker[2];
// Large enough for any frame, so that every completed frame is delivered and
// the log text never piles up.
std::vector<unsigned char> g_transfer(std::size_t(MaxFrameBytes) + 0x10000);
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::quietScratchProcess("multipart");
    const char* protocols[2] = {"TCP", "UDP"};
    for (int i = 0; i < 2; ++i) {
        QSettings settings(QStringLiteral("device%1.ini").arg(i), QSettings::IniFormat);
        settings.setValue(QStringLiteral("protocol"), QString::fromLatin1(protocols[i]));
        ImageGetWorker* worker = new ImageGetWorker(&settings);
        g_worker[i] = worker;
        QObject::connect(
            worker, &ImageGetWorker::newImageReceived, worker,
            [worker](QString, unsigned char* buffer, int len, QString) {
                FUZZ_CHECK(buffer == g_transfer.data());
                FUZZ_CHECK(len > 0 && len <= MaxFrameBytes);
                worker->imageRequested(g_transfer.data(), int(g_transfer.size()));
            },
            Qt::DirectConnection);
        worker->imageRequested(g_transfer.data(), int(g_transfer.size()));
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const bool datagrams = data[0] & 1;
    ImageGetWorker& worker = *g_worker[datagrams ? 1 : 0];
    FUZZ_CHECK(worker.protocol() == (datagrams ? ImageGetWorker::Udp : ImageGetWorker::Tcp));
    worker.restartFrame();

    MultipartDec decoder(&worker);
    for (const auto& block : fuzzsupport::splitDatagrams(data + 1, size - 1, 4096)) {
        if (block.len == 0)
            continue; // the receive loop never hands over an empty block
        decoder.decode(block.bytes.get(), block.len);
        FUZZ_CHECK(worker.m_curLen >= 0 && worker.m_curLen <= worker.writeCapacity());
        FUZZ_CHECK(worker.m_writePtr == worker.writeBuffer() + worker.m_curLen);
        FUZZ_CHECK(decoder.remaining() >= -1 && decoder.remaining() < MaxFrameBytes);
    }
    return 0;
}
