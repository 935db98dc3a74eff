// SPDX-License-Identifier: MIT
// The CSV rows of the per-frame records, and their writer on a full disk,
// at the file size limit and on a path that cannot be a file.
#include "statsexport.h"
#include "testfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

namespace {

FrameRecord frameRecord()
{
    FrameRecord r;
    r.frameNumber = 7;
    r.arrivalNs = 1500000000;
    r.wallMs = 1765364704123; // 2025-12-10T11:05:04.123Z
    r.periodNs = 40125000;
    r.bytes = 4321;
    r.content = FrameRecord::Content::Jpeg;
    r.width = 640;
    r.height = 480;
    r.convertUs = 2500;
    r.fate = FrameRecord::Fate::Shown;
    return r;
}

} // namespace

class tst_StatsExport : public QObject
{
    Q_OBJECT

private slots:
    void row_data();
    void row();
    void writerFailure_data();
    void writerFailure();
};

void tst_StatsExport::row_data()
{
    QTest::addColumn<FrameRecord>("record");
    QTest::addColumn<QByteArray>("row");

    const QByteArray start = "dev3,frame,7,2025-12-10T11:05:04.123Z,1500.000,";
    QTest::newRow("a frame shown")
        << frameRecord() << start + "40.125,,4321,image/jpeg,640,480,2.500,shown,,,,\n";
    FrameRecord delayed = frameRecord();
    delayed.hasDelay = true;
    delayed.delayUs = 12345;
    QTest::newRow("with a delay")
        << delayed << start + "40.125,12.345,4321,image/jpeg,640,480,2.500,shown,,,,\n";
    FrameRecord first = frameRecord();
    first.periodNs = -1;
    first.fate = FrameRecord::Fate::Skipped;
    first.convertUs = -1;
    first.width = first.height = 0;
    first.content = FrameRecord::Content::RawGray;
    QTest::newRow("a first frame, skipped")
        << first << start + ",,4321,video/x-raw-gray,0,0,,skipped,,,,\n";
    FrameRecord rtp = frameRecord();
    rtp.hasRtp = true;
    rtp.fate = FrameRecord::Fate::Corrupt;
    rtp.packetsExpected = 12;
    rtp.packetsLost = 2;
    rtp.packetsOutOfOrder = 1;
    rtp.jitterUs = 1250;
    QTest::newRow("an RTP frame, corrupt")
        << rtp << start + "40.125,,4321,image/jpeg,640,480,2.500,corrupt,12,2,1,1.250\n";
    FrameRecord h264 = frameRecord();
    h264.content = FrameRecord::Content::H264;
    QTest::newRow("an H.264 frame: no time stamp, an empty delay")
        << h264 << start + "40.125,,4321,video/h264,640,480,2.500,shown,,,,\n";
    FrameRecord lost = frameRecord();
    lost.kind = FrameRecord::Kind::Lost;
    QTest::newRow("an event") << lost
                              << QByteArray(
                                     "dev3,lost,7,2025-12-10T11:05:04.123Z,1500.000,,,,,,,,,,,,\n");
}

void tst_StatsExport::row()
{
    QFETCH(FrameRecord, record);
    QFETCH(QByteArray, row);
    QCOMPARE(StatsExport::row(QStringLiteral("dev3"), record), row);
    // As many fields as the header names.
    QCOMPARE(row.count(','), StatsExport::header().count(','));
}

void tst_StatsExport::writerFailure_data()
{
    QTest::addColumn<QString>("path"); // in the temporary folder unless absolute
    QTest::addColumn<qint64>("sizeLimit");
    QTest::addColumn<bool>("starts");
    QTest::addColumn<QString>("reason");

    QTest::newRow("a device reporting a full disk")
        << "/dev/full" << qint64(0) << false << "No space left on device";
    QTest::newRow("a path below a plain file")
        << "file/stats.csv" << qint64(0) << false << "Not a directory";
    QTest::newRow("the file size limit")
        << "stats.csv" << qint64(4096) << true << "stats.csv: File too large";
}

void tst_StatsExport::writerFailure()
{
    QFETCH(QString, path);
    QFETCH(qint64, sizeLimit);
    QFETCH(bool, starts);
    QFETCH(QString, reason);

    QTemporaryDir dir;
    writeFile(dir.filePath(QStringLiteral("file")), "x");
    const QString file = QDir::isAbsolutePath(path) ? path : dir.filePath(path);
    // SIGXFSZ ignored, as the viewer runs: a write past the limit fails.
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit oldLimit = {};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &oldLimit) == 0);
    if (sizeLimit > 0) {
        struct rlimit limit = oldLimit;
        limit.rlim_cur = rlim_t(sizeLimit);
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &limit) == 0);
    }

    StatsCsvWriter writer;
    QSignalSpy stopped(&writer, &StatsCsvWriter::stoppedByItself);
    QString error;
    const bool started = writer.start(file, StatsExport::header(), &error);
    if (started) {
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression(QStringLiteral("^Statistics export stopped: .*") + reason));
        for (int i = 0; i < 200 && writer.isWriting(); ++i)
            writer.add(StatsExport::row(QStringLiteral("dev0"), frameRecord()));
        QTRY_COMPARE_WITH_TIMEOUT(stopped.size(), 1, 5000);
    }
    writer.stop();
    ::setrlimit(RLIMIT_FSIZE, &oldLimit);
    std::signal(SIGXFSZ, oldHandler);

    QCOMPARE(started, starts);
    if (!starts) {
        QVERIFY2(error.contains(reason), qPrintable(error));
        return;
    }
    QCOMPARE(stopped.size(), 1);
    QVERIFY(!writer.add("late\n"));
    QVERIFY2(writer.stopReason().endsWith(reason), qPrintable(writer.stopReason()));
    // The file ends with the last whole row.
    const QByteArray written = readFile(file);
    const qsizetype rowBytes = StatsExport::row(QStringLiteral("dev0"), frameRecord()).size();
    QVERIFY(written.endsWith('\n'));
    QCOMPARE(written.size(), StatsExport::header().size() + writer.rowsWritten() * rowBytes);
    QVERIFY(writer.rowsWritten() > 0);
    QVERIFY(writer.rowsWritten() * rowBytes <= sizeLimit);
}

QTEST_GUILESS_MAIN(tst_StatsExport)
#include "tst_statsexport.moc"
