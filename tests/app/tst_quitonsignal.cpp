// SPDX-License-Identifier: MIT
// The process-wide set-up main does: termination signals quit the event
// loop (a second one ends the process), SIGPIPE and SIGXFSZ are ignored, and the open
// file limit is raised to the hard limit.
#include "openfilelimit.h"
#include "quitonsignal.h"

#include <QCoreApplication>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <ctime>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

class tst_QuitOnSignal : public QObject
{
    Q_OBJECT

private slots:
    void openFileLimitRaised();
    // Run before the handlers are installed in this process: each row
    // installs them in a child of its own.
    void secondSignalEndsProcess_data();
    void secondSignalEndsProcess();
    // Installs the handlers in this process; a signal after that would
    // end the test, so these come last.
    void handlersInstalled_data();
    void handlersInstalled();
    void firstSignalQuitsEventLoop();
};

void tst_QuitOnSignal::openFileLimitRaised()
{
    rlimit limit = {};
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max <= 64)
        QSKIP("hard limit on open files too low to lower the soft one");
    // Start from a soft limit below the hard one, as a shell's default does.
    limit.rlim_cur = 64;
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &limit), 0);

    QString error;
    QVERIFY2(raiseOpenFileLimit(&error), qPrintable(error));
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max == RLIM_INFINITY)
        QVERIFY(limit.rlim_cur > 64);
    else
        QCOMPARE(limit.rlim_cur, limit.rlim_max);
    // Already at the hard limit: nothing to do, no failure.
    QVERIFY(raiseOpenFileLimit());
}

void tst_QuitOnSignal::secondSignalEndsProcess_data()
{
    QTest::addColumn<int>("sig");
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<int>("exitCode");
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        const QByteArray name = sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "SIGHUP";
        // A wrapper such as timeout(1) signals the process and then its
        // process group: one request, delivered twice at once.
        QTest::newRow(name + " twice at once: one request") << sig << 0 << 0;
        QTest::newRow(name + " again later: ends the process") << sig << 300 << 128 + sig;
    }
}

void tst_QuitOnSignal::secondSignalEndsProcess()
{
    QFETCH(int, sig);
    QFETCH(int, gapMs);
    QFETCH(int, exitCode);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        // The child never returns into the test: it installs the handlers,
        // takes the first signal (a quit request for an event loop that
        // never runs again, as in a stuck shutdown) and then the second.
        if (!quitOnTerminationSignals())
            ::_exit(3);
        ::raise(sig);
        const timespec gap = {gapMs / 1000, (gapMs % 1000) * 1000000L};
        ::nanosleep(&gap, nullptr);
        ::raise(sig);
        ::_exit(0); // the second signal did not end the process
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY2(WIFEXITED(status), "the child was killed by the signal's default action");
    QCOMPARE(WEXITSTATUS(status), exitCode);
}

void tst_QuitOnSignal::handlersInstalled_data()
{
    QTest::addColumn<int>("sig");
    QTest::addColumn<bool>("ignored");
    QTest::newRow("SIGINT handled") << int(SIGINT) << false;
    QTest::newRow("SIGTERM handled") << int(SIGTERM) << false;
    QTest::newRow("SIGHUP handled") << int(SIGHUP) << false;
    QTest::newRow("SIGPIPE ignored") << int(SIGPIPE) << true;
    QTest::newRow("SIGXFSZ ignored") << int(SIGXFSZ) << true;
}

void tst_QuitOnSignal::handlersInstalled()
{
    QFETCH(int, sig);
    QFETCH(bool, ignored);
    static const bool installed = quitOnTerminationSignals();
    QVERIFY(installed);

    struct sigaction action = {};
    QCOMPARE(::sigaction(sig, nullptr, &action), 0);
    if (ignored) {
        QVERIFY(action.sa_handler == SIG_IGN);
    } else {
        QVERIFY(action.sa_handler != SIG_IGN && action.sa_handler != SIG_DFL);
        // The other termination signals wait while the handler runs.
        QVERIFY(sigismember(&action.sa_mask, SIGINT) == 1);
        QVERIFY(sigismember(&action.sa_mask, SIGHUP) == 1);
    }
}

void tst_QuitOnSignal::firstSignalQuitsEventLoop()
{
    // SIGHUP ends the event loop with code 0 as closing the window does;
    // the guard's code 1 means the signal was not acted on.
    QTimer::singleShot(0, [] { ::raise(SIGHUP); });
    QTimer::singleShot(10000, [] { QCoreApplication::exit(1); });
    QCOMPARE(QCoreApplication::exec(), 0);
}

QTEST_GUILESS_MAIN(tst_QuitOnSignal)
#include "tst_quitonsignal.moc"
