#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs clang-tidy (checks in .clang-tidy) over the product and tool sources
# with the compile commands of a configured build directory.
# Usage: scripts/lint.sh [BUILD_DIR]   (default build/default)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/default}" && pwd)
[ -f "$build/compile_commands.json" ] ||
    { echo "lint.sh: $build/compile_commands.json is missing; configure a preset first" >&2; exit 1; }
cd "$root"
mapfile -t sources < <(git ls-files 'app/*.cpp' 'display/*.cpp' 'acquisition/*.cpp' \
    'transport/*.cpp' 'files/*.cpp' 'config/*.cpp' 'decoders/*.cpp' 'widgets/*.cpp' 'tools/*.cpp')
jobs=$(nproc)
printf '%s\n' "${sources[@]}" |
    xargs -P "$jobs" -n 4 clang-tidy -p "$build" --quiet 2>/dev/null
echo "lint: ${#sources[@]} files clean"
