// SPDX-License-Identifier: MIT
// appendDeviceLog: lines reach a regular file, every failure is reported,
// nothing blocks, and the file is started afresh at its size limit.
#include "devicelog.h"
#include "testfiles.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class tst_DeviceLog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void append_data();
    void append();
    void rotation_data();
    void rotation();

private:
    QTemporaryDir m_dir;
};

void tst_DeviceLog::init()
{
    QVERIFY(m_dir.isValid());
}

void tst_DeviceLog::append_data()
{
    QTest::addColumn<QString>("kind"); // as pathOfKind takes it
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("fileContent"); // checked where the append succeeds

    QTest::newRow("new file is created")
        << "missing" << QStringLiteral("12:00:00.000: MARK 64k packets\n") << true
        << QByteArray("12:00:00.000: MARK 64k packets\n");
    QTest::newRow("characters outside Latin-1 become '?'")
        << "missing" << QStringLiteral("caf\u00e9 \u20ac\n") << true << QByteArray("caf\xe9 ?\n");
    QTest::newRow("FIFO without a reader fails at once")
        << "fifo" << QStringLiteral("line\n") << false << QByteArray();
    QTest::newRow("full device fails")
        << "/dev/full" << QStringLiteral("line\n") << false << QByteArray();
    QTest::newRow("folder fails") << "folder" << QStringLiteral("line\n") << false << QByteArray();
    QTest::newRow("missing folder fails")
        << "nofolder/dev0.log" << QStringLiteral("line\n") << false << QByteArray();
}

void tst_DeviceLog::append()
{
    QFETCH(QString, kind);
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(QByteArray, fileContent);

    // A folder of its own for each row: every row starts without a log.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = pathOfKind(dir.path(), kind);
    QVERIFY(!path.isEmpty());

    // Only a check that the call returns: a blocking open would stay here.
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(appendDeviceLog(path, text), ok);
    QVERIFY2(timer.elapsed() < 5000, "the append took seconds");
    if (ok)
        QCOMPARE(readFile(path), fileContent);
}

void tst_DeviceLog::rotation_data()
{
    QTest::addColumn<QByteArray>("before");    // the log's content ahead of the call
    QTest::addColumn<QByteArray>("olderFile"); // an existing .1, empty for none
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("maxBytes");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<QByteArray>("rotated"); // the .1 file afterwards, empty for none

    QTest::newRow("below the limit appends")
        << QByteArray("0123456789\n") << QByteArray() << "abc\n"
        << qint64(100) << QByteArray("0123456789\nabc\n") << QByteArray();
    QTest::newRow("exactly at the limit appends")
        << QByteArray("0123456789\n") << QByteArray() << "abc\n"
        << qint64(15) << QByteArray("0123456789\nabc\n") << QByteArray();
    QTest::newRow("past the limit starts a new file")
        << QByteArray("0123456789\n") << QByteArray() << "abc\n"
        << qint64(14) << QByteArray("abc\n") << QByteArray("0123456789\n");
    QTest::newRow("an older .1 is replaced")
        << QByteArray("0123456789\n") << QByteArray("oldest\n") << "abc\n"
        << qint64(14) << QByteArray("abc\n") << QByteArray("0123456789\n");
    QTest::newRow("a text longer than the limit goes into an empty file")
        << QByteArray() << QByteArray() << "0123456789\n"
        << qint64(4) << QByteArray("0123456789\n") << QByteArray();
}

void tst_DeviceLog::rotation()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, olderFile);
    QFETCH(QString, text);
    QFETCH(qint64, maxBytes);
    QFETCH(QByteArray, after);
    QFETCH(QByteArray, rotated);

    const QString path = m_dir.filePath(QStringLiteral("dev0.log"));
    const QString older = path + QStringLiteral(".1");
    QFile::remove(path);
    QFile::remove(older);
    if (!before.isEmpty())
        writeFile(path, before);
    if (!olderFile.isEmpty())
        writeFile(older, olderFile);

    QVERIFY(appendDeviceLog(path, text, maxBytes));
    QCOMPARE(readFile(path), after);
    if (rotated.isEmpty())
        QCOMPARE(QFile::exists(older), !olderFile.isEmpty());
    else
        QCOMPARE(readFile(older), rotated);
}

QTEST_GUILESS_MAIN(tst_DeviceLog)
#include "tst_devicelog.moc"
