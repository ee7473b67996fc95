#!/usr/bin/env bash
# What the window costs a recording: two zarvo-test-source publishers of 1920×1080 at 30 fps
# recorded as H.264, output "both", grid, by the real program three times over: headless, with
# its window showing the monitor at the full rate, and with the window in performance mode. The
# window runs on a private virtual X server. Each run records a short first take (the one that
# makes the encoders' memory) and then the measured take, and reports for both the frames
# written and dropped per movie (read over OSCQuery) and the recorder's CPU share (from
# /proc); the window's runs add the monitor's own figures: the pictures it drew and the time
# from a source's frame to its picture.
#
#   bench/window_take.sh [seconds] [build folder]      (defaults: 20, build/bench)
#
# Needs Xvfb, python3 and curl (scripts/setup.sh installs them).
set -euo pipefail

seconds=${1:-20}
build=${2:-build/bench}
cd "$(dirname "$0")/.."
source bench/recorder.sh
find_programs window_take "$build"

work=$(mktemp -d /tmp/zarvo-window-take.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

osc_port=${ZARVO_BENCH_OSC_PORT:-47300}
query_port=${ZARVO_BENCH_OSCQUERY_PORT:-47320}

# One take of $2 seconds by the recorder $1, reported under the title $3.
take() {
    local pid=$1 length=$2 title=$3
    osc /record 1
    sleep 0.5
    local c0 t0 c1 t1
    c0=$(cpu_ticks "$pid")
    t0=$(date +%s.%N)
    sleep "$length"
    c1=$(cpu_ticks "$pid")
    t1=$(date +%s.%N)
    local s1 s2 assembled
    s1="$(value /status/source/1/frames) written, $(value /status/source/1/dropped) dropped"
    s2="$(value /status/source/2/frames) written, $(value /status/source/2/dropped) dropped"
    assembled="$(value /status/assembled/frames) written, $(value /status/assembled/dropped) dropped"
    osc /record 0
    # The take ends when the recorder is idle again.
    for _ in $(seq 200); do
        [ "$(value /status/state)" = idle ] && break
        sleep 0.1
    done
    local ticks
    ticks=$(getconf CLK_TCK)
    python3 - "$title" "$s1" "$s2" "$assembled" "$c0" "$c1" "$t0" "$t1" "$ticks" <<'PY'
import sys
title, s1, s2, assembled = sys.argv[1:5]
c0, c1, t0, t1, ticks = map(float, sys.argv[5:10])
print(f"  {title}:")
print(f"    source 1: {s1}; source 2: {s2}; assembled: {assembled}")
print(f"    recorder CPU: {(c1 - c0) / ticks / (t1 - t0) * 100:.0f} % of one core")
PY
}

run() {
    local mode=$1
    local dir=$work/$mode
    (
        use_run_folder "$dir"
        local mine=()
        "$source" --name Left --size 1920x1080 --fps 30 >"$dir/left.log" 2>&1 &
        mine+=($!)
        "$source" --name Right --size 1920x1080 --fps 30 >"$dir/right.log" 2>&1 &
        mine+=($!)
        local recorder_pid display xvfb_pid
        start_recorder "$mode" "$dir" 1280x800
        mine+=($xvfb_pid "$recorder_pid")
        trap 'kill "${mine[@]}" 2>/dev/null || true' EXIT
        wait_for_recorder
        osc /folder "$dir/movies"
        osc /codec h264
        osc /output both
        osc /layout grid
        osc /source/1 Left
        osc /source/2 Right
        if [ "$mode" = window-performance ]; then osc /performance 1; fi
        for _ in $(seq 100); do
            [ "$(value /status/source/1/online)" = 1 ] && [ "$(value /status/source/2/online)" = 1 ] &&
                break
            sleep 0.1
        done
        sleep 2
        echo "$mode:"
        take "$recorder_pid" 3 "first take, 3 s"
        sleep 1
        local before
        before=$(grep -c "Monitor:" "$dir/recorder.log" || true)
        take "$recorder_pid" "$seconds" "measured take, $seconds s"
        if [ "$mode" != headless ]; then
            # The monitor's lines logged during the measured take.
            grep "Monitor:" "$dir/recorder.log" | tail -n +"$((before + 1))" |
                sed 's/^.*Monitor: /    monitor: /' || true
        fi
        kill -TERM "$recorder_pid"
        wait "$recorder_pid" || true
    )
}

echo "two 1920x1080 30 fps test sources, H.264, output \"both\", grid; load $(cut -d' ' -f1-3 /proc/loadavg)"
run headless
run window
run window-performance
