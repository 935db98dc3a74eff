// SPDX-License-Identifier: MIT
#include "onlydisplay.h"

#include "getstreamimage.h"
#include "loopbackpeer.h"
#include "testfiles.h"

#include <QApplication>
#include <QFile>
#include <QMouseEvent>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

class tst_OnlyDisplay : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void devices_data();
    void devices();
    void histogramGoesToLastGroupsLog();
    void closingStopsControllers_data();
    void closingStopsControllers();
    void doubleClickChangesNothing();

private:
    QString iniPath() const { return m_dir.filePath(QStringLiteral("tcp_streaming.ini")); }
    QTemporaryDir m_dir;
};

void tst_OnlyDisplay::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

void tst_OnlyDisplay::init()
{
    QFile::remove(iniPath());
}

void tst_OnlyDisplay::devices_data()
{
    // Port 1 on the loopback refuses connections: the controllers keep
    // retrying quietly.
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QStringList>("hosts");
    QTest::addColumn<QString>("logFile");
    QTest::newRow("no configuration file") << QByteArray() << QStringList() << QString();
    QTest::newRow("dev0, dev1, dev3: the group after the gap is ignored")
        << QByteArray("[dev0]\nhost=127.0.0.1\nport=1\n"
                      "[dev1]\nhost=127.0.0.2\nport=1\n"
                      "[dev3]\nhost=127.0.0.3\nport=1\n")
        << QStringList{"127.0.0.1", "127.0.0.2"} << QString();
    QTest::newRow("dev0 without host gives none")
        << QByteArray("[dev0]\nport=1\n[dev1]\nhost=127.0.0.1\nport=1\n") << QStringList()
        << QString();
    QTest::newRow("dev00 is not dev0")
        << QByteArray("[dev00]\nhost=127.0.0.1\nport=1\n") << QStringList() << QString();
    QTest::newRow("an empty host still counts")
        << QByteArray("[dev0]\nhost=\nport=1\n") << QStringList{""} << QString();
    QTest::newRow("three groups: the last group's log file")
        << QByteArray("[dev0]\nhost=127.0.0.1\nport=1\nlogfile=a.log\n"
                      "[dev1]\nhost=127.0.0.2\nport=1\nlogfile=b.log\n"
                      "[dev2]\nhost=127.0.0.3\nport=1\nlogfile=c.log\n")
        << QStringList{"127.0.0.1", "127.0.0.2", "127.0.0.3"} << QStringLiteral("c.log");
    QTest::newRow("last group without logfile: no histogram file")
        << QByteArray("[dev0]\nhost=127.0.0.1\nport=1\nlogfile=a.log\n"
                      "[dev1]\nhost=127.0.0.2\nport=1\n")
        << QStringList{"127.0.0.1", "127.0.0.2"} << QString();
    // Beyond the first devices the rest follow from the event loop, in
    // order.
    QByteArray many;
    QStringList manyHosts;
    for (int n = 0; n < 40; ++n) {
        manyHosts << QStringLiteral("127.0.0.%1").arg(n + 1);
        many += QStringLiteral("[dev%1]\nhost=%2\nport=1\nlogfile=%1.log\n")
                    .arg(n)
                    .arg(manyHosts.last())
                    .toLatin1();
    }
    QTest::newRow("40 groups: created in slices") << many << manyHosts << QStringLiteral("39.log");
}

void tst_OnlyDisplay::devices()
{
    QFETCH(QByteArray, ini);
    QFETCH(QStringList, hosts);
    QFETCH(QString, logFile);
    if (!ini.isNull())
        writeFile(iniPath(), ini);

    onlyDisplay window(iniPath());
    QCOMPARE(window.deviceGroups(), hosts.size());
    QCOMPARE(window.streams().size(),
             std::min<qsizetype>(hosts.size(), onlyDisplay::DevicesAtOnce));
    QTRY_COMPARE_WITH_TIMEOUT(window.streams().size(), hosts.size(), 10000);
    QCOMPARE(window.logFile(), logFile);
    QImage frame = solidFrame(8, 8, Qt::gray);
    for (int i = 0; i < hosts.size(); ++i) {
        GetStreamImage* stream = window.streams().at(i);
        QCOMPARE(stream->host(), hosts.at(i));
        QCOMPARE(stream->port(), 1);
        // Each controller reaches the window's slot exactly once.
        emit stream->acquisitionEvent(frame, stream);
        QCOMPARE(window.frameCount(), i + 1);
    }
    // Nothing read the top-level key from inside a device group.
    QVERIFY(!window.findChild<QWidget*>(QStringLiteral("statusBar"))->isHidden());
}

