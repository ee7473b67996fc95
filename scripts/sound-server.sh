#!/usr/bin/env bash
# Runs a private sound server for the tests: a PulseAudio daemon with one null sink, reached
# through a socket in a folder of its own, so that tests never touch the user's sound.
#
#   source <(./scripts/sound-server.sh start)   starts it; prints the exports that reach it
#   ./scripts/sound-server.sh stop              stops the one named by ZARVO_SOUND_DIR
#
# The exports: PULSE_SERVER (the socket), ZARVO_SOUND_DIR (the folder, for stop) and
# ZARVO_SOUND_SERVER=1, which tells the tests that a server was started and must answer.
# When the server cannot be started, start prints a warning and no exports, and exits 0:
# the tests that need a server then skip.
set -euo pipefail
source "$(dirname "$0")/process.sh"

# Whether the server of the folder serves a client.
answers() {
    PULSE_SERVER="unix:$1/native" pactl info >/dev/null 2>&1
}

start() {
    if ! command -v pulseaudio >/dev/null; then
        echo "sound-server: pulseaudio is not installed; tests that need sound will skip" >&2
        return 0
    fi
    local dir
    dir=$(mktemp -d "${TMPDIR:-/tmp}/zarvo-sound.XXXXXX")
    mkdir -p "$dir/home" "$dir/config"
    chmod 700 "$dir"

    # Everything the daemon reads or writes lives in the private folder. Root must say
    # --system=false to run a per-user daemon.
    local -a root_flags=()
    if [ "$(id -u)" -eq 0 ]; then
        root_flags=(--system=false)
    fi
    if ! HOME="$dir/home" XDG_CONFIG_HOME="$dir/config" XDG_RUNTIME_DIR="$dir" \
        PULSE_RUNTIME_PATH="$dir" PULSE_STATE_PATH="$dir" DBUS_SESSION_BUS_ADDRESS=disabled: \
        pulseaudio "${root_flags[@]}" -D -n --use-pid-file=yes --exit-idle-time=-1 \
        --disallow-exit --disallow-module-loading=no --log-target="file:$dir/server.log" \
        --load="module-null-sink sink_name=zarvo_null rate=48000 channels=2" \
        --load="module-native-protocol-unix socket=$dir/native auth-anonymous=1" \
        >/dev/null 2>"$dir/start.err"; then
        echo "sound-server: pulseaudio did not start; tests that need sound will skip" >&2
        cat "$dir/start.err" "$dir/server.log" >&2 2>/dev/null || true
        rm -rf "$dir"
        return 0
    fi

    # The daemon answers once its socket exists and a client is served; wait up to 10 s.
    if wait_until 100 answers "$dir"; then
        echo "export PULSE_SERVER=unix:$dir/native"
        echo "export ZARVO_SOUND_DIR=$dir"
        echo "export ZARVO_SOUND_SERVER=1"
        return 0
    fi
    echo "sound-server: pulseaudio started but does not answer; stopping it" >&2
    ZARVO_SOUND_DIR="$dir" stop
    return 0
}

stop() {
    local dir=${ZARVO_SOUND_DIR:-}
    [ -n "$dir" ] && [ -d "$dir" ] || return 0
    end_process "$dir/pid"
    case "$dir" in
    "${TMPDIR:-/tmp}"/zarvo-sound.*) rm -rf "$dir" ;;
    esac
}

start_or_stop "$@"
