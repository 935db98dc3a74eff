// SPDX-License-Identifier: MIT
// What the window's device indicators say, read through the widgets, for
// devices that fail, deliver and fall quiet on 127.0.0.1, and the
// connection events the device log receives for them.
#include "deviceindicator.h"
#include "getstreamimage.h"
#include "loopbackpeer.h"
#include "multipartwriter.h"
#include "onlydisplay.h"
#include "testfiles.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/socket.h>

#include <memory>

class tst_DeviceIndicator : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void failures_data();
    void failures();
    void receivingThenQuiet_data();
    void receivingThenQuiet();
    void connectionEventsOncePerChange();
    void missingConfiguration_data();
    void missingConfiguration();
    void hiddenWithStatusBar_data();
    void hiddenWithStatusBar();

private:
    QString iniPath() const { return m_dir.filePath(QStringLiteral("tcp_streaming.ini")); }
    QTemporaryDir m_dir;
};

void tst_DeviceIndicator::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void tst_DeviceIndicator::failures_data()
{
    // %1 is replaced by the port of a socket the test holds: bound but not
    // listening for TCP (every connect is refused), bound for UDP and RTP
    // (the device cannot bind it).
    QTest::addColumn<int>("socketType");
    QTest::addColumn<QString>("group");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QStringList>("toolTip");

    QTest::newRow("TCP, nothing listening")
        << int(SOCK_STREAM) << QStringLiteral("host=127.0.0.1\nport=%1\n")
        << QStringLiteral("dev0 refused")
        << QStringList{"127.0.0.1:%1", "TCP",
                       "last error: connect to 127.0.0.1:%1 failed: Connection refused"};
    QTest::newRow("TCP by host name, nothing listening")
        << int(SOCK_STREAM) << QStringLiteral("host=localhost\nport=%1\n")
        << QStringLiteral("dev0 refused")
        << QStringList{"localhost:%1", "TCP",
                       "last error: connect to localhost:%1 failed: Connection refused"};
    QTest::newRow("UDP port held by another socket")
        << int(SOCK_DGRAM) << QStringLiteral("host=127.0.0.1\nport=%1\nprotocol=UDP\n")
        << QStringLiteral("dev0 bind failed")
        << QStringList{"UDP", "last error: bind 127.0.0.1:%1 failed: Address already in use"};
    QTest::newRow("RTP port held by another socket")
        << int(SOCK_DGRAM) << QStringLiteral("host=127.0.0.1\nport=%1\nprotocol=rtp\n")
        << QStringLiteral("dev0 bind failed")
        << QStringList{"RTP", "last error: bind 127.0.0.1:%1 failed: Address already in use"};
    QTest::newRow("port above 65535")
        << int(SOCK_STREAM) << QStringLiteral("host=127.0.0.1\nport=70000\n")
        << QStringLiteral("dev0 bad address") << QStringList{"TCP", "70000", "outside 1-65535"};
    QTest::newRow("negative port")
        << int(SOCK_DGRAM) << QStringLiteral("host=127.0.0.1\nport=-1\nprotocol=udp\n")
        << QStringLiteral("dev0 bad address") << QStringList{"UDP", "-1", "outside 1-65535"};
    QTest::newRow("no port") << int(SOCK_STREAM) << QStringLiteral("host=127.0.0.1\n")
                             << QStringLiteral("dev0 bad address")
                             << QStringList{"last error: bad address", "outside 1-65535"};
}

void tst_DeviceIndicator::failures()
{
    QFETCH(int, socketType);
    QFETCH(QString, group);
    QFETCH(QString, state);
    QFETCH(QStringList, toolTip);

    LoopbackSocket held(socketType);
    QVERIFY(held.port() != 0);
    const QString port = QString::number(held.port());
    if (group.contains(QLatin1String("%1")))
        group = group.arg(port);
    writeFile(iniPath(), (QStringLiteral("[dev0]\n") + group).toUtf8());

    onlyDisplay window(iniPath());
    auto* indicator = window.findChild<DeviceIndicator*>(QStringLiteral("deviceIndicator_dev0"));
    QVERIFY(indicator);
    QTRY_COMPARE_WITH_TIMEOUT(indicator->stateText(), state, 5000);
    for (QString part : std::as_const(toolTip)) {
        if (part.contains(QLatin1String("%1")))
            part = part.arg(port);
        QVERIFY2(indicator->toolTip().contains(part), qPrintable(indicator->toolTip()));
    }
    // What the label shows is the same state.
    QVERIFY(indicator->text().contains(state.section(QLatin1Char(' '), 1)));
}

