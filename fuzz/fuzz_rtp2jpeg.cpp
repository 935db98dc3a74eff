// SPDX-License-Identifier: MIT
// Rtp2Jpeg fed a sequence of datagrams with the built-in header.
//
// Input: datagrams, each preceded by its length as two bytes big-endian.
// SSRCs, sequence numbers, timestamps and fragment offsets are whatever the
// input says. Every delivered frame must be the header, scan data and EOI,
// within the frame bound, and the write position must stay inside the write
// buffer.
#include "framelimits.h"
#include "fuzzsupport.h"
#include "imagegetworker.h"
#include "rtp2jpeg.h"

#include <QSettings>

#include <cstring>
#include <vector>

namespace {
// One worker for the whole run (see fuzz_multipart.cpp); each input gets a
// new decoder, which starts unsynchronised.
ImageGetWorker* g_worker;
Rtp2Jpeg* g_decoder;
std::vector<unsigned char> g_transfer(std::size_t(MaxFrameBytes) + 0x10000);
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::quietScratchProcess("rtp2jpeg");
    QSettings settings(QStringLiteral("device.ini"), QSettings::IniFormat);
    settings.setValue(QStringLiteral("protocol"), QStringLiteral("RTP"));
    g_worker = new ImageGetWorker(&settings);
    QObject::connect(
        g_worker, &ImageGetWorker::newImageReceived, g_worker,
        [](QString, unsigned char* buffer, int len, QString) {
            const Rtp2Jpeg& decoder = *g_decoder;
            FUZZ_CHECK(len >= decoder.headerLen() + 2 && len <= MaxFrameBytes + 0x10000);
            FUZZ_CHECK(std::memcmp(buffer, decoder.header(), std::size_t(decoder.headerLen())) ==
                       0);
            FUZZ_CHECK(buffer[len - 2] == 0xFF && buffer[len - 1] == 0xD9);
            g_worker->imageRequested(g_transfer.data(), int(g_transfer.size()));
        },
        Qt::DirectConnection);
    g_worker->imageRequested(g_transfer.data(), int(g_transfer.size()));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ImageGetWorker& worker = *g_worker;
    worker.restartFrame();
    Rtp2Jpeg decoder(&worker);
    g_decoder = &decoder;
    FUZZ_CHECK(decoder.headerLen() == 617); // no reference file in the scratch directory

    for (const auto& d : fuzzsupport::splitDatagrams(data, size)) {
        if (d.len == 0)
            continue; // the receive loop never hands over an empty datagram
        decoder.decode(d.bytes.get(), d.len);
        FUZZ_CHECK(worker.m_curLen >= 0 && worker.m_curLen + 2 <= worker.writeCapacity());
    }
    g_decoder = nullptr;
    return 0;
}
