// SPDX-License-Identifier: MIT
// What the worker reports about its connection, over real sockets on
// 127.0.0.1: every failure with its reason, the receive loop's ending, and
// the inputs it refuses (bad ports, names that do not resolve).
#include "imagegetworker.h"
#include "loopbackpeer.h"
#include "multipartwriter.h"
#include "threadedworker.h"
#include "workerharness.h"

#include <QTest>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

using Link = ImageGetWorker::LinkState;
Q_DECLARE_METATYPE(QList<ImageGetWorker::LinkState>)

namespace {

// A TCP listener on 127.0.0.1 whose accept queue is full: further SYNs are
// dropped, so a connect to it neither succeeds nor fails until it gives up.
class FullBacklogListener
{
public:
    FullBacklogListener() : m_listener(SOCK_STREAM)
    {
        if (::listen(m_listener.fd(), 0) != 0)
            return;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(m_listener.port());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // A few completed connections fill the queue of a backlog of 0.
        for (int i = 0; i < 4; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            m_clients.push_back(fd);
        }
    }
    ~FullBacklogListener()
    {
        for (int fd : m_clients)
            ::close(fd);
    }
    quint16 port() const { return m_listener.port(); }

private:
    LoopbackSocket m_listener;
    std::vector<int> m_clients;
};

} // namespace

class tst_WorkerStates : public QObject
{
    Q_OBJECT

private slots:
    void failures_data();
    void failures();
    void connectionEndings_data();
    void connectionEndings();
    void connectGivesUpWithinItsLimit();
    void namesAreResolved();
    void quietLimitSetting_data();
    void quietLimitSetting();
    void connectRequestsCoalesce();
    void pendingLogTextIsBounded();
    void oversizeFramesCounted();
    void descriptorsAbove1024();
};

void tst_WorkerStates::failures_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port"); // -2: the test's own socket's port
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("detail");

    QTest::newRow("refused") << "TCP"
                             << "127.0.0.1" << -2 << int(Link::Refused) << "Connection refused";
    QTest::newRow("UDP port in use")
        << "UDP"
        << "127.0.0.1" << -2 << int(Link::BindFailed) << "Address already in use";
    QTest::newRow("RTP port in use")
        << "RTP"
        << "127.0.0.1" << -2 << int(Link::BindFailed) << "Address already in use";
    QTest::newRow("port 0, as a missing key reads")
        << "TCP"
        << "127.0.0.1" << 0 << int(Link::BadAddress) << "port 0 is outside 1-65535";
    QTest::newRow("port 70000 is not wrapped to 4464")
        << "TCP"
        << "127.0.0.1" << 70000 << int(Link::BadAddress) << "port 70000 is outside 1-65535";
    QTest::newRow("port -1 is not wrapped to 65535")
        << "UDP"
        << "127.0.0.1" << -1 << int(Link::BadAddress) << "port -1 is outside 1-65535";
    QTest::newRow("empty host") << "UDP"
                                << "" << 5000 << int(Link::BadAddress) << "\"\": no host given";
    QTest::newRow("address not on this machine")
        << "UDP"
        << "127.0.0.1.1" << 5000 << int(Link::BadAddress) << "";
}

void tst_WorkerStates::failures()
{
    QFETCH(QString, protocol);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(int, state);
    QFETCH(QString, detail);

    // A bound TCP socket that never listens refuses connections; a bound
    // UDP socket holds its port.
    LoopbackSocket own(protocol == QLatin1String("TCP") ? SOCK_STREAM : SOCK_DGRAM);
    ThreadedWorker w(protocol);
    // Names in these rows must never reach a real resolver.
    w.worker()->setResolver([](const QString&, quint32*, QString* error) {
        *error = QStringLiteral("not found by the test's resolver");
        return false;
    });
    w.start(host, port == -2 ? own.port() : port);
    QTRY_VERIFY_WITH_TIMEOUT(!w.links.isEmpty() && w.links.last().state != Link::Connecting, 5000);
    QCOMPARE(int(w.links.last().state), state);
    if (!detail.isEmpty())
        QCOMPARE(w.links.last().detail, detail);
    // A refused input is refused before any socket is made.
    if (state == int(Link::BadAddress))
        QCOMPARE(w.links.size(), 1);
}

