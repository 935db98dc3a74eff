// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <optional>

// How 16-bit gray values are mapped onto the 256 grays of the screen: the
// values from `low` to `high` spread over 0 ... 255, those below black,
// those above white. Automatic levels take low and high from each frame
// (the 0.1 % and 99.9 % points of its values).
struct GrayLevels
{
    static constexpr int MaxValue = 65535;

    bool automatic = true;
    int low = 0;
    int high = MaxValue;

    friend bool operator==(const GrayLevels&, const GrayLevels&) = default;
};

// The levels a `levels` value names: "auto" (any case), or "LOW,HIGH" with
// 0 <= LOW < HIGH <= 65535; nothing for any other text.
std::optional<GrayLevels> parseGrayLevels(const QString& text);
