#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
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

# Every build the README documents, warnings fatal. The device builds, six
# programs and the multi-call one, are checked and run under qemu-arm by the
# host build's tests.
werror=-DUPLOAD_WERROR=ON
arm_toolchain=-DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armv7-linux-musleabihf.cmake
cmake -S . -B build/arm "$arm_toolchain" $werror -DUPLOAD_TARGET_DIR="$root/build/arm/target" >/dev/null
cmake --build build/arm -j "$jobs"
cmake -S . -B build/arm-multicall "$arm_toolchain" $werror -DUPLOAD_MULTICALL=ON \
    -DUPLOAD_TARGET_DIR="$root/build/arm-multicall/target" >/dev/null
cmake --build build/arm-multicall -j "$jobs"
# The same two as shipped, for /etc: their sizes are the ones checked, since
# the folders above lie wherever the checkout does and their paths are
# stored in the programs. build/device is also the one device/build-image.sh
# installs into the device image.
# The emulated device's tests run refuse-syscalls from build/device. Its
# busybox httpd serves /www.
cmake -S . -B build/device -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/armv7-linux-musleabihf.cmake" $werror \
    -DUPLOAD_BUILD_TESTS=ON -DUPLOAD_INSTALL_WEB_DIR=/www >/dev/null
cmake --build build/device -j "$jobs"
cmake -S . -B build/device-multicall -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/armv7-linux-musleabihf.cmake" $werror -DUPLOAD_MULTICALL=ON >/dev/null
cmake --build build/device-multicall -j "$jobs"

# With UPLOAD_CONTENT_CHECK=ON: the programs for this machine and for the
# device, which run the table of key files, and the device's two for /etc,
# whose sizes are checked.
cmake -S . -B build/check -DCMAKE_BUILD_TYPE=Release -DUPLOAD_BUILD_TESTS=OFF -DUPLOAD_CONTENT_CHECK=ON $werror \
    -DUPLOAD_TARGET_DIR="$root/build/check/target" >/dev/null
cmake --build build/check -j "$jobs"
cmake -S . -B build/arm-check "$arm_toolchain" $werror -DUPLOAD_CONTENT_CHECK=ON \
    -DUPLOAD_TARGET_DIR="$root/build/arm-check/target" >/dev/null
cmake --build build/arm-check -j "$jobs"
cmake -S . -B build/device-check -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/armv7-linux-musleabihf.cmake" $werror \
    -DUPLOAD_CONTENT_CHECK=ON >/dev/null
cmake --build build/device-check -j "$jobs"
cmake -S . -B build/device-multicall-check -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/armv7-linux-musleabihf.cmake" \
    $werror -DUPLOAD_CONTENT_CHECK=ON -DUPLOAD_MULTICALL=ON >/dev/null
cmake --build build/device-multicall-check -j "$jobs"

# The x86-64 musl build and the size-tuned host build only build: their
# tests would repeat the ones below, and building the tests at -Os as well
# would cost CI minutes for code that never ships.
cmake -S . -B build/musl -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-linux-musl.cmake $werror \
    -DUPLOAD_TARGET_DIR="$root/build/musl/target" >/dev/null
cmake --build build/musl -j "$jobs"
cmake -S . -B build/minsize -DCMAKE_BUILD_TYPE=MinSizeRel -DUPLOAD_BUILD_TESTS=OFF $werror \
    -DUPLOAD_TARGET_DIR="$root/build/minsize/target" >/dev/null
cmake --build build/minsize -j "$jobs"

# A device maker's own compiler: Debian's GCC for a router's CPU and glibc in
# a toolchain file of the kind the build systems generate (tests/gcc/), with
# the target directory the build's own. Rows: build, toolchain, how it is
# configured. No -Werror, since that is not how they build, but a compiler
# warning fails the row. The host build's tests stage each and run the
# process suite on it under qemu-user.
gcc_builds=()
gcc_build() {
    local name=$1 toolchain=$2
    shift 2
    # OpenWrt's C flags name a language the project does not use.
    cmake -S . -B "build/$name" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE="$root/tests/gcc/$toolchain.cmake" "$@" \
        -DUPLOAD_TARGET_DIR="$root/build/$name/target" >/dev/null
    cmake --build "build/$name" -j "$jobs" 2>&1 | tee "build/$name.log"
    if grep -q 'warning:' "build/$name.log"; then
        echo "build/$name: the compiler warns (build/$name.log)" >&2
        exit 1
    fi
    gcc_builds+=("$root/build/$name")
}
# As Buildroot configures a cmake package (its soft-float ARM and glibc being
# the ABI no other build covers)...
buildroot=(-DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=Release -DCMAKE_COLOR_MAKEFILE=OFF
    -DBUILD_SHARED_LIBS=ON -DBUILD_TESTING=OFF -DUPLOAD_MULTICALL=ON -DUPLOAD_INSTALL_WEB_DIR=/var/www)
