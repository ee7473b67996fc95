# Helpers for the scripts that start and stop the tests' private daemons. Sourced, not run.

# Whether the process runs (a zombie left for its parent does not count).
alive() {
    kill -0 "$1" 2>/dev/null && [ "$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null)" != Z ]
}

# Runs the command every tenth of a second until it succeeds, at most the given number of times;
# whether it succeeded.
wait_until() {
    local tries=$1
    shift
    local i
    for i in $(seq 1 "$tries"); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# Runs the script's start or stop, as its first argument asks.
start_or_stop() {
    case "${1:-}" in
    start) start ;;
    stop) stop ;;
    *)
        echo "usage: $0 start|stop" >&2
        exit 2
        ;;
    esac
}

# Ends the process named in the file, if it still runs, waiting up to 5 seconds before killing it.
end_process() {
    local pid_file=$1
    [ -f "$pid_file" ] || return 0
    local pid
    pid=$(head -n 1 "$pid_file" | tr -dc 0-9)
    [ -n "$pid" ] && alive "$pid" || return 0
    kill "$pid" 2>/dev/null || true
    local i
    for i in $(seq 1 50); do
        alive "$pid" || return 0
        sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
}
