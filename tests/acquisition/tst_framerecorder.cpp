// SPDX-License-Identifier: MIT
#include "framerecorder.h"
#include "recordingreader.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Frame
{
    int device = 0;
    QByteArray type;
    QByteArray bytes;
    qint64 timeUs = 0;
};
using Frames = QList<Frame>;

bool record(FrameRecorder& recorder, const Frame& f)
{
    return recorder.record(f.device, QString::fromLatin1(f.type), ubytes(f.bytes),
                           int(f.bytes.size()), f.timeUs);
}

QList<simlib::RecordedFrame> readDevice(const QString& folder, int device)
{
    return simlib::readRecording(
        readFile(QDir(folder).filePath(FrameRecorder::deviceFileName(device))));
}

// The size a frame takes in the recording.
qint64 partBytes(const Frame& f)
{
    return QByteArray("---jworudfg83h23lsow2z04 t=" + QByteArray::number(f.timeUs)
                      + "\r\nContent-Type: " + f.type
                      + "\r\nContent-Length: " + QByteArray::number(f.bytes.size()) + "\r\n\r\n")
               .size()
           + f.bytes.size() + 2;
}

} // namespace

Q_DECLARE_METATYPE(Frames)

// The recording writer: what goes in comes out per device, a full queue
// drops from the recording only, failures and the size cap end it once.
class tst_FrameRecorder : public QObject
{
    Q_OBJECT

private slots:
    void writesEachDevice_data();
    void writesEachDevice();
    void fullQueueDropsFromRecordingOnly();
    void failureStopsOnce_data();
    void failureStopsOnce();
    void unusableFolderIsRefused();
    void sizeCapEndsCleanly();
    void restartsWithFreshCounts();
    void maxMbSetting_data();
    void maxMbSetting();
    void sessionFolderName();
};

void tst_FrameRecorder::writesEachDevice_data()
{
    QTest::addColumn<Frames>("frames");
    const QByteArray jpeg = jpegFile(solidFrame(32, 16, Qt::blue));
    QTest::newRow("one device, JPEG frames")
        << Frames{{0, "image/jpeg", jpeg, 100}, {0, "image/jpeg", jpeg + "tail", 140}};
    QTest::newRow("three devices interleaved")
        << Frames{{0, "image/jpeg", jpeg, 1},
                  {2, "video/x-raw-gray", raw("\0\1\2\r\n"), 2},
                  {1, "image/jpeg", "not a jpeg, kept as it came", 3},
                  {0, "video/x-raw-gray", QByteArray(5000, '\0'), 4}};
    QTest::newRow("a type with a line end cannot break the part")
        << Frames{{0, "image/jpeg\r\nX: y", "abc", 7}, {0, "image/jpeg", "def", 8}};
}

void tst_FrameRecorder::writesEachDevice()
{
    QFETCH(Frames, frames);
    QTemporaryDir dir;
    FrameRecorder recorder;
    QString error;
    const QString folder = dir.filePath(QStringLiteral("recordings/session"));
    QVERIFY2(recorder.start(folder, &error), qPrintable(error));
    QVERIFY(recorder.isRecording());
    qint64 bytes = 0;
    for (const Frame& f : std::as_const(frames)) {
        QVERIFY(record(recorder, f));
        bytes +=
            partBytes(Frame{f.device, QByteArray(f.type).replace("\r\n", ""), f.bytes, f.timeUs});
    }
    recorder.stop();
    QVERIFY(!recorder.isRecording());
    QCOMPARE(recorder.framesWritten(), frames.size());
    QCOMPARE(recorder.framesDropped(), 0);
    QCOMPARE(recorder.bytesWritten(), bytes);
    QVERIFY(recorder.stopReason().isEmpty());

    for (int device = 0; device < 3; ++device) {
        Frames expected;
        for (const Frame& f : std::as_const(frames))
            if (f.device == device)
                expected.append(f);
        const QList<simlib::RecordedFrame> read = readDevice(folder, device);
        QCOMPARE(read.size(), expected.size());
        QCOMPARE(QFile::exists(QDir(folder).filePath(FrameRecorder::deviceFileName(device))),
                 !expected.isEmpty());
        for (int i = 0; i < read.size(); ++i) {
            QCOMPARE(read.at(i).bytes, expected.at(i).bytes);
            QCOMPARE(read.at(i).contentType, QByteArray(expected.at(i).type).replace("\r\n", ""));
            QCOMPARE(read.at(i).timeUs, expected.at(i).timeUs);
        }
    }
}

