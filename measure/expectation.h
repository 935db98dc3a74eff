// SPDX-License-Identifier: MIT
#pragma once

#include "statssummary.h"

#include <QString>

#include <optional>

// One --expect threshold, KEY OP VALUE[UNIT], such as fps>=24.5,
// loss<=0.1%, delay_p99<=40ms or corrupt==0, checked against each
// device's summary.
class Expectation
{
public:
    enum class Op
    {
        AtLeast, // >=
        AtMost,  // <=
        Equal,   // ==
        Above,   // >
        Below,   // <
    };

    // The threshold written as `text`, or nothing with *error naming what
    // is wrong (an unknown key, operator or unit, a value that is no
    // number).
    static std::optional<Expectation> parse(const QString& text, QString* error);
    // Every key, for the help text.
    static QString keysHelp();

    const QString& text() const { return m_text; }
    const QString& key() const { return m_key; }
    // The device's figure this threshold reads, in the key's own unit (ms
    // for times, percent for loss); nothing when the device has none (a
    // delay of a device without time stamps), which fails the threshold.
    std::optional<double> valueOf(const StatsSummary& summary) const;
    bool holds(double value) const;
    // A figure of RTP streams only (loss, lost, out_of_order, jitter): a
    // device of another protocol is not held to it.
    bool rtpOnly() const;
    // The threshold value in the key's own unit.
    double threshold() const { return m_threshold; }

private:
    QString m_text;
    QString m_key;
    Op m_op = Op::AtLeast;
    double m_threshold = 0.0;
};
