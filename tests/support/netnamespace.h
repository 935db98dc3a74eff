// SPDX-License-Identifier: MIT
// Runs part of a test inside a network namespace of its own (unshare --net),
// with only the loopback interface, up and multicast-capable, and a route
// for every multicast group through it. Multicast traffic a test sends there
// never reaches the machine's own interfaces.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace netnamespace {

// Whether the calling process already runs inside such a namespace.
bool inside();
// Whether a namespace can be made here; false with the reason.
bool available(QString* why);
// Runs this test binary again inside a new namespace, with `arguments`
// (test function names), and waits at most timeoutMs. Returns the exit
// code (-1 when it did not end) with the combined output in `output`.
int runSelfInside(const QStringList& arguments, int timeoutMs, QByteArray* output);
// Why rows about `what` cannot be run inside a namespace here (already
// inside one, or none can be made), for the caller's QSKIP; empty when
// they can.
QString skipReason(const QString& what);
// Whether Qt Test's `output` has every test row `tags` names ("function" or
// "function:row") passed, or, with skipsAllowed, skipped.
bool rowsPassed(const QByteArray& output, const QStringList& tags, bool skipsAllowed = false);

} // namespace netnamespace
