// SPDX-License-Identifier: MIT
#include "loopbackpeer.h"
#include "multipartwriter.h"
#include "recordingsink.h"
#include "rtp2jpeg.h"
#include "rtppackets.h"
#include "senderlock.h"
#include "threadedworker.h"

#include <QSignalSpy>
#include <QTest>

#include <sys/socket.h>

using namespace rtptest;
using Verdict = SenderLock::Verdict;

namespace {

// One datagram offered to the lock: its source port (address 1), the time,
// and whether the decoder synchronised on it.
struct Offer
{
    std::uint16_t port;
    std::int64_t ms;
    bool synchronises = false;
};

// The two RTP packets of a frame with the built-in header's layout.
QList<QByteArray> rtpFrame(int firstSequence, std::uint32_t timestamp, int fill)
{
    QList<QByteArray> packets;
    for (int i = 0; i < 2; ++i)
        packets << packet({.marker = i == 1, .sequence = firstSequence + i, .timestamp = timestamp},
                          {.fragmentOffset = 700 * i, .type = 65, .tables = ramp(128, fill)},
                          ramp(700, fill + i));
    return packets;
}

QList<QByteArray> multipartFrame(int fill)
{
    return {simlib::multipartPart(simlib::ContentTypeJpeg, ramp(900, fill))};
}

} // namespace

Q_DECLARE_METATYPE(Offer)

class tst_SenderLock : public QObject
{
    Q_OBJECT

private slots:
    void verdicts_data();
    void verdicts();
    void foreignSenderCannotTakeOver_data();
    void foreignSenderCannotTakeOver();
    void badSourceSetting_data();
    void badSourceSetting();
};

void tst_SenderLock::verdicts_data()
{
    QTest::addColumn<int>("fixedPort"); // -1: no source setting; 0: any port
    QTest::addColumn<QList<Offer>>("offers");
    QTest::addColumn<QList<Verdict>>("expected");
    QTest::addColumn<int>("dropped");

    const auto A = Verdict::Admit;
    const auto D = Verdict::Drop;
    const auto N = Verdict::DropFromNewSource;
    QTest::newRow("anyone until a sender synchronises")
        << -1 << QList<Offer>{{7, 0}, {8, 10, true}, {7, 20}, {8, 30}} << QList<Verdict>{A, A, N, A}
        << 1;
    QTest::newRow("each foreign source named once")
        << -1 << QList<Offer>{{8, 0, true}, {7, 10}, {9, 20}, {7, 30}, {9, 40}}
        << QList<Verdict>{A, N, N, D, D} << 4;
    QTest::newRow("foreign traffic does not keep the lock")
        << -1 << QList<Offer>{{8, 0, true}, {7, 1000}, {7, 2000}, {7, 2001, true}, {8, 2100}}
        << QList<Verdict>{A, N, D, A, N} << 3;
    QTest::newRow("silent for 2 s exactly: still held")
        << -1 << QList<Offer>{{8, 0, true}, {7, 2000}} << QList<Verdict>{A, N} << 1;
    QTest::newRow("a restarted camera on a new port")
        << -1 << QList<Offer>{{8, 0, true}, {8, 500}, {9, 2501, true}, {9, 2600}, {8, 2700}}
        << QList<Verdict>{A, A, A, A, N} << 1;
    QTest::newRow("fixed source and port, never released")
        << 8 << QList<Offer>{{7, 0, true}, {8, 10, true}, {7, 5000}, {8, 9000}}
        << QList<Verdict>{N, A, D, A} << 2;
    QTest::newRow("fixed address, any port")
        << 0 << QList<Offer>{{7, 0}, {8, 10, true}, {9, 20}} << QList<Verdict>{A, A, A} << 0;
}

void tst_SenderLock::verdicts()
{
    QFETCH(int, fixedPort);
    QFETCH(QList<Offer>, offers);
    QFETCH(QList<Verdict>, expected);
    QFETCH(int, dropped);

    SenderLock lock;
    if (fixedPort >= 0)
        lock.fixSource({1, std::uint16_t(fixedPort)});
    QList<Verdict> verdicts;
    for (const Offer& o : offers) {
        const DatagramSource from{1, o.port};
        verdicts << lock.admit(from, o.ms);
        if (verdicts.last() == Verdict::Admit && o.synchronises)
            lock.lockOnto(from, o.ms);
    }
    QCOMPARE(verdicts, expected);
    QCOMPARE(lock.foreignDropped(), dropped);
}

