#!/usr/bin/env bash
# Sets up what is missing, builds, and starts ZarvoRecorder with a test source to record.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/setup.sh

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZARVO_BUILD_TESTS=OFF \
    -DZARVO_BUILD_BENCH=OFF >/dev/null
cmake --build build/release -j "$(nproc)"

app=build/release/App/zarvo-recorder
if [ ! -x "$app" ]; then
    echo "ZarvoRecorder's libraries are built, but the application program is not part of this"
    echo "version yet, so there is nothing to start. ./test.sh runs the test suite."
    exit 0
fi
exec "$app" "$@"
