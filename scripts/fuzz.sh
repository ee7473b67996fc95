#!/usr/bin/env bash
# Builds the fuzz targets with clang in build/fuzz and runs each on a copy of its seed corpus
# (tests/fuzz/corpus/<name>) for a bounded time. Exits non-zero when a target crashes; the input
# that made it crash is left in build/fuzz/run/.
#
#   ./scripts/fuzz.sh [seconds per target, default 30]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
build=build/fuzz

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZARVO_FUZZ=ON -DZARVO_BUILD_TESTS=OFF -DZARVO_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target zarvo_fuzz_osc zarvo_fuzz_http zarvo_fuzz_websocket

status=0
for name in osc http websocket; do
    # The corpus grows while fuzzing: a copy keeps the repository's seeds as they are.
    run="$build/run/$name"
    rm -rf "$run"
    mkdir -p "$run"
    cp tests/fuzz/corpus/"$name"/* "$run"/
    echo "fuzzing $name for $seconds s"
    if ! "$build/tests/fuzz/zarvo_fuzz_$name" "$run" -max_total_time="$seconds" \
        -rss_limit_mb=2048 -print_final_stats=0 -artifact_prefix="$build/run/$name-" \
        >"$build/run/$name.log" 2>&1; then
        echo "fuzz target $name failed; its log:" >&2
        tail -n 60 "$build/run/$name.log" >&2
        status=1
    else
        grep -E '^#[0-9]+[[:space:]]+DONE' "$build/run/$name.log" || true
    fi
done
exit $status
