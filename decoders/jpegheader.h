// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <vector>

// The reference file whose header the RTP/JPEG reassembler uses; its owner
// looks for it in the current directory.
inline constexpr char DefaultReferenceHeaderFile[] = "reference.jpg";

// The first bytes of a reference JPEG file, as many as the header store
// holds; nothing when there is no such file.
using ReferenceHeader = std::optional<std::vector<unsigned char>>;

// The JPEG header put in front of RTP/JPEG frames when no "reference.jpg"
// exists: SOI, an APP9 segment, DRI (60 MCUs), two 8-bit DQT segments (tables
// 0 and 1, placeholders), the four standard Huffman tables, SOF0 (640 x 480,
// three components, 4:2:0) and SOS.
constexpr int BuiltinJpegHeaderBytes = 617;
extern const unsigned char BuiltinJpegHeader[BuiltinJpegHeaderBytes];

// Fills luma and chroma (64 bytes each, zigzag order, as DQT segments hold
// them) with the tables RFC 2435 Appendix A derives from a Q factor of 1-99:
// the example tables of the JPEG standard, scaled for that quality.
void makeRfc2435Tables(int q, unsigned char* luma, unsigned char* chroma);
