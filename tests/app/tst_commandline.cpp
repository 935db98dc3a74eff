// SPDX-License-Identifier: MIT
#include "appfiles.h"
#include "commandline.h"
#include "configfilepath.h"

#include <QDir>
#include <QFile>
#include <QIcon>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(CommandLine::Action)

// The command line framescope reads before its window exists, and where it
// finds the optional files beside the executable or in the user's folder.
class tst_CommandLine : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void usageNamesEveryKey();
    void appFile_data();
    void appFile();
    void builtInIconWithoutFavicon();
};

void tst_CommandLine::parse_data()
{
    using A = CommandLine::Action;
    const QString def = QString::fromLatin1(DefaultConfigFile);
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<A>("action");
    QTest::addColumn<QString>("configPath");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message"); // a part of message(), on the right stream

    QTest::newRow("no argument: the default file") << QStringList{} << A::Run << def << 0 << "";
    QTest::newRow("first positional is the configuration")
        << QStringList{"cams.ini"} << A::Run << "cams.ini" << 0 << "";
    QTest::newRow("further positionals are ignored")
        << QStringList{"a.ini", "b.ini"} << A::Run << "a.ini" << 0 << "";
    QTest::newRow("path with spaces and a leading ./-")
        << QStringList{"./-odd name.ini"} << A::Run << "./-odd name.ini" << 0 << "";
    QTest::newRow("--help") << QStringList{"--help"} << A::ShowHelp << def << 0 << "Usage:";
    QTest::newRow("-h after a path")
        << QStringList{"cams.ini", "-h"} << A::ShowHelp << "cams.ini" << 0 << "Usage:";
    QTest::newRow("--version") << QStringList{"--version"} << A::ShowVersion << def << 0
                               << "framescope ";
    QTest::newRow("--help wins over --version")
        << QStringList{"--version", "--help"} << A::ShowHelp << def << 0 << "Usage:";
    QTest::newRow("unknown long option")
        << QStringList{"--bogus"} << A::BadUsage << def << 2 << "unknown option '--bogus'";
    QTest::newRow("unknown option after the path")
        << QStringList{"cams.ini", "-x"} << A::BadUsage << "cams.ini" << 2 << "unknown option '-x'";
    QTest::newRow("a bad option wins over --help")
        << QStringList{"--help", "--helpp"} << A::BadUsage << def << 2 << "'--helpp'";
    QTest::newRow("only the first unknown option is named")
        << QStringList{"-a", "-b"} << A::BadUsage << def << 2 << "'-a'\n";
    QTest::newRow("Qt's own options are refused")
        << QStringList{"-platform", "offscreen"} << A::BadUsage << "offscreen" << 2
        << "'-platform'";
    QTest::newRow("a lone dash") << QStringList{"-"} << A::BadUsage << def << 2 << "'-'";
    QTest::newRow("a double dash")
        << QStringList{"--", "cams.ini"} << A::BadUsage << "cams.ini" << 2 << "'--'";
    QTest::newRow("--version=1 is not --version")
        << QStringList{"--version=1"} << A::BadUsage << def << 2 << "'--version=1'";
    QTest::newRow("an empty first argument is still the path")
        << QStringList{"", "b.ini"} << A::Run << "" << 0 << "";
    QTest::newRow("--record before the configuration")
        << QStringList{"--record", "rec", "cams.ini"} << A::Run << "cams.ini" << 0 << "";
    QTest::newRow("--record after the configuration")
        << QStringList{"cams.ini", "--record", "/tmp/rec dir"} << A::Run << "cams.ini" << 0 << "";
    QTest::newRow("the folder is not taken for the configuration")
        << QStringList{"--record", "rec"} << A::Run << def << 0 << "";
    QTest::newRow("a folder starting with a dash")
        << QStringList{"--record", "-rec"} << A::Run << def << 0 << "";
    QTest::newRow("--record without a folder")
        << QStringList{"--record"} << A::BadUsage << def << 2 << "'--record' needs a folder";
    QTest::newRow("--record with an empty folder")
        << QStringList{"--record", "", "cams.ini"} << A::BadUsage << "cams.ini" << 2
        << "'--record' needs a folder";
    QTest::newRow("--measure with its options")
        << QStringList{"--measure", "10",        "--json",   "-out.json",
                       "--expect",  "fps>=24.5", "--expect", "loss<=0.1%,delay_p99<=40ms",
                       "--stats",   "s.csv",     "cams.ini"}
        << A::Run << "cams.ini" << 0 << "";
    QTest::newRow("--measure without seconds")
        << QStringList{"--measure", "soon", "cams.ini"} << A::BadUsage << "cams.ini" << 2
        << "--measure 'soon' is not a number of seconds";
    QTest::newRow("--expect without --measure")
        << QStringList{"--expect", "fps>=1"} << A::BadUsage << def << 2 << "need '--measure";
    QTest::newRow("an --expect of an unknown key")
        << QStringList{"--measure", "1", "--expect", "fsp>=1"} << A::BadUsage << def << 2
        << "unknown key 'fsp'";
    QTest::newRow("--stats without a file")
        << QStringList{"--stats"} << A::BadUsage << def << 2 << "'--stats' needs a value";
}

