#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh
jobs=$(nproc)

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
ctest --test-dir build/test --output-on-failure -j "$jobs"

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DUPLOAD_SANITIZE=ON \
    -DUPLOAD_TARGET_DIR="$root/build/asan/target" >/dev/null
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan --output-on-failure -j "$jobs"
