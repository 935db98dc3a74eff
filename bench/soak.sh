#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Soak and fault run (not part of CI): framescope (offscreen) against 16
# simulated devices of mixed protocols at 30 fps, simulators killed and
# restarted every few seconds, and one device flooded with datagrams as fast
# as loopback allows. Reports the viewer's resident memory after warm-up and
# at the end, frames shown, each device's delivery and restarts, and how long
# the viewer takes to quit on SIGTERM at the end (its event loop must still
# be responsive).
#
# Usage: bench/soak.sh [BUILD_DIR]          (default build/default)
# Environment: SOAK_SECONDS (default 600), RESTART_EVERY (seconds between two
# simulator kills, default 3), WIDTH x HEIGHT of the frames (default 320 x 240).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/default}" && pwd)
viewer=$build/app/framescope
sim=$build/tools/devicesim/framescope-devicesim
seconds=${SOAK_SECONDS:-600}
restart_every=${RESTART_EVERY:-3}
width=${WIDTH:-320}
height=${HEIGHT:-240}
warmup=$((seconds < 60 ? seconds / 4 : 30))
for exe in "$viewer" "$sim"; do
    [ -x "$exe" ] || { echo "soak.sh: $exe is missing; build the default preset first" >&2; exit 1; }
done

work=$(mktemp -d /tmp/framescope-soak.XXXXXX)
declare -A sim_pid
view_pid=""
flood_pid=""
cleanup() {
    for p in "${sim_pid[@]}" $flood_pid $view_pid; do kill -9 "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT
cd "$work"

# Devices 0-5 TCP (JPEG), 6-10 UDP (JPEG, and gray on 9 and 10), 11-15 RTP,
# 16 the flooded UDP port. Ports are consecutive from a free-looking base.
base=$((20000 + RANDOM % 20000))
ndev=16
protocol() {
    if [ "$1" -lt 6 ]; then echo TCP; elif [ "$1" -lt 11 ]; then echo UDP; else echo RTP; fi
}
: >view.ini
for d in $(seq 0 $ndev); do
    p=$(protocol "$d")
    [ "$d" = "$ndev" ] && p=UDP
    printf '[dev%d]\nhost=127.0.0.1\nport=%d\nprotocol=%s\nsizeX=%d\nsizeY=%d\nlogfile=dev%d.log\n' \
        "$d" $((base + d)) "$p" "$width" "$height" "$d" >>view.ini
done

declare -A starts
start_sim() { # device
    local d=$1 p
    p=$(protocol "$d")
    local args=(--host 127.0.0.1 --port $((base + d)) --fps 30 --width "$width" --height "$height")
    case $p in
    TCP) args+=(--mode tcp) ;;
    UDP) args+=(--mode udp) ;;
    # A restarted RTP camera keeps its SSRC; its timestamps start from a new
    # random base (the seed), half the time behind the old ones.
    RTP) args+=(--mode rtp --ssrc $((0x46530000 + d)) --seed $((d * 1000 + ${starts[$d]:-0}))) ;;
    esac
    [ "$d" = 9 ] || [ "$d" = 10 ] && args+=(--content gray)
    "$sim" "${args[@]}" >>"sim$d.out" 2>&1 &
    sim_pid[$d]=$!
    starts[$d]=$((${starts[$d]:-0} + 1))
}

rss() { awk '/VmRSS/ { print $2 }' "/proc/$view_pid/status"; }
# Datagrams the kernel dropped at the viewer's socket for a port (the
# receive queue was full), from /proc/net/udp.
udp_drops() {
    awk -v port="$(printf '%04X' "$1")" \
        'NR > 1 { split($2, a, ":"); if (a[2] == port) { print $NF; found = 1 } } END { if (!found) print 0 }' \
        /proc/net/udp
}

QT_QPA_PLATFORM=offscreen "$viewer" view.ini >view.out 2>&1 &
view_pid=$!
for d in $(seq 0 $((ndev - 1))); do start_sim "$d"; done

flood_port=$((base + ndev))
if command -v python3 >/dev/null; then
    # Random datagrams with pieces of multipart headers, as fast as one core
    # can hand them to loopback.
    python3 - "$flood_port" "$seconds" >flood.out 2>&1 <<'PY' &
