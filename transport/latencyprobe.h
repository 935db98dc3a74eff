// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

// Hooks through which the benchmark build times every frame from the
// decoding of its last byte to the end of its repaint. The pipeline calls
// them only while a probe is installed; without one a frame's stamp stays 0
// and nothing else happens. The benchmark build (FRAMESCOPE_LATENCY_PROBE)
// installs its recorder before main runs; no other build installs one.
class LatencyProbe
{
public:
    virtual ~LatencyProbe() = default;

    // Decoding thread: a frame's last byte was decoded. Returns the stamp
    // that travels with the frame to frameShown.
    virtual std::int64_t frameFinished() = 0;
    // A completed frame was copied to the controller's transfer buffer.
    virtual void frameDelivered() = 0;
    // Decoding thread: datagrams were taken from a socket.
    virtual void datagramsReceived(int count) = 0;
    // GUI thread: the frame stamped `finishedNs` has been repainted.
    virtual void frameShown(std::int64_t finishedNs) = 0;
    // Decode pool thread: a frame was decoded in `ns` nanoseconds.
    virtual void frameDecoded(std::int64_t ns) { static_cast<void>(ns); }
};

// The installed probe, or nullptr.
LatencyProbe* latencyProbe();
// Installs `probe` (nullptr: none) for the whole process, before any device
// starts; the probe must outlive every device.
void setLatencyProbe(LatencyProbe* probe);
