#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages a build needs, only those that are missing.
# Usage: scripts/install-deps.sh [--check] [build|test|demo|bench|fuzz|lint|package]...
# With --check nothing is installed: missing packages are named, with the
# command that installs them, and the exit code is 1.
set -euo pipefail

check_only=0
if [ "${1:-}" = "--check" ]; then
    check_only=1
    shift
fi

build_pkgs=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev
            libjpeg62-turbo-dev libturbojpeg0-dev libcurl4-openssl-dev
            libavcodec-dev libavutil-dev)
# Building the Debian package: dpkg-shlibdeps computes its dependencies.
package_pkgs=(dpkg-dev file)
# Peers for the interoperability tests (x264enc from the ugly set is a test
# peer only; nothing built here links it), the JPEG command-line tools, and
# the validators and package tools of the install test.
test_pkgs=(gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
           gstreamer1.0-plugins-ugly libjpeg-turbo-progs ffmpeg curl iproute2 python3-gi
           gir1.2-gst-rtsp-server-1.0
           "${package_pkgs[@]}" desktop-file-utils appstream lintian man-db groff-base)
demo_pkgs=(xvfb xauth gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good)
bench_pkgs=(libbenchmark-dev jq time gstreamer1.0-tools gstreamer1.0-plugins-base
            gstreamer1.0-plugins-good ffmpeg)
fuzz_pkgs=(clang libclang-rt-14-dev)
lint_pkgs=(clang-format clang-tidy)

wanted=("${build_pkgs[@]}")
for kind in "$@"; do
    case "$kind" in
    build) ;;
    test) wanted+=("${test_pkgs[@]}") ;;
    demo) wanted+=("${demo_pkgs[@]}") ;;
    bench) wanted+=("${bench_pkgs[@]}") ;;
    fuzz) wanted+=("${fuzz_pkgs[@]}") ;;
    lint) wanted+=("${lint_pkgs[@]}") ;;
    package) wanted+=("${package_pkgs[@]}") ;;
    *) echo "install-deps: unknown kind '$kind'" >&2; exit 2 ;;
    esac
done

missing=()
for p in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$check_only" -eq 1 ]; then
    echo "install-deps: missing packages: ${missing[*]}" >&2
    echo "install-deps: run 'make deps' (or scripts/install-deps.sh $*) to install them" >&2
    exit 1
fi

echo "install-deps: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "install-deps: need root or sudo to install ${missing[*]}" >&2; exit 1; }
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
