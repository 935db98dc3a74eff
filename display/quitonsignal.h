// SPDX-License-Identifier: MIT
#pragma once

// Makes SIGINT and SIGTERM end the application's event loop the way closing
// the window does, so that the window and the device controllers are torn
// down in order and the process exits with code 0. Call once, after the
// application object exists. Returns false when the handlers could not be
// installed.
bool quitOnTerminationSignals();
