// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QList>

#include <cstdint>
#include <random>

// A lossy network between the simulated camera and the viewer: each packet
// handed in may be dropped, held back behind the next packet (reordered) or
// sent twice, with probabilities in percent and a seeded generator, so that
// a run is repeatable and its figures known.
namespace simlib {

struct ImpairmentCounts
{
    long long packetsIn = 0;
    long long packetsOut = 0; // datagrams handed out, duplicates included
    long long dropped = 0;
    long long reordered = 0; // packets sent after their successor
    long long duplicated = 0;
};

class PacketImpairment
{
public:
    PacketImpairment(double lossPercent, double reorderPercent, double duplicatePercent,
                     std::uint32_t seed);

    // Feeds one packet; appends what goes on the wire now to `out`. A packet
    // chosen for reordering is held until the next packet has gone out.
    void push(const QByteArray& packet, QList<QByteArray>* out);
    // Releases a held packet (at the end of a run, or before a pause).
    void flush(QList<QByteArray>* out);

    bool active() const { return m_loss > 0 || m_reorder > 0 || m_duplicate > 0; }
    const ImpairmentCounts& counts() const { return m_counts; }

private:
    bool chance(double percent);
    void sendOut(const QByteArray& packet, QList<QByteArray>* out);

    double m_loss;
    double m_reorder;
    double m_duplicate;
    std::mt19937 m_rng;
    std::uniform_real_distribution<double> m_uniform{0.0, 100.0};
    QByteArray m_held;
    bool m_holding = false;
    ImpairmentCounts m_counts;
};

} // namespace simlib
