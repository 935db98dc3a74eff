#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs framescope into a temporary prefix and checks what an installed
# framescope is: the files the README's "Install" section names, valid
# desktop entry, metainfo and manual pages, and programs that run from the
# prefix (--help, --version, the simulator, the viewer offscreen against
# the simulator until it has shown 1000 frames). Then builds the Debian
# package, checks its file list and runs lintian on it, and runs the viewer
# unpacked from it. A missing tool skips its check; the test then reports
# itself skipped (exit 77) if everything that ran passed.
# Usage: install-test.sh BUILD_DIR SOURCE_DIR CMAKE CPACK VERSION_TEXT [lint|nolint]
# (nolint for sanitizer builds, whose package is not one that ships).
set -uo pipefail

build=$1 source=$2 cmake=$3 cpack=$4 version=$5 lint=${6:-lint}
tmp=$(mktemp -d)
pids=()
failures=0
skipped=()

cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
have() {
    command -v "$1" >/dev/null && return 0
    echo "SKIP: $1 is not installed (scripts/install-deps.sh test installs it)"
    skipped+=("$1")
    return 1
}

# The installed paths the README lists: every `/usr/...` in the table of
# its Install section; a * stands for one folder name.
mapfile -t documented < <(awk '/^## /{ inside = ($0 == "## Install") } inside && /^\|/' "$source/README.md" |
    grep -o '`/usr/[^`]*`' | tr -d '`' | sort -u)
