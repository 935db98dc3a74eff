// SPDX-License-Identifier: MIT
// The device hand-off over the shared decode pool, driven step by step with
// a decoder that holds every frame until the script lets it finish: frames
// are shown in arrival order whatever order their decodes end in, the
// oldest frame no thread has started on gives way when every buffer is
// taken (and is counted, its log text kept in order), no buffer is offered
// while all of them are in the pool, and a device with a waiting frame gets
// the next free thread before one that is already being served. A serial
// device has one frame decoding at a time, and the frame after a skipped
// one is marked as following a gap.
#include "conversionhandoff.h"
#include "decodepool.h"

#include <QTest>

#include <array>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace {

// Frames are named by device letter and number ("a1"): the job carries the
// device in sizeX and the number in sizeY, and the decoded image has that
// size so that the result names its frame too.
struct GatedDecoder
{
    std::mutex mutex;
    std::condition_variable changed;
    std::set<QString> released;
    std::set<QString> returned;
    bool releaseAll = false;
    QStringList started;
    QStringList gaps;
    int blocked = 0;

    static QString name(int device, int number)
    {
        return QChar(u'a' + device) + QString::number(number);
    }
    ConvertedFrame operator()(const FrameJob& job)
    {
        const QString frame = name(job.sizeX, job.sizeY);
        std::unique_lock lock(mutex);
        started.append(frame);
        if (job.afterGap)
            gaps.append(frame);
        ++blocked;
        changed.notify_all();
        // Bounded: a script that never releases a frame fails, not hangs.
        changed.wait_for(lock, std::chrono::seconds(20),
                         [&] { return releaseAll || released.count(frame) > 0; });
        --blocked;
        returned.insert(frame);
        changed.notify_all();
        ConvertedFrame out;
        out.image = QImage(job.sizeX + 1, job.sizeY, QImage::Format_Grayscale8);
        return out;
    }
};

struct Device
{
    std::unique_ptr<ConversionHandOff> handOff;
    QStringList shown;
    QString logs;
    QStringList notRequested;
    bool serial = false;
};

} // namespace

class tst_DecodePool : public QObject
{
    Q_OBJECT

private slots:
    void script_data();
    void script();
};

