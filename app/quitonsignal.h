// SPDX-License-Identifier: MIT
#pragma once

// Makes SIGINT, SIGTERM and SIGHUP end the application's event loop the way
// closing the window does, so that the window and the device controllers
// are torn down in order and the process exits with code 0. A second of
// these signals while that shutdown runs ends the process at once with
// code 128 + the signal's number, for a shutdown that hangs. SIGPIPE is
// ignored: a write to a closed socket or pipe is an error to handle, not a
// reason to die. SIGXFSZ likewise: a write past the file size limit
// (ulimit -f) fails with EFBIG, and the recording ends with that reason.
// Call once, after the application object exists. Returns false when the
// handlers could not be installed.
bool quitOnTerminationSignals();
