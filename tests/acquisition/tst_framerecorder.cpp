// SPDX-License-Identifier: MIT
#include "framerecorder.h"
#include "recordingreader.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/mount.h>
#include <sys/resource.h>

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

// Makes the device's file a trap for the recorder and takes it away again:
// "folder" takes the file's name, an absolute path (/dev/full) is linked
// in its place, "fsize" sets the process's file size limit to `bytes` with
// SIGXFSZ ignored, as the viewer runs, "tmpfs" mounts a file system of
// `bytes` on the session folder.
class Trap
{
public:
    Trap(const QString& kind, const QString& folder, qint64 bytes) : m_folder(folder)
    {
        const QString file = QDir(folder).filePath(FrameRecorder::deviceFileName(0));
        if (kind == QLatin1String("folder")) {
            m_ready = QDir().mkpath(file);
        } else if (kind == QLatin1String("fsize")) {
            m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
            m_ready = ::getrlimit(RLIMIT_FSIZE, &m_oldLimit) == 0;
            struct rlimit limit = m_oldLimit;
            limit.rlim_cur = rlim_t(bytes);
            m_limited = m_ready && ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
            m_ready = m_limited;
        } else if (kind == QLatin1String("tmpfs")) {
            const QByteArray options = "size=" + QByteArray::number(bytes);
            m_mounted = ::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs",
                                MS_NOSUID | MS_NODEV, options.constData())
                        == 0;
            m_ready = m_mounted;
        } else {
            m_ready = QFile::link(kind, file);
        }
    }
    ~Trap()
    {
        release();
        unmount();
    }
    Trap(const Trap&) = delete;
    Trap& operator=(const Trap&) = delete;
    bool ready() const { return m_ready; }
    // Back to what the process had; the files stay for reading.
    void release()
    {
        if (m_limited)
            ::setrlimit(RLIMIT_FSIZE, &m_oldLimit);
        if (m_oldHandler != SIG_ERR)
            std::signal(SIGXFSZ, m_oldHandler);
        m_limited = false;
        m_oldHandler = SIG_ERR;
    }
    void unmount()
    {
        if (m_mounted)
            ::umount2(QFile::encodeName(m_folder).constData(), MNT_DETACH);
        m_mounted = false;
    }

private:
    QString m_folder;
    bool m_ready = false;
    bool m_limited = false;
    bool m_mounted = false;
    struct rlimit m_oldLimit = {};
    void (*m_oldHandler)(int) = SIG_ERR;
};

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
    void fullQueueDropsFromRecordingOnly_data();
    void fullQueueDropsFromRecordingOnly();
    void failureStopsOnce_data();
    void failureStopsOnce();
    void unusableFolderIsRefused();
    void sizeCapEndsCleanly();
    void restartsWithFreshCounts();
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

void tst_FrameRecorder::fullQueueDropsFromRecordingOnly_data()
{
    QTest::addColumn<int>("maxFrames");
    QTest::addColumn<qint64>("maxBytes");
    // Frames of 100 bytes: either bound lets two wait behind the one
    // being written.
    QTest::newRow("frame count") << 2 << FrameRecorder::DefaultMaxQueuedBytes;
    QTest::newRow("byte budget") << FrameRecorder::DefaultMaxQueuedFrames << qint64(250);
}

