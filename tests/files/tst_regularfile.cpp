// SPDX-License-Identifier: MIT
// readRegularFile: FIFOs, devices and folders are refused without blocking,
// regular files are read up to the bound.
#include "regularfile.h"
#include "testfiles.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

class tst_RegularFile : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void read_data();
    void read();

private:
    QTemporaryDir m_dir;
};

void tst_RegularFile::init()
{
    QVERIFY(m_dir.isValid());
}

void tst_RegularFile::read_data()
{
    QTest::addColumn<QString>("kind");       // as pathOfKind takes it
    QTest::addColumn<QByteArray>("content"); // of a file
    QTest::addColumn<qint64>("maxBytes");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QString>("errorPart");

    const QByteArray jpegStart = raw("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00");
    QTest::newRow("regular file, whole")
        << "file" << jpegStart << qint64(1024) << true << jpegStart << QString();
    QTest::newRow("regular file larger than the bound gives only the bound")
        << "file" << QByteArray(5000, 'x') << qint64(1024) << true << QByteArray(1024, 'x')
        << QString();
    QTest::newRow("bound of 0 opens and checks only")
        << "file" << QByteArray("abc") << qint64(0) << true << QByteArray() << QString();
    QTest::newRow("empty regular file")
        << "file" << QByteArray() << qint64(16) << true << QByteArray() << QString();
    QTest::newRow("FIFO without a writer is refused at once")
        << "fifo" << QByteArray() << qint64(1024) << false << QByteArray() << "regular";
    QTest::newRow("endless device is refused")
        << "/dev/zero" << QByteArray() << qint64(1024) << false << QByteArray() << "regular";
    QTest::newRow("folder is refused")
        << "folder" << QByteArray() << qint64(1024) << false << QByteArray() << "regular";
    QTest::newRow("missing file") << "missing" << QByteArray() << qint64(1024) << false
                                  << QByteArray() << "No such file";
}

void tst_RegularFile::read()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, content);
    QFETCH(qint64, maxBytes);
    QFETCH(bool, accepted);
    QFETCH(QByteArray, expected);
    QFETCH(QString, errorPart);

    const QString path = pathOfKind(m_dir.path(), kind, content);
    QVERIFY(!path.isEmpty());

    QString error;
    // Only a check that the call returns: a blocking open would never get
    // past this line.
    QElapsedTimer timer;
    timer.start();
    const std::optional<QByteArray> bytes = readRegularFile(path, maxBytes, &error);
    QVERIFY2(timer.elapsed() < 5000, "the read took seconds");

    QCOMPARE(bytes.has_value(), accepted);
    if (accepted) {
        QCOMPARE(*bytes, expected);
    } else {
        QVERIFY2(error.contains(errorPart, Qt::CaseInsensitive), qPrintable(error));
    }
}

QTEST_GUILESS_MAIN(tst_RegularFile)
#include "tst_regularfile.moc"
