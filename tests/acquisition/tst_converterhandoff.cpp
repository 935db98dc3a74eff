// SPDX-License-Identifier: MIT
// The hand-off the device controller makes with every frame, without the
// toolkit's event queue (which the race detector cannot see into): a feeder
// thread decodes thousands of frames of four devices into their workers,
// each delivery lands in one of the device's transfer buffers, goes to the
// shared decode pool (three threads, so that frames of one device are
// decoded at the same time), the oldest waiting delivery gives way when
// every buffer is taken, and a buffer is offered to the worker again only
// after its result was taken or it was skipped. Midway the hand-offs are
// stopped with decodes in flight, as when the window closes. Every image
// must be one whole frame, in the order of delivery, with pixels of its
// own. Run under ThreadSanitizer this proves that no buffer is written while
// it is decoded and none is read after it was handed back.
#include "conversionhandoff.h"
#include "decodepool.h"
#include "imagegetworker.h"
#include "multipartdec.h"
#include "multipartwriter.h"
#include "recordingsink.h"
#include "testfiles.h"
#include "workerharness.h"

#include <QElapsedTimer>
#include <QTest>

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

constexpr int Devices = 4;
constexpr int Width = 48;
constexpr int Height = 32;
constexpr int FramesPerDevice = 1500;
constexpr int StopAt = 1000; // frames fed to every device before the close
constexpr int Capacity = Width * Height + 1024;

struct Device
{
    DeviceSettings settings{QStringLiteral("TCP")};
    std::unique_ptr<ImageGetWorker> worker;
    std::unique_ptr<ConversionHandOff> handOff;
    std::mutex lock;
    std::optional<std::pair<unsigned char*, int>> delivered;
    // The controller's side, in the test's thread only.
    qint64 last = -1;
    int shown = 0;
    int torn = 0;
    int outOfOrder = 0;
    int aliased = 0;
    int misplaced = 0; // deliveries into a buffer that was not asked for, or refused

    // As the controller: never a second request while one is outstanding,
    // whose delivery may be on its way already.
    void request()
    {
        handOff->skipIfFull();
        if (unsigned char* buffer = handOff->nextRequest())
            worker->imageRequested(buffer, Capacity);
    }
    void submit(unsigned char* buffer, int len)
    {
        ConversionHandOff::Delivery delivery;
        delivery.buffer = buffer;
        delivery.job.conType = QStringLiteral("video/x-raw-gray");
        delivery.job.data = buffer;
        delivery.job.len = len;
        delivery.job.sizeX = Width;
        delivery.job.sizeY = Height;
        delivery.job.ownPixels = true;
        if (handOff->submit(std::move(delivery)).has_value())
            ++misplaced;
    }
};

} // namespace

class tst_ConverterHandoff : public QObject
{
    Q_OBJECT

private slots:
    void fourDevicesClosedMidStream();
};

void tst_ConverterHandoff::fourDevicesClosedMidStream()
{
    std::atomic<int> results{0};
    DecodePool pool(3);
    std::array<Device, Devices> devices;
    for (Device& d : devices) {
        d.worker = std::make_unique<ImageGetWorker>(d.settings.get());
        d.handOff = std::make_unique<ConversionHandOff>(
            [&results] { results.fetch_add(1, std::memory_order_release); }, pool);
        d.handOff->allocateBuffers(Capacity);
        Device* device = &d;
        connect(
            d.worker.get(), &ImageGetWorker::newImageReceived, this,
            [device](QString, unsigned char* buffer, int len, QString) {
                std::lock_guard lock(device->lock);
                device->delivered = std::make_pair(buffer, len);
            },
            Qt::DirectConnection);
        d.request();
    }

    std::atomic<int> fed{0};
    std::atomic<bool> closed{false};
    std::thread feeder([&] {
        std::array<std::unique_ptr<MultipartDec>, Devices> decoders;
        for (int d = 0; d < Devices; ++d)
            decoders[std::size_t(d)] =
                std::make_unique<MultipartDec>(devices[std::size_t(d)].worker.get());
        for (quint32 k = 0; k < FramesPerDevice && !closed.load(); ++k) {
            for (auto& decoder : decoders)
                feed(*decoder, simlib::multipartPart(simlib::ContentTypeJpeg,
                                                     numberedGrayFrame(k, QSize(Width, Height))));
            fed.store(int(k) + 1);
            if (k % 50 == 49)
                std::this_thread::yield();
        }
    });

    QElapsedTimer clock;
    clock.start();
    int inFlightAtClose = 0;
    while (clock.elapsed() < 120000) {
        if (fed.load() >= StopAt) {
            // The window closes: the hand-offs stop with decodes in flight,
            // and no buffer is offered again.
            for (Device& d : devices) {
                inFlightAtClose += d.handOff->inConversion();
                d.handOff->stop();
                d.worker->imageRequested(nullptr, 0);
            }
            closed.store(true);
            break;
        }
        for (Device& d : devices) {
            std::optional<std::pair<unsigned char*, int>> delivery;
            {
                std::lock_guard lock(d.lock);
                delivery.swap(d.delivered);
            }
            if (delivery) {
                if (d.handOff->answersRequest(delivery->first))
                    d.submit(delivery->first, delivery->second);
                else
                    ++d.misplaced;
                d.request();
            }
            while (std::optional<ConversionHandOff::Finished> done = d.handOff->takeResult()) {
                const ConvertedFrame* frame = &done->frame;
                d.request();
                ++d.shown;
                for (int b = 0; b < d.handOff->bufferCount(); ++b) {
                    const unsigned char* buffer = d.handOff->buffer(b);
                    if (frame->image.constBits() >= buffer
                        && frame->image.constBits() < buffer + Capacity)
                        ++d.aliased;
                }
                const qint64 k = numberedGrayFrameNumber(frame->image, QSize(Width, Height));
                if (k < 0)
                    ++d.torn;
                else if (k <= d.last)
                    ++d.outOfOrder;
                d.last = std::max(d.last, k);
            }
        }
        std::this_thread::yield();
    }
    feeder.join();

    for (int i = 0; i < Devices; ++i) {
        const Device& d = devices[std::size_t(i)];
        const QByteArray name = QByteArray::number(i);
        QVERIFY2(d.shown > 1, name);
        QVERIFY2(d.torn == 0, name);
        QVERIFY2(d.outOfOrder == 0, name);
        QVERIFY2(d.aliased == 0, name);
        QVERIFY2(d.misplaced == 0, name);
    }
    qInfo("shown %d %d %d %d, %d in the pool at the close", devices[0].shown, devices[1].shown,
          devices[2].shown, devices[3].shown, inFlightAtClose);
}

QTEST_GUILESS_MAIN(tst_ConverterHandoff)
#include "tst_converterhandoff.moc"
