// SPDX-License-Identifier: MIT
#include "framerecorder.h"
#include "imagedisplay.h"
#include "testfiles.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

// File > Record in the window: the folder asked for once and remembered, the
// size cap from the configuration, and what the action and the REC label
// show when a recording cannot start or ends by itself.
class tst_WindowRecording : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void folderAskedOnce_data();
    void folderAskedOnce();
    void sizeCapFromConfiguration_data();
    void sizeCapFromConfiguration();
    void unusableFolderLeavesActionOff();
    void unusableChosenFolderAskedAgain();
    void endByItselfUnchecksAction();

private:
    QString writeConfig(const QByteArray& text);
    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_WindowRecording::initTestCase()
{
    // The per-user settings of the test, away from the real ones.
    QStandardPaths::setTestModeEnabled(true);
}

void tst_WindowRecording::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QSettings().remove(QLatin1String(imageDisplay::RecordFolderKey));
}

QString tst_WindowRecording::writeConfig(const QByteArray& text)
{
    const QString path = m_dir->filePath(QStringLiteral("cams.ini"));
    writeFile(path, text);
    return path;
}

void tst_WindowRecording::folderAskedOnce_data()
{
    QTest::addColumn<QString>("remembered"); // in the user settings before; "" for none
    QTest::addColumn<QString>("answer");     // the dialog's; "" cancels
    QTest::addColumn<QString>("proposed");   // what the dialog should offer; "" = default
    QTest::newRow("first run: recordings/ beside the configuration") << ""
                                                                     << "rec"
                                                                     << "";
    QTest::newRow("the folder used last is proposed") << "old"
                                                      << "rec"
                                                      << "old";
    QTest::newRow("cancelled: nothing recorded, nothing remembered") << ""
                                                                     << ""
                                                                     << "";
}

void tst_WindowRecording::folderAskedOnce()
{
    QFETCH(QString, remembered);
    QFETCH(QString, answer);
    QFETCH(QString, proposed);
    if (!remembered.isEmpty())
        QSettings().setValue(QLatin1String(imageDisplay::RecordFolderKey),
                             m_dir->filePath(remembered));
    const QString config = writeConfig("[General]\n");
    imageDisplay window(config);
    QCOMPARE(window.defaultRecordFolder(), m_dir->filePath(QStringLiteral("recordings")));
    QStringList offered;
    window.setRecordFolderDialog([&](QWidget*, const QString& p) {
        offered.append(p);
        return answer.isEmpty() ? QString() : m_dir->filePath(answer);
    });
    auto* record = window.findChild<QAction*>(QStringLiteral("actionRecord"));
    QVERIFY(record != nullptr);
    const QString expected =
        proposed.isEmpty() ? window.defaultRecordFolder() : m_dir->filePath(proposed);

    for (int round = 0; round < 2; ++round) {
        record->trigger();
        QCOMPARE(record->isChecked(), !answer.isEmpty());
        QCOMPARE(window.recorder()->isRecording(), !answer.isEmpty());
        if (record->isChecked())
            record->trigger();
        QVERIFY(!window.recorder()->isRecording());
    }
    // A chosen folder is asked for once; a cancelled dialog comes again.
    const QStringList asked =
        answer.isEmpty() ? QStringList{expected, expected} : QStringList{expected};
    QCOMPARE(offered, asked);
    const QVariant stored = QSettings().value(QLatin1String(imageDisplay::RecordFolderKey));
    if (answer.isEmpty()) {
        QCOMPARE(stored.toString(), remembered.isEmpty() ? QString() : m_dir->filePath(remembered));
    } else {
        QCOMPARE(stored.toString(), m_dir->filePath(answer));
        QVERIFY(window.recorder()->folder().startsWith(m_dir->filePath(answer) + QLatin1Char('/')));
    }
    // The configuration file is only read.
    QCOMPARE(readFile(config), QByteArray("[General]\n"));
}

void tst_WindowRecording::sizeCapFromConfiguration_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<qint64>("mb");
    QTest::addColumn<bool>("warns");
    QTest::newRow("unset") << QByteArray("[General]\n") << FrameRecorder::DefaultMaxMb << false;
    QTest::newRow("set") << QByteArray("[General]\nrecord_max_mb=12\n") << qint64(12) << false;
    QTest::newRow("not a number") << QByteArray("[General]\nrecord_max_mb=big\n")
                                  << FrameRecorder::DefaultMaxMb << true;
    QTest::newRow("in a device group it is not read")
        << QByteArray("[dev9]\nrecord_max_mb=12\n") << FrameRecorder::DefaultMaxMb << false;
}

