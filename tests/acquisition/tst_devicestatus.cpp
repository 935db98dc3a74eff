// SPDX-License-Identifier: MIT
// The device status model fed with link reports, frames and a clock of the
// test's own: which state and text it shows, and the log lines it writes
// (one per change, none for a repeated failure).
#include "devicestatus.h"

#include <QTest>

using Link = ImageGetWorker::LinkState;
using State = DeviceStatus::State;

namespace {

DeviceStatus tcpDevice()
{
    return DeviceStatus(QStringLiteral("dev0"), QStringLiteral("127.0.0.1"), 5000,
                        ImageGetWorker::Protocol::Tcp);
}

} // namespace

class tst_DeviceStatus : public QObject
{
    Q_OBJECT

private slots:
    void failuresLoggedOncePerChange_data();
    void failuresLoggedOncePerChange();
    void retriesKeepShowingTheFailure();
    void receivingSilentAndBack();
    void dataWithoutFrames();
    void frameRateOverTheWindow();
    void lostConnection();
    void quietEndsAreOneSilence_data();
    void quietEndsAreOneSilence();
    void datagramDeviceIsBound();
    void detailsForTheToolTip();
    void refusedPortIsNotAnAddress_data();
    void refusedPortIsNotAnAddress();
};

void tst_DeviceStatus::failuresLoggedOncePerChange_data()
{
    QTest::addColumn<int>("link");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("line");
    QTest::newRow("refused") << int(Link::Refused) << "Connection refused"
                             << "refused"
                             << "connect to 127.0.0.1:5000 failed: Connection refused";
    QTest::newRow("unreachable") << int(Link::Unreachable) << "No route to host"
                                 << "unreachable"
                                 << "connect to 127.0.0.1:5000 failed: No route to host";
    QTest::newRow("timed out") << int(Link::TimedOut) << "no answer within 3 s"
                               << "timed out"
                               << "connect to 127.0.0.1:5000 timed out: no answer within 3 s";
    QTest::newRow("bind") << int(Link::BindFailed) << "Address already in use"
                          << "bind failed"
                          << "bind 127.0.0.1:5000 failed: Address already in use";
    QTest::newRow("bad address") << int(Link::BadAddress) << "port 70000 is outside 1-65535"
                                 << "bad address"
                                 << "bad address port 70000 is outside 1-65535";
    QTest::newRow("no socket") << int(Link::SocketFailed) << "Too many open files"
                               << "no socket"
                               << "no socket for 127.0.0.1:5000: Too many open files";
}

void tst_DeviceStatus::failuresLoggedOncePerChange()
{
    QFETCH(int, link);
    QFETCH(QString, detail);
    QFETCH(QString, text);
    QFETCH(QString, line);
    DeviceStatus status = tcpDevice();
    QCOMPARE(status.linkChanged(Link(link), detail, 0), QStringList{line});
    QVERIFY(status.isFailure());
    QCOMPARE(status.stateText(0), text);
    // The 1 s retries repeat the failure: counted, not logged.
    for (int i = 1; i <= 3; ++i)
        QCOMPARE(status.linkChanged(Link(link), detail, i * 1000), QStringList());
    QCOMPARE(status.attempts(), 4);
    // When it clears, the outage is summed up once.
    QCOMPARE(status.linkChanged(Link::Connected, QString(), 5000),
             (QStringList{line + QStringLiteral(" (4 attempts)"),
                          QStringLiteral("connected to 127.0.0.1:5000")}));
    QVERIFY(!status.isFailure());
    // A different reason is a change of its own.
    status.linkChanged(Link::Refused, QStringLiteral("Connection refused"), 6000);
    QCOMPARE(status.linkChanged(Link::Refused, QStringLiteral("Network is down"), 7000).size(), 1);
}

void tst_DeviceStatus::retriesKeepShowingTheFailure()
{
    DeviceStatus status = tcpDevice();
    status.linkChanged(Link::Connecting, QStringLiteral("127.0.0.1:5000"), 0);
    QCOMPARE(status.stateText(0), QStringLiteral("connecting"));
    status.linkChanged(Link::Refused, QStringLiteral("Connection refused"), 10);
    // Each retry starts with a connecting report; the indicator stays put.
    QCOMPARE(status.linkChanged(Link::Connecting, QStringLiteral("127.0.0.1:5000"), 1000),
             QStringList());
    QCOMPARE(status.stateText(1000), QStringLiteral("refused"));
}

