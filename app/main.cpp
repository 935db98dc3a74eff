// SPDX-License-Identifier: MIT
#include "configfilepath.h"
#include "onlydisplay.h"
#include "quitonsignal.h"

#include <QApplication>

// framescope [config.ini]: shows the frames of the devices the configuration
// lists until the window is closed (or SIGINT / SIGTERM arrives).
int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    quitOnTerminationSignals();
    // Destroyed before the application object when main returns; its
    // destructor stops the device controllers and their threads.
    onlyDisplay window(configFilePath());
    window.show();
    return app.exec();
}
