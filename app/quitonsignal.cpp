// SPDX-License-Identifier: MIT
#include "quitonsignal.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <array>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The signals that stop the program.
constexpr std::array<int, 3> TerminationSignals = {SIGINT, SIGTERM, SIGHUP};

// The handler may only write to a descriptor; the notifier reads it in the
// GUI thread and quits there.
int g_signalPipe[2] = {-1, -1};

// Termination signals received so far, and when the first came. Only the
// handler touches them, and it blocks the other termination signals while it
// runs.
volatile std::sig_atomic_t g_signalsReceived = 0;
timespec g_firstSignalAt = {};

// A repeat within this time is the same request delivered twice: timeout(1)
// and similar wrappers signal the process and then its whole process group.
constexpr long long RepeatWindowNs = 100'000'000;

extern "C" void onTerminationSignal(int sig)
{
    // The first signal asks for an orderly shutdown; a further one means
    // that shutdown is not wanted or is stuck, and the process ends now.
    if (g_signalsReceived != 0) {
        timespec now = {};
        ::clock_gettime(CLOCK_MONOTONIC, &now); // async-signal-safe
        const long long sinceNs = (now.tv_sec - g_firstSignalAt.tv_sec) * 1'000'000'000LL
                                  + (now.tv_nsec - g_firstSignalAt.tv_nsec);
        if (sinceNs >= RepeatWindowNs)
            ::_exit(128 + sig);
        return;
    }
    ::clock_gettime(CLOCK_MONOTONIC, &g_firstSignalAt);
    g_signalsReceived = 1;
    const char byte = 1;
    const ssize_t written = ::write(g_signalPipe[0], &byte, 1);
    (void)written; // a full pipe already holds a pending quit
}

} // namespace

bool quitOnTerminationSignals()
{
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || g_signalPipe[0] != -1)
        return false;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return false;
    ::fcntl(g_signalPipe[0], F_SETFL, O_NONBLOCK);
    ::fcntl(g_signalPipe[1], F_SETFL, O_NONBLOCK);

    auto* notifier = new QSocketNotifier(g_signalPipe[1], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [] {
        char buf[16];
        while (::read(g_signalPipe[1], buf, sizeof buf) > 0) {
        }
        QCoreApplication::quit();
    });

    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    bool ok = ::sigaction(SIGPIPE, &ignore, nullptr) == 0;
    // A recording that reaches the file size limit (ulimit -f) gets EFBIG
    // from its write and ends with that reason, instead of the signal
    // ending the viewer.
    ok = ::sigaction(SIGXFSZ, &ignore, nullptr) == 0 && ok;

    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : TerminationSignals)
        sigaddset(&action.sa_mask, sig);
    action.sa_flags = SA_RESTART;
    for (int sig : TerminationSignals)
        ok = ::sigaction(sig, &action, nullptr) == 0 && ok;
    return ok;
}