void tst_DeviceStatus::receivingSilentAndBack()
{
    DeviceStatus status = tcpDevice();
    status.linkChanged(Link::Connected, QString(), 0);
    QCOMPARE(status.stateText(0), QStringLiteral("connected"));
    for (int t = 100; t <= 1000; t += 100)
        status.frameDelivered(t);
    QCOMPARE(status.tick(1000, 5000), QStringList());
    QCOMPARE(status.state(), State::Receiving);
    // Nothing for 1.5 s: silent, long before a datagram device's 60 s quiet
    // limit would end the connection.
    QCOMPARE(status.tick(2400, 5000), QStringList());
    QCOMPARE(status.tick(2500, 5000), QStringList{QStringLiteral("silent: no data for 1 s")});
    QCOMPARE(status.state(), State::Silent);
    QCOMPARE(status.stateText(4000), QStringLiteral("silent 3 s"));
    QCOMPARE(status.tick(4000, 5000), QStringList());
    status.frameDelivered(4100);
    QCOMPARE(status.tick(4200, 6000), QStringList{QStringLiteral("receiving again after 3 s")});
    QCOMPARE(status.state(), State::Receiving);
}

void tst_DeviceStatus::dataWithoutFrames()
{
    // A sender with another boundary: bytes arrive, no frame completes.
    DeviceStatus status = tcpDevice();
    status.linkChanged(Link::Connected, QString(), 0);
    QCOMPARE(status.tick(1000, 10000), QStringList());
    QCOMPARE(status.tick(1600, 20000),
             QStringList{QStringLiteral("data arrives but no frame is complete")});
    QCOMPARE(status.stateText(1600), QStringLiteral("no frames"));
    // When the bytes stop too, it is silent.
    QCOMPARE(status.tick(3200, 20000).size(), 1);
    QCOMPARE(status.state(), State::Silent);
}

void tst_DeviceStatus::frameRateOverTheWindow()
{
    DeviceStatus status = tcpDevice();
    status.linkChanged(Link::Connected, QString(), 0);
    for (int t = 0; t <= 4000; t += 40)
        status.frameDelivered(t);
    status.tick(4000, 1);
    QCOMPARE(status.stateText(4000), QStringLiteral("receiving 25.5 fps"));
    QCOMPARE(status.frames(), 101);
}

void tst_DeviceStatus::lostConnection()
{
    DeviceStatus status = tcpDevice();
    status.linkChanged(Link::Connected, QString(), 0);
    QCOMPARE(status.linkChanged(Link::Lost, QStringLiteral("no data for 1 s"), 3000),
             QStringList{QStringLiteral("connection lost: no data for 1 s")});
    QCOMPARE(status.stateText(3000), QStringLiteral("lost"));
    QCOMPARE(status.lastError(), QStringLiteral("connection lost: no data for 1 s"));
    // No silence is derived from a connection that is gone.
    QCOMPARE(status.tick(9000, 0), QStringList());
    QCOMPARE(status.state(), State::Lost);
}

void tst_DeviceStatus::quietEndsAreOneSilence_data()
{
    QTest::addColumn<bool>("quietEnds");
    QTest::addColumn<bool>("framePerCycle");
    QTest::addColumn<QStringList>("log");
    // A TCP camera that stops sending but still accepts connections: the
    // 1 s quiet limit ends every connection, the worker connects again.
    QTest::newRow("stopped, still accepting connections")
        << true << false
        << QStringList{"connection lost: no data for 1 s", "receiving again after 10 s",
                       "connection lost: no data for 1 s"};
    // A camera slower than the quiet limit: a frame on every connection,
    // the connection given up a second later.
    QTest::newRow("one frame every 2 s, quiet limit 1 s")
        << true << true
        << QStringList{"connection lost: no data for 1 s", "receiving again after 2 s",
                       "connection lost: no data for 1 s"};
    // With a quiet limit above its frame period the connection stays, and
    // the indicator finds it silent between frames.
    QTest::newRow("one frame every 2 s, long quiet limit")
        << false << true
        << QStringList{"silent: no data for 1 s", "receiving again after 2 s",
                       "silent: no data for 1 s"};
    QTest::newRow("stopped, connection kept open")
        << false << false
        << QStringList{"silent: no data for 1 s", "receiving again after 10 s",
                       "silent: no data for 1 s"};
}

