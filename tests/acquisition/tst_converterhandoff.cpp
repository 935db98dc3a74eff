// SPDX-License-Identifier: MIT
// The hand-off the device controller makes with every frame, without the
// toolkit's event queue (which the race detector cannot see into): a feeder
// thread decodes thousands of frames of four devices into their workers,
// each delivery lands in one of the device's two transfer buffers, goes to
// the device's converter thread, and the buffer is offered to the worker
// again only after the converter's result was taken. Midway the converters
// are stopped with conversions in flight, as when the window closes. Every
// image must be one whole frame, in the order of delivery, with pixels of its
// own. Run under ThreadSanitizer this proves that no buffer is written while
// it is converted and none is read after it was handed back.
#include "frameconverter.h"
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
    std::unique_ptr<FrameConverter> converter;
    std::array<std::vector<unsigned char>, 2> buffers{std::vector<unsigned char>(Capacity),
                                                      std::vector<unsigned char>(Capacity)};
    std::mutex lock;
    std::optional<std::pair<unsigned char*, int>> delivered;
    // The controller's side, in the test's thread only.
    int requested = -1;                         // buffer index with the worker
    int converting = -1;                        // buffer index with the converter
    std::optional<std::pair<int, int>> waiting; // buffer index, length
    qint64 last = -1;
    int shown = 0;
    int torn = 0;
    int outOfOrder = 0;
    int aliased = 0;

    int indexOf(const unsigned char* p) const { return p == buffers[0].data() ? 0 : 1; }
    // As the controller: never a second request while one is outstanding,
    // whose delivery may be on its way already.
    void request()
    {
        if (requested >= 0)
            return;
        for (int b = 0; b < 2; ++b)
            if (b != converting && !(waiting && waiting->first == b))
                requested = b;
        if (requested >= 0)
            worker->imageRequested(buffers[std::size_t(requested)].data(), Capacity);
    }
    void submit(int buffer, int len)
    {
        FrameJob job;
        job.conType = QStringLiteral("video/x-raw-gray");
        job.data = buffers[std::size_t(buffer)].data();
        job.len = len;
        job.sizeX = Width;
        job.sizeY = Height;
        job.ownPixels = true;
        if (converter->submit(job))
            converting = buffer;
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
    std::array<Device, Devices> devices;
    std::atomic<int> results{0};
    for (Device& d : devices) {
        d.worker = std::make_unique<ImageGetWorker>(d.settings.get());
        d.converter = std::make_unique<FrameConverter>(
            [&results] { results.fetch_add(1, std::memory_order_release); });
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
            // The window closes: converters stop with their conversions in
            // flight, and no buffer is offered again.
            for (Device& d : devices) {
                inFlightAtClose += d.converter->isBusy() ? 1 : 0;
                d.converter->stop();
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
                const int b = d.indexOf(delivery->first);
                QCOMPARE(b, d.requested);
                d.requested = -1;
                if (d.converting < 0)
                    d.submit(b, delivery->second);
                else
                    d.waiting = std::make_pair(b, delivery->second);
                d.request();
            }
            if (std::optional<ConvertedFrame> frame = d.converter->take()) {
                d.converting = -1;
                if (d.waiting) {
                    d.submit(d.waiting->first, d.waiting->second);
                    d.waiting.reset();
                }
                d.request();
                ++d.shown;
                for (const auto& buffer : d.buffers)
                    if (frame->image.constBits() >= buffer.data()
                        && frame->image.constBits() < buffer.data() + buffer.size())
                        ++d.aliased;
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
    }
    qInfo("shown %d %d %d %d, %d converting at the close", devices[0].shown, devices[1].shown,
          devices[2].shown, devices[3].shown, inFlightAtClose);
}

QTEST_GUILESS_MAIN(tst_ConverterHandoff)
#include "tst_converterhandoff.moc"