void tst_WindowRecording::sizeCapFromConfiguration()
{
    QFETCH(QByteArray, config);
    QFETCH(qint64, mb);
    QFETCH(bool, warns);
    if (warns)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^record_max_mb ")));
    QTest::failOnWarning(QRegularExpression(QStringLiteral("record_max_mb")));
    imageDisplay window(writeConfig(config));
    QCOMPARE(window.recorder()->limits().maxTotalBytes, mb * 1024 * 1024);
}

void tst_WindowRecording::unusableFolderLeavesActionOff()
{
    // Tests run as root, which may write anywhere; below a file nobody can.
    writeFile(m_dir->filePath(QStringLiteral("file")), "x");
    imageDisplay window(writeConfig("[General]\n"));
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^Recording not started: cannot create "
                                                           "the folder .*file/sub/")));
    QVERIFY(!window.startRecording(m_dir->filePath(QStringLiteral("file/sub"))));
    QVERIFY(!window.findChild<QAction*>(QStringLiteral("actionRecord"))->isChecked());
    QVERIFY(!window.recorder()->isRecording());
}

void tst_WindowRecording::unusableChosenFolderAskedAgain()
{
    writeFile(m_dir->filePath(QStringLiteral("file")), "x");
    imageDisplay window(writeConfig("[General]\n"));
    const QStringList answers{m_dir->filePath(QStringLiteral("file/sub")),
                              m_dir->filePath(QStringLiteral("rec"))};
    int asked = 0;
    window.setRecordFolderDialog([&](QWidget*, const QString&) { return answers.at(asked++); });
    auto* record = window.findChild<QAction*>(QStringLiteral("actionRecord"));
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^Recording not started: ")));
    record->trigger();
    QVERIFY(!record->isChecked());
    // The next Record asks again rather than failing on the same folder.
    record->trigger();
    QCOMPARE(asked, 2);
    QVERIFY(record->isChecked());
    QVERIFY(window.recorder()->folder().startsWith(answers.at(1) + QLatin1Char('/')));
}

void tst_WindowRecording::endByItselfUnchecksAction()
{
    imageDisplay window(writeConfig("[General]\nrecord_max_mb=1\n"));
    auto* record = window.findChild<QAction*>(QStringLiteral("actionRecord"));
    auto* rec = window.findChild<QLabel*>(QStringLiteral("recordIndicator"));
    QVERIFY(rec != nullptr);
    QVERIFY(window.startRecording(m_dir->filePath(QStringLiteral("rec"))));
    QVERIFY(record->isChecked());
    QTRY_VERIFY_WITH_TIMEOUT(rec->text().startsWith(QStringLiteral("REC 0 frames")), 2000);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("size limit of 1 MB")));
    // Every recording ends with its summary: this one at the size limit,
    // the next when the window closes.
    QTest::ignoreMessage(
        QtInfoMsg, QRegularExpression(
                       QStringLiteral("^Recording ended: 2 frames, [0-9]+ bytes, 0 dropped, in ")));
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral(
                                        "^Recording ended: 0 frames, 0 bytes, 0 dropped, in ")));
    const QByteArray frame(400 * 1024, 'f');
    for (int i = 0; i < 3; ++i)
        window.recorder()->record(0, QStringLiteral("image/jpeg"),
                                  reinterpret_cast<const unsigned char*>(frame.constData()),
                                  int(frame.size()), i);
    QTRY_VERIFY_WITH_TIMEOUT(!record->isChecked(), 5000);
    QCOMPARE(window.recorder()->framesWritten(), 2);
    QCOMPARE(rec->text(), QStringLiteral("REC stopped"));
    QVERIFY(rec->toolTip().contains(QStringLiteral("size limit")));
    // Ctrl+R starts a new recording into the same folder, asking nothing.
    int asked = 0;
    window.setRecordFolderDialog([&](QWidget*, const QString&) {
        ++asked;
        return QString();
    });
    record->trigger();
    QVERIFY(window.recorder()->isRecording());
    QCOMPARE(asked, 0);
    // Started within the same second, it gets a folder of its own.
    QCOMPARE(QDir(m_dir->filePath(QStringLiteral("rec")))
                 .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                 .size(),
             2);
}

QTEST_MAIN(tst_WindowRecording)
#include "tst_windowrecording.moc"
