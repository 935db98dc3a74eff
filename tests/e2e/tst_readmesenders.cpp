// SPDX-License-Identifier: MIT
// The sender command lines README.md gives (GStreamer and FFmpeg), run as
// they are written, with only the port changed, against a worker on
// 127.0.0.1 set up as the device the README pairs them with: their frames
// arrive and decode at the size the command names.
#include "loopbackpeer.h"
#include "threadedworker.h"

#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/socket.h>

using LinkState = ImageGetWorker::LinkState;

namespace {

constexpr int FramesWanted = 10;
// Bounds a waiting connect loop while a TCP sender starts listening.
constexpr int MaxConnectAttempts = 100;

// A sender command line of the README and the device it goes with.
struct ReadmeSender
{
    int line = 0;     // where it starts in README.md, from 1
    QString command;  // continuation lines joined
    QString protocol; // of the device the README names for it
    int port = 0;     // that device's port, as the command uses it
};

const QStringList SenderPrograms = {QStringLiteral("gst-launch-1.0"), QStringLiteral("ffmpeg")};

bool isSender(const QString& command)
{
    return SenderPrograms.contains(command.section(QLatin1Char(' '), 0, 0));
}

// The device named last in `text`: "protocol=RTP", "port=5004" (also in
// backquotes or brackets).
void takeDevice(const QString& text, QString* protocol, int* port)
{
    static const QRegularExpression protocolKey(QStringLiteral("\\bprotocol=(\\w+)"));
    static const QRegularExpression portKey(QStringLiteral("\\bport=(\\d+)"));
    for (auto it = protocolKey.globalMatch(text); it.hasNext();)
        *protocol = it.next().captured(1);
    for (auto it = portKey.globalMatch(text); it.hasNext();)
        *port = it.next().captured(1).toInt();
}

// Every sender command of the README: the lines of ```sh blocks (joined at
// a backslash line end) and the `...` spans of the text that start with a
// sender program. A block's device is the one the text since the last
// heading names before it; a span's is the one its own line (a table row)
// names.
QList<ReadmeSender> readmeSenders(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    QStringList programs;
    for (const QString& program : SenderPrograms)
        programs << QRegularExpression::escape(program);
    const QRegularExpression span(
        QStringLiteral("`((?:%1) [^`]+)`").arg(programs.join(QLatin1Char('|'))));
    QList<ReadmeSender> senders;
    QString protocol;
    int port = 0;
    bool inBlock = false;
    ReadmeSender pending;
    for (int i = 0; i < lines.size(); ++i) {
        const QString& line = lines[i];
        if (line.startsWith(QLatin1String("```"))) {
            inBlock = line == QLatin1String("```sh");
            continue;
        }
        if (inBlock) {
            if (pending.command.isEmpty())
                pending = {i + 1, QString(), protocol, port};
            QString text = line.trimmed();
            const bool continued = text.endsWith(QLatin1Char('\\'));
            if (continued)
                text.chop(1);
            pending.command = (pending.command + QLatin1Char(' ') + text).simplified();
            if (!continued) {
                if (isSender(pending.command))
                    senders.append(pending);
                pending = ReadmeSender();
            }
            continue;
        }
        if (line.startsWith(QLatin1Char('#'))) {
            protocol.clear();
            port = 0;
        }
        for (auto it = span.globalMatch(line); it.hasNext();) {
            ReadmeSender sender{i + 1, it.next().captured(1), protocol, port};
            takeDevice(line, &sender.protocol, &sender.port);
            senders.append(sender);
        }
        takeDevice(line, &protocol, &port);
    }
    return senders;
}

// The command with the device's port replaced ("port=5004",
// "127.0.0.1:5004").
QString withPort(const QString& command, int from, int to)
{
    QString out = command;
    return out.replace(QRegularExpression(QStringLiteral("(?<=[=:])%1\\b").arg(from)),
                       QString::number(to));
}

// A TCP port on 127.0.0.1 that was free a moment ago.
int freeTcpPort()
{
    LoopbackSocket probe(SOCK_STREAM);
    return probe.port();
}

} // namespace

class tst_ReadmeSenders : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void senderFramesDecode_data();
    void senderFramesDecode();

private:
    QList<ReadmeSender> m_senders;
};

