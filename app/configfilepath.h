// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// Name of the INI file used when the program is started without arguments;
// relative, so it is found in the current working directory.
inline constexpr char DefaultConfigFile[] = "tcp_streaming.ini";

// The configuration file: the first command-line argument when there is one,
// otherwise DefaultConfigFile. Further arguments are ignored.
QString configFilePath();