void tst_DeviceIndicator::receivingThenQuiet_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QString>("extraKeys");
    QTest::addColumn<QString>("quietState");
    QTest::addColumn<QString>("logLine");

    // A TCP connection that stays open but carries nothing is given up after
    // the quiet limit (1 s by default) and made again, over and over: that is
    // one silence. With a longer limit it stays open and is silent too.
    QTest::newRow("TCP, quiet_ms=20000")
        << QStringLiteral("TCP") << QStringLiteral("quiet_ms=20000\n")
        << QStringLiteral("^dev0 silent \\d+ s$") << QStringLiteral("silent: no data for 1 s");
    QTest::newRow("TCP, default quiet limit")
        << QStringLiteral("TCP") << QString() << QStringLiteral("^dev0 silent \\d+ s$")
        << QStringLiteral("connection lost: no data for 1 s");
    QTest::newRow("UDP") << QStringLiteral("UDP") << QString()
                         << QStringLiteral("^dev0 silent \\d+ s$")
                         << QStringLiteral("silent: no data for 1 s");
}

void tst_DeviceIndicator::receivingThenQuiet()
{
    QFETCH(QString, protocol);
    QFETCH(QString, extraKeys);
    QFETCH(QString, quietState);
    QFETCH(QString, logLine);

    const bool tcp = protocol == QLatin1String("TCP");
    LoopbackPeer peer;
    QVERIFY(peer.isListening());
    const quint16 port = tcp ? peer.port() : freeUdpPort();
    QVERIFY(port != 0);
    const QString log = m_dir.filePath(QStringLiteral("quiet.log"));
    QFile::remove(log);
    writeFile(iniPath(),
              QStringLiteral("[dev0]\nhost=127.0.0.1\nport=%1\nprotocol=%2\nlogfile=%3\n%4")
                  .arg(port)
                  .arg(protocol, log, extraKeys)
                  .toUtf8());

    onlyDisplay window(iniPath());
    auto* indicator = window.findChild<DeviceIndicator*>(QStringLiteral("deviceIndicator_dev0"));
    QVERIFY(indicator);
    if (tcp)
        QVERIFY(peer.acceptClient());
    else
        QTRY_COMPARE_WITH_TIMEOUT(indicator->stateText(), QStringLiteral("dev0 bound"), 5000);

    // A device sending 25 frames a second, until the timer stops.
    const QByteArray part =
        simlib::multipartPart(simlib::ContentTypeJpeg, jpegFile(solidFrame(16, 16, Qt::red)));
    QTimer sender;
    connect(&sender, &QTimer::timeout, this, [&] {
        if (tcp)
            peer.send(part);
        else
            sendDatagram(port, part);
    });
    sender.start(40);
    QTRY_VERIFY_WITH_TIMEOUT(indicator->stateText().startsWith(QLatin1String("dev0 receiving ")),
                             5000);
    QVERIFY2(indicator->stateText().endsWith(QLatin1String(" fps")),
             qPrintable(indicator->stateText()));
    QTRY_VERIFY_WITH_TIMEOUT(indicator->toolTip().contains(QLatin1String("last frame at")), 2000);
    QVERIFY(!indicator->toolTip().contains(QLatin1String("frames 0,")));

    // The device falls quiet; a TCP peer keeps its connection open.
    sender.stop();
    const QRegularExpression quiet(quietState);
    QTRY_VERIFY2_WITH_TIMEOUT(quiet.match(indicator->stateText()).hasMatch(),
                              qPrintable(indicator->stateText()), 2500);
    QTRY_VERIFY_WITH_TIMEOUT(countLines(log, QStringLiteral(": ") + logLine) >= 1, 2000);
}