void tst_SenderLock::foreignSenderCannotTakeOver_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QString>("source"); // %1: the device's port, %2: the foreign one
    QTest::addColumn<bool>("foreignFirst");
    QTest::addColumn<QString>("notice");

    QTest::newRow("rtp: a full frame with the stream's own SSRC")
        << "rtp" << QString() << false << "the stream is locked onto 127.0.0.1:%1";
    QTest::newRow("udp: a multipart part")
        << "udp" << QString() << false << "the stream is locked onto 127.0.0.1:%1";
    QTest::newRow("rtp: source= the device, foreign sender first")
        << "rtp"
        << "127.0.0.1:%1" << true << "limited to source=127.0.0.1:%1";
    QTest::newRow("udp: source= the device, foreign sender first")
        << "udp"
        << " 127.0.0.1:%1 " << true << "limited to source=127.0.0.1:%1";
}

// Another host that reaches the port sends frames of its own; only the
// device's frames are shown, unchanged, and the intruder is named once.
void tst_SenderLock::foreignSenderCannotTakeOver()
{
    QFETCH(QString, protocol);
    QFETCH(QString, source);
    QFETCH(bool, foreignFirst);
    QFETCH(QString, notice);

    LoopbackSocket device(SOCK_DGRAM);
    LoopbackSocket intruder(SOCK_DGRAM);
    const bool rtp = protocol == QLatin1String("rtp");
    const QList<QByteArray> first = rtp ? rtpFrame(10, 9000, 1) : multipartFrame(1);
    const QList<QByteArray> second = rtp ? rtpFrame(12, 12000, 2) : multipartFrame(2);
    const QList<QByteArray> forged = rtp ? rtpFrame(14, 15000, 99) : multipartFrame(99);
    const QList<QByteArray> expected = framesOfDatagrams(protocol, first + second);
    QCOMPARE(expected.size(), 2);

    QVariantMap keys;
    if (!source.isEmpty())
        keys.insert(QStringLiteral("source"), source.arg(device.port()));
    ThreadedWorker w(protocol, keys);
    QSignalSpy connectedSpy(&w, &ThreadedWorker::connected);
    const quint16 port = freeUdpPort();
    w.request();
    w.start("127.0.0.1", port);
    QVERIFY(connectedSpy.wait(5000));

    const auto send = [port](const LoopbackSocket& from, const QList<QByteArray>& datagrams) {
        for (const QByteArray& d : datagrams)
            QVERIFY(sendDatagramFrom(from, port, d));
    };
    if (foreignFirst)
        send(intruder, forged);
    send(device, first);
    QTRY_COMPARE_WITH_TIMEOUT(w.frames.size(), 1, 5000);
    send(intruder, forged);
    // Time for a forged frame to be delivered, had it been decoded.
    QTest::qWait(100);
    send(device, second);
    QTRY_COMPARE_WITH_TIMEOUT(w.frames.size(), 2, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(w.worker()->foreignDatagramsDropped(),
                              forged.size() * (foreignFirst ? 2 : 1), 5000);
    QCOMPARE(w.frames, expected);
    QTRY_COMPARE_WITH_TIMEOUT(w.notices.size(), 1, 5000);
    QVERIFY2(w.notices[0].contains(
                 QStringLiteral("datagrams from 127.0.0.1:%1 dropped").arg(intruder.port())),
             qPrintable(w.notices[0]));
    QVERIFY2(w.notices[0].contains(notice.arg(device.port())), qPrintable(w.notices[0]));
}

void tst_SenderLock::badSourceSetting_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("detail");

    QTest::newRow("port out of range")
        << "127.0.0.1:70000"
        << "source \"127.0.0.1:70000\": port 70000 is outside 1-65535";
    QTest::newRow("port not a number") << "127.0.0.1:x"
                                       << "port x is outside 1-65535";
    QTest::newRow("no address") << ":5000"
                                << "source \":5000\": no host given";
}

// A source that names no sender is a configuration error, reported like
// a bad host, not a device that silently shows nothing.
void tst_SenderLock::badSourceSetting()
{
    QFETCH(QString, source);
    QFETCH(QString, detail);

    ThreadedWorker w("rtp", {{QStringLiteral("source"), source}});
    QSignalSpy linkSpy(&w, &ThreadedWorker::linkReported);
    w.start("127.0.0.1", freeUdpPort());
    QTRY_COMPARE_WITH_TIMEOUT(w.links.size(), 1, 5000);
    QCOMPARE(w.links[0].state, ImageGetWorker::LinkState::BadAddress);
    QVERIFY2(w.links[0].detail.contains(detail), qPrintable(w.links[0].detail));
}

QTEST_GUILESS_MAIN(tst_SenderLock)
#include "tst_senderlock.moc"
