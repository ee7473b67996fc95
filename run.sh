#!/usr/bin/env bash
# Sets up what is missing, builds, and starts ZarvoRecorder with a test source to record.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/setup.sh

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZARVO_BUILD_TESTS=OFF \
    -DZARVO_BUILD_BENCH=OFF >/dev/null
cmake --build build/release -j "$(nproc)"

# A test picture to record, for as long as the recorder runs.
build/release/tools/zarvo-test-source --name "Test Pattern" &
source_pid=$!
trap 'kill "$source_pid" 2>/dev/null || true; wait "$source_pid" 2>/dev/null || true' EXIT

# Passes the recorder's log through and, once it listens, tells how to drive it from another
# terminal. Ctrl-C is left to the recorder, which finishes a running recording before it ends;
# this filter goes on until the recorder's last line.
explain() {
    trap '' INT
    local pattern='OSCQuery server started on TCP port ([0-9]+) \(namespace of OSC port ([0-9]+)\)'
    while IFS= read -r line; do
        printf '%s\n' "$line" >&2
        if [[ $line =~ $pattern ]]; then
            local query=${BASH_REMATCH[1]} osc=${BASH_REMATCH[2]}
            cat >&2 <<TEXT

ZarvoRecorder takes OSC messages on UDP port $osc and answers OSCQuery on TCP port $query.
From another terminal:
  record the test source:  oscsend localhost $osc /source/1 s "Test Pattern"
  start recording:         oscsend localhost $osc /record i 1
  stop recording:          oscsend localhost $osc /record i 0
  what it is doing:        curl -s http://127.0.0.1:$query/status/state
  where movies go:         curl -s http://127.0.0.1:$query/folder
  every setting and value: curl -s http://127.0.0.1:$query/
Ctrl-C here quits; a recording in progress is finished first.

TEXT
        fi
    done
}

echo "Starting ZarvoRecorder with the test source \"Test Pattern\"."
status=0
if [[ -n ${DISPLAY:-} || -n ${WAYLAND_DISPLAY:-} ]]; then
    # With a display the recorder opens its window (and runs without one if the display
    # cannot be opened after all).
    build/release/App/zarvo-recorder "$@" 2> >(explain) || status=$?
else
    build/release/App/zarvo-recorder --headless "$@" 2> >(explain) || status=$?
fi
wait "$!" 2>/dev/null || true  # for the log filter to print the recorder's last lines
exit "$status"