void tst_WorkerStates::connectionEndings_data()
{
    QTest::addColumn<QVariantMap>("keys");
    QTest::addColumn<bool>("closeByPeer");
    QTest::addColumn<int>("ending");
    QTest::addColumn<QString>("detail");
    QTest::newRow("peer closes") << QVariantMap() << true << int(Link::Lost)
                                 << "closed by the peer";
    QTest::newRow("quiet for quiet_ms") << QVariantMap{{QStringLiteral("quiet_ms"), 300}} << false
                                        << int(Link::Quiet) << "no data for 0.3 s";
}

void tst_WorkerStates::connectionEndings()
{
    QFETCH(QVariantMap, keys);
    QFETCH(bool, closeByPeer);
    QFETCH(int, ending);
    QFETCH(QString, detail);

    LoopbackPeer peer;
    QVERIFY(peer.isListening());
    ThreadedWorker w(QStringLiteral("TCP"), keys);
    w.start(QStringLiteral("127.0.0.1"), peer.port());
    QVERIFY(peer.acceptClient());
    QTRY_VERIFY_WITH_TIMEOUT(w.states().contains(Link::Connected), 5000);
    if (closeByPeer)
        peer.closeClient();
    QTRY_COMPARE_WITH_TIMEOUT(w.states().size(), 3, 5000);
    QCOMPARE(w.states(), (QList<Link>{Link::Connecting, Link::Connected, Link(ending)}));
    QCOMPARE(w.links.last().detail, detail);
    QCOMPARE(w.links[1].detail, QStringLiteral("127.0.0.1:%1").arg(peer.port()));
}

void tst_WorkerStates::connectGivesUpWithinItsLimit()
{
    FullBacklogListener listener;
    ThreadedWorker w(QStringLiteral("TCP"));
    w.start(QStringLiteral("127.0.0.1"), listener.port());
    // The limit is 3 s; the operating system alone would wait minutes.
    QTRY_VERIFY_WITH_TIMEOUT(w.states().size() >= 2, ImageGetWorker::ConnectTimeoutMs + 5000);
    QCOMPARE(w.states(), (QList<Link>{Link::Connecting, Link::TimedOut}));
    QCOMPARE(w.links.last().detail, QStringLiteral("no answer within 3 s"));
}

void tst_WorkerStates::namesAreResolved()
{
    // A name goes to the resolver once per attempt; its address is bound.
    const quint16 port = freeUdpPort();
    ThreadedWorker w(QStringLiteral("UDP"));
    QStringList asked;
    w.worker()->setResolver([&asked](const QString& host, quint32* address, QString*) {
        asked.append(host);
        *address = htonl(INADDR_LOOPBACK);
        return true;
    });
    w.request();
    w.start(QStringLiteral("camera.lab"), port);
    QTRY_VERIFY_WITH_TIMEOUT(w.states().contains(Link::Connected), 5000);
    QCOMPARE(asked, QStringList{QStringLiteral("camera.lab")});
    QVERIFY(sendDatagram(port, simlib::multipartPart("image/jpeg", "resolved")));
    QTRY_COMPARE_WITH_TIMEOUT(w.frames.size(), 1, 5000);
    QCOMPARE(w.frames.first(), QByteArray("resolved"));

    // The system resolver answers "localhost" from the hosts file.
    ThreadedWorker local(QStringLiteral("UDP"));
    local.start(QStringLiteral("localhost"), freeUdpPort());
    QTRY_VERIFY_WITH_TIMEOUT(local.states().contains(Link::Connected), 5000);
}

void tst_WorkerStates::quietLimitSetting_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("limit");
    QTest::newRow("TCP default") << "TCP" << QVariant() << 1000;
    QTest::newRow("UDP default") << "UDP" << QVariant() << 60000;
    QTest::newRow("RTP default") << "RTP" << QVariant() << 60000;
    QTest::newRow("slow TCP camera") << "TCP" << QVariant(5000) << 5000;
    QTest::newRow("short UDP limit") << "UDP" << QVariant(" 2500 ") << 2500;
    QTest::newRow("zero keeps the default") << "TCP" << QVariant(0) << 1000;
    QTest::newRow("negative keeps the default") << "UDP" << QVariant(-5) << 60000;
    QTest::newRow("text keeps the default") << "TCP" << QVariant("slow") << 1000;
}