void tst_DeviceStatus::quietEndsAreOneSilence()
{
    QFETCH(bool, quietEnds);
    QFETCH(bool, framePerCycle);
    QFETCH(QStringList, log);
    DeviceStatus status = tcpDevice();
    QStringList lines;
    std::int64_t bytes = 0; // 1000 a frame
    const auto frame = [&](std::int64_t t) {
        status.frameDelivered(t);
        bytes += 1000;
    };
    // The device falls quiet 1 s before `slot`: the worker ends the
    // connection and makes it again, or the indicator finds it silent.
    const auto fallQuiet = [&](std::int64_t slot) {
        if (quietEnds) {
            lines +=
                status.linkChanged(Link::Quiet, QStringLiteral("no data for 1 s"), slot - 1000);
            lines +=
                status.linkChanged(Link::Connecting, QStringLiteral("127.0.0.1:5000"), slot - 100);
            lines += status.linkChanged(Link::Connected, QString(), slot - 90);
        } else {
            lines += status.tick(slot - 400, bytes);
        }
        QCOMPARE(status.state(), State::Silent);
    };
    status.linkChanged(Link::Connected, QString(), 0);
    frame(500);
    status.tick(600, bytes);
    QCOMPARE(status.state(), State::Receiving);
    std::int64_t slot = 2500;
    for (; slot < 10000; slot += 2000) {
        fallQuiet(slot);
        if (framePerCycle)
            frame(slot);
        lines += status.tick(slot + 200, bytes);
        QCOMPARE(status.state(), framePerCycle ? State::Receiving : State::Silent);
    }
    // It sends at its full rate again: a later silence is a new one.
    fallQuiet(slot);
    for (std::int64_t t = slot; t <= slot + 400; t += 40)
        frame(t);
    lines += status.tick(slot + 450, bytes);
    QCOMPARE(status.state(), State::Receiving);
    fallQuiet(slot + 2400);
    QCOMPARE(lines, log);
    QVERIFY(status.stateText(slot + 2400).startsWith(QLatin1String("silent ")));
    // A camera that is switched off is refused: a change of its own.
    QCOMPARE(
        status.linkChanged(Link::Lost, QStringLiteral("closed by the peer"), slot + 3000).size(),
        1);
    QCOMPARE(
        status.linkChanged(Link::Refused, QStringLiteral("Connection refused"), slot + 4000).size(),
        1);
}

void tst_DeviceStatus::datagramDeviceIsBound()
{
    DeviceStatus status(QStringLiteral("dev2"), QStringLiteral("127.0.0.1"), 5004,
                        ImageGetWorker::Protocol::Rtp);
    QCOMPARE(status.linkChanged(Link::Connected, QString(), 0),
             QStringList{QStringLiteral("bound to 127.0.0.1:5004")});
    QCOMPARE(status.stateText(0), QStringLiteral("bound"));
    QCOMPARE(status.protocolName(), QStringLiteral("RTP"));
}

void tst_DeviceStatus::detailsForTheToolTip()
{
    DeviceStatus status = tcpDevice();
    status.linkChanged(Link::Refused, QStringLiteral("Connection refused"), 0);
    status.linkChanged(Link::Refused, QStringLiteral("Connection refused"), 1000);
    status.linkChanged(Link::Connected, QString(), 2000);
    status.frameDelivered(2100);
    status.tick(2200, 123456);
    const QString details = status.details(2200);
    QVERIFY2(details.startsWith(QStringLiteral("dev0: TCP 127.0.0.1:5000, receiving")),
             qPrintable(details));
    QVERIFY(details.contains(QStringLiteral("frames 1, bytes 123456")));
    QVERIFY(details.contains(QStringLiteral("last frame at ")));
    QVERIFY(details.contains(
        QStringLiteral("last error: connect to 127.0.0.1:5000 failed: Connection refused")));
    QVERIFY(!details.contains(QStringLiteral("other senders")));
    QVERIFY(!details.contains(QStringLiteral("skipped")));
    status.setForeignDatagrams(3);
    QVERIFY(
        status.details(2200).contains(QStringLiteral("datagrams from other senders dropped: 3")));
    status.setSkippedFrames(7);
    QVERIFY(status.details(2200).contains(QStringLiteral("frames skipped, decoding behind: 7")));
}

void tst_DeviceStatus::refusedPortIsNotAnAddress_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("address");
    QTest::newRow("lowest port") << 1 << "127.0.0.1:1";
    QTest::newRow("highest port") << 65535 << "127.0.0.1:65535";
    QTest::newRow("above 65535") << 70000 << "127.0.0.1 (port 70000 refused)";
    QTest::newRow("zero, or no port") << 0 << "127.0.0.1 (port 0 refused)";
    QTest::newRow("negative") << -1 << "127.0.0.1 (port -1 refused)";
}

void tst_DeviceStatus::refusedPortIsNotAnAddress()
{
    QFETCH(int, port);
    QFETCH(QString, address);
    const DeviceStatus status(QStringLiteral("dev0"), QStringLiteral("127.0.0.1"), port,
                              ImageGetWorker::Protocol::Tcp);
    QCOMPARE(status.address(), address);
    QVERIFY(status.details(0).startsWith(QStringLiteral("dev0: TCP ") + address + ", "));
}

QTEST_GUILESS_MAIN(tst_DeviceStatus)
#include "tst_devicestatus.moc"
