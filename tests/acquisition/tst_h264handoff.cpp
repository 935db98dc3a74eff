// SPDX-License-Identifier: MIT
// H.264 frames of two devices handed through the shared decode pool, at
// first as fast as the test can deliver them, with the real decoder: every picture shown
// is the one ffmpeg decodes for that access unit, none is corrupt, and each
// frame delivered is shown, skipped in the hand-off or left out by the
// decoder until its next IDR unit. A device's frames decoded at the same
// time or out of order would give corrupt or wrong pictures. Frames cross
// threads through the hand-off's own locks only, so that ThreadSanitizer
// sees every ordering.
#include "conversionhandoff.h"
#include "decodepool.h"
#include "h264decoder.h"
#include "testfiles.h"

#include <QTest>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

constexpr int Frames = 30;
constexpr int Gop = 10;
constexpr int Passes = 3;
const QSize StreamSize(160, 120);
// As in tst_h264decoder: ffmpeg's own RGB conversion is less precise.
constexpr int ChannelBound = 3;

bool matches(const QImage& image, const QByteArray& rgb, int index)
{
    if (image.size() != StreamSize)
        return false;
    const int w = StreamSize.width();
    const auto* ref = reinterpret_cast<const unsigned char*>(rgb.constData())
                      + qsizetype(index) * w * StreamSize.height() * 3;
    for (int y = 0; y < StreamSize.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            const unsigned char* p = ref + (qsizetype(y) * w + x) * 3;
            if (std::abs(qRed(line[x]) - p[0]) > ChannelBound
                || std::abs(qGreen(line[x]) - p[1]) > ChannelBound
                || std::abs(qBlue(line[x]) - p[2]) > ChannelBound)
                return false;
        }
    }
    return true;
}

struct Device
{
    std::unique_ptr<ConversionHandOff> handOff;
    std::shared_ptr<H264Decoder> decoder = std::make_shared<H264Decoder>();
    bool gap = false;
    int notRequested = 0;
    int shown = 0;
    int leftOut = 0;
    int corrupt = 0;
    int wrong = 0;
    int lastShown = -1;
    bool inOrder = true;
};

} // namespace

class tst_H264HandOff : public QObject
{
    Q_OBJECT

private slots:
    void twoDevicesFlatOut_data();
    void twoDevicesFlatOut();
};

void tst_H264HandOff::twoDevicesFlatOut_data()
{
    QTest::addColumn<int>("threads");
    QTest::newRow("one thread") << 1;
    QTest::newRow("two threads") << 2;
    QTest::newRow("four threads") << 4;
}

void tst_H264HandOff::twoDevicesFlatOut()
{
    QFETCH(int, threads);
    QByteArray stream;
    QByteArray rgb;
    QString error;
    if (!ffmpegH264Stream(StreamSize, Frames, Gop, &stream, &rgb, &error))
        QSKIP(qPrintable(error));
    const QList<QByteArray> units = h264AccessUnits(stream);
    QCOMPARE(units.size(), Frames);
    const qsizetype largest =
        std::max_element(units.begin(), units.end(), [](const QByteArray& a, const QByteArray& b) {
            return a.size() < b.size();
        })->size();

    std::mutex mutex;
    std::condition_variable finished;
    int wakeUps = 0;
    DecodePool pool(threads);
    std::array<Device, 2> devices;
    for (Device& d : devices) {
        d.handOff = std::make_unique<ConversionHandOff>(
            [&] {
                std::lock_guard lock(mutex);
                ++wakeUps;
                finished.notify_all();
            },
            pool);
        d.handOff->allocateBuffers(int(largest));
        d.handOff->setSerial();
    }
    // The unit a delivery holds is named by its length field's owner: the
    // job's sizeY carries the unit's number.
    const auto takeReady = [&] {
        for (Device& d : devices) {
            while (std::optional<ConversionHandOff::Finished> r = d.handOff->takeResult()) {
                const int unit = r->delivery.job.sizeY;
                d.inOrder = d.inOrder && unit > d.lastShown;
                d.lastShown = unit;
                if (r->frame.corrupt)
                    ++d.corrupt;
                else if (r->frame.leftOut)
                    ++d.leftOut;
                else if (matches(r->frame.image, rgb, unit % Frames))
                    ++d.shown;
                else
                    ++d.wrong;
            }
        }
    };

    const auto wakeUpCount = [&] {
        std::lock_guard lock(mutex);
        return wakeUps;
    };
    // Bounded: returns at the next result after `seen`, or after 20 s.
    const auto waitForResult = [&](int seen) {
        std::unique_lock lock(mutex);
        finished.wait_for(lock, std::chrono::seconds(20), [&] { return wakeUps != seen; });
    };

    // The first pass flat out, so that frames are skipped and replaced;
    // the others paced by the decoder (a frame waits only while none does),
    // so that the decoder comes back at an IDR unit.
    for (int i = 0; i < Frames * Passes; ++i) {
        for (Device& d : devices) {
            int seen = wakeUpCount();
            takeReady();
            if (i >= Frames && d.handOff->waitingInPool() > 0) {
                waitForResult(seen);
                seen = wakeUpCount();
                takeReady();
            }
            unsigned char* buffer = d.handOff->nextRequest();
            if (buffer == nullptr) {
                // As the worker's double buffer replacing a frame: a gap.
                // The next frame comes once a result was taken, as from a
                // camera that is fast, though not infinitely so.
                ++d.notRequested;
                d.gap = true;
                waitForResult(seen);
                continue;
            }
            QVERIFY(d.handOff->answersRequest(buffer));
            const QByteArray& unit = units[i % Frames];
            std::memcpy(buffer, unit.constData(), std::size_t(unit.size()));
            ConversionHandOff::Delivery delivery;
            delivery.buffer = buffer;
            delivery.job.conType = QLatin1String(H264ContentType);
            delivery.job.data = buffer;
            delivery.job.len = int(unit.size());
            delivery.job.sizeY = i;
            delivery.job.ownPixels = true;
            delivery.job.h264 = d.decoder;
            delivery.job.afterGap = std::exchange(d.gap, false);
            QVERIFY(!d.handOff->submit(std::move(delivery)).has_value());
            d.handOff->skipIfFull();
        }
    }
    for (int round = 0; round < 1000; ++round) {
        const int seen = wakeUpCount();
        takeReady();
        if (devices[0].handOff->inConversion() + devices[1].handOff->inConversion() == 0)
            break;
        waitForResult(seen);
    }
    for (Device& d : devices) {
        QCOMPARE(d.handOff->inConversion(), 0);
        QVERIFY(d.inOrder);
        QCOMPARE(d.corrupt, 0);
        QCOMPARE(d.wrong, 0);
        QVERIFY(d.shown > 0);
        QCOMPARE(d.shown + d.leftOut + int(d.handOff->skipped()) + d.notRequested, Frames * Passes);
        d.handOff->stop();
    }
}

QTEST_GUILESS_MAIN(tst_H264HandOff)
#include "tst_h264handoff.moc"