void tst_WorkerStates::quietLimitSetting()
{
    QFETCH(QString, protocol);
    QFETCH(QVariant, value);
    QFETCH(int, limit);
    DeviceSettings settings(protocol);
    if (value.isValid())
        settings.get()->setValue(QStringLiteral("quiet_ms"), value);
    ImageGetWorker worker(settings.get());
    QCOMPARE(worker.quietLimitMs(), limit);
}

void tst_WorkerStates::connectRequestsCoalesce()
{
    // One request may wait behind a running attempt; more would pile up.
    ImageGetWorker worker(ImageGetWorker::Protocol::Tcp);
    QVERIFY(worker.markConnectQueued());
    QVERIFY(!worker.markConnectQueued());
    QVERIFY(!worker.markConnectQueued());
    // The queued attempt starts (here: refuses its port at once).
    worker.initConnect(QStringLiteral("127.0.0.1"), 0);
    QVERIFY(worker.markConnectQueued());
}

void tst_WorkerStates::pendingLogTextIsBounded()
{
    ImageGetWorker worker(ImageGetWorker::Protocol::Rtp);
    FrameCollector collector(&worker);
    const QString line = QStringLiteral("12:00:00.000: image:1, missed 3 packets after 7\n");
    const int lines = 2 * ImageGetWorker::MaxPendingLogChars / int(line.size());
    for (int i = 0; i < lines; ++i)
        worker.appendLog(line);
    collector.request();
    completeFrame(worker, "f");
    worker.deliverIfRequested();
    QCOMPARE(collector.frames.size(), 1);
    const QString log = collector.frames.first().logMsg;
    const int kept = ImageGetWorker::MaxPendingLogChars / int(line.size());
    QVERIFY(log.startsWith(line.repeated(kept)));
    QVERIFY(log.size() < ImageGetWorker::MaxPendingLogChars + 200);
    QVERIFY2(log.endsWith(QStringLiteral(": %1 log lines dropped: more than %2 characters were "
                                         "waiting for a frame\n")
                              .arg(lines - kept)
                              .arg(ImageGetWorker::MaxPendingLogChars)),
             qPrintable(log.right(200)));
}

void tst_WorkerStates::oversizeFramesCounted()
{
    ImageGetWorker worker(ImageGetWorker::Protocol::Tcp);
    FrameCollector collector(&worker, 100);
    collector.request();
    for (int size : {150, 80, 120}) {
        completeFrame(worker, QByteArray(size, 'x'));
        worker.deliverIfRequested();
    }
    QCOMPARE(collector.frames.size(), 1);
    QCOMPARE(worker.oversizeFramesSkipped(), 2);
    QCOMPARE(worker.lastOversizeFrameBytes(), 120);
}

void tst_WorkerStates::descriptorsAbove1024()
{
    // A wait with select() would write past its fd_set for a socket number
    // of 1024 or more: a process with many devices, or one that inherited
    // many descriptors.
    rlimit limit{};
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &limit) == 0);
    if (limit.rlim_max < 1200)
        QSKIP("the hard limit on open files is below 1200");
    const rlimit saved = limit;
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, 1200);
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &limit) == 0);
    std::vector<int> fillers;
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    QVERIFY(devNull >= 0);
    for (int fd = ::fcntl(devNull, F_DUPFD_CLOEXEC, 0); fd >= 0 && fd < 1100;
         fd = ::fcntl(devNull, F_DUPFD_CLOEXEC, 0))
        fillers.push_back(fd);

    const quint16 port = freeUdpPort();
    {
        ThreadedWorker w(QStringLiteral("UDP"));
        w.request();
        w.start(QStringLiteral("127.0.0.1"), port);
        QTRY_VERIFY_WITH_TIMEOUT(w.states().contains(Link::Connected), 5000);
        QVERIFY(sendDatagram(port, simlib::multipartPart("image/jpeg", "high descriptor")));
        QTRY_COMPARE_WITH_TIMEOUT(w.frames.size(), 1, 5000);
        QCOMPARE(w.frames.first(), QByteArray("high descriptor"));
    }
    for (int fd : fillers)
        ::close(fd);
    ::close(devNull);
    ::setrlimit(RLIMIT_NOFILE, &saved);
}

QTEST_GUILESS_MAIN(tst_WorkerStates)
#include "tst_workerstates.moc"
