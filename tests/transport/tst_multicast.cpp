// SPDX-License-Identifier: MIT
// A UDP or RTP device whose host is a multicast group receives what is sent
// to that group, joined on the interface it names, and nothing sent to
// another group on the same port. The datagrams stay inside a network
// namespace the test makes for itself (loopback only); where none can be
// made the test skips rather than send to a group on the machine's own
// interfaces.
#include "multipartdec.h"
#include "multipartwriter.h"
#include "netnamespace.h"
#include "recordingsink.h"
#include "rtp2jpeg.h"
#include "rtppackets.h"
#include "threadedworker.h"

#include <QSignalSpy>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace rtptest;

namespace {

QList<QByteArray> rtpFrame(int firstSequence, std::uint32_t timestamp, int fill)
{
    QList<QByteArray> packets;
    for (int i = 0; i < 2; ++i)
        packets << packet({.marker = i == 1, .sequence = firstSequence + i, .timestamp = timestamp},
                          {.fragmentOffset = 700 * i, .type = 65, .tables = ramp(128, fill)},
                          ramp(700, fill + i));
    return packets;
}

QList<QByteArray> frameDatagrams(const QString& protocol, int number)
{
    if (protocol == QLatin1String("rtp"))
        return rtpFrame(10 + 2 * number, 9000 * std::uint32_t(number + 1), number + 1);
    return {simlib::multipartPart(simlib::ContentTypeJpeg, ramp(900, number + 1))};
}

// One sender, out of the loopback interface, so that the device's sender
// lock takes every datagram it sends, whichever group it is sent to.
class GroupSender
{
public:
    GroupSender() : m_socket(::socket(AF_INET, SOCK_DGRAM, 0))
    {
        in_addr out{};
        out.s_addr = htonl(INADDR_LOOPBACK);
        m_ok = m_socket >= 0
               && ::setsockopt(m_socket, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out) == 0;
    }
    ~GroupSender()
    {
        if (m_socket >= 0)
            ::close(m_socket);
    }
    GroupSender(const GroupSender&) = delete;
    GroupSender& operator=(const GroupSender&) = delete;

    bool send(const char* group, quint16 port, const QList<QByteArray>& datagrams)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        bool ok = m_ok && inet_pton(AF_INET, group, &to.sin_addr) == 1;
        for (const QByteArray& d : datagrams)
            ok = ok
                 && ::sendto(m_socket, d.constData(), std::size_t(d.size()), 0,
                             reinterpret_cast<const sockaddr*>(&to), sizeof to)
                        == d.size();
        return ok;
    }

private:
    int m_socket;
    bool m_ok = false;
};

} // namespace

class tst_Multicast : public QObject
{
    Q_OBJECT

private slots:
    void inNetworkNamespace();
    void groups_data();
    void groups();
};

// Runs groups() again in a namespace of its own.
void tst_Multicast::inNetworkNamespace()
{
    if (const QString skip = netnamespace::skipReason(QStringLiteral("multicast")); !skip.isEmpty())
        QSKIP(qPrintable(skip));
    const QStringList rows{QStringLiteral("groups")};
    QByteArray output;
    QVERIFY2(netnamespace::runSelfInside(rows, 60000, &output) == 0, output.constData());
    QVERIFY2(netnamespace::rowsPassed(output, rows), output.constData());
}

void tst_Multicast::groups_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QString>("interfaceSetting");
    QTest::addColumn<int>("receivers");
    QTest::addColumn<QString>("failure"); // empty: the frames arrive

    QTest::newRow("rtp, joined on the loopback address") << "rtp"
                                                         << "127.0.0.1" << 1 << "";
    QTest::newRow("rtp, joined by interface name") << "rtp"
                                                   << "lo" << 1 << "";
    QTest::newRow("udp, the interface the route names") << "udp"
                                                        << "" << 1 << "";
    QTest::newRow("two devices share the group's port") << "rtp"
                                                        << "" << 2 << "";
    QTest::newRow("no such interface")
        << "rtp"
        << "nosuch0" << 1 << "no network interface \"nosuch0\" to join group 239.255.7.1";
    QTest::newRow("an address no interface has")
        << "udp"
        << "192.0.2.1" << 1 << "cannot join group 239.255.7.1 on 192.0.2.1";
}

void tst_Multicast::groups()
{
    if (!netnamespace::inside())
        QSKIP("runs inside the test's own network namespace, from inNetworkNamespace()");
    QFETCH(QString, protocol);
    QFETCH(QString, interfaceSetting);
    QFETCH(int, receivers);
    QFETCH(QString, failure);

    const char* group = "239.255.7.1";
    const quint16 port = freeUdpPort();
    QVariantMap keys;
    if (!interfaceSetting.isEmpty())
        keys.insert(QStringLiteral("interface"), interfaceSetting);
    std::vector<std::unique_ptr<ThreadedWorker>> workers;
    for (int i = 0; i < receivers; ++i) {
        workers.push_back(std::make_unique<ThreadedWorker>(protocol, keys));
        ThreadedWorker& w = *workers.back();
        QSignalSpy linkSpy(&w, &ThreadedWorker::linkReported);
        w.request();
        w.start(QString::fromLatin1(group), port);
        const ImageGetWorker::LinkState expected = failure.isEmpty()
                                                       ? ImageGetWorker::LinkState::Connected
                                                       : ImageGetWorker::LinkState::BindFailed;
        QTRY_VERIFY_WITH_TIMEOUT(w.states().contains(expected), 5000);
        if (!failure.isEmpty()) {
            QVERIFY2(w.links.last().detail.contains(failure), qPrintable(w.links.last().detail));
            return;
        }
    }

    // Another group on the same port first: its frame, which the stream
    // would otherwise begin with, is not shown.
    GroupSender sender;
    QVERIFY(sender.send("239.255.7.2", port, frameDatagrams(protocol, 0)));
    QVERIFY(sender.send(group, port, frameDatagrams(protocol, 1)));
    QVERIFY(sender.send(group, port, frameDatagrams(protocol, 2)));
    const QList<QByteArray> expected =
        framesOfDatagrams(protocol, frameDatagrams(protocol, 1) + frameDatagrams(protocol, 2));
    QCOMPARE(expected.size(), 2);
    // Every device on the group's port gets every frame.
    for (const auto& w : workers) {
        QTRY_VERIFY_WITH_TIMEOUT(w->frames.size() >= 2, 5000);
        QCOMPARE(w->frames, expected);
    }
}

QTEST_GUILESS_MAIN(tst_Multicast)
#include "tst_multicast.moc"
