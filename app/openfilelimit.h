// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// Raises the soft limit on open files to the hard limit, so that many
// devices (one socket each) or inherited descriptors do not run the process
// out of descriptors at the soft default of 1024. Returns false, with the
// reason in `error` when given, when the limit cannot be read or raised;
// the program still runs with the limit it has.
bool raiseOpenFileLimit(QString* error = nullptr);