gcc_build gcc-armel arm-linux-gnueabi "${buildroot[@]}"
# ...and as OpenWrt's cmake.mk does, with its flags and no BUILD_TESTING, for
# its common CPUs besides.
openwrt_flags="-Os -pipe -D_FORTIFY_SOURCE=2 -fstack-protector -Wformat -Werror=format-security"
openwrt=(-DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=Release -DCMAKE_SKIP_RPATH=TRUE
    "-DCMAKE_C_FLAGS=$openwrt_flags" "-DCMAKE_CXX_FLAGS=$openwrt_flags"
    -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG
    -DUPLOAD_INSTALL_WEB_DIR=/www)
for cpu in aarch64-linux-gnu mips-linux-gnu mipsel-linux-gnu; do
    gcc_build "openwrt-${cpu%%-*}" $cpu "${openwrt[@]}"
done
# The older stat calls that a kernel before 4.11 leaves, on every CPU they
# are written for: qemu-user answers statx itself, so these builds never
# call it, built as against headers without its number.
for cpu in arm-linux-gnueabi aarch64-linux-gnu mips-linux-gnu mipsel-linux-gnu i686-linux-gnu powerpc-linux-gnu; do
    gcc_build "older-calls-${cpu%%-*}" $cpu "${openwrt[@]}" -DUPLOAD_TEST_OLDER_CALLS=ON
done

# The programs with the 802.1X client's reload, its socket inside the build,
# for the status row of the 802.1X table (e2e.8021x.status).
cmake -S . -B build/reload -DCMAKE_BUILD_TYPE=Release -DUPLOAD_BUILD_TESTS=OFF $werror \
    -DUPLOAD_CLIENT_CTRL="$root/build/reload/ctrl/lan" -DUPLOAD_TARGET_DIR="$root/build/reload/target" >/dev/null
cmake --build build/reload -j "$jobs"

# Host build: unit and process tests, the programs built against a target
# directory of the build's own.
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Release $werror \
    -DUPLOAD_DEVICE_BUILD_DIR="$root/build/arm" \
    -DUPLOAD_DEVICE_MULTICALL_BUILD_DIR="$root/build/arm-multicall" \
    -DUPLOAD_DEVICE_SIZE_BUILD_DIR="$root/build/device" \
    -DUPLOAD_DEVICE_MULTICALL_SIZE_BUILD_DIR="$root/build/device-multicall" \
    -DUPLOAD_CONTENT_CHECK_BUILD_DIRS="$root/build/check;$root/build/arm-check" \
    -DUPLOAD_DEVICE_CONTENT_CHECK_SIZE_BUILD_DIR="$root/build/device-check" \
    -DUPLOAD_DEVICE_MULTICALL_CONTENT_CHECK_SIZE_BUILD_DIR="$root/build/device-multicall-check" \
    -DUPLOAD_GCC_BUILD_DIRS="$(IFS=';'; echo "${gcc_builds[*]}")" \
    -DUPLOAD_RELOAD_BUILD_DIR="$root/build/reload" \
    -DUPLOAD_TARGET_DIR="$root/build/test/target" >/dev/null
cmake --build build/test -j "$jobs"
run_ctest build/test

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer, with
# one trusted origin, so that the process tests see it let through.
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DUPLOAD_SANITIZE=ON $werror \
    -DUPLOAD_TARGET_DIR="$root/build/asan/target" -DUPLOAD_TRUSTED_ORIGINS=https://portal.example.com >/dev/null
cmake --build build/asan -j "$jobs"
run_ctest build/asan

# Bounded fuzzing: each libFuzzer target for 30 seconds from the committed
# corpus (README, "Fuzzing", says how to run them for hours).
cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DUPLOAD_FUZZ=ON -DUPLOAD_BUILD_TESTS=OFF $werror \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPLOAD_TARGET_DIR="$root/build/fuzz/target" >/dev/null
cmake --build build/fuzz -j "$jobs" --target scanner_fuzz request_fuzz content_fuzz
fuzz/run.sh build/fuzz 30

echo "tests: $passed passed, 0 failed"
