# What the benchmark scripts share to drive the real recorder: the programs of a build folder, a
# run's own folders and environment, starting the recorder headless or with its window, OSC
# messages to $osc_port, values read over OSCQuery from $query_port (both set by the script
# before it calls these), and a process's CPU time. Sourced.

# Sets $recorder and $source to the programs of build folder $2, or says how to build them and
# exits; $1 names the script in the message.
find_programs() {
    local name=$1 build=$2 program
    recorder=$build/App/zarvo-recorder
    source=$build/tools/zarvo-test-source
    for program in "$recorder" "$source"; do
        if [ ! -x "$program" ]; then
            echo "$name: $program is missing; build it first:" >&2
            echo "  cmake --build $build --target zarvo-recorder zarvo-test-source" >&2
            exit 1
        fi
    done
}

# Inside a run's subshell: makes the run's own folders under $1 (home, runtime, movies) and
# exports the environment that keeps the recorder to them and to the benchmark's ports, with
# the monitor's figures logged and nothing looked up on the network.
use_run_folder() {
    local dir=$1
    mkdir -p "$dir/movies" "$dir/runtime" "$dir/home"
    chmod 700 "$dir/runtime"
    export HOME=$dir/home XDG_CONFIG_HOME=$dir/home/.config XDG_RUNTIME_DIR=$dir/runtime
    export ZARVO_OSC_PORT=$osc_port ZARVO_OSCQUERY_PORT=$query_port ZARVO_MONITOR_STATS=1
    export ZARVO_NDI_LIBRARY=$dir/no-ndi.so ZARVO_DISABLE_UPDATE_CHECK=1
    unset WAYLAND_DISPLAY QT_QPA_PLATFORM
}

# Starts $recorder for the run in folder $2: headless when $1 is "headless", else with its
# window on a private virtual X server whose screen is $3 (WxH). Sets recorder_pid and, with a
# window, display and xvfb_pid.
start_recorder() {
    local mode=$1 dir=$2 screen=$3
    display=
    xvfb_pid=
    if [ "$mode" = headless ]; then
        "$recorder" --headless >"$dir/recorder.log" 2>&1 &
    else
        Xvfb -displayfd 3 -nolisten tcp -screen 0 "${screen}x24" 3>"$dir/display" 2>/dev/null &
        xvfb_pid=$!
        for _ in $(seq 50); do [ -s "$dir/display" ] && break; sleep 0.1; done
        display=:$(cat "$dir/display")
        DISPLAY=$display "$recorder" --lang en >"$dir/recorder.log" 2>&1 &
    fi
    recorder_pid=$!
}

# One OSC message with an integer or a string argument.
osc() {
    python3 - "$osc_port" "$1" "$2" <<'PY'
import socket, struct, sys
def padded(text):
    data = text.encode() + b"\0"
    return data + b"\0" * ((4 - len(data) % 4) % 4)
port, address, value = int(sys.argv[1]), sys.argv[2], sys.argv[3]
if value.lstrip("-").isdigit():
    message = padded(address) + padded(",i") + struct.pack(">i", int(value))
else:
    message = padded(address) + padded(",s") + padded(value)
socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(message, ("127.0.0.1", port))
PY
}

# A value of the OSCQuery tree.
value() {
    curl -s "http://127.0.0.1:$query_port$1?VALUE" |
        python3 -c 'import json, sys; print(json.load(sys.stdin)["VALUE"][0])'
}

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# Waits until the recorder answers over OSCQuery.
wait_for_recorder() {
    for _ in $(seq 100); do
        if curl -sf "http://127.0.0.1:$query_port/status/state?VALUE" >/dev/null 2>&1; then
            return 0
        fi
        sleep 0.1
    done
    echo "the recorder did not answer" >&2
    return 1
}
