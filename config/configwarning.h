// SPDX-License-Identifier: MIT
#pragma once

#include <QList>
#include <QString>

// A key whose value cannot work as written: which key, its text, and the
// console line that says what is done instead.
struct ConfigWarning
{
    QString key;
    QString value;
    QString text;
};

using ConfigWarnings = QList<ConfigWarning>;
