// SPDX-License-Identifier: MIT
// framescope-devicesim as a program: its command line, its refusal of
// addresses off the loopback interface, and how it ends, also when the
// recording it replays is hostile.
#include "recordingformat.h"
#include "simprocess.h"
#include "testfiles.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/types.h>

namespace {

QByteArray jpegPart(int number, qint64 timeUs)
{
    return recordingPart("image/jpeg", patternJpeg(16, 16, number), timeUs);
}

} // namespace

class DeviceSimTest : public QObject
{
    Q_OBJECT

private slots:
    void rejectedCommandLines_data();
    void rejectedCommandLines();
    void helpNamesEveryAcceptedOption();
    void stopsAfterCount_data();
    void stopsAfterCount();
    void stopsOnSignal_data();
    void stopsOnSignal();
    void hostileReplays_data();
    void hostileReplays();
};

void DeviceSimTest::rejectedCommandLines_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");

    QTest::newRow("LAN address") << QStringList{"--host", "192.168.1.10"} << "refusing host";
    QTest::newRow("any address") << QStringList{"--host", "0.0.0.0"} << "refusing host";
    QTest::newRow("host name") << QStringList{"--host", "localhost"} << "refusing host";
    QTest::newRow("rtp destination off loopback")
        << QStringList{"--mode", "rtp", "--port", "5004", "--host", "10.0.0.1"} << "refusing host";
    QTest::newRow("unknown option") << QStringList{"--frobnicate", "1"} << "unknown option";
    QTest::newRow("missing value") << QStringList{"--width"} << "needs a value";
    QTest::newRow("value given to a switch") << QStringList{"--quiet=0"} << "--quiet";
    QTest::newRow("argument that is no option")
        << QStringList{"--width", "64", "64"} << "unexpected argument";
    QTest::newRow("bad value before --help")
        << QStringList{"--width", "0", "--help"} << "invalid value";
    QTest::newRow("width 0") << QStringList{"--width", "0"} << "invalid value";
    QTest::newRow("quality 101") << QStringList{"--quality", "101"} << "invalid value";
    QTest::newRow("Q between 100 and 127") << QStringList{"--q", "110"} << "invalid value";
    QTest::newRow("rtp gray") << QStringList{"--mode", "rtp", "--port", "5004", "--content", "gray"}
                              << "JPEG frames only";
    QTest::newRow("rtp size beyond 2040")
        << QStringList{"--mode", "rtp", "--port", "5004", "--width", "2048"} << "multiples of 8";
    QTest::newRow("rtp type 65 without restart interval")
        << QStringList{"--mode", "rtp", "--port", "5004", "--restart-interval", "0"}
        << "restart interval";
    QTest::newRow("loss on a multipart stream") << QStringList{"--loss", "5"} << "rtp only";
    QTest::newRow("udp to port 0") << QStringList{"--mode", "udp", "--port", "0"} << "port";
    QTest::newRow("replay speed 0") << QStringList{"--speed", "0"} << "invalid value";
    QTest::newRow("replay speed in words") << QStringList{"--speed", "fast"} << "invalid value";
    QTest::newRow("replay of no file") << QStringList{"--replay", ""} << "invalid value";
    QTest::newRow("unknown bad kind") << QStringList{"--bad-kinds", "nasty"} << "invalid value";
    QTest::newRow("only RTP bad kinds on tcp")
        << QStringList{"--bad-every", "2", "--bad-kinds", "huge-offset"} << "no multipart kind";
}

void DeviceSimTest::rejectedCommandLines()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    QProcess p;
    p.start(QStringLiteral(DEVICESIM_BIN), args);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 2);
    const QString err = QString::fromLocal8Bit(p.readAllStandardError());
    QVERIFY2(err.contains(message), qPrintable(err));
    QVERIFY(p.readAllStandardOutput().isEmpty()); // nothing was sent or opened
}

void DeviceSimTest::helpNamesEveryAcceptedOption()
{
    QProcess p;
    p.start(QStringLiteral(DEVICESIM_BIN), {"--help"});
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 0);
    const QString help = QString::fromLocal8Bit(p.readAllStandardOutput());

    // Every option the help names is one the program accepts: with a valid
    // value it gives no "unknown option".
    static const QRegularExpression option(QStringLiteral("--[a-z][a-z-]+"));
    QStringList names;
    for (auto it = option.globalMatch(help); it.hasNext();) {
        const QString name = it.next().captured(0);
        if (!names.contains(name))
            names.append(name);
    }
    QVERIFY(names.size() >= 30);
    for (const QString& name : std::as_const(names)) {
        QProcess probe;
        probe.start(QStringLiteral(DEVICESIM_BIN), {name, "1", "--count", "1", "--port", "0"});
        QVERIFY(probe.waitForFinished(10000));
        const QByteArray err = probe.readAllStandardError();
        QVERIFY2(!err.contains("unknown option"), qPrintable(name));
    }
}

