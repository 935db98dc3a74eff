#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs every benchmark of framescope and prints one table of figures and
# ratios: the micro-benchmarks next to their baselines (same bytes, same
# binary), the GStreamer peers on the same bytes, and the loopback run of the
# device simulator into the viewer (offscreen).
# Usage: bench/run.sh [BUILD_DIR]   (default build/release)
# The decode pool's rows take the simulator with --pregenerate, so that the
# sender only sends; the machine's load is printed with the table.
# Environment: BENCH_MIN_TIME (seconds per micro-benchmark, default 1),
# E2E_SECONDS (length of each loopback run, default 8).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
bench="$build/bench/framescope-bench"
viewer="$build/app/framescope"
sim="$build/tools/devicesim/framescope-devicesim"
min_time=${BENCH_MIN_TIME:-1}
e2e_seconds=${E2E_SECONDS:-8}
for exe in "$bench" "$viewer" "$sim"; do
    [ -x "$exe" ] || { echo "run.sh: $exe is missing; build the release preset first" >&2; exit 1; }
done

command -v jq >/dev/null || { echo "run.sh: jq is missing (scripts/install-deps.sh build bench)" >&2; exit 1; }
work=$(mktemp -d /tmp/framescope-bench.XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
export QT_QPA_PLATFORM=offscreen
# The viewer keeps its window layout in the per-user settings; the runs here
# start from the default window and leave the user's settings alone.
export XDG_CONFIG_HOME="$work/config"

# ---------------------------------------------------------------- micro
echo "== micro-benchmarks (${min_time} s each)" >&2
"$bench" --benchmark_min_time="$min_time" --benchmark_format=json \
    --benchmark_out="$work/micro.json" --benchmark_out_format=json >/dev/null 2>"$work/micro.err" ||
    { cat "$work/micro.err" >&2; exit 1; }
"$bench" --write-data "$work" >"$work/data.txt"

# value NAME FIELD: a figure of micro.json (rates are per CPU second)
value() {
    jq -r --arg n "$1" --arg f "$2" '.benchmarks[] | select(.name == $n) | .[$f]' "$work/micro.json"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'; }
gbs() { awk -v v="$1" 'BEGIN { printf "%.2f GB/s", v / 1e9 }'; }
per_s() { awk -v v="$1" 'BEGIN { printf "%.0f/s", v }'; }

rows=()
row() { rows+=("$(printf '| %s | %s | %s | %s | %s |' "$1" "$2" "$3" "$4" "$5")"); }

tcp=$(value BM_MultipartTcp bytes_per_second)
tcp_base=$(value BM_MultipartTcp_Memcpy bytes_per_second)
tcp_nodelivery=$(value BM_MultipartTcpNoDelivery bytes_per_second)
row "multipart TCP, 160000-byte blocks" "$(gbs "$tcp") ($(per_s "$(value BM_MultipartTcp frames/s)") frames)" \
    "memcpy $(gbs "$tcp_base")" "$(ratio "$tcp" "$tcp_base")" ">= 0.5"
row "multipart TCP, decoding only (no request pending)" "$(gbs "$tcp_nodelivery")" \
    "memcpy $(gbs "$tcp_base")" "$(ratio "$tcp_nodelivery" "$tcp_base")" "report"
udp=$(value BM_MultipartUdp bytes_per_second)
udp_base=$(value BM_MultipartUdp_Memcpy bytes_per_second)
row "multipart UDP, 4096-byte datagrams" "$(gbs "$udp")" "memcpy $(gbs "$udp_base")" \
    "$(ratio "$udp" "$udp_base")" ">= 0.1 and >= 1.25 GB/s"
rtp=$(value BM_RtpReassembly bytes_per_second)
rtp_base=$(value BM_RtpReassembly_Memcpy bytes_per_second)
rtp_pps=$(value BM_RtpReassembly packets/s)
row "RTP/JPEG reassembly, 1400-byte payloads" "$(gbs "$rtp"), $(per_s "$rtp_pps") packets" \
    "memcpy $(gbs "$rtp_base")" "$(ratio "$rtp" "$rtp_base")" ">= 0.5"
jpeg=$(value BM_ConvertJpeg frames/s)
jpeg_base=$(value BM_ConvertJpeg_TurboJpeg frames/s)
row "JPEG convertImage 1280x960" "$(per_s "$jpeg") frames" "TurboJPEG $(per_s "$jpeg_base")" \
    "$(ratio "$jpeg" "$jpeg_base")" ">= 0.85"
jpeg_display=$(value BM_JpegDisplay frames/s)
row "JPEG convertImage + display 1280x960" "$(per_s "$jpeg_display") frames" \
    "convertImage alone $(per_s "$jpeg")" "$(ratio "$jpeg_display" "$jpeg")" "report"
gray=$(value BM_GrayDisplay frames/s)
gray_base=$(value BM_GrayDisplay_ConvertToFormat frames/s)
row "raw gray convertImage + display 1280x960" "$(per_s "$gray") frames" \
    "convertToFormat $(per_s "$gray_base")" "$(ratio "$gray" "$gray_base")" "report"
# ms per frame from a frames/s figure
ms_per() { awk -v r="$1" 'BEGIN { if (r > 0) printf "%.3f ms", 1000 / r; else printf "-" }'; }
for decode in 0 1; do
    newest=$(value "BM_SixteenDevices/tiles:0/decode:$decode" frames/s)
    tiles=$(value "BM_SixteenDevices/tiles:1/decode:$decode" frames/s)
    what="display only"
    [ "$decode" = 1 ] && what="JPEG conversion + display"
    # The ratio is tiles' cost over the newest-frame view's cost per frame.
    row "16 devices 640x480, GUI thread per frame in tiles ($what)" "$(ms_per "$tiles")" \
        "newest frame $(ms_per "$newest")" "$(ratio "$newest" "$tiles")" "<= 1"
done

# ---------------------------------------------------------------- peers
# CPU seconds (user + system) of one command.
cpu_of() {
    /usr/bin/time -f "%U %S" -o "$work/time.txt" timeout 300 "$@" >/dev/null 2>&1 || return 1
    awk '{ printf "%.4f", $1 + $2 }' "$work/time.txt"
}
# CPU seconds per pass of a pipeline over FILE: the pipeline runs over the
# file once and over it repeated 5 times; the difference leaves out start-up.
gst_per_pass() {
    local file=$1
    shift
    cat "$file" "$file" "$file" "$file" "$file" >"$work/x5.bin"
    local one five
    one=$(cpu_of gst-launch-1.0 -q filesrc location="$file" "$@") || return 1
    five=$(cpu_of gst-launch-1.0 -q filesrc location="$work/x5.bin" "$@") || return 1
    rm -f "$work/x5.bin"
    awk -v a="$one" -v b="$five" 'BEGIN { d = (b - a) / 4; if (d <= 0) d = 1e-4; printf "%.5f", d }'
}
have_gst=0
if [ -x /usr/bin/time ] && command -v gst-launch-1.0 >/dev/null &&
    gst-inspect-1.0 multipartdemux >/dev/null 2>&1 &&
    gst-inspect-1.0 rtpjpegdepay >/dev/null 2>&1 && gst-inspect-1.0 rtpstreamdepay >/dev/null 2>&1; then
    have_gst=1
fi
if [ "$have_gst" = 1 ]; then
    echo "== GStreamer peers" >&2
    bytes=$(awk '/multipart_bytes/ { print $2 }' "$work/data.txt")
    packets=$(awk '/rtp_packets/ { print $2 }' "$work/data.txt")
    demux="multipartdemux boundary=-jworudfg83h23lsow2z04 ! fakesink"
    # shellcheck disable=SC2086
    if t=$(gst_per_pass "$work/multipart.bin" blocksize=160000 ! $demux); then
        g=$(awk -v b="$bytes" -v t="$t" 'BEGIN { print b / t }')
        row "peer: multipartdemux, 160000-byte reads" "$(gbs "$g")" "framescope TCP $(gbs "$tcp")" \
            "$(ratio "$tcp" "$g")" ">= 1"
    fi
    # shellcheck disable=SC2086
    if t=$(gst_per_pass "$work/multipart.bin" blocksize=4096 ! $demux); then
        g=$(awk -v b="$bytes" -v t="$t" 'BEGIN { print b / t }')
        row "peer: multipartdemux, 4096-byte reads" "$(gbs "$g")" "framescope UDP $(gbs "$udp")" \
            "$(ratio "$udp" "$g")" ">= 1"
    fi
    if t=$(gst_per_pass "$work/rtp.bin" ! \
        "application/x-rtp-stream,media=video,clock-rate=90000,encoding-name=JPEG,payload=26" ! \
        rtpstreamdepay ! rtpjpegdepay ! fakesink); then
        g=$(awk -v p="$packets" -v t="$t" 'BEGIN { print p / t }')
        row "peer: rtpstreamdepay ! rtpjpegdepay" "$(per_s "$g") packets" \
            "framescope $(per_s "$rtp_pps")" "$(ratio "$rtp_pps" "$g")" ">= 5"
    fi
else
    row "peers" "GStreamer (gstreamer1.0-tools, -plugins-good) or /usr/bin/time missing: skipped" "" "" ""
fi

# ---------------------------------------------------------------- live RTP
# A paced sender offers the benchmark's RTP packets over loopback to the
# viewer and then to GStreamer's udpsrc ! rtpjpegdepay, each asking for a 4 MiB
# socket receive buffer, stepping the offered rate up for STEP_SECONDS each.
# A packet is lost when the receiver does not drain its socket in time; the
# kernel counts those drops (RcvbufErrors in /proc/net/snmp) the same way for
# both. The highest loss-free rate is the last step without a drop; stepping
# ends at the first drop, or when the sender cannot reach the step's rate.
rtp_rates=${RTP_RATES:-"25000 50000 75000 100000 125000 150000 200000 250000 300000 400000 500000 650000 800000 1000000"}
step_seconds=${STEP_SECONDS:-2}
live_port=$((20000 + $$ % 20000))
rcvbuf_errors() { awk '/^Udp:/ { if (++n == 1) { for (i = 2; i <= NF; ++i) if ($i == "RcvbufErrors") c = i } else print $c }' /proc/net/snmp; }
# offer PORT RATE: sends, prints "sent seconds dropped"
offer() {
    local before after sent secs
    before=$(rcvbuf_errors)
    read -r _ sent _ _ _ secs < <("$bench" --send-rtp "$1" "$2" "$step_seconds")
    sleep 0.5
    after=$(rcvbuf_errors)
    echo "$sent $secs $((after - before))"
}
# loss_free PORT NAME: steps through rtp_rates; sets best (packets/s reached
# at the highest loss-free step, 0 if none) and steps (a summary).
loss_free() {
    local port=$1 name=$2 sent secs dropped reached
    best=0 steps=""
    for r in $rtp_rates; do
        read -r sent secs dropped < <(offer "$port" "$r")
        reached=$(awk -v n="$sent" -v s="$secs" 'BEGIN { printf "%.0f", n / s }')
        steps="$steps $r:$reached/$dropped"
        echo "$name: offered $r packets/s, reached $reached, dropped $dropped" >&2
        [ "$dropped" -eq 0 ] || break
        best=$reached
        awk -v a="$reached" -v b="$r" 'BEGIN { exit !(a < 0.95 * b) }' && { steps="$steps (sender limit)"; break; }
    done
}
echo "== live RTP over loopback, loss-free rate" >&2
live="$work/live"
mkdir -p "$live"
"$bench" --write-data "$live" >/dev/null
printf '[dev0]\nhost=127.0.0.1\nport=%s\nprotocol=RTP\nsizeX=1280\nsizeY=960\n' "$live_port" \
    >"$live/view.ini"
(cd "$live" && FRAMESCOPE_LATENCY_FILE="$live/latency.txt" exec timeout -k 5 120 "$viewer" "$live/view.ini") \
    >"$live/view.out" 2>&1 &
view_pid=$!
pids+=("$view_pid")
sleep 1.5
loss_free "$live_port" framescope
fs_best=$best fs_steps=$steps
kill -TERM "$view_pid"
wait "$view_pid" || true
gst_best="-"
if [ "$have_gst" = 1 ]; then
    timeout -k 5 -s INT 120 gst-launch-1.0 udpsrc port=$((live_port + 1)) buffer-size=4194304 \
        caps="application/x-rtp,media=video,clock-rate=90000,encoding-name=JPEG,payload=26" ! \
        rtpjpegdepay ! fakesink >"$live/gst.out" 2>&1 &
    gst_pid=$!
    pids+=("$gst_pid")
    sleep 1.5
    loss_free $((live_port + 1)) GStreamer
    gst_best=$best
    kill -INT "$gst_pid" 2>/dev/null || true
    wait "$gst_pid" || true
    row "live RTP over loopback: highest loss-free rate" "$(per_s "$fs_best") packets" \
        "GStreamer udpsrc ! rtpjpegdepay $(per_s "$gst_best") packets" "$(ratio "$fs_best" "$gst_best")" \
        ">= 2 and >= 200000/s"
else
    row "live RTP over loopback: highest loss-free rate" "$(per_s "$fs_best") packets" "GStreamer missing" "" \
        ">= 200000/s"
fi
echo "loss-free steps (offered:reached/dropped): framescope$fs_steps" >&2

# ---------------------------------------------------------------- loopback
# run_e2e NAME DEVICES SIMARGS...: the simulator serves TCP on a free port,
# the viewer shows DEVICES devices connected to it for e2e_seconds.
# With SENDER "bench" the sender is framescope-bench --serve-tcp (frames
# encoded beforehand, CONTENT FPS; one device);
# otherwise the device simulator, which encodes every frame, with SIMARGS.
run_e2e() {
    local name=$1 devices=$2 sender=$3
    shift 3
    local dir="$work/e2e-$name"
    mkdir -p "$dir"
    if [ "$sender" = bench ]; then
        timeout -k 5 $((e2e_seconds + 60)) "$bench" --serve-tcp $((e2e_seconds + 30)) "$@" \
            >"$dir/sim.out" 2>&1 &
    else
        timeout -k 5 $((e2e_seconds + 60)) "$sim" --mode tcp --port 0 --width 1280 --height 960 \
            --fps 1000 "$@" >"$dir/sim.out" 2>&1 &
    fi
    local sim_pid=$!
    pids+=("$sim_pid")
    local port=""
    for _ in $(seq 1 100); do
        port=$(sed -n -e 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' -e 's/^port \([0-9]*\)$/\1/p' \
            "$dir/sim.out")
        [ -n "$port" ] && break
        sleep 0.1
    done
    [ -n "$port" ] || { echo "run.sh: simulator did not start" >&2; return 1; }
    : >"$dir/view.ini"
    [ -n "${e2e_view:-}" ] && printf '[General]\nview=%s\n' "$e2e_view" >>"$dir/view.ini"
    for d in $(seq 0 $((devices - 1))); do
        printf '[dev%d]\nhost=127.0.0.1\nport=%s\nprotocol=TCP\nsizeX=1280\nsizeY=960\n' \
            "$d" "$port" >>"$dir/view.ini"
    done
    (cd "$dir" && FRAMESCOPE_LATENCY_FILE="$dir/latency.txt" exec timeout -k 5 $((e2e_seconds + 60)) "$viewer" "$dir/view.ini") \
        >"$dir/view.out" 2>&1 &
    local view_pid=$!
    pids+=("$view_pid")
    sleep "$e2e_seconds"
    # Resident memory of the viewer just before it is stopped.
    local rss
    local viewer_pid
    viewer_pid=$(pgrep -P "$view_pid" | head -n 1)
    rss=$(awk '/VmRSS/ { print $2 }' "/proc/${viewer_pid:-$view_pid}/status")
    kill -TERM "$view_pid"
    wait "$view_pid" || true
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" || true
    local shown finished delivered median p99
    shown=$(awk '/^shown/ { print $2 }' "$dir/latency.txt")
    finished=$(awk '/^finished/ { print $2 }' "$dir/latency.txt")
    delivered=$(awk '/^delivered/ { print $2 }' "$dir/latency.txt")
    median=$(awk '/^latency_median_ms/ { print $2 }' "$dir/latency.txt")
    p99=$(awk '/^latency_p99_ms/ { print $2 }' "$dir/latency.txt")
    # Frames of the first second after the first one shown (connecting,
    # the first layout) are apart from the quantiles above.
    e2e_startmax=$(awk '/startup_latency_max_ms/ { printf "%.0f", $2 }' "$dir/latency.txt")
    # The share shown of the running stream: frames received from the end
    # of that first second to half a second before the last shown (which
    # may still be in flight when the viewer is stopped).
    # A full-size decode as the pool ran it in this run (cold caches at low
    # rates), next to the micro-benchmark's decode in a loop.
    e2e_decode=$(awk '/^decode_median_ms/ { printf "%.2f", $2 }' "$dir/latency.txt")
    e2e_steady=$(awk '/^steady_finished/ { f = $2 } /^steady_shown/ { s = $2 }
        END { if (f > 0) printf "%.1f %%", 100 * s / f; else print "-" }' "$dir/latency.txt")
    local fps cpu sent
    fps=$(awk -v n="$shown" -v s="$e2e_seconds" 'BEGIN { printf "%.1f", n / s }')
    sent=$(awk -v n="$finished" -v s="$e2e_seconds" 'BEGIN { printf "%.1f", n / s }')
    cpu="$(awk '/cpu_per_frame_ms/ { printf "%.2f", $2 }' "$dir/latency.txt") ms"
    local busy
    busy="$(awk '/gui_busy_fraction/ { printf "%.0f", 100 * $2 }' "$dir/latency.txt") %"
    echo "$name: devices $devices shown $shown finished $finished delivered $delivered cpu/frame $cpu rss ${rss} kB latency median $median ms p99 $p99 ms; simulator: $(tail -1 "$dir/sim.out")" >&2
    e2e_sent=${sent:--} e2e_fps=$fps e2e_dropped=$((finished - delivered)) e2e_cpu=$cpu e2e_rss=$((rss / 1024))
    e2e_median=$median e2e_p99=$p99 e2e_busy=$busy
}
echo "== loopback, ${e2e_seconds} s per run" >&2
e2e_rows=()
# e2e_row LABEL CONVERSION_RATE: one table row of the last run.
e2e_row() {
    local versus="-"
    [ -n "$2" ] && versus=$(ratio "$e2e_fps" "$2")
    e2e_rows+=("$(printf '| %s | %s | %s | %s | %s | %s | %s MB | %s / %s ms | %s |' "$1" \
        "$e2e_sent" "$e2e_fps" "$versus" "$e2e_dropped" "$e2e_cpu" "$e2e_rss" "$e2e_median" \
        "$e2e_p99" "$e2e_busy")")
}
jpeg_offer=$(awk -v r="$jpeg" 'BEGIN { printf "%.0f", r }')
gray_offer=$(awk -v r="$gray" 'BEGIN { printf "%.0f", r }')
run_e2e jpegfast 1 bench jpeg "$jpeg_offer" &&
    e2e_row "JPEG, 1 device, pre-encoded frames offered at the conversion rate" "$jpeg"
run_e2e jpeg1 1 sim --content jpeg && e2e_row "JPEG, 1 device, simulator flat out" "$jpeg"
run_e2e jpeg1paced 1 sim --content jpeg --fps 25 && e2e_row "JPEG, 1 device, simulator 25 frames/s" ""
run_e2e grayfast 1 bench gray "$gray_offer" &&
    e2e_row "raw gray, 1 device, frames offered at the conversion rate" "$gray"
run_e2e gray1paced 1 sim --content gray --fps 25 && e2e_row "raw gray, 1 device, simulator 25 frames/s" ""
run_e2e jpeg16 16 sim --content jpeg --fps 25 && e2e_row "JPEG, 16 devices, simulator 25 frames/s each" ""
# The same 16 devices at 640x480 in both views; in the tiles "shown" is the
# frame handed to its tile, whose repaint follows in the event loop.
run_e2e jpeg16small 16 sim --content jpeg --fps 25 --width 640 --height 480 &&
    e2e_row "JPEG 640x480, 16 devices, 25 frames/s each, newest-frame view" ""
e2e_view=tiles run_e2e jpeg16tiles 16 sim --content jpeg --fps 25 --width 640 --height 480 &&
    e2e_row "JPEG 640x480, 16 devices, 25 frames/s each, tiles" ""

# ---------------------------------------------------------------- decode pool
# The simulator encodes a cycle of 25 frames beforehand (--pregenerate) and
# only sends during the run, so that these rows measure the viewer, not the
# sender's encoder. One simulator serves every device of a row.
echo "== decode pool rows (pre-encoded frames), ${e2e_seconds} s per run" >&2
pool_rows=()
# pool_row LABEL FIGURE TARGET: one row of the last run.
pool_row() {
    pool_rows+=("$(printf '| %s | %s | %s | %s | %s / %s ms (first second: max %s ms) | %s | %s |' "$1" \
        "$e2e_sent" "$e2e_fps" "$2" "$e2e_median" "$e2e_p99" "${e2e_startmax:--}" "$e2e_busy" "$3")")
}
# shown_pct DEVICES FPS: shown of what the row offers over the whole run,
# then shown of what was received once the stream runs, in per cent
shown_pct() {
    awk -v s="$e2e_fps" -v n="$1" -v f="$2" -v r="$e2e_steady" \
        'BEGIN { printf "%.1f %% of offered; %s of received after the first second", 100 * s / (n * f), r }'
}
full_decode_ms=$(awk -v r="$jpeg" 'BEGIN { if (r > 0) printf "%.2f", 1000 / r; else print 0 }')
pool_sim=(--content jpeg --pregenerate 25)
if run_e2e pool1 1 sim "${pool_sim[@]}" --fps 1000; then
    pool_row "1 device 1280x960, full size, flat out: shown / single-thread conversion ($(per_s "$jpeg"))" \
        "$(ratio "$e2e_fps" "$jpeg")" ">= 1.6"
fi
if run_e2e pool1paced 1 sim "${pool_sim[@]}" --fps 25; then
    pool_row "1 device 1280x960 at 25 frames/s: latency median against one full-size decode (micro-benchmark $full_decode_ms ms; in the pool in this run ${e2e_decode:-?} ms)" \
        "$e2e_median ms" "<= $(awk -v d="$full_decode_ms" 'BEGIN { printf "%.2f", d + 1 }') ms / <= $(awk -v d="${e2e_decode:-0}" 'BEGIN { printf "%.2f", d + 1 }') ms"
fi
if e2e_view=tiles run_e2e pool16 16 sim "${pool_sim[@]}" --fps 25; then
    pool_row "16 devices x 25 frames/s 1280x960, tiles: latency; GUI thread busy" "$(shown_pct 16 25)" \
        "median <= 15 ms, p99 <= 60 ms; GUI < 25 %"
fi
if e2e_view=tiles run_e2e pool16x60 16 sim "${pool_sim[@]}" --fps 60; then
    pool_row "16 devices x 60 frames/s 1280x960, tiles (960 frames/s): shown" "$(shown_pct 16 60)" ">= 98 %"
fi
if e2e_view=tiles run_e2e pool128 128 sim "${pool_sim[@]}" --fps 25 --width 640 --height 480; then
    pool_row "128 devices x 25 frames/s 640x480, tiles (3200 frames/s): shown" "$(shown_pct 128 25)" ">= 98 %"
fi

# ---------------------------------------------------------------- table
echo
echo "| benchmark | framescope | baseline | ratio | target |"
echo "|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
echo "| loopback over TCP into framescope (offscreen), 1280x960 | frames received/s | frames shown/s | shown / conversion benchmark rate | dropped by the double buffer | CPU per frame | RSS | latency last byte -> end of repaint, median / p99 after the first second | GUI thread busy |"
echo "|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${e2e_rows[@]}"
echo
echo "| decode pool, loopback TCP, pre-encoded frames (--pregenerate 25) | frames received/s | frames shown/s | figure | latency median / p99 after the first second | GUI thread busy | target |"
echo "|---|---|---|---|---|---|---|"
printf '%s\n' "${pool_rows[@]}"
echo
echo "load: $(uptime)"
