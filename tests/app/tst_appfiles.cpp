// SPDX-License-Identifier: MIT
// The window's optional files, title.txt and favicon.png: anything but a
// regular file is refused without blocking, sizes are bounded, and the
// title falls back to the configuration path.
#include "appfiles.h"
#include "testfiles.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

class tst_AppFiles : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void title_data();
    void title();
    void icon_data();
    void icon();
    void windowTitle_data();
    void windowTitle();

private:
    static QString titleBesideExecutable()
    {
        return QCoreApplication::applicationDirPath() + QStringLiteral("/title.txt");
    }

    std::optional<QTemporaryDir> m_dir;
};

void tst_AppFiles::initTestCase()
{
    // Test mode points the user's folder away from the real one.
    QStandardPaths::setTestModeEnabled(true);
}

void tst_AppFiles::init()
{
    // A fresh folder for each test and row.
    m_dir.emplace();
    QVERIFY(m_dir->isValid());
    QFile::remove(titleBesideExecutable());
}

void tst_AppFiles::cleanup()
{
    QFile::remove(titleBesideExecutable());
}

void tst_AppFiles::title_data()
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

void tst_AppFiles::title()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, content);
    QFETCH(bool, found);
    QFETCH(QString, title);

    const QString path = pathOfKind(m_dir->path(), kind, content);
    QVERIFY(!path.isEmpty());
    const std::optional<QString> read = readTitleFile(path);
    QCOMPARE(read.has_value(), found);
    if (found)
        QCOMPARE(*read, title);
}

void tst_AppFiles::icon_data()
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

void tst_AppFiles::icon()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, content);
    QFETCH(bool, usable);

    const QString path = pathOfKind(m_dir->path(), kind, content);
    QVERIFY(!path.isEmpty());
    QCOMPARE(!readIconFile(path).isNull(), usable);
}

void tst_AppFiles::windowTitle_data()
{
    QTest::addColumn<bool>("withFile");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");
    QTest::newRow("first line, line end kept")
        << true << QByteArray("Lab camera\nsecond line\n") << QStringLiteral("Lab camera\n");
    QTest::newRow("single line without line end")
        << true << QByteArray("Lab camera") << QStringLiteral("Lab camera");
    QTest::newRow("Latin-1 text") << true << QByteArray("Kamera \xe4")
                                  << QStringLiteral("Kamera ä");
    QTest::newRow("empty file") << true << QByteArray() << QString();
    QTest::newRow("no file: the configuration path")
        << false << QByteArray() << QStringLiteral("conf/cams.ini");
}

// The title main gives the window, from title.txt beside the executable.
void tst_AppFiles::windowTitle()
{
    QFETCH(bool, withFile);
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    if (withFile)
        writeFile(titleBesideExecutable(), content);
    QCOMPARE(appWindowTitle(QStringLiteral("conf/cams.ini")), expected);
}

// QIcon needs the GUI application; the helper runs it offscreen.
QTEST_MAIN(tst_AppFiles)
#include "tst_appfiles.moc"