[ ${#documented[@]} -ge 8 ] || fail "README's Install section lists only ${#documented[@]} paths"

# check_listed LISTING ROOT: each documented path, with /usr replaced by
# ROOT, matches a line of LISTING (one path per line).
check_listed() {
    local listing=$1 root=$2 path pattern missing=0
    for path in "${documented[@]}"; do
        pattern=$root${path#/usr}
        if ! grep -qx -- "$(printf '%s' "$pattern" | sed 's/[.]/\\./g; s/[*]/[^\/]*/g')" "$listing"; then
            fail "$path is not installed (looked for $pattern)"
            missing=1
        fi
    done
    [ $missing -eq 0 ] && pass "all ${#documented[@]} paths of the README are there ($root)"
}

# run_programs PREFIX LABEL: the installed programs answer and stream.
run_programs() {
    local bin=$1/bin label=$2 out rc
    # No display: both must answer before any window system is touched.
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout 20 "$bin/framescope" --help 2>&1)
    rc=$?
    [ $rc -eq 0 ] && [[ $out == *"Usage: framescope"* ]] && pass "$label framescope --help" ||
        fail "$label framescope --help: exit $rc: $out"
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout 20 "$bin/framescope" --version 2>&1)
    [ "$out" = "framescope $version" ] && pass "$label framescope --version: $out" ||
        fail "$label framescope --version printed '$out', expected 'framescope $version'"
    out=$(timeout 20 "$bin/framescope" --no-such-option 2>&1 >/dev/null)
    rc=$?
    [ $rc -eq 2 ] && [[ $out == *"unknown option"*"Usage:"* ]] && pass "$label framescope bad option: exit 2" ||
        fail "$label framescope --no-such-option: exit $rc: $out"
    out=$(timeout 20 "$bin/framescope-devicesim" --version 2>&1)
    [ "$out" = "framescope-devicesim $version" ] && pass "$label framescope-devicesim --version" ||
        fail "$label framescope-devicesim --version printed '$out'"
    out=$(timeout 20 "$bin/framescope-devicesim" --help 2>&1)
    [[ $out == *"--mode tcp|udp|rtp"* ]] && pass "$label framescope-devicesim --help" ||
        fail "$label framescope-devicesim --help: $out"
}

# ---------------------------------------------------------------- install
prefix=$tmp/prefix
if "$cmake" --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1; then
    pass "cmake --install into $prefix"
else
    fail "cmake --install: $(cat "$tmp/install.log")"
fi
(cd "$prefix" && find . ! -type d | sed 's|^\.|'"$prefix"'|') >"$tmp/prefix.list"
check_listed "$tmp/prefix.list" "$prefix"

# The package's copyright file grants the licence LICENSE grants, word for
# word (the copyright format indents it and writes empty lines as " .").
licence_words() { tr -s ' \n.' '\n' | grep -v '^$'; }
copyright=$(find "$prefix/share/doc" -name copyright | head -n 1)
if [ -n "$copyright" ] &&
    diff <(sed -n '/^License: MIT$/,$p' "$copyright" | tail -n +2 | sed -n '/^License: MIT$/,$p' |
        tail -n +2 | licence_words) \
        <(sed -n '/^Permission/,$p' "$source/LICENSE" | licence_words) >/dev/null; then
    pass "copyright file carries the LICENSE text"
else
    fail "the installed copyright file does not carry the text of LICENSE"
fi

# Each hicolor PNG has the size its folder names.
for png in "$prefix"/share/icons/hicolor/*/apps/framescope.png; do
    size=$(basename "$(dirname "$(dirname "$png")")")
    have file || break
    file "$png" | grep -q "${size/x/ x } *," || fail "$png is not $size: $(file -b "$png")"
done

if have desktop-file-validate; then
    out=$(desktop-file-validate "$prefix"/share/applications/*.desktop 2>&1) &&
        [ -z "$out" ] && pass "desktop-file-validate" || fail "desktop-file-validate: $out"
fi
if have appstreamcli; then
    out=$(appstreamcli validate --no-net "$prefix"/share/metainfo/*.metainfo.xml 2>&1) &&
        pass "appstreamcli validate --no-net" || fail "appstreamcli validate: $out"
fi
if have man; then
    for page in "$prefix"/share/man/man1/*.1.gz; do
        # As lintian checks manual pages: warnings from man and groff, none allowed.
        out=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
            man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
        [ -z "$out" ] && pass "man --warnings $(basename "$page")" ||
            fail "man --warnings $(basename "$page"): $out"
    done
fi

run_programs "$prefix" installed

# The simulator for one second.
out=$(timeout 20 "$prefix/bin/framescope-devicesim" --mode tcp --port 0 --duration 1 \
    --width 64 --height 48 --fps 50 2>&1)
rc=$?
[ $rc -eq 0 ] && [[ $out == *"sent: frames"* ]] && pass "simulator ran one second and ended" ||
    fail "simulator for one second: exit $rc: $out"

# The viewer, offscreen, against the installed simulator on 127.0.0.1,
# until its frame period histogram shows it has displayed 1000 frames.
work=$tmp/run
mkdir -p "$work"
timeout 120 "$prefix/bin/framescope-devicesim" --mode tcp --port 0 --width 160 --height 120 \
    --fps 500 --duration 100 >"$work/sim.out" 2>&1 &
pids+=($!)
port=""
for _ in $(seq 100); do
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/sim.out")
    [ -n "$port" ] && break
    sleep 0.1
done
if [ -z "$port" ]; then
    fail "simulator did not start listening: $(cat "$work/sim.out")"
else
    printf '[dev0]\nhost=127.0.0.1\nport=%s\nprotocol=TCP\nsizeX=160\nsizeY=120\nlogfile=%s\n' \
        "$port" "$work/dev0.log" >"$work/viewer.ini"
    (cd "$work" && QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$work/config" \
        exec timeout 100 "$prefix/bin/framescope" viewer.ini) >"$work/viewer.out" 2>&1 &
    viewer=$!
    pids+=($viewer)
    shown=0
    for _ in $(seq 600); do
        grep -q "MARK histogram frame1000 " "$work/dev0.log" 2>/dev/null && { shown=1; break; }
        kill -0 $viewer 2>/dev/null || break
        sleep 0.1
    done
    if [ $shown -eq 1 ]; then
        pass "installed viewer showed 1000 frames of the installed simulator"
        kill -TERM $viewer
        wait $viewer
        rc=$?
        [ $rc -eq 0 ] && pass "viewer exited with 0 on SIGTERM" || fail "viewer exited with $rc on SIGTERM"
    else
        fail "viewer showed no frames in 60 s: $(cat "$work/viewer.out" "$work/dev0.log" 2>/dev/null)"
    fi
fi

# ---------------------------------------------------------------- package
if have dpkg-deb && have dpkg-shlibdeps; then
    if "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1; then
        deb=$(ls "$tmp"/pkg/framescope_*.deb 2>/dev/null | head -1)
    else
        deb=""
    fi
    if [ -z "$deb" ]; then
        fail "cpack built no package: $(cat "$tmp/cpack.log")"
    else
        pass "cpack built $(basename "$deb")"
        dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' >"$tmp/deb.list"
        check_listed "$tmp/deb.list" /usr
        depends=$(dpkg-deb -f "$deb" Depends)
        [[ $depends == *libqt6widgets6* && $depends == *libturbojpeg* && $depends == *libavcodec* ]] &&
            pass "Depends: $depends" || fail "Depends lacks Qt, TurboJPEG or libavcodec: '$depends'"
        if [ "$lint" = nolint ]; then
            echo "lintian not run: a sanitizer build's package"
        elif have lintian; then
            # Errors fail the test; warnings are printed for the reader.
            # Its own temporary files go with ours.
            TMPDIR=$tmp lintian --tag-display-limit 0 "$deb" >"$tmp/lintian.out" 2>&1
            grep -v '^[EW]: ' "$tmp/lintian.out" | grep -v 'running with root' | head -5
            grep '^W: ' "$tmp/lintian.out"
            if grep -q '^E: ' "$tmp/lintian.out"; then
                fail "lintian errors: $(grep '^E: ' "$tmp/lintian.out")"
            else
                pass "lintian: no errors, $(grep -c '^W: ' "$tmp/lintian.out") warnings"
            fi
        fi
        # The programs run from the unpacked package as from /usr.
        dpkg-deb -x "$deb" "$tmp/root" && run_programs "$tmp/root/usr" unpacked
    fi
fi

if [ $failures -gt 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
if [ ${#skipped[@]} -gt 0 ]; then
    echo "skipped: the checks that need ${skipped[*]}; everything else passed"
    exit 77
fi
echo "all install checks passed"
