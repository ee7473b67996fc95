# Helpers for the scripts that start and stop the tests' private daemons. Sourced, not run.

# Whether the process runs (a zombie left for its parent does not count).
alive() {
    kill -0 "$1" 2>/dev/null && [ "$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null)" != Z ]
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