void DeviceSimTest::stopsAfterCount_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("tcp") << QStringList{"--mode", "tcp", "--port", "0"};
    QTest::newRow("udp gray") << QStringList{
        "--mode", "udp", "--port", QString::number(freeUdpPort()), "--content", "gray"};
    QTest::newRow("rtp") << QStringList{"--mode", "rtp", "--port", QString::number(freeUdpPort())};
}

void DeviceSimTest::stopsAfterCount()
{
    QFETCH(QStringList, args);
    SimProcess sim;
    QVERIFY(
        sim.start(args
                  + QStringList{"--count", "12", "--fps", "100", "--width", "64", "--height", "48"})
        > 0);
    QVERIFY(sim.waitFinished(10000));
    QCOMPARE(sim.exitCode(), 0);
    QCOMPARE(sim.figure(QStringLiteral("frames")), 12);
}

void DeviceSimTest::stopsOnSignal_data()
{
    QTest::addColumn<bool>("interrupt");
    QTest::newRow("SIGTERM") << false;
    QTest::newRow("SIGINT") << true;
}

void DeviceSimTest::stopsOnSignal()
{
    QFETCH(bool, interrupt);
    // A slow rate and a long pause: the signal must end the wait at once.
    SimProcess sim;
    QVERIFY(sim.start({"--mode", "tcp", "--port", "0", "--fps", "0.5", "--pause-every", "1",
                       "--pause-ms", "600000"})
            > 0);
    QElapsedTimer t;
    t.start();
    ::kill(pid_t(sim.process().processId()), interrupt ? SIGINT : SIGTERM);
    QVERIFY(sim.waitFinished(10000));
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY2(t.elapsed() < 3000, qPrintable(QString::number(t.elapsed())));
    QTRY_VERIFY_WITH_TIMEOUT(sim.hasLine(QStringLiteral("sent: frames")), 5000);
}