void tst_ReadmeSenders::initTestCase()
{
    m_senders = readmeSenders(QStringLiteral(README_FILE));
    QStringList programs;
    for (const ReadmeSender& s : std::as_const(m_senders)) {
        programs << s.command.section(QLatin1Char(' '), 0, 0);
        QVERIFY2(!s.protocol.isEmpty() && s.port > 0,
                 qPrintable(QStringLiteral("line %1 names no device").arg(s.line)));
        // Tests send on the loopback interface only.
        QVERIFY2(s.command.contains(QStringLiteral("127.0.0.1:%1").arg(s.port))
                     || s.command.contains(QStringLiteral("host=127.0.0.1 port=%1").arg(s.port)),
                 qPrintable(s.command));
    }
    for (const QString& program : SenderPrograms)
        QVERIFY2(programs.contains(program), qPrintable(program + QStringLiteral(" not found")));
}

void tst_ReadmeSenders::senderFramesDecode_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<int>("port");
    for (const ReadmeSender& s : std::as_const(m_senders)) {
        QTest::addRow("README line %d: %s to %s", s.line,
                      qPrintable(s.command.section(QLatin1Char(' '), 0, 0)), qPrintable(s.protocol))
            << s.command << s.protocol << s.port;
    }
}

void tst_ReadmeSenders::senderFramesDecode()
{
    QFETCH(QString, command);
    QFETCH(QString, protocol);
    QFETCH(int, port);
    const QString program = command.section(QLatin1Char(' '), 0, 0);
    if (QStandardPaths::findExecutable(program).isEmpty())
        QSKIP(qPrintable(QStringLiteral("not installed: ") + program));

    const bool tcp = protocol.compare(QLatin1String("TCP"), Qt::CaseInsensitive) == 0;
    const int testPort = tcp ? freeTcpPort() : int(freeUdpPort());
    QVERIFY(testPort > 0);
    ThreadedWorker worker(protocol);
    const auto connectWorker = [&] { worker.start(QStringLiteral("127.0.0.1"), testPort); };
    if (!tcp) {
        // Bound before the sender starts, so that its first datagrams are
        // not refused.
        connectWorker();
        QTRY_VERIFY_WITH_TIMEOUT(worker.states().contains(LinkState::Connected), 10000);
    }

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess sender;
    sender.setWorkingDirectory(dir.path());
    sender.setStandardInputFile(QProcess::nullDevice());
    sender.setProcessChannelMode(QProcess::MergedChannels);
    const QString run = withPort(command, port, testPort);
    sender.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("exec ") + run});
    QVERIFY2(sender.waitForStarted(10000), qPrintable(run));

    worker.request();
    // Outside the block below: the connection that counts in it lives as
    // long as the worker.
    int attempts = 0;
    if (tcp) {
        // The sender listens once its pipeline runs: the worker connects
        // again every 200 ms until it is in, as the device controller does
        // every second.
        connect(&worker, &ThreadedWorker::linkReported, &worker, [&] {
            const LinkState state = worker.links.constLast().state;
            if (state != LinkState::Connecting && state != LinkState::Connected
                && sender.state() == QProcess::Running && ++attempts < MaxConnectAttempts)
                QTimer::singleShot(200, &worker, connectWorker);
        });
        connectWorker();
    }
    // A wait, not a check: the sender is stopped before anything is checked.
    const bool ended = QTest::qWaitFor(
        [&] {
            return worker.frames.size() >= FramesWanted || sender.state() == QProcess::NotRunning;
        },
        30000);
    sender.terminate();
    if (!sender.waitForFinished(5000)) {
        sender.kill();
        sender.waitForFinished(5000);
    }
    QVERIFY2(
        worker.frames.size() >= FramesWanted,
        qPrintable(QStringLiteral("%1\n%2 frames in %3\n%4")
                       .arg(run)
                       .arg(worker.frames.size())
                       .arg(ended ? QStringLiteral("the sender's run") : QStringLiteral("30 s"))
                       .arg(QString::fromLocal8Bit(sender.readAll()).right(2000))));

    // Every frame is a picture of the size the command asks for.
    static const QRegularExpression sizeText(
        QStringLiteral("width=(\\d+),height=(\\d+)|size=(\\d+)x(\\d+)"));
    const QRegularExpressionMatch size = sizeText.match(command);
    QVERIFY(size.hasMatch());
    const QSize expected = size.captured(1).isEmpty()
                               ? QSize(size.captured(3).toInt(), size.captured(4).toInt())
                               : QSize(size.captured(1).toInt(), size.captured(2).toInt());
    for (qsizetype i = 0; i < worker.frames.size(); ++i) {
        QCOMPARE(worker.types[i], QStringLiteral("image/jpeg"));
        const QImage picture = QImage::fromData(worker.frames[i], "JPEG");
        QVERIFY2(!picture.isNull(), qPrintable(QStringLiteral("frame %1 does not decode").arg(i)));
        QCOMPARE(picture.size(), expected);
    }
}

QTEST_GUILESS_MAIN(tst_ReadmeSenders)
#include "tst_readmesenders.moc"
