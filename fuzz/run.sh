#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the libFuzzer targets of a `fuzz` preset build.
#
#   fuzz/run.sh [--smoke] SECONDS [TARGET...]
#
# Each target first replays its committed seeds (fuzz/corpus/<target>/), then
# fuzzes for SECONDS. New inputs go to build/fuzz/corpus/<target>/ (kept
# between runs, so repeated runs go deeper); the committed seeds are only
# read. --smoke keeps no inputs between runs. Any crash, sanitizer report,
# failed check, time-out (over 25 s for one input) or memory blow-up ends the
# target with a reproducer in build/fuzz/findings/<target>/ and makes the
# script exit non-zero after the remaining targets have run.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/fuzz

smoke=0
if [ "${1:-}" = "--smoke" ]; then
    smoke=1
    shift
fi
seconds=${1:?usage: fuzz/run.sh [--smoke] SECONDS [TARGET...]}
shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(fuzz_multipart fuzz_rtppacket fuzz_rtp2jpeg fuzz_rtp2h264 fuzz_framemetadata
             fuzz_jpegheader fuzz_conversion fuzz_httphead fuzz_httprequest fuzz_rtspresponse fuzz_sdp)
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=()
for t in "${targets[@]}"; do
    bin=$build/fuzz/$t
    seeds=$root/fuzz/corpus/$t
    findings=${FUZZ_FINDINGS:-$build/findings}/$t
    if [ "$smoke" = 1 ]; then
        work=$(mktemp -d "${TMPDIR:-/tmp}/framescope-$t.XXXXXX")
    else
        work=$build/corpus/$t
    fi
    mkdir -p "$work" "$findings"
    opts=(-timeout=25 -rss_limit_mb=2560 -artifact_prefix="$findings/" -print_final_stats=1)
    start=$(date +%s)
    echo "== $t: replaying $(find "$seeds" -type f | wc -l) seeds"
    # Every seed once (libFuzzer runs the files named and exits).
    if ! "$bin" "${opts[@]}" $(find "$seeds" -type f | sort) > "$findings/replay.log" 2>&1; then
        echo "== $t: FAILED replaying the seeds, see $findings/replay.log"
        tail -n 40 "$findings/replay.log"
        failed+=("$t")
        continue
    fi
    echo "== $t: fuzzing for $seconds s"
    if ! nice -n 19 "$bin" "${opts[@]}" -max_total_time="$seconds" "$work" "$seeds" \
        > "$findings/fuzz.log" 2>&1; then
        echo "== $t: FINDING, see $findings/fuzz.log and the crash-*/timeout-*/oom-* files"
        grep -E 'ERROR|SUMMARY|runtime error|check failed' "$findings/fuzz.log" | head -n 10
        failed+=("$t")
    fi
    grep -E '^(Done|stat::number_of_executed_units)' "$findings/fuzz.log" | tr '\n' ' '
    echo "($(($(date +%s) - start)) s)"
    [ "$smoke" = 1 ] && rm -rf "$work"
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzz: findings in ${failed[*]}"
    exit 1
fi
echo "fuzz: no findings"