void DeviceSimTest::hostileReplays_data()
{
    QTest::addColumn<QString>("kind"); // as pathOfKind takes it, or "sparse"
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("args"); // behind --replay
    QTest::addColumn<qint64>("shrinkTo");  // the file's size once replay runs; -1 kept
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QList<qint64>>("frames"); // sent, at least and at most; -1 none sent
    QTest::addColumn<QString>("message");

    const QList<qint64> none{-1, -1};
    const QStringList udp{"--mode", "udp"};
    // Two frames 2 s apart, then one of 1.5 MiB and one more: read in
    // pieces, the big one is still to be read when the file shrinks in the
    // wait before the second frame.
    const QByteArray big = jpegPart(0, 0) + jpegPart(1, 2000000)
                           + recordingPart("image/jpeg", QByteArray(3 << 19, 'x'), 2100000)
                           + jpegPart(3, 2200000);
    QTest::newRow("file shrinking while replayed")
        << "file" << big << udp << qint64(1 << 20) + 100000 << 1 << QList<qint64>{2, 2}
        << "shrank from";
    QTest::newRow("FIFO") << "fifo" << QByteArray() << udp << qint64(-1) << 1 << none
                          << "not a regular file";
    QTest::newRow("device") << "/dev/zero" << QByteArray() << udp << qint64(-1) << 1 << none
                            << "not a regular file";
    QTest::newRow("sparse 2 GiB before its frame")
        << "sparse" << jpegPart(0, 0) << udp << qint64(-1) << 0 << QList<qint64>{1, 1}
        << "end of the recording: 1 frames in 1 parts (21474";

    QByteArray gray;
    for (int i = 0; i < 3; ++i)
        gray += recordingPart("video/x-raw-gray", QByteArray(64, char(i)), i * 1000);
    QTest::newRow("every frame refused, in a loop")
        << "file" << gray << QStringList{"--mode", "rtp", "--loop", "--duration", "3"} << qint64(-1)
        << 1 << QList<qint64>{3, 3} << "(3 read, all refused)";
    const QByteArray oneTime = jpegPart(0, 5) + jpegPart(1, 5) + jpegPart(2, 5);
    QTest::newRow("frames sharing one time, in a loop")
        << "file" << oneTime << udp + QStringList{"--loop", "--duration", "2", "--fps", "20"}
        << qint64(-1) << 0 << QList<qint64>{4, 60} << "end of the recording: 3 frames";
    QTest::newRow("jump of 10^12 s")
        << "file" << jpegPart(0, 1) + jpegPart(1, 999999999999999999) + jpegPart(2, 1)
        << udp + QStringList{"--max-gap", "0.3", "--duration", "20"} << qint64(-1) << 0
        << QList<qint64>{3, 3} << "a wait of 1e+12 s before frame 1 is shortened to 0.3 s";
    QTest::newRow("jump of 10^7 s")
        << "file" << jpegPart(0, 0) + jpegPart(1, 10000000000000)
        << udp + QStringList{"--max-gap", "0.3", "--duration", "20"} << qint64(-1) << 0
        << QList<qint64>{2, 2} << "a wait of 1e+07 s before frame 1 is shortened to 0.3 s";

    QTest::newRow("empty file") << "file" << QByteArray() << udp << qint64(-1) << 1 << none
                                << "is empty";
    QByteArray noise(65536, '\0');
    QRandomGenerator rng(7);
    for (char& c : noise)
        c = char(rng.generate());
    QTest::newRow("random bytes") << "file" << noise << udp << qint64(-1) << 1 << none
                                  << "holds no frame to replay: 0 frames in 0 parts (65536 bytes)";
    QByteArray junk;
    for (int i = 0; i < 3; ++i)
        junk += QByteArray(MultipartDec::BoundaryText) + " t=5\r\nnot a header\r\n\r\njunk";
    QTest::newRow("junk between boundaries") << "file" << junk << udp << qint64(-1) << 1 << none
                                             << "holds no frame to replay: 0 frames in 3 parts";
    QTest::newRow("part over 64 MiB beside a frame")
        << "file" << recording::partHeader("image/jpeg", 67108865, 0) + "short" + jpegPart(1, 1000)
        << udp << qint64(-1) << 0 << QList<qint64>{1, 1}
        << "the part at byte 0 declares 67108865 bytes, more than the 67108864";
}

void DeviceSimTest::hostileReplays()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, content);
    QFETCH(QStringList, args);
    QFETCH(qint64, shrinkTo);
    QFETCH(int, exitCode);
    QFETCH(QList<qint64>, frames);
    QFETCH(QString, message);

    QTemporaryDir dir;
    QString path;
    if (kind == QLatin1String("sparse")) {
        // A hole of 2 GiB, then a part: read whole, it would take 2 GiB.
        path = dir.filePath(QStringLiteral("sparse.mjpeg"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(qint64(2) << 30)
                && file.seek(qint64(2) << 30) && file.write(content) == content.size());
    } else {
        path = pathOfKind(dir.path(), kind, content);
    }
    QVERIFY(!path.isEmpty());

    SimProcess sim;
    const int port = sim.start(
        args + QStringList{"--port", QString::number(freeUdpPort()), "--replay", path}, 30000);
    if (shrinkTo >= 0) {
        QVERIFY(port > 0);
        QVERIFY(QFile::resize(path, shrinkTo));
    }
    // Every row ends by itself: with an error, at the recording's end or
    // at --duration.
    QVERIFY(sim.process().state() == QProcess::NotRunning || sim.waitFinished(30000));
    QCOMPARE(sim.exitCode(), exitCode);
    const QString out = sim.lines().join(QLatin1Char('\n')) + QLatin1Char('\n')
                        + QString::fromLocal8Bit(sim.process().readAllStandardError());
    QVERIFY2(out.contains(message), qPrintable(out));
    QVERIFY2(sim.figure(QStringLiteral("frames")) >= frames.at(0)
                 && sim.figure(QStringLiteral("frames")) <= frames.at(1),
             qPrintable(out));
    // Neither a line per frame without end nor a file held in memory.
    QVERIFY2(sim.lines().size() <= 20, qPrintable(QString::number(sim.lines().size())));
    rusage usage{};
    QCOMPARE(::getrusage(RUSAGE_CHILDREN, &usage), 0);
    QVERIFY2(usage.ru_maxrss < 512 * 1024, qPrintable(QString::number(usage.ru_maxrss)));
}

QTEST_GUILESS_MAIN(DeviceSimTest)
#include "tst_devicesim.moc"
