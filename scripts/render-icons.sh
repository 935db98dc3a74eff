#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Renders the PNG sizes of the application icon from its SVG source; run it
# after editing packaging/icons/framescope.svg and commit the PNGs with it.
# Needs rsvg-convert (Debian package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")/../packaging/icons"
for size in 16 22 24 32 48 64 128 256; do
    rsvg-convert --width "$size" --height "$size" --output "framescope-$size.png" framescope.svg
done
