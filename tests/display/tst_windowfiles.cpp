// SPDX-License-Identifier: MIT
// The files the window reads at start (the configuration, title.txt,
// favicon.png) and the log its histogram line goes to: anything but a
// regular file is refused without blocking, sizes are bounded.
#include "appfiles.h"
#include "getstreamimage.h"
#include "onlydisplay.h"
#include "testfiles.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class tst_WindowFiles : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void settingsFile_data();
    void settingsFile();
    void windowWithUnreadableConfiguration();
    void title_data();
    void title();
    void icon_data();
    void icon();
    void histogramLogRotates();

private:
    // A path of the kind a row names: "file" (written with `content`),
    // "fifo", "folder", "missing", or a fixed system path.
    QString makePath(const QString& kind, const QByteArray& content = QByteArray());

    std::optional<QTemporaryDir> m_dir;
};

void tst_WindowFiles::init()
{
    // A fresh folder for each test and row.
    m_dir.emplace();
    QVERIFY(m_dir->isValid());
}

QString tst_WindowFiles::makePath(const QString& kind, const QByteArray& content)
{
    if (kind.startsWith(QLatin1Char('/')))
        return kind;
    const QString path = m_dir->filePath(kind);
    if (kind == QLatin1String("file"))
        writeFile(path, content);
    else if (kind == QLatin1String("fifo")
             && ::mkfifo(QFile::encodeName(path).constData(), 0600) != 0)
        return {};
    else if (kind == QLatin1String("folder"))
        QDir(m_dir->path()).mkpath(kind);
    return path;
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

    const QString path = makePath(kind, "[dev0]\nhost=127.0.0.1\n");
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
    const QString fifo = makePath(QStringLiteral("fifo"));
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

void tst_WindowFiles::title_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("title");

    QTest::newRow("first line, line end included")
        << "file" << QByteArray("Camera wall\nsecond line\n") << true << "Camera wall\n";
    QTest::newRow("CR LF reads as LF") << "file" << QByteArray("Lab\r\nx") << true << "Lab\n";
    QTest::newRow("no line end") << "file" << QByteArray("Lab") << true << "Lab";
    QTest::newRow("empty file gives an empty title") << "file" << QByteArray() << true << "";
    QTest::newRow("Latin-1 text") << "file"
                                  << QByteArray("Stra\xdf"
                                                "e\n")
                                  << true << QStringLiteral("Stra\u00dfe\n");
    QTest::newRow("line of exactly the limit is kept whole")
        << "file" << QByteArray(TitleMaxChars, 'a') + '\n'
        << true << QString(TitleMaxChars, QLatin1Char('a')) + QLatin1Char('\n');
    QTest::newRow("1 MB line is cut") << "file" << QByteArray(1024 * 1024, 't') << true
                                      << QString(TitleMaxChars, QLatin1Char('t'));
    QTest::newRow("FIFO gives no title") << "fifo" << QByteArray() << false << QString();
    QTest::newRow("endless device gives no title")
        << "/dev/zero" << QByteArray() << false << QString();
    QTest::newRow("folder gives no title") << "folder" << QByteArray() << false << QString();
}

void tst_WindowFiles::title()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, content);
    QFETCH(bool, found);
    QFETCH(QString, title);

    const QString path = makePath(kind, content);
    QVERIFY(!path.isEmpty());
    const std::optional<QString> read = readTitleFile(path);
    QCOMPARE(read.has_value(), found);
    if (found)
        QCOMPARE(*read, title);
}

void tst_WindowFiles::icon_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("usable");

    QImage picture(16, 16, QImage::Format_RGB32);
    picture.fill(Qt::red);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "PNG");

    QTest::newRow("PNG file") << "file" << png << true;
    QTest::newRow("PNG with trailing bytes up to the bound")
        << "file" << png + QByteArray(IconMaxBytes - png.size(), '\0') << true;
    QTest::newRow("file over the bound is not read")
        << "file" << png + QByteArray(IconMaxBytes - png.size() + 1, '\0') << false;
    QTest::newRow("no picture") << "file" << QByteArray("not a picture") << false;
    QTest::newRow("FIFO") << "fifo" << QByteArray() << false;
    QTest::newRow("endless device") << "/dev/zero" << QByteArray() << false;
}

void tst_WindowFiles::icon()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, content);
    QFETCH(bool, usable);

    const QString path = makePath(kind, content);
    QVERIFY(!path.isEmpty());
    QCOMPARE(!readIconFile(path).isNull(), usable);
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
    for (int i = 0; i < imageDisplay::HistogramEveryFrames; ++i)
        emit stream->acquisitionEvent(frame, stream);

    QCOMPARE(readFile(log + QStringLiteral(".1")), old);
    const QByteArray fresh = readFile(log);
    QVERIFY2(fresh.contains("MARK histogram frame1000 ") && fresh.endsWith('\n'),
             fresh.constData());
}

QTEST_MAIN(tst_WindowFiles)
#include "tst_windowfiles.moc"
