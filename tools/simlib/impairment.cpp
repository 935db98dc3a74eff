// SPDX-License-Identifier: MIT
#include "impairment.h"

namespace simlib {

PacketImpairment::PacketImpairment(double lossPercent, double reorderPercent,
                                   double duplicatePercent, std::uint32_t seed)
    : m_loss(lossPercent), m_reorder(reorderPercent), m_duplicate(duplicatePercent), m_rng(seed)
{
}

bool PacketImpairment::chance(double percent)
{
    // Draw only for a nonzero probability, so that turning one impairment
    // on does not change which packets another one picks.
    return percent > 0 && m_uniform(m_rng) < percent;
}

void PacketImpairment::sendOut(const QByteArray& packet, QList<QByteArray>* out)
{
    out->append(packet);
    ++m_counts.packetsOut;
    if (chance(m_duplicate)) {
        out->append(packet);
        ++m_counts.packetsOut;
        ++m_counts.duplicated;
    }
}

void PacketImpairment::push(const QByteArray& packet, QList<QByteArray>* out)
{
    ++m_counts.packetsIn;
    if (chance(m_loss)) {
        ++m_counts.dropped;
        return;
    }
    if (!m_holding && chance(m_reorder)) {
        m_held = packet;
        m_holding = true;
        return;
    }
    sendOut(packet, out);
    if (m_holding) {
        m_holding = false;
        ++m_counts.reordered;
        sendOut(m_held, out);
        m_held.clear();
    }
}

void PacketImpairment::flush(QList<QByteArray>* out)
{
    if (!m_holding)
        return;
    m_holding = false;
    sendOut(m_held, out);
    m_held.clear();
}

} // namespace simlib
