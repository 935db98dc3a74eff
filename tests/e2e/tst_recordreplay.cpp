// SPDX-License-Identifier: MIT
// Frames a device delivers are recorded by the window, replayed by the
// simulator and received again byte for byte, at the recorded pace; the
// recording can be switched on and off while frames stream.
#include "framerecorder.h"
#include "onlydisplay.h"
#include "recordingreader.h"
#include "replaypacer.h"
#include "rtppackets.h"
#include "simprocess.h"
#include "testfiles.h"
#include "threadedworker.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace {

// The session folders inside `base`, oldest first.
QStringList sessions(const QString& base)
{
    return QDir(base).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}

QList<simlib::RecordedFrame> recordedFrames(const QString& base, const QString& session)
{
    return simlib::readRecording(
        readFile(QDir(base).filePath(session + QStringLiteral("/dev0.mjpeg"))));
}

// Stands for the H.264 file a row's simulator sends, made by the test.
const QString H264File = QStringLiteral("@h264-file");

// Writes a one-device configuration and returns its path.
QString writeConfig(const QTemporaryDir& dir, const QString& protocol, int port,
                    const QString& keys = QString())
{
    const QString path = dir.filePath(QStringLiteral("cams.ini"));
    writeFile(path, deviceGroup(0, port,
                                QStringLiteral("protocol=%1\nsizeX=160\nsizeY=120\n").arg(protocol)
                                    + keys));
    return path;
}

} // namespace

class tst_RecordReplay : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void roundTrip_data();
    void roundTrip();
    void toggleDuringStream();
    void replayOptions_data();
    void replayOptions();
    void pace_data();
    void pace();
    void rtpReplayRefusesWhatItCannotCarry();
};

void tst_RecordReplay::initTestCase()
{
    // The folder the dialog chose goes to the per-user settings; keep the
    // real ones out of reach.
    QStandardPaths::setTestModeEnabled(true);
}

void tst_RecordReplay::roundTrip_data()
{
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QStringList>("simArgs");
    QTest::newRow("TCP JPEG") << "TCP" << QStringList{"--mode", "tcp"};
    QTest::newRow("UDP raw gray") << "UDP" << QStringList{"--mode", "udp", "--content", "gray"};
    QTest::newRow("TCP raw 16-bit gray, big-endian")
        << "TCP" << QStringList{"--mode", "tcp", "--content", "gray16", "--pixel-order", "big"};
    QTest::newRow("RTP type 65") << "RTP" << QStringList{"--mode", "rtp"};
    QTest::newRow("RTP H.264") << "RTP" << QStringList{"--mode", "rtp", "--h264", H264File};
}

