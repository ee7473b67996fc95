#!/usr/bin/env bash
# Makes sure an mDNS daemon (avahi-daemon) answers on the system bus, for the tests of the
# OSCQuery server's DNS-SD announcement. Machines that run one already keep theirs; in a bare
# container this starts the system bus and the daemon, and stop takes down only those.
#
#   source <(./scripts/mdns-daemon.sh start)   starts what is missing; prints the exports
#   ./scripts/mdns-daemon.sh stop              stops what the start named by ZARVO_MDNS_DIR began
#
# The exports: ZARVO_MDNS_DIR (a folder recording what was started, for stop) and
# ZARVO_MDNS_DAEMON=1 once the daemon answers. When it cannot be made to answer, start says why
# on standard error and exports only the folder: the announcement tests then fail, saying so.
set -euo pipefail
source "$(dirname "$0")/process.sh"

bus_socket=/run/dbus/system_bus_socket

bus_answers() {
    dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.GetId >/dev/null 2>&1
}

daemon_answers() {
    dbus-send --system --print-reply --dest=org.freedesktop.Avahi / \
        org.freedesktop.Avahi.Server.GetState >/dev/null 2>&1
}

start() {
    local dir
    dir=$(mktemp -d "${TMPDIR:-/tmp}/zarvo-mdns.XXXXXX")
    echo "export ZARVO_MDNS_DIR=$dir"
    unset DBUS_SYSTEM_BUS_ADDRESS

    if ! bus_answers; then
        if ! command -v dbus-daemon >/dev/null; then
            echo "mdns-daemon: dbus-daemon is not installed" >&2
            return 0
        fi
        # The bus will not start without a machine id; a stale socket or pid file from a bus that
        # died would stop it too.
        [ -s /etc/machine-id ] || [ -s /var/lib/dbus/machine-id ] || dbus-uuidgen --ensure
        mkdir -p /run/dbus
        [ -S "$bus_socket" ] && rm -f "$bus_socket"
        rm -f /run/dbus/pid
        if ! dbus-daemon --system --fork --print-pid >"$dir/dbus.pid" 2>"$dir/dbus.err"; then
            echo "mdns-daemon: the system bus did not start:" >&2
            cat "$dir/dbus.err" >&2
            return 0
        fi
        wait_until 50 bus_answers || true
    fi

    if ! daemon_answers; then
        if ! command -v avahi-daemon >/dev/null; then
            echo "mdns-daemon: avahi-daemon is not installed" >&2
            return 0
        fi
        # The daemon's own pid file may be left over from one that died without cleaning up.
        avahi-daemon --check 2>/dev/null || rm -f /run/avahi-daemon/pid
        # IPv4 only, no wide-area lookups and no host records of the machine's own: all the tests
        # need is the daemon's local registry of services, on whatever interfaces there are.
        cat >"$dir/avahi-daemon.conf" <<'EOF'
[server]
use-ipv4=yes
use-ipv6=no
enable-dbus=yes
allow-point-to-point=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000

[wide-area]
enable-wide-area=no

[publish]
publish-hinfo=no
publish-workstation=no

[reflector]

[rlimits]
EOF
        if ! avahi-daemon --daemonize --no-rlimits --file="$dir/avahi-daemon.conf" \
            2>"$dir/avahi.err"; then
            echo "mdns-daemon: avahi-daemon did not start:" >&2
            cat "$dir/avahi.err" >&2
            return 0
        fi
        cp /run/avahi-daemon/pid "$dir/avahi.pid" 2>/dev/null || true
        wait_until 100 daemon_answers || true
    fi

    if daemon_answers; then
        echo "export ZARVO_MDNS_DAEMON=1"
    else
        echo "mdns-daemon: avahi-daemon does not answer on the system bus" >&2
    fi
}

stop() {
    local dir=${ZARVO_MDNS_DIR:-}
    [ -n "$dir" ] && [ -d "$dir" ] || return 0
    # The daemon first, while the bus it is on still runs.
    end_process "$dir/avahi.pid"
    end_process "$dir/dbus.pid"
    case "$dir" in
    "${TMPDIR:-/tmp}"/zarvo-mdns.*) rm -rf "$dir" ;;
    esac
}

start_or_stop "$@"