void tst_DecodePool::script_data()
{
    QTest::addColumn<int>("threads");
    QTest::addColumn<int>("inFlight");
    // "a1": device a delivers frame 1 into its requested buffer; "/a1": the
    // decode of a1 ends; "t": the owner takes every result that is ready.
    // At the end every frame is let go and every result taken.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("startedOrder");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("skipped");
    QTest::addColumn<QString>("notRequested");
    // Devices in serial mode, and the frames whose job said that a frame
    // before them was skipped.
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("gaps");

    QTest::newRow("later decode ends first: still shown in order") << 2 << 3 << "a1 a2 /a2 t /a1 t"
                                                                   << "a1 a2"
                                                                   << "a1 a2"
                                                                   << ""
                                                                   << "" << QString() << QString();
    QTest::newRow("three threads ending in reverse") << 3 << 4 << "a1 a2 a3 /a3 /a2 t /a1"
                                                     << "a1 a2 a3"
                                                     << "a1 a2 a3"
                                                     << ""
                                                     << "" << QString() << QString();
    QTest::newRow("every buffer taken: the oldest waiting frame gives way")
        << 1 << 2 << "a1 a2 a3"
        << "a1 a3"
        << "a1 a3"
        << "a2"
        << "" << QString() << QString();
    QTest::newRow("skips go on while decoding lags") << 1 << 2 << "a1 a2 a3 a4 a5 /a1 t a6"
                                                     << "a1 a5 a6"
                                                     << "a1 a5 a6"
                                                     << "a2 a3 a4"
                                                     << "" << QString() << QString();
    QTest::newRow("a free buffer left: nothing skipped") << 2 << 3 << "a1 a2 a3 /a1 /a2 t"
                                                         << "a1 a2 a3"
                                                         << "a1 a2 a3"
                                                         << ""
                                                         << "" << QString() << QString();
    QTest::newRow("decoded but not taken: the newest is the only one waiting")
        << 1 << 2 << "a1 /a1 a2 a3"
        << "a1 a2"
        << "a1 a2"
        << "a3"
        << "" << QString() << QString();
    QTest::newRow("all being decoded: no buffer offered, the worker keeps its frame")
        << 3 << 2 << "a1 a2 a3 a4 /a1 t a5"
        << "a1 a2 a3 a5"
        << "a1 a2 a3 a5"
        << ""
        << "a4" << QString() << QString();
    QTest::newRow("a device with a waiting frame before a busy one")
        << 2 << 3 << "a1 a2 a3 b1 /a1"
        << "a1 a2 b1 a3"
        << "a1 a2 a3 b1"
        << ""
        << "" << QString() << QString();
    QTest::newRow("equally busy devices: the older waiting frame first")
        << 1 << 3 << "a1 a2 b1 /a1 /a2"
        << "a1 a2 b1"
        << "a1 a2 b1"
        << ""
        << "" << QString() << QString();
    QTest::newRow("skipping one device leaves the other alone") << 1 << 2 << "a1 b1 a2 b2 a3"
                                                                << "a1 b1 b2 a3"
                                                                << "a1 a3 b1 b2"
                                                                << "a2"
                                                                << "" << QString() << QString();
    QTest::newRow("serial: one frame of the device at a time, in order")
        << 2 << 3 << "a1 a2 a3 /a1 /a2 t"
        << "a1 a2 a3"
        << "a1 a2 a3"
        << ""
        << ""
        << "a"
        << "";
    QTest::newRow("serial: a waiting frame behind a decoding one gives way, the next follows a gap")
        << 2 << 2 << "a1 a2 a3"
        << "a1 a3"
        << "a1 a3"
        << "a2"
        << ""
        << "a"
        << "a3";
    QTest::newRow("serial: the newest frame skipped, the one submitted next follows a gap")
        << 1 << 2 << "a1 /a1 a2 a3 /a2 t a4"
        << "a1 a2 a4"
        << "a1 a2 a4"
        << "a3"
        << ""
        << "a"
        << "a4";
    QTest::newRow("serial device beside a parallel one: the free thread serves the other")
        << 2 << 3 << "a1 a2 b1 b2 /b1 t"
        << "a1 b1 b2 a2"
        << "a1 a2 b1 b2"
        << ""
        << ""
        << "a"
        << "";
    QTest::newRow("two serial devices share the threads") << 2 << 3 << "a1 a2 b1 b2 /a1 /b1"
                                                          << "a1 b1 a2 b2"
                                                          << "a1 a2 b1 b2"
                                                          << ""
                                                          << ""
                                                          << "ab"
                                                          << "";
}

