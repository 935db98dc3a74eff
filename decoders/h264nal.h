// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>

// H.264 NAL unit types as they appear in the low five bits of a NAL unit
// header, and the Annex B start code every delivered NAL unit begins with.
namespace h264 {
constexpr int NalTypeMask = 0x1F;
constexpr int NalNonIdrSlice = 1;
constexpr int NalIdrSlice = 5;
constexpr int NalSei = 6;
constexpr int NalSps = 7;
constexpr int NalPps = 8;
constexpr int NalAccessUnitDelimiter = 9;
// RTP payload structures (RFC 6184) in the NAL unit type field.
constexpr int StapA = 24;
constexpr int StapB = 25;
constexpr int Mtap16 = 26;
constexpr int Mtap24 = 27;
constexpr int FuA = 28;
constexpr int FuB = 29;
constexpr unsigned char StartCode[4] = {0, 0, 0, 1};
constexpr int StartCodeBytes = 4;
} // namespace h264

// Whether the Annex B access unit of n bytes at p holds an IDR slice: scans
// every start code (three or four bytes) for a NAL unit header of type 5.
inline bool h264AccessUnitIsIdr(const unsigned char* p, std::size_t n)
{
    if (p == nullptr)
        return false;
    for (std::size_t i = 0; i + 3 < n; ++i) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            if ((p[i + 3] & h264::NalTypeMask) == h264::NalIdrSlice)
                return true;
            i += 2;
        }
    }
    return false;
}
