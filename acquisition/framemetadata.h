// SPDX-License-Identifier: MIT
#pragma once

// Readers for the APP9 time stamp a device may put into its JPEG frames. They
// work on the raw bytes before decoding and never read at or beyond `len`.

// Finds the first APP9 segment (FF E9) between SOI and SOF0. On success
// `*payload` points at its first payload byte and `*payloadLen` holds the
// payload length; the whole payload lies within the frame.
bool findApp9Segment(const unsigned char* data, int len, const unsigned char** payload,
                     int* payloadLen);

// Reads the APP9 time stamp: `*field` gets the 16-bit field, `*timeUs` the
// time in microseconds (seconds x 1000000 + microseconds). True only when a
// complete time stamp was read.
bool readFrameTimestamp(const unsigned char* data, int len, unsigned short* field,
                        long long* timeUs);