void tst_DecodePool::script()
{
    QFETCH(int, threads);
    QFETCH(int, inFlight);
    QFETCH(QString, steps);
    QFETCH(QString, startedOrder);
    QFETCH(QString, shown);
    QFETCH(QString, skipped);
    QFETCH(QString, notRequested);
    QFETCH(QString, serial);
    QFETCH(QString, gaps);

    auto gate = std::make_shared<GatedDecoder>();
    DecodePool pool(threads, [gate](const FrameJob& job) { return (*gate)(job); });
    std::array<Device, 2> devices;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        Device& d = devices[i];
        d.handOff = std::make_unique<ConversionHandOff>([] {}, pool, inFlight);
        if (serial.contains(QChar(u'a' + int(i)))) {
            d.serial = true;
            d.handOff->setSerial();
        }
        d.handOff->allocateBuffers(16);
        QCOMPARE(d.handOff->bufferCount(), inFlight + 1);
        QVERIFY(d.handOff->nextRequest() != nullptr);
    }
    // Settled: no thread is about to take a waiting frame, and every frame
    // a thread has taken is inside the decoder, so that the next step cannot
    // overtake a thread on its way there.
    const auto settle = [&](Device& d) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            {
                std::lock_guard lock(gate->mutex);
                const int decoding =
                    devices[0].handOff->decodingInPool() + devices[1].handOff->decodingInPool();
                // A serial device's frame waits while its previous one decodes.
                if ((d.handOff->waitingInPool() == 0 || gate->blocked == threads
                     || (d.serial && d.handOff->decodingInPool() > 0))
                    && decoding == gate->blocked)
                    return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    };
    const auto takeReady = [&] {
        for (Device& d : devices)
            while (std::optional<ConversionHandOff::Finished> r = d.handOff->takeResult()) {
                d.shown.append(
                    GatedDecoder::name(r->frame.image.width() - 1, r->frame.image.height()));
                d.logs += r->delivery.logMsg;
                d.handOff->nextRequest();
            }
    };

    for (const QString& step : steps.split(u' ', Qt::SkipEmptyParts)) {
        if (step == QLatin1String("t")) {
            takeReady();
            continue;
        }
        const bool finish = step.startsWith(u'/');
        const QString frame = finish ? step.mid(1) : step;
        const int device = frame.at(0).unicode() - u'a';
        Device& d = devices[std::size_t(device)];
        if (finish) {
            std::unique_lock lock(gate->mutex);
            gate->released.insert(frame);
            gate->changed.notify_all();
            QVERIFY2(gate->changed.wait_for(lock, std::chrono::seconds(10),
                                            [&] { return gate->returned.count(frame) > 0; }),
                     qPrintable(frame));
            // The decoder has returned; wait until the pool has put the
            // result back too, so that a following "t" finds it.
            lock.unlock();
            const auto inDecoder = [&] {
                std::lock_guard held(gate->mutex);
                return gate->blocked;
            };
            QTRY_COMPARE_WITH_TIMEOUT(devices[0].handOff->decodingInPool()
                                          + devices[1].handOff->decodingInPool(),
                                      inDecoder(), 10000);
        } else {
            unsigned char* buffer = d.handOff->requestedBuffer();
            if (buffer == nullptr) {
                // As the worker's double buffer: kept until the next request.
                d.notRequested.append(frame);
                continue;
            }
            QVERIFY(d.handOff->answersRequest(buffer));
            ConversionHandOff::Delivery delivery;
            delivery.buffer = buffer;
            delivery.job.data = buffer;
            delivery.job.len = 16;
            delivery.job.sizeX = device;
            delivery.job.sizeY = frame.mid(1).toInt();
            delivery.logMsg = frame + u';';
            QVERIFY(!d.handOff->submit(std::move(delivery)).has_value());
            d.handOff->skipIfFull();
            d.handOff->nextRequest();
        }
        for (Device& each : devices)
            QVERIFY(settle(each));
    }
    {
        std::lock_guard lock(gate->mutex);
        gate->releaseAll = true;
        gate->changed.notify_all();
    }
    QTRY_VERIFY_WITH_TIMEOUT(
        (takeReady(), devices[0].handOff->inConversion() + devices[1].handOff->inConversion() == 0),
        10000);
    {
        std::lock_guard lock(gate->mutex);
        QCOMPARE(gate->started.join(u' '), startedOrder);
        QCOMPARE(gate->gaps.join(u' '), gaps);
    }

    QStringList allShown;
    QStringList allNotRequested;
    QStringList skippedFrames;
    std::int64_t skipCount = 0;
    for (Device& d : devices) {
        allShown += d.shown;
        allNotRequested += d.notRequested;
        skipCount += d.handOff->skipped();
        // Every delivered frame's log text, in arrival order, shown or not.
        QStringList logged = d.logs.split(u';', Qt::SkipEmptyParts);
        QStringList expectedLogs = logged;
        std::sort(expectedLogs.begin(), expectedLogs.end(), [](const QString& x, const QString& y) {
            return x.mid(1).toInt() < y.mid(1).toInt();
        });
        QCOMPARE(logged, expectedLogs);
        for (const QString& f : std::as_const(logged))
            if (!d.shown.contains(f))
                skippedFrames.append(f);
        d.handOff->stop();
    }
    QCOMPARE(allShown.join(u' '), shown);
    QCOMPARE(skippedFrames.join(u' '), skipped);
    QCOMPARE(skipCount, qint64(skippedFrames.size()));
    QCOMPARE(allNotRequested.join(u' '), notRequested);
}

QTEST_GUILESS_MAIN(tst_DecodePool)
#include "tst_decodepool.moc"