void tst_FrameRecorder::fullQueueDropsFromRecordingOnly()
{
    QTemporaryDir dir;
    FrameRecorder::Limits limits;
    limits.maxQueuedFrames = 2;
    FrameRecorder recorder(limits);
    // The writer waits in front of its first frame until released, as a
    // slow disk would make it.
    QSemaphore entered;
    QSemaphore release;
    bool first = true;
    recorder.setBeforeWrite([&] {
        if (!first)
            return;
        first = false;
        entered.release();
        release.acquire();
    });
    QString error;
    QVERIFY(recorder.start(dir.path(), &error));
    QVERIFY(record(recorder, {0, "image/jpeg", "frame 0", 0}));
    QVERIFY(entered.tryAcquire(1, 5000));
    QList<bool> accepted;
    for (int i = 1; i < 10; ++i)
        accepted.append(record(recorder, {0, "image/jpeg", "frame " + QByteArray::number(i), i}));
    QCOMPARE(accepted, (QList<bool>{true, true, false, false, false, false, false, false, false}));
    QCOMPARE(recorder.framesDropped(), 7);
    // Another device has a share of its own.
    QVERIFY(record(recorder, {1, "image/jpeg", "other device", 0}));
    release.release();
    recorder.stop();
    const QList<simlib::RecordedFrame> read = readDevice(dir.path(), 0);
    QCOMPARE(read.size(), 3);
    QCOMPARE(read.at(2).bytes, QByteArray("frame 2"));
    QCOMPARE(recorder.framesWritten(), 4);
}

void tst_FrameRecorder::failureStopsOnce_data()
{
    QTest::addColumn<QString>("trap"); // what the device's file is
    QTest::addColumn<QString>("reason");
    QTest::newRow("disk full") << "/dev/full"
                               << "cannot write .*dev0.mjpeg: .*space";
    QTest::newRow("the file's name is taken by a folder") << "folder"
                                                          << "cannot open .*dev0.mjpeg";
}

void tst_FrameRecorder::failureStopsOnce()
{
    QFETCH(QString, trap);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const QString file = dir.filePath(FrameRecorder::deviceFileName(0));
    if (trap == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(file));
    else
        QVERIFY(QFile::link(trap, file));
    FrameRecorder recorder;
    QSignalSpy stopped(&recorder, &FrameRecorder::stoppedByItself);
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^Recording stopped: ") + reason));
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
    QString error;
    QVERIFY(recorder.start(dir.path(), &error));
    // Large enough that the disk-full error shows at the first flush.
    const QByteArray body(64 * 1024, 'x');
    for (int i = 0; i < 5 && recorder.isRecording(); ++i)
        record(recorder, {0, "image/jpeg", body, i});
    QTRY_COMPARE_WITH_TIMEOUT(stopped.size(), 1, 5000);
    QVERIFY(!recorder.isRecording());
    QVERIFY(!record(recorder, {0, "image/jpeg", body, 9}));
    QCOMPARE(recorder.framesDropped(), 0);
    recorder.stop();
    QCOMPARE(stopped.size(), 1);
    QVERIFY2(QRegularExpression(reason).match(recorder.stopReason()).hasMatch(),
             qPrintable(recorder.stopReason()));
    QCOMPARE(recorder.framesWritten(), 0);
}

void tst_FrameRecorder::unusableFolderIsRefused()
{
    // Tests run as root, which writes into read-only folders; a folder
    // below a plain file can be made by nobody.
    QTemporaryDir dir;
    writeFile(dir.filePath(QStringLiteral("file")), "x");
    FrameRecorder recorder;
    QString error;
    QVERIFY(!recorder.start(dir.filePath(QStringLiteral("file/sub")), &error));
    QVERIFY2(error.contains(QStringLiteral("cannot create the folder")), qPrintable(error));
    QVERIFY(!recorder.isRecording());
    QVERIFY(!record(recorder, {0, "image/jpeg", "x", 0}));
}

