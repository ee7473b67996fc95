#!/usr/bin/env bash
# Sets up what is missing, builds, and runs every test once under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the concurrency tests under ThreadSanitizer, and fuzzes the
# network decoders for a bounded time; last, makes two signed releases and tests them on a bare
# Debian 12 and through an update from one to the other.
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")"

./scripts/setup.sh

echo "== Formatting"
./scripts/check-format.sh

jobs=$(nproc)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan-suppressions.txt
# Also read by the programs the tests start.
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan-suppressions.txt

echo "== Build (AddressSanitizer, UndefinedBehaviorSanitizer)"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZARVO_SANITIZE=address,undefined \
    -DZARVO_BUILD_BENCH=ON >/dev/null
cmake --build build/asan -j "$jobs"

echo "== Build (ThreadSanitizer)"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZARVO_SANITIZE=thread \
    -DZARVO_BUILD_BENCH=OFF >/dev/null
cmake --build build/tsan -j "$jobs" --target zarvo_concurrency_tests

echo "== Concurrency tests (ThreadSanitizer)"
(cd build/tsan && ctest -L concurrency --output-on-failure -j "$jobs")

echo "== Private sound server, mDNS daemon, PipeWire"
trap "$PWD/scripts/sound-server.sh stop; $PWD/scripts/mdns-daemon.sh stop; $PWD/scripts/pipewire.sh stop" EXIT
source <(./scripts/sound-server.sh start)
source <(./scripts/mdns-daemon.sh start)
source <(./scripts/pipewire.sh start)

echo "== All tests (AddressSanitizer, UndefinedBehaviorSanitizer)"
cd build/asan
ctest --output-on-failure -j "$jobs"

echo "== Fuzz targets (libFuzzer, 30 s each)"
cd ../..
./scripts/fuzz.sh 30

echo "== Releases (Release build, package, a bare Debian 12, an update from one to the next)"
tests/release/release-test.sh build build/asan/tests/zarvo_updater_child
