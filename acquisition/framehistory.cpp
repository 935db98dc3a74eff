// SPDX-License-Identifier: MIT
#include "framehistory.h"

#include <algorithm>

void FrameHistory::setDeviceCount(int count)
{
    m_rings.resize(std::size_t(std::max(count, 0)));
    const qint64 limit = share();
    for (Ring& r : m_rings)
        trim(r, limit);
}

qint64 FrameHistory::share() const
{
    return m_rings.empty() ? 0 : m_budget / qint64(m_rings.size());
}

void FrameHistory::trim(Ring& ring, qint64 limit)
{
    while (!ring.frames.empty() && ring.bytes > limit) {
        ring.bytes -= cost(ring.frames.front());
        ring.frames.pop_front();
    }
}

const FrameHistory::Ring* FrameHistory::ring(int device) const
{
    return device >= 0 && std::size_t(device) < m_rings.size() ? &m_rings[std::size_t(device)]
                                                               : nullptr;
}

void FrameHistory::add(int device, const QString& conType, const unsigned char* data, int len,
                       qint64 number, qint64 arrivalUs, double periodMs)
{
    if (device < 0 || std::size_t(device) >= m_rings.size() || data == nullptr || len <= 0)
        return;
    const qint64 limit = share();
    if (qint64(len) + EntryOverhead > limit)
        return;
    Ring& r = m_rings[std::size_t(device)];
    // Room first, so that the ring never holds more than its share.
    trim(r, limit - (qint64(len) + EntryOverhead));
    HistoryFrame f;
    f.conType = conType;
    f.bytes = QByteArray(reinterpret_cast<const char*>(data), len);
    f.number = number;
    f.arrivalUs = arrivalUs;
    f.periodMs = periodMs;
    r.bytes += cost(f);
    r.frames.push_back(std::move(f));
}

void FrameHistory::setDelay(int device, qint64 number, double seconds)
{
    if (device < 0 || std::size_t(device) >= m_rings.size())
        return;
    Ring& r = m_rings[std::size_t(device)];
    if (!r.frames.empty() && r.frames.back().number == number)
        r.frames.back().delaySeconds = seconds;
}

qint64 FrameHistory::bytes(int device) const
{
    const Ring* r = ring(device);
    return r != nullptr ? r->bytes : 0;
}

qint64 FrameHistory::totalBytes() const
{
    qint64 sum = 0;
    for (const Ring& r : m_rings)
        sum += r.bytes;
    return sum;
}

int FrameHistory::frameCount(int device) const
{
    const Ring* r = ring(device);
    return r != nullptr ? int(r->frames.size()) : 0;
}

const HistoryFrame* FrameHistory::find(int device, qint64 number) const
{
    const Ring* r = ring(device);
    if (r == nullptr)
        return nullptr;
    // Numbers rise along the ring.
    const auto it = std::lower_bound(r->frames.begin(), r->frames.end(), number,
                                     [](const HistoryFrame& f, qint64 n) { return f.number < n; });
    return it != r->frames.end() && it->number == number ? &*it : nullptr;
}

std::optional<qint64> FrameHistory::oldest(int device) const
{
    const Ring* r = ring(device);
    if (r == nullptr || r->frames.empty())
        return std::nullopt;
    return r->frames.front().number;
}

std::optional<qint64> FrameHistory::newest(int device) const
{
    const Ring* r = ring(device);
    if (r == nullptr || r->frames.empty())
        return std::nullopt;
    return r->frames.back().number;
}

std::optional<qint64> FrameHistory::before(int device, qint64 number) const
{
    const Ring* r = ring(device);
    if (r == nullptr)
        return std::nullopt;
    const auto it = std::lower_bound(r->frames.begin(), r->frames.end(), number,
                                     [](const HistoryFrame& f, qint64 n) { return f.number < n; });
    if (it == r->frames.begin())
        return std::nullopt;
    return std::prev(it)->number;
}

std::optional<qint64> FrameHistory::after(int device, qint64 number) const
{
    const Ring* r = ring(device);
    if (r == nullptr)
        return std::nullopt;
    const auto it = std::upper_bound(r->frames.begin(), r->frames.end(), number,
                                     [](qint64 n, const HistoryFrame& f) { return n < f.number; });
    if (it == r->frames.end())
        return std::nullopt;
    return it->number;
}