import os, socket, sys, time
port, seconds = int(sys.argv[1]), float(sys.argv[2])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
blobs = [os.urandom(1400) for _ in range(64)]
blobs += [b"---jworudfg83h23lsow2z04\r\nContent-Type: image/jpeg\r\nContent-Length: 9999999\r\n\r\n" + os.urandom(1300)]
end, n = time.time() + seconds, 0
while time.time() < end:
    for b in blobs:
        try:
            s.sendto(b, ("127.0.0.1", port))
            n += 1
        except OSError:
            pass
print("flood: datagrams", n)
PY
    flood_pid=$!
else
    "$sim" --mode udp --port "$flood_port" --fps 1000 --width 64 --height 48 --bad-every 1 \
        >flood.out 2>&1 &
    flood_pid=$!
fi

sleep "$warmup"
rss_start=$(rss)
rss_max=$rss_start
drops_start=()
for d in $(seq 0 $ndev); do drops_start[$d]=$(udp_drops $((base + d))); done

# Stop one simulator every few seconds and restart it a second later: its
# sockets close, TCP connections drop, datagram streams pause and come back
# with new sequence numbers and timestamps. SIGTERM lets it report what it
# sent.
end=$((SECONDS + seconds - warmup))
kills=0
while [ $SECONDS -lt $end ]; do
    sleep "$restart_every"
    d=$((RANDOM % ndev))
    kill -TERM "${sim_pid[$d]}" 2>/dev/null || true
    wait "${sim_pid[$d]}" 2>/dev/null || true
    kills=$((kills + 1))
    sleep 1
    start_sim "$d"
    r=$(rss)
    [ "$r" -gt "$rss_max" ] && rss_max=$r
    kill -0 "$view_pid" || { echo "soak.sh: the viewer died" >&2; exit 1; }
done
rss_end=$(rss)

# Let every simulator report, then stop the viewer and time its exit.
for d in $(seq 0 $((ndev - 1))); do kill -TERM "${sim_pid[$d]}" 2>/dev/null || true; done
for d in $(seq 0 $((ndev - 1))); do wait "${sim_pid[$d]}" 2>/dev/null || true; done
sleep 1
drops_end=()
for d in $(seq 0 $ndev); do drops_end[$d]=$(udp_drops $((base + d))); done
t0=$(date +%s%N)
kill -TERM "$view_pid"
wait "$view_pid" && view_rc=0 || view_rc=$?
quit_ms=$((($(date +%s%N) - t0) / 1000000))
view_pid=""
kill "$flood_pid" 2>/dev/null || true
wait "$flood_pid" 2>/dev/null || true
flood_pid=""

frames=$(grep -ho 'MARK histogram frame[0-9]*' dev*.log 2>/dev/null | sed 's/.*frame//' | sort -n | tail -1)
echo "soak: ${seconds} s, $ndev devices at 30 fps (${width}x${height}) + 1 flooded port," \
    "$kills simulator kills (every ${restart_every} s + 1 s down)"
echo "soak: viewer RSS after ${warmup} s warm-up ${rss_start} kB, at the end ${rss_end} kB," \
    "highest ${rss_max} kB; frames shown ${frames:-<1000}; exit on SIGTERM after ${quit_ms} ms," \
    "code ${view_rc}"
echo "| device | protocol | simulator starts | frames sent | delivered to the viewer |"
echo "|---|---|---|---|---|"
for d in $(seq 0 $((ndev - 1))); do
    p=$(protocol "$d")
    sent=$(sed -n 's/.*sent: frames \([0-9]*\).*/\1/p' "sim$d.out" | awk '{ s += $1 } END { print s + 0 }')
    case $p in
    TCP)
        skipped=$(sed -n 's/.* skipped \([0-9]*\).*/\1/p' "sim$d.out" | awk '{ s += $1 } END { print s + 0 }')
        clients=$(grep -c 'client .* connected' "sim$d.out" || true)
        delivered="$((sent - skipped)) frames written to $clients connections"
        ;;
    *)
        dgrams=$(sed -n 's/.* datagrams \([0-9]*\).*/\1/p' "sim$d.out" | awk '{ s += $1 } END { print s + 0 }')
        drops=$((${drops_end[$d]} - ${drops_start[$d]}))
        delivered="$dgrams datagrams, $drops dropped at the socket after warm-up"
        ;;
    esac
    echo "| $d | $p$([ "$d" = 9 ] || [ "$d" = 10 ] && echo ' gray') | ${starts[$d]} | $sent | $delivered |"
done
echo "| $ndev | UDP flood | 1 | - | $(tail -1 flood.out); $((${drops_end[$ndev]} - ${drops_start[$ndev]})) dropped at the socket after warm-up |"
echo "soak: logs in $work"
trap - EXIT
