// SPDX-License-Identifier: MIT
// The files the window reads at start (the configuration) and the log its
// histogram line goes to: anything but a regular file is refused without
// blocking, sizes are bounded.
#include "getstreamimage.h"
#include "onlydisplay.h"
#include "testfiles.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

class tst_WindowFiles : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void settingsFile_data();
    void settingsFile();
    void windowWithUnreadableConfiguration();
    void histogramLogRotates();

private:
    std::optional<QTemporaryDir> m_dir;
};

void tst_WindowFiles::init()
{
    // A fresh folder for each test and row.
    m_dir.emplace();
    QVERIFY(m_dir->isValid());
}

void tst_WindowFiles::settingsFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("used");

    QTest::newRow("regular file is read") << "file" << true;
    QTest::newRow("missing file stays silent (empty configuration)") << "missing" << true;
    QTest::newRow("FIFO is not handed to the settings") << "fifo" << false;
    QTest::newRow("endless device is not handed to the settings") << "/dev/zero" << false;
    QTest::newRow("folder is not handed to the settings") << "folder" << false;
}

void tst_WindowFiles::settingsFile()
{
    QFETCH(QString, kind);
    QFETCH(bool, used);

    const QString path = pathOfKind(m_dir->path(), kind, "[dev0]\nhost=127.0.0.1\n");
    QVERIFY(!path.isEmpty());
    if (!used) {
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression(QStringLiteral("^Configuration file \"%1\" cannot be read \\(.+\\)")
                                   .arg(QRegularExpression::escape(path))));
    }
    QCOMPARE(imageDisplay::settingsFileFor(path), used ? path : QString());
}

void tst_WindowFiles::windowWithUnreadableConfiguration()
{
    const QString fifo = pathOfKind(m_dir->path(), QStringLiteral("fifo"));
    QVERIFY(!fifo.isEmpty());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot be read")));
    // Only a check that the constructor returns: reading the FIFO as the
    // configuration would wait for a writer that never comes.
    QElapsedTimer timer;
    timer.start();
    onlyDisplay window(fifo, m_dir->filePath(QStringLiteral("reference.jpg")));
    QVERIFY2(timer.elapsed() < 10000, "the window took seconds to construct");
    QVERIFY(window.streams().isEmpty());
    QCOMPARE(window.configPath(), QFileInfo(fifo).absoluteFilePath());
}

void tst_WindowFiles::histogramLogRotates()
{
    // The window's histogram line obeys the last device's log_max_mb like
    // the device's own lines: a log just under 1 MiB is started afresh.
    const QString log = m_dir->filePath(QStringLiteral("dev0.log"));
    const QByteArray old(1024 * 1024 - 10, 'o');
    writeFile(log, old);
    const QString ini = m_dir->filePath(QStringLiteral("tcp_streaming.ini"));
    writeFile(ini, QStringLiteral("[dev0]\nhost=127.0.0.1\nport=1\nlogfile=%1\nlog_max_mb=1\n")
                       .arg(log)
                       .toLatin1());
    onlyDisplay window(ini, m_dir->filePath(QStringLiteral("reference.jpg")));
    QCOMPARE(window.streams().size(), 1);
    QCOMPARE(window.streams().first()->logMaxBytes(), qint64(1024 * 1024));

    QImage frame = solidFrame(8, 8, Qt::gray);
    GetStreamImage* stream = window.streams().first();
    for (int i = 0; i < FrameStatistics::HistogramEveryFrames; ++i)
        emit stream->acquisitionEvent(frame, stream);

    QCOMPARE(readFile(log + QStringLiteral(".1")), old);
    const QByteArray fresh = readFile(log);
    QVERIFY2(fresh.contains("MARK histogram frame1000 ") && fresh.endsWith('\n'),
             fresh.constData());
}

QTEST_MAIN(tst_WindowFiles)
#include "tst_windowfiles.moc"
