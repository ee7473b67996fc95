#!/usr/bin/env bash
# Runs a private PipeWire for the tests: a session bus, the pipewire daemon and its session
# manager (wireplumber), all in a folder of their own, so that tests never see the user's
# cameras or screen shares and never touch the user's PipeWire. No pulse server is started: the
# computer-sound tests keep their own sound server (scripts/sound-server.sh).
#
#   source <(./scripts/pipewire.sh start)   starts it; prints the exports that reach it
#   ./scripts/pipewire.sh stop              stops the one named by ZARVO_PIPEWIRE_DIR
#
# The exports: PIPEWIRE_RUNTIME_DIR (where clients find the daemon's socket), ZARVO_PIPEWIRE_DIR
# (the folder, for stop) and ZARVO_PIPEWIRE=1, which tells the tests that PipeWire was started
# and must answer. When it cannot be started, start prints a warning and no exports, and exits 0:
# the tests that need PipeWire then skip.
set -euo pipefail
source "$(dirname "$0")/process.sh"

# Runs a daemon in the background with the private folder as its whole world; its pid goes to
# the file named first. Its output goes to a log, never to the pipe the exports are read from.
launch() {
    local pid_file=$1 log=$2
    shift 2
    HOME="$dir/home" XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state" \
        XDG_DATA_HOME="$dir/data" XDG_RUNTIME_DIR="$dir" PIPEWIRE_RUNTIME_DIR="$dir" \
        DBUS_SESSION_BUS_ADDRESS="$bus" DISPLAY= WAYLAND_DISPLAY= \
        "$@" </dev/null >"$log" 2>&1 &
    echo $! >"$pid_file"
}

answers() {
    PIPEWIRE_RUNTIME_DIR="$dir" pw-cli info 0 >/dev/null 2>&1
}

# The session manager has connected once its client is listed.
manager_answers() {
    PIPEWIRE_RUNTIME_DIR="$dir" pw-cli ls Client 2>/dev/null | grep -q '"WirePlumber"'
}

# Tells why the tests that need PipeWire will skip, shows the log that says more and stops what
# was started in the folder.
give_up() {
    local folder=$1 reason=$2 log=$3
    echo "pipewire: $reason; tests that need PipeWire will skip" >&2
    cat "$log" >&2 || true
    ZARVO_PIPEWIRE_DIR="$folder" stop
}

start() {
    local tool
    for tool in pipewire wireplumber pw-cli dbus-daemon; do
        if ! command -v "$tool" >/dev/null; then
            echo "pipewire: $tool is not installed; tests that need PipeWire will skip" >&2
            return 0
        fi
    done
    dir=$(mktemp -d "${TMPDIR:-/tmp}/zarvo-pipewire.XXXXXX")
    chmod 700 "$dir"
    mkdir -p "$dir/home" "$dir/state" "$dir/data" \
        "$dir/config/wireplumber/main.lua.d" "$dir/config/wireplumber/bluetooth.lua.d"
    # Only the tests' own publishers: no sound cards, cameras or Bluetooth devices of the machine.
    cat >"$dir/config/wireplumber/main.lua.d/51-zarvo-tests.lua" <<'EOF'
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
EOF
    echo "bluez_monitor.enabled = false" >"$dir/config/wireplumber/bluetooth.lua.d/51-zarvo-tests.lua"

    # The session bus wireplumber wants; without a user session there is none to borrow.
    bus="unix:path=$dir/bus"
    if ! dbus-daemon --session --fork --address="$bus" --print-pid=3 \
        3>"$dir/dbus.pid" >/dev/null 2>"$dir/dbus.err"; then
        give_up "$dir" "the session bus did not start" "$dir/dbus.err"
        return 0
    fi

    launch "$dir/pipewire.pid" "$dir/pipewire.log" pipewire
    if ! wait_until 100 answers; then
        give_up "$dir" "the daemon does not answer" "$dir/pipewire.log"
        return 0
    fi

    launch "$dir/wireplumber.pid" "$dir/wireplumber.log" wireplumber
    if ! wait_until 100 manager_answers; then
        give_up "$dir" "wireplumber did not connect" "$dir/wireplumber.log"
        return 0
    fi
    echo "export PIPEWIRE_RUNTIME_DIR=$dir"
    echo "export ZARVO_PIPEWIRE_DIR=$dir"
    echo "export ZARVO_PIPEWIRE=1"
}

stop() {
    local dir=${ZARVO_PIPEWIRE_DIR:-}
    [ -n "$dir" ] && [ -d "$dir" ] || return 0
    # The session manager first, then the daemon it manages, then the bus they are on.
    end_process "$dir/wireplumber.pid"
    end_process "$dir/pipewire.pid"
    end_process "$dir/dbus.pid"
    case "$dir" in
    "${TMPDIR:-/tmp}"/zarvo-pipewire.*) rm -rf "$dir" ;;
    esac
}

start_or_stop "$@"