void tst_RecordReplay::roundTrip()
{
    QFETCH(QString, protocol);
    QFETCH(QStringList, simArgs);
    const bool tcp = protocol == QLatin1String("TCP");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString base = dir.filePath(QStringLiteral("rec"));
    // H.264: a stream of made-up NAL units (nothing decodes them here), one
    // IDR access unit and 24 others, sent over and over.
    const bool h264 = simArgs.contains(QStringLiteral("--h264"));
    if (h264) {
        using namespace rtptest;
        QByteArray stream =
            annexB({nalUnit(7, 9, 0x42), nalUnit(8, 3, 0xCE), nalUnit(5, 3000, 0x80)});
        for (int i = 0; i < 24; ++i)
            stream += annexB({nalUnit(1, 500 + i, 0x80)});
        const QString path = dir.filePath(QStringLiteral("stream.h264"));
        writeFile(path, stream);
        simArgs.replace(simArgs.indexOf(H264File), path);
    }
    const QVariantMap keys =
        h264 ? QVariantMap{{QStringLiteral("encoding"), QStringLiteral("h264")}} : QVariantMap{};

    // Record about 20 frames from a simulator into the window's recorder.
    {
        SimProcess sim;
        const int port = tcp ? 0 : freeUdpPort();
        const int simPort =
            sim.start(simArgs
                      + QStringLiteral("--port %1 --width 160 --height 120 --fps 25 --duration 60")
                            .arg(port)
                            .split(QLatin1Char(' ')));
        QVERIFY(simPort > 0);
        // A 16-bit device needs its transfer buffer of two bytes a pixel.
        onlyDisplay window(writeConfig(dir, protocol, simPort,
                                       simArgs.contains(QStringLiteral("gray16"))
                                           ? QStringLiteral("pixel_order=big\n")
                                       : h264 ? QStringLiteral("encoding=h264\n")
                                              : QString()));
        QVERIFY(window.startRecording(base));
        QTRY_VERIFY_WITH_TIMEOUT(window.recorder()->framesWritten() >= 20, 20000);
        window.stopRecording();
        QCOMPARE(window.recorder()->framesDropped(), 0);
    }
    QCOMPARE(sessions(base).size(), 1);
    const QString file = QDir(base).filePath(sessions(base).at(0) + QStringLiteral("/dev0.mjpeg"));
    const QList<simlib::RecordedFrame> recorded = recordedFrames(base, sessions(base).at(0));
    QVERIFY(recorded.size() >= 20);

    // Replay it into a worker and take the arrival time of each frame.
    ThreadedWorker receiver(protocol, keys);
    QList<qint64> arrivalsUs;
    QElapsedTimer clock;
    clock.start();
    connect(&receiver, &ThreadedWorker::frameReceived, this,
            [&] { arrivalsUs.append(clock.nsecsElapsed() / 1000); });
    receiver.request();
    SimProcess replay;
    int port = tcp ? 0 : freeUdpPort();
    if (!tcp) {
        receiver.start(QStringLiteral("127.0.0.1"), port);
        QTRY_VERIFY_WITH_TIMEOUT(udpPortTaken(port), 5000);
    }
    port = replay.start(QStringList{"--mode", protocol.toLower(), "--port", QString::number(port),
                                    "--replay", file});
    QVERIFY(port > 0);
    if (tcp)
        receiver.start(QStringLiteral("127.0.0.1"), port);
    QTRY_COMPARE_WITH_TIMEOUT(receiver.frames.size(), recorded.size(), 20000);
    // Its figures: every frame sent, none refused.
    QTRY_COMPARE_WITH_TIMEOUT(replay.figure(QStringLiteral("refused")), 0LL, 10000);
    QCOMPARE(replay.figure(QStringLiteral("frames")), recorded.size());

    // Each arrival against the recorded time, both from their first frame;
    // the median of these offsets takes out a late first arrival.
    QList<qint64> offsets;
    for (int i = 0; i < recorded.size(); ++i) {
        QCOMPARE(receiver.frames.at(i), recorded.at(i).bytes);
        QCOMPARE(receiver.types.at(i), QString::fromLatin1(recorded.at(i).contentType));
        offsets.append((arrivalsUs.at(i) - arrivalsUs.at(0))
                       - (recorded.at(i).timeUs - recorded.at(0).timeUs));
    }
    QList<qint64> sorted = offsets;
    std::sort(sorted.begin(), sorted.end());
    const qint64 median = sorted.at(sorted.size() / 2);
    QList<qint64> deviations;
    for (const qint64 offset : std::as_const(offsets))
        deviations.append(std::abs(offset - median));
    std::sort(deviations.begin(), deviations.end());
    qInfo("deviation from the recorded spacing: median %lld us, largest %lld us",
          static_cast<long long>(deviations.at(deviations.size() / 2)),
          static_cast<long long>(deviations.last()));
    // Each arrival carries the jitter of two receive paths, the recording
    // viewer's and this one's: typically 1 to 2 ms, several times that in a
    // sanitizer build beside other tests on a busy machine. The bounds are
    // generous, yet a replay that ignored the times (all frames at once, or
    // at the simulator's own rate) would be off by a frame period or more.
    QVERIFY2(deviations.at(deviations.size() / 2) <= 10000,
             qPrintable(QString::number(deviations.at(deviations.size() / 2))));
    QVERIFY2(deviations.last() <= 100000, qPrintable(QString::number(deviations.last())));
}

void tst_RecordReplay::toggleDuringStream()
{
    QTemporaryDir dir;
    const QString base = dir.filePath(QStringLiteral("rec"));
    SimProcess sim;
    const int simPort = sim.start(
        QStringLiteral("--mode tcp --port 0 --width 160 --height 120 --fps 50 --duration 60"));
    QVERIFY(simPort > 0);
    onlyDisplay window(writeConfig(dir, QStringLiteral("TCP"), simPort));
    int dialogs = 0;
    window.setRecordFolderDialog([&](QWidget*, const QString&) {
        ++dialogs;
        return base;
    });
    QAction* record = window.findChild<QAction*>(QStringLiteral("actionRecord"));
    QVERIFY(record != nullptr);
    QVERIFY(record->isCheckable());
    QCOMPARE(record->shortcut(), QKeySequence(QStringLiteral("Ctrl+R")));
    QLabel* rec = window.findChild<QLabel*>(QStringLiteral("recordIndicator"));
    QVERIFY(rec != nullptr);

    // Two sessions, each into a folder of its own (also within one
    // second); the folder is asked for once.
    for (int session = 0; session < 2; ++session) {
        record->trigger();
        QVERIFY(window.recorder()->isRecording());
        QTRY_VERIFY_WITH_TIMEOUT(window.recorder()->framesWritten() >= 10, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(rec->text().startsWith(QStringLiteral("REC ")), 2000);
        record->trigger();
        QVERIFY(!window.recorder()->isRecording());
        QVERIFY(!record->isChecked());
    }
    QCOMPARE(dialogs, 1);
    const QStringList found = sessions(base);
    QCOMPARE(found.size(), 2);
    for (const QString& session : found) {
        const QList<simlib::RecordedFrame> frames = recordedFrames(base, session);
        QVERIFY(frames.size() >= 10);
        // Each session holds whole frames in order of their time.
        for (int i = 1; i < frames.size(); ++i)
            QVERIFY(frames.at(i).timeUs >= frames.at(i - 1).timeUs);
        for (const simlib::RecordedFrame& f : frames)
            QVERIFY(f.bytes.startsWith("\xff\xd8") && f.bytes.endsWith("\xff\xd9"));
    }
}

void tst_RecordReplay::replayOptions_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QList<int>>("order"); // indices of the recorded frames received
    QTest::addColumn<int>("spacingMs");    // between arrivals; -1 unchecked
    QTest::newRow("once at the recorded pace") << QStringList{} << QList<int>{0, 1, 2, 3} << 100;
    QTest::newRow("twice as fast") << QStringList{"--speed", "2"} << QList<int>{0, 1, 2, 3} << 50;
    QTest::newRow("in a loop, one period between passes")
        << QStringList{"--speed", "2", "--loop", "--count", "10"}
        << QList<int>{0, 1, 2, 3, 0, 1, 2, 3, 0, 1} << 50;
    QTest::newRow("as fast as it goes")
        << QStringList{"--speed", "max"} << QList<int>{0, 1, 2, 3} << -1;
}

