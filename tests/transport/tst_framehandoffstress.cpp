// SPDX-License-Identifier: MIT
// Thousands of frames are decoded in one thread while the test's thread keeps
// requesting and copying them out, as the device controller does. Every
// delivered frame must be intact (never a mix of two frames), never larger
// than the destination offered, and every log line must arrive exactly once
// and in order. Run under ThreadSanitizer this proves the hand-off race-free.
#include "imagegetworker.h"
#include "multipartdec.h"
#include "multipartwriter.h"
#include "recordingsink.h"
#include "workerharness.h"

#include <QElapsedTimer>
#include <QTest>

#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

namespace {

constexpr int FrameCount = 3000;
constexpr int LargeCapacity = 4 * 1024 * 1024;
constexpr int SmallCapacity = 3000;

// Frame k: its number and length, then a byte pattern that depends on both.
QByteArray makeFrame(quint32 k, int size)
{
    QByteArray f(size, '\0');
    const quint32 header[2] = {k, quint32(size)};
    std::memcpy(f.data(), header, sizeof header);
    for (int i = 8; i < size; ++i)
        f[i] = char((k * 31 + quint32(i)) & 0xFF);
    return f;
}

bool frameIsIntact(const QByteArray& f)
{
    if (f.size() < 8)
        return false;
    quint32 header[2];
    std::memcpy(header, f.constData(), sizeof header);
    if (int(header[1]) != f.size())
        return false;
    for (int i = 8; i < f.size(); ++i)
        if (f[i] != char((header[0] * 31 + quint32(i)) & 0xFF))
            return false;
    return true;
}

} // namespace

class tst_FrameHandoffStress : public QObject
{
    Q_OBJECT

private slots:
    void concurrentDecodeAndRequests_data();
    void concurrentDecodeAndRequests();
};

void tst_FrameHandoffStress::concurrentDecodeAndRequests_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::newRow("TCP, bulk bodies") << "TCP";
    QTest::newRow("UDP, byte by byte") << "UDP";
}

void tst_FrameHandoffStress::concurrentDecodeAndRequests()
{
    QFETCH(QString, protocol);
    DeviceSettings settings(protocol);
    ImageGetWorker worker(settings.get());
    std::vector<unsigned char> destination(LargeCapacity);

    // Deliveries happen in whichever thread runs the delivery test: the
    // feeder's (after a frame's last byte) or this one (inside a request).
    // The slot copies the frame out under a lock of its own and this thread
    // checks it and asks again, as the controller does in the GUI thread.
    // A direct connection keeps the toolkit's event queue, which the race
    // detector cannot see into, out of the picture.
    std::mutex mailboxLock;
    std::optional<QByteArray> mailbox;
    QString log;
    std::atomic<int> deliveries{0};
    connect(
        &worker, &ImageGetWorker::newImageReceived, this,
        [&](QString, unsigned char* buffer, int len, QString logMsg) {
            std::lock_guard lock(mailboxLock);
            mailbox = QByteArray(reinterpret_cast<char*>(buffer), len);
            log += logMsg;
            deliveries.fetch_add(1, std::memory_order_relaxed);
        },
        Qt::DirectConnection);

    int delivered = 0;
    int torn = 0;
    int oversized = 0;
    int offered = LargeCapacity;
    bool sawFinal = false;
    auto takeDelivery = [&] {
        std::optional<QByteArray> f;
        {
            std::lock_guard lock(mailboxLock);
            f.swap(mailbox);
        }
        if (!f)
            return;
        ++delivered;
        torn += frameIsIntact(*f) ? 0 : 1;
        oversized += f->size() > offered ? 1 : 0;
        quint32 k = 0;
        std::memcpy(&k, f->constData(), std::min<std::size_t>(4, std::size_t(f->size())));
        sawFinal = sawFinal || k == FrameCount;
        // Every fifth request offers too little room for most frames.
        offered = (delivered % 5 == 0) ? SmallCapacity : LargeCapacity;
        worker.imageRequested(destination.data(), offered);
    };

    std::atomic<bool> fed{false};
    const bool tcp = protocol == "TCP";
    std::thread feeder([&] {
        MultipartDec decoder(&worker);
        std::mt19937 random(1234);
        for (quint32 k = 0; k <= FrameCount; ++k) {
            int size = 8 + int(random() % 4000);
            if (tcp && k % 500 == 250)
                size = 2500000 + int(random() % 1000000); // forces the buffer to grow
            if (k == FrameCount)
                size = 64; // the final frame always fits the small destination
            // Now and then the feeder waits (a bounded while) for a delivery,
            // so that on a loaded machine the two threads still interleave
            // instead of the feeder finishing before the first request.
            if (k % 500 == 499) {
                const int seen = deliveries.load(std::memory_order_relaxed);
                QElapsedTimer waited;
                waited.start();
                while (deliveries.load(std::memory_order_relaxed) == seen && waited.elapsed() < 50)
                    std::this_thread::yield();
            }
            worker.appendLog(QStringLiteral("L%1\n").arg(k));
            const QByteArray part =
                simlib::multipartPart(simlib::ContentTypeJpeg, makeFrame(k, size));
            feed(decoder, part, tcp ? 160000 : 1400);
        }
        fed = true;
    });

    worker.imageRequested(destination.data(), offered);
    QElapsedTimer timer;
    timer.start();
    while (!(fed && sawFinal) && timer.elapsed() < 120000) {
        takeDelivery();
        std::this_thread::yield();
    }
    feeder.join();

    QVERIFY(sawFinal);
    QCOMPARE(torn, 0);
    QCOMPARE(oversized, 0);
    QVERIFY(delivered > 1);
    QString expectedLog;
    for (int k = 0; k <= FrameCount; ++k)
        expectedLog += QStringLiteral("L%1\n").arg(k);
    QCOMPARE(log, expectedLog);
}

QTEST_GUILESS_MAIN(tst_FrameHandoffStress)
#include "tst_framehandoffstress.moc"
