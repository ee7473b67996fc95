#!/usr/bin/env bash
# Sets up what is missing, builds, and starts ZarvoRecorder with a test source to record.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/setup.sh

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZARVO_BUILD_TESTS=OFF \
    -DZARVO_BUILD_BENCH=OFF >/dev/null
cmake --build build/release -j "$(nproc)"

exec ./scripts/launch.sh build/release/App/zarvo-recorder build/release/tools/zarvo-test-source "$@"