void tst_RecordReplay::replayOptions()
{
    QFETCH(QStringList, args);
    QFETCH(QList<int>, order);
    QFETCH(int, spacingMs);
    // Four frames 100 ms apart, as the recorder writes them.
    QTemporaryDir dir;
    QByteArray file;
    QList<QByteArray> bodies;
    for (int i = 0; i < 4; ++i) {
        bodies.append(jpegFile(solidFrame(16, 16, QColor(i * 60, 0, 0))));
        file += recordingPart("image/jpeg", bodies.last(), 1733744076000000 + i * 100000);
    }
    writeFile(dir.filePath(QStringLiteral("dev0.mjpeg")), file);

    ThreadedWorker receiver(QStringLiteral("TCP"));
    QList<qint64> arrivalsMs;
    QElapsedTimer clock;
    clock.start();
    connect(&receiver, &ThreadedWorker::frameReceived, this,
            [&] { arrivalsMs.append(clock.elapsed()); });
    receiver.request();
    SimProcess replay;
    const int port = replay.start(QStringList{"--mode", "tcp", "--port", "0", "--replay",
                                              dir.filePath(QStringLiteral("dev0.mjpeg"))}
                                  + args);
    QVERIFY(port > 0);
    receiver.start(QStringLiteral("127.0.0.1"), port);
    QTRY_COMPARE_WITH_TIMEOUT(replay.figure(QStringLiteral("frames")), qint64(order.size()), 10000);
    if (spacingMs < 0) {
        // Unpaced, frames arrive faster than the receiver asks for them; it
        // takes the newest each time, in order, ending with the last.
        QTRY_VERIFY_WITH_TIMEOUT(
            !receiver.frames.isEmpty() && receiver.frames.last() == bodies.at(order.last()), 10000);
        int at = -1;
        for (const QByteArray& f : std::as_const(receiver.frames)) {
            const int next = int(bodies.indexOf(f));
            QVERIFY(next > at);
            at = next;
        }
        return;
    }
    // Every frame reached the worker. One that arrives before the test
    // thread asks for the next may be replaced by the one after it, as on a
    // busy machine, so the test sees the frames in order with some left out.
    QTRY_VERIFY_WITH_TIMEOUT(receiver.worker()->framesCompleted() == order.size()
                                 && !receiver.frames.isEmpty()
                                 && receiver.frames.last() == bodies.at(order.last()),
                             10000);
    QList<int> positions; // in `order`, of each frame received
    for (const QByteArray& f : std::as_const(receiver.frames)) {
        int at = positions.isEmpty() ? 0 : positions.last() + 1;
        while (at < order.size() && bodies.at(order.at(at)) != f)
            ++at;
        QVERIFY2(at < order.size(), "a frame out of order");
        positions.append(at);
    }
    QVERIFY(positions.size() >= 2);
    // The frames were paced, not sent as fast as they go. The waits
    // themselves are checked in pace(); arrival times on a machine running
    // tests side by side can only bound them loosely, since any arrival may
    // be late.
    const qint64 span = arrivalsMs.at(positions.size() - 1) - arrivalsMs.first();
    const qint64 paced = qint64(spacingMs) * (positions.last() - positions.first());
    QVERIFY2(span >= paced / 2,
             qPrintable(QStringLiteral("%1 ms for %2 ms of waits").arg(span).arg(paced)));
}

