// SPDX-License-Identifier: MIT
// framescope-devicesim: a simulated camera on the loopback interface.
#include "devicesim.h"
#include "framescopeversion.h"
#include "simconfig.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int)
{
    g_stop = 1;
}

void installSignalHandlers()
{
    struct sigaction sa
    {
    };
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a signal ends the current wait at once
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

const char* modeName(SimConfig::Mode m)
{
    switch (m) {
    case SimConfig::Mode::Tcp:
        return "tcp";
    case SimConfig::Mode::Udp:
        return "udp";
    case SimConfig::Mode::Rtp:
        return "rtp";
    case SimConfig::Mode::Http:
        return "http";
    }
    return "?";
}

// The URLs of --mode http and the account's scheme and user (never the
// password).
void printHttpAddresses(const SimConfig& config, int port)
{
    const QString base = QStringLiteral("http://%1:%2").arg(config.host).arg(port);
    static const char* const schemes[] = {"none", "basic", "digest", "basic or digest"};
    std::printf("framescope-devicesim: stream %s%s snapshot %s%s authentication %s%s%s\n",
                qPrintable(base), qPrintable(config.http.streamPath), qPrintable(base),
                qPrintable(config.http.snapshotPath), schemes[int(config.http.auth)],
                config.http.user.isEmpty() ? "" : " user ", qPrintable(config.http.user));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    SimConfig config;
    QString error;
    bool help = false;
    if (!parseSimConfig(app.arguments(), &config, &error, &help)) {
        std::fprintf(stderr, "framescope-devicesim: %s\n", qPrintable(error));
        return 2;
    }
    if (help) {
        std::fputs(qPrintable(simHelpText()), stdout);
        return 0;
    }
    if (config.versionRequested) {
        std::puts("framescope-devicesim " FRAMESCOPE_VERSION_TEXT);
        return 0;
    }
    installSignalHandlers();

    DeviceSim sim(config);
    if (!sim.open(&error, &g_stop)) {
        std::fprintf(stderr, "framescope-devicesim: %s\n", qPrintable(error));
        return 1;
    }
    if (!config.quiet && !config.replay.isEmpty()) {
        std::printf("framescope-devicesim: %s %s:%d (%s) replaying %s\n",
                    config.mode == SimConfig::Mode::Tcp ? "listening on" : "sending to",
                    qPrintable(config.host), sim.boundPort(), modeName(config.mode),
                    qPrintable(config.replay));
        std::fflush(stdout);
    } else if (!config.quiet) {
        const bool tcp =
            config.mode == SimConfig::Mode::Tcp || config.mode == SimConfig::Mode::Http;
        std::printf("framescope-devicesim: %s %s:%d (%s) %s %dx%d at %g fps\n",
                    tcp ? "listening on" : "sending to", qPrintable(config.host), sim.boundPort(),
                    modeName(config.mode),
                    config.content == SimConfig::Content::Gray     ? "video/x-raw-gray"
                    : config.content == SimConfig::Content::Gray16 ? "video/x-raw-gray16"
                                                                   : "image/jpeg",
                    config.width, config.height, config.fps);
        if (config.mode == SimConfig::Mode::Http)
            printHttpAddresses(config, sim.boundPort());
        std::fflush(stdout);
    }
    const int rc = sim.run(&g_stop);
    if (!config.quiet) {
        std::printf("framescope-devicesim: %s\n", qPrintable(sim.summary()));
        std::fflush(stdout);
    }
    return rc;
}
