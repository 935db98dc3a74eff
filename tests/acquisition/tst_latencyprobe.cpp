// SPDX-License-Identifier: MIT
// The latency probe's hooks, as the benchmark build uses them: every frame
// the worker completes gets a stamp, every delivery and every datagram is
// counted, and a frame the window reports as shown carries the stamp its
// own last byte got, whether it was converted on the converter thread or in
// place; each decode in the pool is timed.
#include "getstreamimage.h"
#include "latencyprobe.h"
#include "loopbackpeer.h"
#include "multipartwriter.h"
#include "workerharness.h"

#include <QTest>

#include <atomic>
#include <memory>

namespace {

// Stamps frames 1, 2, 3, ... in the order the worker completes them.
class CountingProbe : public LatencyProbe
{
public:
    std::int64_t frameFinished() override { return ++finished; }
    void frameDelivered() override { ++delivered; }
    void datagramsReceived(int count) override { datagrams += count; }
    void frameShown(std::int64_t finishedNs) override { shown.append(finishedNs); }
    void frameDecoded(std::int64_t ns) override { decoded += ns >= 0 ? 1 : 1000; }

    std::atomic<std::int64_t> finished{0};
    std::atomic<int> delivered{0};
    std::atomic<int> datagrams{0};
    std::atomic<int> decoded{0}; // by the decode pool, with a duration
    QList<std::int64_t> shown;   // GUI thread
};

constexpr int Width = 4;
constexpr int Height = 2;

} // namespace

class tst_LatencyProbe : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void shownFrameCarriesItsStamp_data();
    void shownFrameCarriesItsStamp();

private:
    LatencyProbe* m_previous = nullptr;
    std::unique_ptr<CountingProbe> m_probe;
};

void tst_LatencyProbe::init()
{
    m_previous = latencyProbe();
    m_probe = std::make_unique<CountingProbe>();
    setLatencyProbe(m_probe.get());
}

void tst_LatencyProbe::cleanup()
{
    setLatencyProbe(m_previous);
}

void tst_LatencyProbe::shownFrameCarriesItsStamp_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<bool>("inThread");
    QTest::newRow("TCP, converter thread") << "TCP" << true;
    QTest::newRow("TCP, converted in place") << "TCP" << false;
    QTest::newRow("UDP, converter thread") << "UDP" << true;
}

void tst_LatencyProbe::shownFrameCarriesItsStamp()
{
    QFETCH(QString, protocol);
    QFETCH(bool, inThread);
    const bool tcp = protocol == QLatin1String("TCP");

    LoopbackPeer peer;
    const quint16 port = tcp ? peer.port() : freeUdpPort();
    // However slowly this test runs, the connection is not given up as quiet.
    DeviceSettings device(protocol, {{QStringLiteral("host"), QStringLiteral("127.0.0.1")},
                                     {QStringLiteral("port"), port},
                                     {QStringLiteral("sizeX"), Width},
                                     {QStringLiteral("sizeY"), Height},
                                     {QStringLiteral("quiet_ms"), 60000}});
    GetStreamImage c(device.get());
    c.setConvertInThread(inThread);
    QList<int> pixels;
    // As the window does once the frame is painted.
    connect(&c, &GetStreamImage::acquisitionEvent, &c, [&](QImage& image) {
        pixels.append(qGray(image.pixel(0, 0)));
        c.reportFrameShown();
    });
    if (tcp)
        QVERIFY(peer.acceptClient());
    // Connected (TCP) or bound (UDP): the first attempt may report before
    // anything here could listen for its signal.
    QTRY_VERIFY_WITH_TIMEOUT(c.status().state() == DeviceStatus::State::Connected, 5000);

    // One at a time, so that the double buffer replaces none of them.
    constexpr int Frames = 3;
    for (int i = 1; i <= Frames; ++i) {
        const QByteArray part =
            simlib::multipartPart("video/x-raw-gray", QByteArray(Width * Height, char(i)));
        QVERIFY(tcp ? peer.send(part) : sendDatagram(port, part));
        QTRY_COMPARE_WITH_TIMEOUT(pixels.size(), i, 5000);
    }
    QCOMPARE(pixels, (QList<int>{1, 2, 3}));
    QCOMPARE(m_probe->shown, (QList<std::int64_t>{1, 2, 3}));
    QCOMPARE(m_probe->delivered.load(), Frames);
    QCOMPARE(m_probe->datagrams.load(), tcp ? 0 : Frames);
    QCOMPARE(m_probe->decoded.load(), inThread ? Frames : 0);
}

QTEST_MAIN(tst_LatencyProbe)
#include "tst_latencyprobe.moc"
