// SPDX-License-Identifier: MIT
// Runs framescope-devicesim as a process for the end-to-end tests, and
// tells whether a loopback UDP port is taken.
#pragma once

#include "loopbackpeer.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTest>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// True while some socket (the viewer's) is bound to the UDP port.
inline bool udpPortTaken(int port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(std::uint16_t(port));
    const bool taken =
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno == EADDRINUSE;
    ::close(fd);
    return taken;
}

// Milliseconds on one clock shared by every process wrapper of the test.
inline qint64 testClockMs()
{
    static const QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

// One framescope-devicesim process. Its standard output is collected line by
// line; start() returns once it has reported its address.
class SimProcess
{
public:
    explicit SimProcess(const QString& name = QString()) : m_name(name)
    {
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process, [this] {
            while (m_process.canReadLine()) {
                const QString line = QString::fromLocal8Bit(m_process.readLine()).trimmed();
                m_lines.append(line);
                m_lineTimes.append(testClockMs());
            }
        });
    }
    ~SimProcess() { stop(); }

    // Starts the simulator and waits for its "listening on"/"sending to"
    // line. Returns the port it reported, or 0.
    int start(const QStringList& args, int timeoutMs = 10000)
    {
        m_process.start(QStringLiteral(DEVICESIM_BIN), args);
        if (!m_process.waitForStarted(timeoutMs))
            return 0;
        static const QRegularExpression ready(
            QStringLiteral("(listening on|sending to) 127\\.\\d+\\.\\d+\\.\\d+:(\\d+)"));
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < timeoutMs) {
            for (const QString& line : std::as_const(m_lines)) {
                const auto m = ready.match(line);
                if (m.hasMatch())
                    return m.captured(2).toInt();
            }
            if (m_process.state() == QProcess::NotRunning)
                return 0;
            m_process.waitForReadyRead(100);
        }
        return 0;
    }

    // The same with the arguments as one text, separated by blanks.
    int start(const QString& args, int timeoutMs = 10000)
    {
        return start(args.split(QLatin1Char(' '), Qt::SkipEmptyParts), timeoutMs);
    }

    // Ends the process with SIGTERM (or SIGKILL when `kill`), waits for it
    // and returns its exit code (-1 when it crashed or was killed).
    int stop(bool kill = false)
    {
        if (m_process.state() == QProcess::NotRunning)
            return exitCode();
        if (kill)
            m_process.kill();
        else
            m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
        return exitCode();
    }

    bool waitFinished(int timeoutMs) { return m_process.waitForFinished(timeoutMs); }
    int exitCode() const
    {
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    QProcess& process() { return m_process; }
    const QStringList& lines() const { return m_lines; }

    // Milliseconds (on testClockMs) at which the first line
    // containing `text` arrived, or -1.
    qint64 lineTime(const QString& text) const
    {
        for (int i = 0; i < m_lines.size(); ++i) {
            if (m_lines[i].contains(text))
                return m_lineTimes[i];
        }
        return -1;
    }
    bool hasLine(const QString& text) const { return lineTime(text) >= 0; }

    // The figures of the final "sent:" line, e.g. value("dropped").
    long long figure(const QString& name) const
    {
        for (const QString& line : m_lines) {
            const int at = line.indexOf(QLatin1String("sent: "));
            if (at < 0)
                continue;
            const QStringList words = line.mid(at + 6).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            for (int i = 0; i + 1 < words.size(); ++i) {
                if (words[i] == name)
                    return words[i + 1].toLongLong();
            }
        }
        return -1;
    }

private:
    QString m_name;
    QProcess m_process;
    QStringList m_lines;
    QList<qint64> m_lineTimes;
};
