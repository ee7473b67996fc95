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

echo "Starting ZarvoRecorder with the test source \"Test Pattern\". Stop it with Ctrl-C."
status=0
build/release/App/zarvo-recorder --headless "$@" || status=$?
exit "$status"
