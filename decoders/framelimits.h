// SPDX-License-Identifier: MIT
#pragma once

// Largest frame any decoder assembles. A size announced by the network
// beyond this is skipped without allocating; 64 MiB holds an 8-bit frame of
// 8192 x 8192 pixels with room to spare.
constexpr int MaxFrameBytes = 64 * 1024 * 1024;

// Initial capacity of each frame buffer array.
constexpr int InitialFrameBufferBytes = 0x200000;

// Size of the block handed to the decoder by one receive call.
constexpr int ReceiveBlockBytes = 160000;
