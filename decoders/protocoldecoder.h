// SPDX-License-Identifier: MIT
#pragma once

// A stream decoder turns received blocks into complete frames in the
// worker's frame buffer. One decoder exists per connection.
class protocolDecoder
{
public:
    virtual ~protocolDecoder() = default;

    // Consumes the next len bytes of the stream. The block is reused by the
    // caller afterwards, so no pointer into it may be kept.
    virtual void decode(const unsigned char* data, int len) = 0;

    // Whether the decoder has found its place in the stream (a boundary, a
    // first fragment). A datagram sender is trusted from then on.
    virtual bool synchronised() const { return true; }
};