void tst_FrameRecorder::fullQueueDropsFromRecordingOnly()
{
    QFETCH(int, maxFrames);
    QFETCH(qint64, maxBytes);
    const auto frame = [](int i) {
        return Frame{0, "image/jpeg", ("frame " + QByteArray::number(i)).leftJustified(100, '.'),
                     i};
    };
    QTemporaryDir dir;
    FrameRecorder::Limits limits;
    limits.maxQueuedFrames = maxFrames;
    limits.maxQueuedBytes = maxBytes;
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
    // Also when a check fails: the writer is let go and ended while what
    // its hook uses still exists.
    const auto unblock = qScopeGuard([&] {
        release.release();
        recorder.stop();
    });
    QString error;
    QVERIFY(recorder.start(dir.path(), &error));
    QVERIFY(record(recorder, frame(0)));
    QVERIFY(entered.tryAcquire(1, 5000));
    QList<bool> accepted;
    for (int i = 1; i < 10; ++i)
        accepted.append(record(recorder, frame(i)));
    QCOMPARE(accepted, (QList<bool>{true, true, false, false, false, false, false, false, false}));
    QCOMPARE(recorder.framesDropped(), 7);
    // Another device has a share of its own.
    QVERIFY(record(recorder, {1, "image/jpeg", QByteArray(100, 'o'), 0}));
    release.release();
    // What is written is given back: the queue takes as many again.
    QTRY_COMPARE_WITH_TIMEOUT(recorder.framesWritten(), 4, 5000);
    QVERIFY(record(recorder, frame(10)));
    QVERIFY(record(recorder, frame(11)));
    recorder.stop();
    const QList<simlib::RecordedFrame> read = readDevice(dir.path(), 0);
    QCOMPARE(read.size(), 5);
    QCOMPARE(read.at(2).bytes, frame(2).bytes);
    QCOMPARE(read.at(4).bytes, frame(11).bytes);
    QCOMPARE(recorder.framesWritten(), 6);
    QCOMPARE(recorder.framesDropped(), 7);
}

void tst_FrameRecorder::failureStopsOnce_data()
{
    QTest::addColumn<QString>("trap"); // what the device's file is
    QTest::addColumn<qint64>("trapBytes");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<int>("written"); // whole frames the file keeps
    // Parts of 64 KiB and a little: two fit below 150000 bytes, three in
    // a file system of 256 KiB.
    QTest::newRow("device reporting a full disk")
        << "/dev/full" << qint64(0) << "cannot write .*dev0.mjpeg: No space left on device$" << 0;
    QTest::newRow("the file's name is taken by a folder")
        << "folder" << qint64(0) << "cannot open .*dev0.mjpeg: Is a directory$" << 0;
    QTest::newRow("file size limit")
        << "fsize" << qint64(150000) << "cannot write .*dev0.mjpeg: File too large$" << 2;
    QTest::newRow("small file system full")
        << "tmpfs" << qint64(256 * 1024) << "cannot write .*dev0.mjpeg: No space left on device$"
        << 3;
}

void tst_FrameRecorder::failureStopsOnce()
{
    QFETCH(QString, trap);
    QFETCH(qint64, trapBytes);
    QFETCH(QString, reason);
    QFETCH(int, written);
    QTemporaryDir dir;
    Trap trapped(trap, dir.path(), trapBytes);
    if (trap == QLatin1String("tmpfs") && !trapped.ready())
        QSKIP("a small tmpfs cannot be mounted here (needs CAP_SYS_ADMIN)");
    QVERIFY(trapped.ready());
    FrameRecorder recorder;
    QSignalSpy stopped(&recorder, &FrameRecorder::stoppedByItself);
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^Recording stopped: ") + reason));
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
    QString error;
    QVERIFY(recorder.start(dir.path(), &error));
    const QByteArray body(64 * 1024, 'x');
    for (int i = 0; i < 5 && recorder.isRecording(); ++i)
        record(recorder, {0, "image/jpeg", body, i});
    QTRY_COMPARE_WITH_TIMEOUT(stopped.size(), 1, 5000);
    QVERIFY(!recorder.isRecording());
    QVERIFY(!record(recorder, {0, "image/jpeg", body, 9}));
    QCOMPARE(recorder.framesDropped(), 0);
    recorder.stop();
    trapped.release();
    QCOMPARE(stopped.size(), 1);
    QVERIFY2(QRegularExpression(reason).match(recorder.stopReason()).hasMatch(),
             qPrintable(recorder.stopReason()));
    QCOMPARE(recorder.framesWritten(), written);
    if (written > 0) {
        // The part that did not fit is cut off again: the file ends with
        // the last whole frame and reads back whole.
        const QString file = QDir(dir.path()).filePath(FrameRecorder::deviceFileName(0));
        QCOMPARE(QFileInfo(file).size(), written * partBytes({0, "image/jpeg", body, 0}));
        QCOMPARE(recorder.bytesWritten(), QFileInfo(file).size());
        const QList<simlib::RecordedFrame> read = readDevice(dir.path(), 0);
        QCOMPARE(read.size(), written);
        QCOMPARE(read.last().bytes, body);
    }
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
