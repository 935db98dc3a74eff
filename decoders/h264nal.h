// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>

// True when the H.264 access unit in Annex B form (`n` bytes at `p`, each
// NAL unit after a 00 00 01 or 00 00 00 01 start code) holds a NAL unit of
// type 5, a slice of an IDR picture: one that decodes without any earlier
// picture. Reads only the given bytes.
inline bool h264AccessUnitIsIdr(const unsigned char* p, std::size_t n)
{
    if (p == nullptr)
        return false;
    for (std::size_t i = 0; i + 3 < n; ++i) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            if ((p[i + 3] & 0x1F) == 5)
                return true;
            i += 2;
        }
    }
    return false;
}
