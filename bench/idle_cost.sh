#!/usr/bin/env bash
# What the recorder costs while it waits: SOURCES zarvo-test-source publishers of 1920×1080 at
# 30 fps chosen into the places of the real program, the assembled picture a grid, and no take.
# Measured three times: headless, with the window showing the monitor (on a private virtual X
# server), and with that window hidden (unmapped, as a minimised window is). Reports the
# recorder's CPU share over SECONDS (from /proc) and, with the window, the monitor pictures it
# drew meanwhile.
#
#   bench/idle_cost.sh [seconds] [sources] [build folder]      (defaults: 20, 3, build/bench)
#
# Needs Xvfb, xdotool, python3 and curl (scripts/setup.sh installs them).
set -euo pipefail

seconds=${1:-20}
count=${2:-3}
build=${3:-build/bench}
cd "$(dirname "$0")/.."
source bench/recorder.sh
find_programs idle_cost "$build"

work=$(mktemp -d /tmp/zarvo-idle-cost.XXXXXX)
trap 'wait 2>/dev/null || true; rm -rf "$work"' EXIT

osc_port=${ZARVO_BENCH_OSC_PORT:-47340}
query_port=${ZARVO_BENCH_OSCQUERY_PORT:-47360}

# The recorder's CPU share over $2 seconds, as a fraction of one core.
cores_used() {
    local pid=$1 length=$2 c0 t0 c1 t1
    c0=$(cpu_ticks "$pid")
    t0=$(date +%s.%N)
    sleep "$length"
    c1=$(cpu_ticks "$pid")
    t1=$(date +%s.%N)
    python3 -c "import sys; c0, c1, t0, t1, hz = map(float, sys.argv[1:]); \
print(f'{(c1 - c0) / hz / (t1 - t0):.3f}')" "$c0" "$c1" "$t0" "$t1" "$(getconf CLK_TCK)"
}

run() {
    local mode=$1
    local dir=$work/$mode
    (
        use_run_folder "$dir"
        local mine=() i
        for i in $(seq "$count"); do
            "$source" --name "Idle $i" --size 1920x1080 --fps 30 >"$dir/source-$i.log" 2>&1 &
            mine+=($!)
        done
        local recorder_pid display xvfb_pid
        start_recorder "$mode" "$dir" 1366x768
        mine+=($xvfb_pid "$recorder_pid")
        trap 'kill "${mine[@]}" 2>/dev/null || true' EXIT
        wait_for_recorder
        osc /folder "$dir/movies"
        osc /layout grid
        for i in $(seq "$count"); do osc "/source/$i" "Idle $i"; done
        for _ in $(seq 100); do
            [ "$(value "/status/source/$count/online")" = 1 ] && break
            sleep 0.1
        done
        if [ "$mode" = window-hidden ]; then
            DISPLAY=$display xdotool search --sync --onlyvisible --pid "$recorder_pid" --name . \
                windowunmap >/dev/null
        fi
        sleep 2
        local before after
        before=$(grep -c "Monitor:" "$dir/recorder.log" || true)
        echo "  $mode: $(cores_used "$recorder_pid" "$seconds") cores"
        if [ "$mode" != headless ]; then
            # The monitor logs what it drew every few seconds; the lines of the measured time.
            grep "Monitor:" "$dir/recorder.log" | tail -n +"$((before + 1))" |
                sed 's/^.*Monitor: /    monitor: /' || true
        fi
        kill -TERM "$recorder_pid"
        wait "$recorder_pid" || true
    )
}

echo "$count 1920x1080 30 fps test sources chosen, grid, no take, $seconds s;" \
    "load $(cut -d' ' -f1-3 /proc/loadavg)"
run headless
run window
run window-hidden