void tst_DeviceIndicator::connectionEventsOncePerChange()
{
    // Refused for at least three attempts, then connected, then the
    // listening socket goes away: each change is one log line.
    auto held = std::make_unique<LoopbackSocket>(SOCK_STREAM);
    QVERIFY(held->port() != 0);
    const QString address = QStringLiteral("127.0.0.1:%1").arg(held->port());
    const QString log = m_dir.filePath(QStringLiteral("events.log"));
    QFile::remove(log);
    // A long quiet limit keeps the silent connection open, so that it
    // connects once.
    writeFile(iniPath(), QStringLiteral("[dev0]\nhost=127.0.0.1\nport=%1\nlogfile=%2\n"
                                        "quiet_ms=60000\n")
                             .arg(held->port())
                             .arg(log)
                             .toUtf8());

    onlyDisplay window(iniPath());
    QCOMPARE(window.streams().size(), 1);
    const GetStreamImage* device = window.streams().first();
    auto* indicator = window.findChild<DeviceIndicator*>(QStringLiteral("deviceIndicator_dev0"));
    QVERIFY(indicator);
    QTRY_VERIFY_WITH_TIMEOUT(device->status().attempts() >= 3, 10000);
    QCOMPARE(indicator->stateText(), QStringLiteral("dev0 refused"));
    const QString refused =
        QStringLiteral(": connect to %1 failed: Connection refused").arg(address);
    QCOMPARE(countLines(log, refused), 1);
    QVERIFY(indicator->toolTip().contains(QLatin1String(" attempts)")));

    // The port starts listening: the next attempt connects.
    QCOMPARE(::listen(held->fd(), 4), 0);
    QTRY_COMPARE_WITH_TIMEOUT(indicator->stateText(), QStringLiteral("dev0 connected"), 5000);
    const QString connectedLine = QStringLiteral(": connected to %1").arg(address);
    QTRY_COMPARE_WITH_TIMEOUT(countLines(log, connectedLine), 1, 2000);
    // The refusals are summed up once, with their count.
    const QRegularExpression summary(
        QStringLiteral(": connect to %1 failed: Connection refused \\((\\d+) attempts\\)$")
            .arg(QRegularExpression::escape(address)));
    QCOMPARE(countLines(log, summary), 1);
    // A connected device that sends nothing says so once.
    QTRY_VERIFY_WITH_TIMEOUT(indicator->stateText().startsWith(QLatin1String("dev0 silent")), 3000);
    QTRY_COMPARE_WITH_TIMEOUT(countLines(log, QStringLiteral(": silent: no data for 1 s")), 1,
                              2000);

    // The listening socket and the connection waiting in its backlog go
    // away: lost once, then refused again, once for all the retries.
    held.reset();
    QTRY_VERIFY_WITH_TIMEOUT(
        countLines(log, QRegularExpression(QStringLiteral(": connection lost: .+$"))) == 1, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(indicator->stateText(), QStringLiteral("dev0 refused"), 5000);
    const int attemptsBefore = device->status().attempts();
    QTRY_VERIFY_WITH_TIMEOUT(device->status().attempts() >= attemptsBefore + 2, 10000);
    QCOMPARE(countLines(log, refused), 2);
    QCOMPARE(countLines(log, connectedLine), 1);
    QCOMPARE(countLines(log, summary), 1);
}

void tst_DeviceIndicator::missingConfiguration_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::newRow("missing") << QStringLiteral("tcp_streaming.ini");
    QTest::newRow("misspelt") << QStringLiteral("tcp_stremaing.ini");
}

void tst_DeviceIndicator::missingConfiguration()
{
    QFETCH(QString, fileName);
    const QString path = m_dir.filePath(QStringLiteral("absent/") + fileName);
    QTest::ignoreMessage(
        QtWarningMsg,
        QRegularExpression(
            QStringLiteral("\"%1\" not found").arg(QRegularExpression::escape(path))));
    onlyDisplay window(path);
    QVERIFY(window.streams().isEmpty());
    QVERIFY(window.findChildren<DeviceIndicator*>().isEmpty());
    auto* label = window.findChild<QLabel*>(QStringLiteral("configMissing"));
    QVERIFY(label);
    QCOMPARE(label->text(), QStringLiteral("no devices: %1 not found").arg(path));
    window.show();
    QVERIFY(label->isVisible());
}

void tst_DeviceIndicator::hiddenWithStatusBar_data()
{
    QTest::addColumn<QString>("general");
    QTest::addColumn<bool>("visible");
    QTest::newRow("no_statusbar=1") << QStringLiteral("[General]\nno_statusbar=1\n") << false;
    QTest::newRow("no_statusbar=0") << QStringLiteral("[General]\nno_statusbar=0\n") << true;
    QTest::newRow("no key") << QString() << true;
}

void tst_DeviceIndicator::hiddenWithStatusBar()
{
    QFETCH(QString, general);
    QFETCH(bool, visible);
    LoopbackSocket held(SOCK_STREAM);
    writeFile(iniPath(), (general
                          + QStringLiteral("[dev0]\nhost=127.0.0.1\nport=%1\n"
                                           "[dev1]\nhost=127.0.0.1\nport=%1\n"))
                             .arg(held.port())
                             .toUtf8());
    onlyDisplay window(iniPath());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QList<DeviceIndicator*> indicators = window.findChildren<DeviceIndicator*>();
    QCOMPARE(indicators.size(), 2);
    for (DeviceIndicator* indicator : indicators)
        QCOMPARE(indicator->isVisible(), visible);
    QCOMPARE(window.findChild<QStatusBar*>()->isVisible(), visible);
}

QTEST_MAIN(tst_DeviceIndicator)
#include "tst_deviceindicator.moc"
