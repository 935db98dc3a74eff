// SPDX-License-Identifier: MIT
#include "appfiles.h"
#include "commandline.h"
#include "jpegwarnings.h"
#include "measurement.h"
#include "onlydisplay.h"
#include "openfilelimit.h"
#include "quitonsignal.h"

#include <QApplication>

#include <cstdio>

namespace {

// --measure: no window and no GUI platform, only the devices and a clock.
int measureHeadless(int argc, char* argv[], const CommandLine& commandLine)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("framescope"));
    quitOnTerminationSignals();
    installJpegWarningCounter();
    Measurement::Options options;
    options.seconds = commandLine.measureSeconds();
    options.jsonFile = commandLine.jsonFile();
    options.expectations = commandLine.expectations();
    options.statsFile = commandLine.statsFile();
    Measurement measurement(commandLine.configPath(), options);
    return measurement.run();
}

} // namespace

// framescope [config.ini]: shows the frames of the devices the configuration
// lists until the window is closed (or SIGINT, SIGTERM or SIGHUP arrives).
int main(int argc, char* argv[])
{
    // Before QApplication, so that --help and --version need no display.
    const CommandLine commandLine(argc, argv);
    if (commandLine.action() != CommandLine::Action::Run) {
        std::fputs(qPrintable(commandLine.message()),
                   commandLine.messageToStderr() ? stderr : stdout);
        return commandLine.exitCode();
    }
    QString limitError;
    if (!raiseOpenFileLimit(&limitError))
        std::fprintf(stderr, "framescope: %s\n", qPrintable(limitError));
    if (commandLine.measure())
        return measureHeadless(argc, argv, commandLine);
    QApplication app(argc, argv);
    // The per-user settings (the folder recordings go to, the window's
    // layout) are kept under these names; the INI file is only read.
    if (QCoreApplication::organizationName().isEmpty())
        QCoreApplication::setOrganizationName(QStringLiteral("framescope"));
    QCoreApplication::setApplicationName(QStringLiteral("framescope"));
    quitOnTerminationSignals();
    installJpegWarningCounter();
    // Destroyed before the application object when main returns; its
    // destructor stops the device controllers and their threads. The path
    // is the parser's: with --record DIR the first argument is no longer
    // the configuration.
    onlyDisplay window(commandLine.configPath());
    // title.txt and favicon.png beside the program or in the user's folder.
    window.setWindowTitle(appWindowTitle(commandLine.configPath()));
    window.setWindowIcon(appWindowIcon());
    if (!commandLine.recordFolder().isEmpty())
        window.startRecording(commandLine.recordFolder());
    if (!commandLine.statsFile().isEmpty())
        window.startStatsExport(commandLine.statsFile());
    // Size, position and view as the user left them (per-user settings).
    window.restoreLayout();
    window.show();
    return app.exec();
}
