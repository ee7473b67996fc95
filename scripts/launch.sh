#!/usr/bin/env bash
# Starts the recorder with a test source to record, and passes the recorder's log through:
#   scripts/launch.sh RECORDER TEST_SOURCE [recorder arguments...]
# RECORDER and TEST_SOURCE are the built zarvo-recorder and zarvo-test-source (run.sh gives its
# release build's). Exits with the recorder's status once the recorder has ended, however it
# ended, and ends the test source on the way out.
set -euo pipefail

if [[ $# -lt 2 ]]; then
    echo "usage: $0 RECORDER TEST_SOURCE [recorder arguments...]" >&2
    exit 2
fi
recorder=$1
test_source=$2
shift 2

# A test picture to record, for as long as the recorder runs.
"$test_source" --name "Test Pattern" &
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

# The filter is started here, by this shell, so that its pid is known and it can be waited for.
# (A process substitution on the recorder's own command line would be started by the recorder's
# forked shell instead, leaving "$!" at the test source.)
exec {log}> >(explain)
log_pid=$!

echo "Starting ZarvoRecorder with the test source \"Test Pattern\"."
status=0
if [[ -n ${DISPLAY:-} || -n ${WAYLAND_DISPLAY:-} ]]; then
    # With a display the recorder opens its window (and runs without one if the display
    # cannot be opened after all).
    "$recorder" "$@" 2>&"$log" {log}>&- || status=$?
else
    "$recorder" --headless "$@" 2>&"$log" {log}>&- || status=$?
fi
# The filter ends at the end of the log, once this last writer is closed; it prints the
# recorder's last lines before this script ends.
exec {log}>&-
wait "$log_pid" 2>/dev/null || true
exit "$status"
