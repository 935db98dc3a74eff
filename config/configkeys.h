// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <span>

// Every key the configuration file knows, in one table: the reader takes its
// defaults from here, warns about keys that are not in it, and --help lists
// it, so that the three cannot drift apart.
enum class KeyScope
{
    General, // top level, section [General]
    Device,  // a device group [devN]
};

struct ConfigKey
{
    KeyScope scope;
    const char* name;
    const char* value;        // what is written after '=', for the help
    const char* defaultValue; // as the documentation names it; nullptr: none
    const char* help;         // one line
};

// In the order --help lists them.
std::span<const ConfigKey> configKeys();
// The entry for `name` in `scope`; nullptr when there is none.
const ConfigKey* findConfigKey(KeyScope scope, const QString& name);

// The configuration section of --help: one entry per key, folded to fit a
// terminal of 80 columns.
QString configKeysHelp();