void tst_OnlyDisplay::histogramGoesToLastGroupsLog()
{
    const QString first = m_dir.filePath(QStringLiteral("first.log"));
    const QString last = m_dir.filePath(QStringLiteral("last.log"));
    QFile::remove(first);
    QFile::remove(last);
    writeFile(iniPath(), QStringLiteral("[dev0]\nhost=127.0.0.1\nport=1\nlogfile=%1\n"
                                        "[dev1]\nhost=127.0.0.1\nport=1\nlogfile=%2\n")
                             .arg(first, last)
                             .toLatin1());
    onlyDisplay window(iniPath());
    QCOMPARE(window.streams().size(), 2);
    QImage frame = solidFrame(8, 8, Qt::gray);
    // The frames of both devices are counted together.
    for (int i = 0; i < 1000; ++i) {
        GetStreamImage* stream = window.streams().at(i % 2);
        emit stream->acquisitionEvent(frame, stream);
    }
    QCOMPARE(window.frameCount(), 1000);
    QCOMPARE(readFile(last).count("MARK histogram"), 1);
    QCOMPARE(readFile(first).count("MARK histogram"), 0);
}

void tst_OnlyDisplay::closingStopsControllers_data()
{
    QTest::addColumn<QString>("group");
    QTest::newRow("connecting, refused") << QStringLiteral("host=127.0.0.1\nport=1\n");
    QTest::newRow("connected, peer silent") << QStringLiteral("host=127.0.0.1\nport=%1\n");
    QTest::newRow("UDP waiting for datagrams")
        << QStringLiteral("host=127.0.0.1\nport=0\nprotocol=udp\n");
    QTest::newRow("RTP waiting for packets")
        << QStringLiteral("host=127.0.0.1\nport=0\nprotocol=rtp\n");
}

void tst_OnlyDisplay::closingStopsControllers()
{
    QFETCH(QString, group);
    LoopbackPeer listener;
    QVERIFY(listener.port() > 0);
    const QString section =
        group.contains(QLatin1String("%1")) ? group.arg(listener.port()) : group;
    writeFile(
        iniPath(),
        (QStringLiteral("[dev0]\n") + section + QStringLiteral("[dev1]\n") + section).toLatin1());

    QList<QPointer<GetStreamImage>> controllers;
    {
        onlyDisplay window(iniPath());
        QCOMPARE(window.streams().size(), 2);
        for (GetStreamImage* stream : window.streams()) {
            controllers << stream;
            if (listener.port() > 0 && stream->port() == listener.port()) {
                QSignalSpy connected(stream->worker(), &ImageGetWorker::connected);
                QVERIFY(connected.wait(5000));
            }
            QVERIFY(stream->worker()->thread()->isRunning());
        }
    }
    // The window took its controllers with it; a controller whose worker
    // thread were still running could not have been destroyed.
    for (const QPointer<GetStreamImage>& c : controllers)
        QVERIFY(c.isNull());
}

void tst_OnlyDisplay::doubleClickChangesNothing()
{
    onlyDisplay window(iniPath());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QString title = window.windowTitle();
    const QSize size = window.size();
    QTest::mouseDClick(&window, Qt::LeftButton, Qt::NoModifier, QPoint(50, 60));
    QCOMPARE(window.windowTitle(), title);
    QCOMPARE(window.size(), size);
    QCOMPARE(window.frameCount(), 0);
}

QTEST_MAIN(tst_OnlyDisplay)

#include "tst_onlydisplay.moc"