void tst_CommandLine::parse()
{
    QFETCH(QStringList, args);
    QFETCH(CommandLine::Action, action);
    QFETCH(QString, configPath);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    const CommandLine cl(QStringList{"framescope"} + args);
    QCOMPARE(cl.action(), action);
    QCOMPARE(cl.configPath(), configPath);
    QCOMPARE(cl.exitCode(), exitCode);
    QCOMPARE(cl.messageToStderr(), action == CommandLine::Action::BadUsage);
    QVERIFY2(cl.message().contains(message), qPrintable(cl.message()));
    // A run records into the folder after --record, and nothing without it.
    const qsizetype record = args.indexOf(QStringLiteral("--record"));
    const bool records = action == CommandLine::Action::Run && record >= 0;
    QCOMPARE(cl.recordFolder(), records ? args[record + 1] : QString());
    // The one run that measures names three thresholds and a statistics file.
    if (action == CommandLine::Action::Run) {
        const bool measures = args.contains("--measure");
        QCOMPARE(cl.measure(), measures);
        QCOMPARE(cl.expectations().size(), measures ? 3 : 0);
        QCOMPARE(cl.statsFile().isEmpty(), !measures);
    }
    if (action == CommandLine::Action::Run)
        QVERIFY(cl.message().isEmpty());
    if (action == CommandLine::Action::BadUsage) {
        // The error first, then the usage, so that the reader sees both.
        QVERIFY(cl.message().startsWith(QStringLiteral("framescope: ")));
        QVERIFY(cl.message().endsWith(CommandLine::usage()));
    }
}

void tst_CommandLine::usageNamesEveryKey()
{
    const QString usage = CommandLine::usage();
    for (const char* key : {"no_statusbar",  "host=",        "port=",         "protocol=",
                            "sizeX=",        "sizeY=",       "logfile=",      "contentoverwrite=",
                            "title.txt",     "favicon.png",  "reference.jpg", "--help",
                            "--version",     "--record",     "record_max_mb", "README",
                            "framescope(1)", "--measure",    "--expect",      "--json",
                            "--stats",       "stats_seconds"})
        QVERIFY2(usage.contains(QLatin1String(key)), key);
    // The exit codes the program can return.
    QVERIFY(usage.contains(QStringLiteral("\n  0  ")));
    QVERIFY(usage.contains(QStringLiteral("\n  1  ")));
    QVERIFY(usage.contains(QStringLiteral("\n  2  ")));
    // It fits a terminal of 80 columns.
    for (const QString& line : usage.split(QLatin1Char('\n')))
        QVERIFY2(line.size() <= 79, qPrintable(line));
}

void tst_CommandLine::appFile_data()
{
    QTest::addColumn<QStringList>("present"); // "exe/name" or "user/name"; a trailing / is a folder
    QTest::addColumn<QString>("expected");    // folder it is found in, empty for none

    QTest::newRow("nowhere") << QStringList{} << "";
    QTest::newRow("beside the executable") << QStringList{"exe/title.txt"} << "exe";
    QTest::newRow("in the user's folder") << QStringList{"user/title.txt"} << "user";
    QTest::newRow("beside the executable comes first")
        << QStringList{"exe/title.txt", "user/title.txt"} << "exe";
    QTest::newRow("a folder of that name does not count")
        << QStringList{"exe/title.txt/", "user/title.txt"} << "user";
    QTest::newRow("another file does not count") << QStringList{"exe/favicon.png"} << "";
}

void tst_CommandLine::appFile()
{
    QFETCH(QStringList, present);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QDir root(dir.path());
    QVERIFY(root.mkpath(QStringLiteral("exe")) && root.mkpath(QStringLiteral("user")));
    for (const QString& entry : std::as_const(present)) {
        if (entry.endsWith(QLatin1Char('/'))) {
            QVERIFY(root.mkpath(entry));
        } else {
            QFile file(root.filePath(entry));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
    }
    // An empty folder entry, as an unset configuration location gives, is
    // skipped instead of meaning the current directory.
    const QStringList folders{root.filePath(QStringLiteral("exe")), QString(),
                              root.filePath(QStringLiteral("user"))};
    const QString found = findAppFile(QStringLiteral("title.txt"), folders);
    if (expected.isEmpty())
        QVERIFY2(found.isEmpty(), qPrintable(found));
    else
        QCOMPARE(found, root.filePath(expected + QStringLiteral("/title.txt")));
}

void tst_CommandLine::builtInIconWithoutFavicon()
{
    // Test mode points the user's folder away from the real one.
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY(appFilePath(QStringLiteral("favicon.png")).isEmpty());
    const QIcon icon = appWindowIcon();
    QVERIFY(!icon.isNull());
    const QList<QSize> sizes = icon.availableSizes();
    QVERIFY(sizes.contains(QSize(16, 16)));
    QVERIFY(sizes.contains(QSize(256, 256)));
    QCOMPARE(icon.pixmap(QSize(48, 48)).size(), QSize(48, 48));
}

// QIcon needs the GUI application; the helper runs it offscreen.
QTEST_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
