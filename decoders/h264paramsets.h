// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

// The sequence and picture parameter sets (SPS, PPS) an H.264 stream's IDR
// access units need, kept so that an IDR access unit without its own can be
// given them. They come from the session description's
// sprop-parameter-sets or from the stream itself; the newest ones seen
// replace the earlier ones of their kind. Every size is bounded: a hostile
// description or stream cannot make this allocate more than
// MaxSets x MaxSetBytes per kind.
class H264ParameterSets
{
public:
    using Bytes = std::vector<unsigned char>;
    // Real parameter sets are tens of bytes, a few hundred with scaling
    // lists.
    static constexpr std::size_t MaxSetBytes = 1024;
    static constexpr std::size_t MaxSets = 8;
    static constexpr std::size_t MaxSpropChars = 4 * MaxSets * 2 * (MaxSetBytes / 3 + 1);

    // Reads a sprop-parameter-sets value: NAL units in base64, separated by
    // commas. SPS and PPS found there are stored (replacing those of their
    // kind); false when any part was not one of them within the bounds, or
    // the text is longer than MaxSpropChars (nothing is stored then).
    bool setFromSprop(std::string_view text);

    // Replaces the stored sets of `type` (NalSps or NalPps) with `sets`;
    // those beyond the bounds are left out.
    void replace(int type, std::vector<Bytes> sets);

    bool has(int type) const { return !setsOf(type).empty(); }
    // The stored SPS (when sps) and PPS (when pps), each behind a 4-byte
    // start code, SPS first.
    Bytes annexB(bool sps, bool pps) const;

    // Standard base64 (RFC 4648, '=' padding optional); nothing for any
    // other character, or for more than maxBytes decoded bytes.
    static std::optional<Bytes> decodeBase64(std::string_view text, std::size_t maxBytes);

private:
    const std::vector<Bytes>& setsOf(int type) const;
    std::vector<Bytes> m_sps;
    std::vector<Bytes> m_pps;
};