void tst_FrameRecorder::sizeCapEndsCleanly()
{
    QTemporaryDir dir;
    const Frame f{0, "image/jpeg", QByteArray(1000, 'j'), 1000000};
    FrameRecorder::Limits limits;
    limits.maxTotalBytes = 3 * partBytes(f) + partBytes(f) / 2;
    FrameRecorder recorder(limits);
    QSignalSpy stopped(&recorder, &FrameRecorder::stoppedByItself);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("size limit")));
    QString error;
    QVERIFY(recorder.start(dir.path(), &error));
    for (int i = 0; i < 5; ++i)
        record(recorder, f);
    QTRY_COMPARE_WITH_TIMEOUT(stopped.size(), 1, 5000);
    recorder.stop();
    QCOMPARE(recorder.framesWritten(), 3);
    QCOMPARE(recorder.bytesWritten(), 3 * partBytes(f));
    // The file ends with the last whole part.
    const QByteArray file = readFile(QDir(dir.path()).filePath(FrameRecorder::deviceFileName(0)));
    QCOMPARE(file.size(), 3 * partBytes(f));
    QCOMPARE(readDevice(dir.path(), 0).size(), 3);
}

void tst_FrameRecorder::restartsWithFreshCounts()
{
    QTemporaryDir dir;
    FrameRecorder recorder;
    QString error;
    QVERIFY(recorder.start(dir.filePath(QStringLiteral("a")), &error));
    QVERIFY(!recorder.start(dir.filePath(QStringLiteral("b")), &error));
    QVERIFY(record(recorder, {1, "image/jpeg", "one", 1}));
    recorder.stop();
    recorder.stop();
    QVERIFY(recorder.start(dir.filePath(QStringLiteral("b")), &error));
    QCOMPARE(recorder.framesWritten(), 0);
    QVERIFY(record(recorder, {1, "image/jpeg", "two", 2}));
    recorder.stop();
    QCOMPARE(readDevice(dir.filePath(QStringLiteral("a")), 1).size(), 1);
    QCOMPARE(readDevice(dir.filePath(QStringLiteral("b")), 1).at(0).bytes, QByteArray("two"));
}

void tst_FrameRecorder::maxMbSetting_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("mb");
    QTest::addColumn<bool>("warns");
    QTest::newRow("unset") << "" << FrameRecorder::DefaultMaxMb << false;
    QTest::newRow("a number") << " 12 " << qint64(12) << false;
    QTest::newRow("zero") << "0" << FrameRecorder::DefaultMaxMb << true;
    QTest::newRow("negative") << "-1" << FrameRecorder::DefaultMaxMb << true;
    QTest::newRow("text") << "lots" << FrameRecorder::DefaultMaxMb << true;
    QTest::newRow("too large for bytes") << "99999999999999" << FrameRecorder::DefaultMaxMb << true;
}

void tst_FrameRecorder::maxMbSetting()
{
    QFETCH(QString, text);
    QFETCH(qint64, mb);
    QFETCH(bool, warns);
    QString warning;
    QCOMPARE(FrameRecorder::maxMbFromSetting(text, &warning), mb);
    QCOMPARE(!warning.isEmpty(), warns);
}

void tst_FrameRecorder::sessionFolderName()
{
    const QDateTime t(QDate(2026, 12, 9), QTime(11, 34, 36));
    QCOMPARE(FrameRecorder::sessionFolderName(t), QStringLiteral("2026-12-09_11-34-36"));
    // A second session of the same second does not overwrite the first.
    QTemporaryDir dir;
    const QString first = FrameRecorder::newSessionFolder(dir.path(), t);
    QCOMPARE(first, dir.filePath(QStringLiteral("2026-12-09_11-34-36")));
    QVERIFY(QDir().mkpath(first));
    const QString second = FrameRecorder::newSessionFolder(dir.path(), t);
    QCOMPARE(second, dir.filePath(QStringLiteral("2026-12-09_11-34-36_2")));
    QVERIFY(QDir().mkpath(second));
    QCOMPARE(FrameRecorder::newSessionFolder(dir.path(), t),
             dir.filePath(QStringLiteral("2026-12-09_11-34-36_3")));
}

QTEST_GUILESS_MAIN(tst_FrameRecorder)
#include "tst_framerecorder.moc"