void tst_RecordReplay::pace_data()
{
    QTest::addColumn<double>("speed"); // 0: as fast as it goes
    QTest::addColumn<double>("fps");
    QTest::addColumn<double>("maxGapSeconds");
    QTest::addColumn<QList<qint64>>("timesUs"); // one pass; -1: no time recorded
    QTest::addColumn<int>("passes");
    QTest::addColumn<QList<double>>("waitsMs"); // before each frame sent
    const QList<qint64> every100ms{0, 100000, 200000, 300000};
    QTest::newRow("the recorded pace")
        << 1.0 << 25.0 << 10.0 << every100ms << 1 << QList<double>{0, 100, 100, 100};
    QTest::newRow("twice as fast")
        << 2.0 << 25.0 << 10.0 << every100ms << 1 << QList<double>{0, 50, 50, 50};
    QTest::newRow("a later pass starts one mean period after the last frame")
        << 2.0 << 25.0 << 10.0 << QList<qint64>{0, 100000, 300000} << 2
        << QList<double>{0, 50, 100, 75, 50, 100};
    QTest::newRow("a time going back waits nothing")
        << 1.0 << 25.0 << 10.0 << QList<qint64>{0, 200000, 100000, 300000} << 1
        << QList<double>{0, 200, 0, 100};
    QTest::newRow("no times: later passes at the fixed rate, times the speed")
        << 2.0 << 10.0 << 10.0 << QList<qint64>{-1, -1} << 2 << QList<double>{0, 0, 50, 50};
    QTest::newRow("frames sharing one time: later passes at the fixed rate")
        << 1.0 << 10.0 << 10.0 << QList<qint64>{500, 500} << 2 << QList<double>{0, 0, 100, 100};
    QTest::newRow("as fast as it goes")
        << 0.0 << 25.0 << 10.0 << every100ms << 2 << QList<double>{0, 0, 0, 0, 0, 0, 0, 0};
    QTest::newRow("no wait beyond the cap")
        << 1.0 << 25.0 << 0.05 << QList<qint64>{0, 1000000} << 1 << QList<double>{0, 50};
}

void tst_RecordReplay::pace()
{
    QFETCH(double, speed);
    QFETCH(double, fps);
    QFETCH(double, maxGapSeconds);
    QFETCH(QList<qint64>, timesUs);
    QFETCH(int, passes);
    QFETCH(QList<double>, waitsMs);

    ReplayPacer pacer(speed, fps, maxGapSeconds);
    QList<double> waits;
    for (int pass = 0; pass < passes; ++pass) {
        if (pass > 0)
            pacer.newPass();
        for (const qint64 t : std::as_const(timesUs))
            waits.append(std::chrono::duration<double, std::milli>(pacer.frame(t).wait).count());
    }
    QCOMPARE(waits.size(), waitsMs.size());
    for (int i = 0; i < waits.size(); ++i)
        QVERIFY2(std::abs(waits.at(i) - waitsMs.at(i)) < 1e-3,
                 qPrintable(QStringLiteral("frame %1 waits %2 ms").arg(i).arg(waits.at(i))));
}

void tst_RecordReplay::rtpReplayRefusesWhatItCannotCarry()
{
    // Raw gray and progressive JPEG have no RFC 2435 form; a baseline JPEG
    // beside them is sent.
    QTemporaryDir dir;
    const QImage picture = solidFrame(16, 16, Qt::green);
    const QList<QPair<QByteArray, QByteArray>> frames = {
        {"video/x-raw-gray", QByteArray(256, '\x40')},
        {"image/jpeg", jpegFile(picture, 90, true)},
        {"image/jpeg", jpegFile(picture)}};
    QByteArray file;
    for (int i = 0; i < frames.size(); ++i)
        file += recordingPart(frames[i].first, frames[i].second, i * 1000);
    writeFile(dir.filePath(QStringLiteral("dev0.mjpeg")), file);

    SimProcess replay;
    QVERIFY(replay.start(QStringList{"--mode", "rtp", "--port", QString::number(freeUdpPort()),
                                     "--replay", dir.filePath(QStringLiteral("dev0.mjpeg"))})
            > 0);
    QTRY_COMPARE_WITH_TIMEOUT(replay.figure(QStringLiteral("refused")), 2LL, 10000);
    QCOMPARE(replay.figure(QStringLiteral("frames")), 3LL);
    QVERIFY(replay.figure(QStringLiteral("datagrams")) >= 1);
    QVERIFY(replay.hasLine(QStringLiteral("frame 0 (video/x-raw-gray, 256 bytes) is no baseline")));
    QVERIFY(replay.hasLine(QStringLiteral("frame 1 (image/jpeg")));
}

QTEST_MAIN(tst_RecordReplay)
#include "tst_recordreplay.moc"
