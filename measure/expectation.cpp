// SPDX-License-Identifier: MIT
#include "expectation.h"

#include <QRegularExpression>
#include <QStringList>

#include <array>
#include <cmath>

namespace {

enum class Unit
{
    Count,   // no unit
    Time,    // ms by default; us, ms, s
    Percent, // % by default
    Rate,    // frames per second, no unit
};

struct Key
{
    const char* name;
    Unit unit;
    std::optional<double> (*read)(const StatsSummary&);
};

std::optional<double> delayOr(const StatsSummary& s, double v)
{
    return s.delays > 0 ? std::optional<double>(v) : std::nullopt;
}

std::optional<double> rtpOr(const StatsSummary& s, double v)
{
    return s.rtp ? std::optional<double>(v) : std::nullopt;
}

const std::array<Key, 19> Keys{{
    {"frames", Unit::Count, [](const StatsSummary& s) { return std::optional(double(s.frames)); }},
    {"shown", Unit::Count, [](const StatsSummary& s) { return std::optional(double(s.shown)); }},
    {"skipped", Unit::Count,
     [](const StatsSummary& s) { return std::optional(double(s.skipped)); }},
    {"refused", Unit::Count,
     [](const StatsSummary& s) { return std::optional(double(s.refused)); }},
    {"corrupt", Unit::Count,
     [](const StatsSummary& s) { return std::optional(double(s.corrupt)); }},
    {"reconnects", Unit::Count,
     [](const StatsSummary& s) { return std::optional(double(s.reconnects)); }},
    {"fps", Unit::Rate, [](const StatsSummary& s) { return std::optional(s.fps); }},
    {"period_mean", Unit::Time,
     [](const StatsSummary& s) { return std::optional(s.periodMeanMs); }},
    {"period_p50", Unit::Time, [](const StatsSummary& s) { return std::optional(s.periodP50Ms); }},
    {"period_p95", Unit::Time, [](const StatsSummary& s) { return std::optional(s.periodP95Ms); }},
    {"period_p99", Unit::Time, [](const StatsSummary& s) { return std::optional(s.periodP99Ms); }},
    {"period_max", Unit::Time, [](const StatsSummary& s) { return std::optional(s.periodMaxMs); }},
    {"delay_p50", Unit::Time, [](const StatsSummary& s) { return delayOr(s, s.delayP50Ms); }},
    {"delay_p99", Unit::Time, [](const StatsSummary& s) { return delayOr(s, s.delayP99Ms); }},
    {"delay_max", Unit::Time, [](const StatsSummary& s) { return delayOr(s, s.delayMaxMs); }},
    {"loss", Unit::Percent, [](const StatsSummary& s) { return rtpOr(s, s.lossPercent()); }},
    {"lost", Unit::Count, [](const StatsSummary& s) { return rtpOr(s, double(s.packetsLost)); }},
    {"out_of_order", Unit::Count,
     [](const StatsSummary& s) { return rtpOr(s, double(s.packetsOutOfOrder)); }},
    {"jitter", Unit::Time, [](const StatsSummary& s) { return rtpOr(s, s.jitterMs); }},
}};

const Key* findKey(const QString& name)
{
    for (const Key& k : Keys) {
        if (name == QLatin1String(k.name))
            return &k;
    }
    return nullptr;
}

// The factor from `unit` as written to the key's own unit, or nothing.
std::optional<double> unitFactor(Unit unit, const QString& written)
{
    switch (unit) {
    case Unit::Count:
    case Unit::Rate:
        if (written.isEmpty())
            return 1.0;
        break;
    case Unit::Time:
        if (written.isEmpty() || written == QLatin1String("ms"))
            return 1.0;
        if (written == QLatin1String("s"))
            return 1000.0;
        if (written == QLatin1String("us"))
            return 0.001;
        break;
    case Unit::Percent:
        if (written.isEmpty() || written == QLatin1String("%"))
            return 1.0;
        break;
    }
    return std::nullopt;
}

} // namespace

std::optional<Expectation> Expectation::parse(const QString& text, QString* error)
{
    // KEY, then an operator made of < > = !, then the rest.
    static const QRegularExpression form(
        QStringLiteral("^\\s*([A-Za-z0-9_]*)\\s*([<>=!]*)\\s*([-+0-9.eE]*)\\s*(\\S*)\\s*$"));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch()) {
        *error = QStringLiteral("--expect '%1' is not KEY OP VALUE (such as fps>=24.5)").arg(text);
        return std::nullopt;
    }
    Expectation e;
    e.m_text = text.trimmed();
    e.m_key = m.captured(1);
    const Key* key = findKey(e.m_key);
    if (key == nullptr) {
        *error = QStringLiteral("--expect '%1': unknown key '%2' (known: %3)")
                     .arg(text, e.m_key, keysHelp());
        return std::nullopt;
    }
    static const std::array<std::pair<const char*, Op>, 5> ops{{{">=", Op::AtLeast},
                                                                {"<=", Op::AtMost},
                                                                {"==", Op::Equal},
                                                                {">", Op::Above},
                                                                {"<", Op::Below}}};
    const QString op = m.captured(2);
    bool knownOp = false;
    for (const auto& [spelling, value] : ops) {
        if (op == QLatin1String(spelling)) {
            e.m_op = value;
            knownOp = true;
        }
    }
    if (!knownOp) {
        *error =
            QStringLiteral("--expect '%1': unknown operator '%2' (>=, <=, ==, >, <)").arg(text, op);
        return std::nullopt;
    }
    bool ok = false;
    const double value = m.captured(3).toDouble(&ok);
    if (!ok || !std::isfinite(value)) {
        *error = QStringLiteral("--expect '%1': '%2' is not a number").arg(text, m.captured(3));
        return std::nullopt;
    }
    const std::optional<double> factor = unitFactor(key->unit, m.captured(4));
    if (!factor) {
        *error = QStringLiteral("--expect '%1': unknown unit '%2' for %3")
                     .arg(text, m.captured(4), e.m_key);
        return std::nullopt;
    }
    e.m_threshold = value * *factor;
    return e;
}

QString Expectation::keysHelp()
{
    QStringList names;
    for (const Key& k : Keys)
        names << QLatin1String(k.name);
    return names.join(QLatin1String(", "));
}

std::optional<double> Expectation::valueOf(const StatsSummary& summary) const
{
    const Key* key = findKey(m_key);
    return key != nullptr ? key->read(summary) : std::nullopt;
}

bool Expectation::rtpOnly() const
{
    return m_key == QLatin1String("loss") || m_key == QLatin1String("lost")
           || m_key == QLatin1String("out_of_order") || m_key == QLatin1String("jitter");
}

bool Expectation::holds(double value) const
{
    switch (m_op) {
    case Op::AtLeast:
        return value >= m_threshold;
    case Op::AtMost:
        return value <= m_threshold;
    case Op::Equal:
        return value == m_threshold;
    case Op::Above:
        return value > m_threshold;
    case Op::Below:
        return value < m_threshold;
    }
    return false;
}
