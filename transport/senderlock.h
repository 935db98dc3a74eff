// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

// Where a datagram came from: IPv4 address and port, host byte order.
struct DatagramSource
{
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    bool operator==(const DatagramSource&) const = default;
};

// Decides which datagrams of a UDP or RTP device reach its decoder. Once the
// decoder has synchronised on a sender's datagrams, the stream belongs to
// that sender: datagrams from any other source are dropped and counted, so
// that nobody who merely reaches the port can take over the picture. A
// sender silent for ReleaseAfterMs gives the stream up, so that a camera
// restarting on another port is taken again. A configured source holds the
// stream for good; its port 0 accepts any port of that address.
class SenderLock
{
public:
    static constexpr std::int64_t ReleaseAfterMs = 2000;
    // Foreign sources reported per lock; more are counted, not named.
    static constexpr int MaxReportedSources = 16;

    enum class Verdict
    {
        Admit,
        Drop,
        DropFromNewSource, // the first datagram of a source not named before
    };

    void fixSource(const DatagramSource& source);
    Verdict admit(const DatagramSource& from, std::int64_t nowMs);
    // The decoder synchronised on a datagram from `from`: without a fixed
    // source, and unless a sender holds the stream already, it is `from`'s.
    void lockOnto(const DatagramSource& from, std::int64_t nowMs);

    std::optional<DatagramSource> holder() const { return m_holder; }
    std::int64_t foreignDropped() const { return m_foreignDropped; }

private:
    std::optional<DatagramSource> m_fixed;
    std::optional<DatagramSource> m_holder;
    std::int64_t m_lastFromHolder = 0;
    std::int64_t m_foreignDropped = 0;
    std::vector<DatagramSource> m_reported;
};
