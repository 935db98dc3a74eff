#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the viewer against simulated devices on 127.0.0.1. `make demo` builds
# first and then calls this script from the repository root.
#
#   SCENARIO=all   the three below at once, side by side in tiles (View > Tiles),
#                  with the statistics panel open (default)
#   SCENARIO=tcp   one TCP device sending JPEG frames with time stamps
#   SCENARIO=udp   one UDP device sending raw 8-bit gray frames
#   SCENARIO=rtp   one RTP/JPEG device (type 65) with 1 % simulated packet loss
#   SCENARIO=four  the three and a second TCP device (4:4:4 sampling), in tiles
#   SCENARIO=newest  all three at once in the newest-frame view: the window
#                  shows whichever frame came last
#   SCENARIO=http  one camera on the web: an MJPEG stream over HTTP behind
#                  Digest authentication (user demo, password demo)
#
# Other variables: BUILD_DIR (default build/default), RUN_DIR (default run),
# BASE_PORT (default 5600; the devices use BASE_PORT .. BASE_PORT+3), FPS
# (default 25), DEMO_SECONDS (how long the viewer runs without a display,
# default 5).
#
# With a display the viewer runs until its window is closed. Without one
# ($DISPLAY unset) it runs under Xvfb for DEMO_SECONDS, a screenshot of the
# virtual screen is saved into the run folder, and the script prints where
# the screenshot and the log files are. The simulators are stopped by their
# process ids when the viewer exits, however it exits.
set -euo pipefail

cd "$(dirname "$0")/.."
SCENARIO=${SCENARIO:-all}
BUILD_DIR=${BUILD_DIR:-build/default}
RUN_DIR=${RUN_DIR:-run}
BASE_PORT=${BASE_PORT:-5600}
FPS=${FPS:-25}
DEMO_SECONDS=${DEMO_SECONDS:-5}

viewer="$BUILD_DIR/app/framescope"
sim="$BUILD_DIR/tools/devicesim/framescope-devicesim"
for bin in "$viewer" "$sim"; do
    if [ ! -x "$bin" ]; then
        echo "demo: $bin is missing; run 'make demo' (or build the preset) first" >&2
        exit 1
    fi
done
case "$SCENARIO" in
tcp | udp | rtp | all | four | newest | http) ;;
*)
    echo "demo: unknown SCENARIO '$SCENARIO' (tcp, udp, rtp, all, four, newest or http)" >&2
    exit 2
    ;;
esac

mkdir -p "$RUN_DIR"
run_abs=$(cd "$RUN_DIR" && pwd)
# No reference.jpg: the RTP device's type 65 stream fits the viewer's
# built-in JPEG header.
rm -f "$run_abs/reference.jpg"
ini="$run_abs/demo.ini"
: >"$ini"
# Several devices are shown side by side, except in the newest-frame demo.
case "$SCENARIO" in
all) printf '[General]\nview=tiles\nstatistics=1\n' >>"$ini" ;;
four) printf '[General]\nview=tiles\n' >>"$ini" ;;
esac

sim_pids=()
stop_simulators() {
    for pid in "${sim_pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${sim_pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    sim_pids=()
}
trap stop_simulators EXIT
trap 'exit 130' INT TERM

dev=0
# add_device PROTOCOL PORT LOGNAME SIMULATOR-ARGS...
add_device() {
    local protocol=$1 port=$2 name=$3
    shift 3
    cat >>"$ini" <<INI
[dev$dev]
host=127.0.0.1
port=$port
protocol=$protocol
sizeX=640
sizeY=480
logfile=$run_abs/$name.log
INI
    "$sim" --port "$port" --width 640 --height 480 --fps "$FPS" "$@" \
        >"$run_abs/sim-$name.out" 2>&1 &
    sim_pids+=("$!")
    dev=$((dev + 1))
}

several=0
case "$SCENARIO" in
all | four | newest) several=1 ;;
esac
if [ "$SCENARIO" = tcp ] || [ "$several" = 1 ]; then
    add_device TCP "$BASE_PORT" tcp --mode tcp
fi
if [ "$SCENARIO" = udp ] || [ "$several" = 1 ]; then
    add_device UDP $((BASE_PORT + 1)) udp --mode udp --content gray
fi
if [ "$SCENARIO" = rtp ] || [ "$several" = 1 ]; then
    add_device RTP $((BASE_PORT + 2)) rtp --mode rtp --loss 1
fi
if [ "$SCENARIO" = four ]; then
    add_device TCP $((BASE_PORT + 3)) tcp444 --mode tcp --sampling 444
fi
if [ "$SCENARIO" = http ]; then
    cat >>"$ini" <<INI
[dev$dev]
url=http://127.0.0.1:$BASE_PORT/video.mjpg
user=demo
password=demo
logfile=$run_abs/http.log
INI
    "$sim" --mode http --port "$BASE_PORT" --width 640 --height 480 --fps "$FPS" \
        --user demo --password demo --auth digest >"$run_abs/sim-http.out" 2>&1 &
    sim_pids+=("$!")
fi

# A simulator that could not start (a port in use) has ended by now.
sleep 0.5
for i in "${!sim_pids[@]}"; do
    if ! kill -0 "${sim_pids[$i]}" 2>/dev/null; then
        echo "demo: a simulator failed to start:" >&2
        cat "$run_abs"/sim-*.out >&2
        exit 1
    fi
done

echo "demo: scenario $SCENARIO, configuration $ini"
viewer_abs=$(cd "$(dirname "$viewer")" && pwd)/framescope
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    (cd "$run_abs" && "$viewer_abs" "$ini") 2>&1 | tee "$run_abs/framescope.out" || true
    echo "demo: logs in $run_abs (*.log: device logs and histogram lines; *.out: program output)"
    exit 0
fi

if ! command -v xvfb-run >/dev/null; then
    echo "demo: no display and no xvfb-run; install the demo packages (scripts/install-deps.sh demo)" >&2
    exit 1
fi
shot="$run_abs/screenshot.png"
rm -f "$shot"
echo "demo: no display; running the viewer under Xvfb for $DEMO_SECONDS s"
# Inside the virtual server: start the viewer, wait, grab the screen, end
# the viewer with SIGTERM (it closes its window and exits like on a close).
# The window's kept layout (per-user settings) lives in the run folder here,
# so that the screenshot shows the default window.
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    cd "$1"
    export XDG_CONFIG_HOME="$1/config"
    "$2" "$3" >"$1/framescope.out" 2>&1 &
    viewer=$!
    sleep "$4"
    if command -v gst-launch-1.0 >/dev/null && gst-inspect-1.0 ximagesrc >/dev/null 2>&1; then
        gst-launch-1.0 -q ximagesrc num-buffers=1 use-damage=false ! videoconvert ! pngenc \
            ! filesink location="$5" >/dev/null 2>&1 || true
    elif command -v import >/dev/null; then
        import -window root "$5" || true
    fi
    kill -TERM "$viewer" 2>/dev/null || true
    wait "$viewer"
' demo "$run_abs" "$viewer_abs" "$ini" "$DEMO_SECONDS" "$shot" || {
    echo "demo: the viewer did not exit cleanly; see $run_abs/framescope.out" >&2
    exit 1
}
stop_simulators
if [ -s "$shot" ]; then
    echo "demo: screenshot: $shot"
else
    echo "demo: no screenshot taken (needs gstreamer1.0-plugins-good or imagemagick)"
fi
echo "demo: logs: $run_abs/*.log (device logs, histogram lines), program output: $run_abs/*.out"
for f in "$run_abs"/sim-*.out; do
    tail -n 1 "$f"
done
