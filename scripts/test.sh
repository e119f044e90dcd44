#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh
jobs=$(nproc)

# Every ctest run adds its count to the closing line.
passed=0
run_ctest() {
    local log
    log=$(mktemp)
    ctest --test-dir "$1" --output-on-failure -j "$jobs" | tee "$log"
    passed=$((passed + $(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log")))
    rm -f "$log"
}

# Device build: static armv7 musl programs, checked and run under qemu-arm by
# the host build's tests.
cmake -S . -B build/arm -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armv7-linux-musleabihf.cmake \
    -DUPLOAD_TARGET_DIR="$root/build/arm/target" >/dev/null
cmake --build build/arm -j "$jobs"

# Host build: unit and process tests, the programs built against a target
# directory of the build's own.
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DUPLOAD_DEVICE_BUILD_DIR="$root/build/arm" \
    -DUPLOAD_TARGET_DIR="$root/build/test/target" >/dev/null
cmake --build build/test -j "$jobs"
run_ctest build/test

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer, with
# one trusted origin, so that the process tests see it let through.
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DUPLOAD_SANITIZE=ON \
    -DUPLOAD_TARGET_DIR="$root/build/asan/target" -DUPLOAD_TRUSTED_ORIGINS=https://portal.example.com >/dev/null
cmake --build build/asan -j "$jobs"
run_ctest build/asan

# Bounded fuzzing: each libFuzzer target for 30 seconds from the committed
# corpus (README, "Fuzzing", says how to run them for hours).
cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DUPLOAD_FUZZ=ON -DUPLOAD_BUILD_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPLOAD_TARGET_DIR="$root/build/fuzz/target" >/dev/null
cmake --build build/fuzz -j "$jobs" --target scanner_fuzz request_fuzz
fuzz/run.sh build/fuzz 30

echo "tests: $passed passed, 0 failed"
