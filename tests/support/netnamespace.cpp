// SPDX-License-Identifier: MIT
#include "netnamespace.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>

namespace netnamespace {

namespace {

constexpr char InsideVariable[] = "FRAMESCOPE_TEST_NETNS";

// Root in the namespace (mapped from the calling user) may configure its
// loopback interface.
QStringList unshareArguments()
{
    return {QStringLiteral("--net"), QStringLiteral("--map-root-user"), QStringLiteral("--")};
}

} // namespace

bool inside()
{
    return qEnvironmentVariableIsSet(InsideVariable);
}

QString skipReason(const QString& what)
{
    if (inside())
        return QStringLiteral("already inside the test's network namespace");
    QString why;
    if (!available(&why))
        return QStringLiteral("no network namespace can be made here, so %1 is not tested (it "
                              "never uses the machine's own interfaces): %2")
            .arg(what, why);
    return {};
}

bool rowsPassed(const QByteArray& output, const QStringList& tags, bool skipsAllowed)
{
    for (const QString& tag : tags) {
        const qsizetype colon = tag.indexOf(QLatin1Char(':'));
        const QByteArray row =
            colon < 0 ? "::" + tag.toUtf8() + '('
                      : "::" + tag.left(colon).toUtf8() + '(' + tag.mid(colon + 1).toUtf8() + ')';
        bool found = false;
        for (const QByteArray& line : output.split('\n'))
            found =
                found
                || ((line.startsWith("PASS   : ") || (skipsAllowed && line.startsWith("SKIP   : ")))
                    && line.contains(row));
        if (!found)
            return false;
    }
    return true;
}

bool available(QString* why)
{
    QProcess probe;
    probe.setProcessChannelMode(QProcess::MergedChannels);
    probe.start(QStringLiteral("unshare"),
                unshareArguments() + QStringList{QStringLiteral("ip"), QStringLiteral("link")});
    if (!probe.waitForFinished(10000) || probe.exitStatus() != QProcess::NormalExit
        || probe.exitCode() != 0) {
        *why = QStringLiteral("unshare --net --map-root-user ip link: %1")
                   .arg(probe.error() == QProcess::FailedToStart
                            ? QStringLiteral("unshare not found")
                            : QString::fromLocal8Bit(probe.readAll()).trimmed());
        return false;
    }
    return true;
}

int runSelfInside(const QStringList& arguments, int timeoutMs, QByteArray* output)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(InsideVariable), QStringLiteral("1"));
    child.setProcessEnvironment(environment);
    const QString setUp = QStringLiteral("ip link set lo up && ip link set lo multicast on && "
                                         "ip route add 224.0.0.0/4 dev lo && exec \"$@\"");
    child.start(QStringLiteral("unshare"),
                unshareArguments()
                    + QStringList{QStringLiteral("sh"), QStringLiteral("-c"), setUp,
                                  QStringLiteral("sh"), QCoreApplication::applicationFilePath()}
                    + arguments);
    const bool ended = child.waitForFinished(timeoutMs);
    if (!ended) {
        child.kill();
        child.waitForFinished(5000);
    }
    *output = child.readAll();
    return ended && child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
}

} // namespace netnamespace
