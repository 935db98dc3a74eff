// SPDX-License-Identifier: MIT
#include "quitonsignal.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The handler may only write to a descriptor; the notifier reads it in the
// GUI thread and quits there.
int g_signalPipe[2] = {-1, -1};

extern "C" void onTerminationSignal(int)
{
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

    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 &&
           ::sigaction(SIGTERM, &action, nullptr) == 0;
}
