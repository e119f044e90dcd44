#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The whole test suite: installs what is missing, builds, runs every test,
# and ends with the time of each stage, so that a change that adds minutes
# shows in every run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)

# "time: STAGE SECONDS" for each stage at the end, also when one fails.
times=()
stage_name='' stage_began=0
stage() {
    [ -z "$stage_name" ] || times+=("$(printf 'time: %-17s %5d s' "$stage_name" $((SECONDS - stage_began)))")
    stage_name=$1 stage_began=$SECONDS
}
trap 'stage ""; printf "%s\n" "${times[@]}" "$(printf "time: %-17s %5d s" all $SECONDS)"' EXIT

stage packages
scripts/install-deps.sh

# ctest_run BUILD SLOTS: a build's tests, its count of passed tests added to
# the closing line; its last line is "time: BUILD tests SECONDS s".
passed=0
ctest_run() {
    local log began=$SECONDS status=0 n
    log=$(mktemp)
    ctest --test-dir "$1" --output-on-failure -j "$2" | tee "$log" || status=$?
    n=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log")
    passed=$((passed + ${n:-0}))
    rm -f "$log"
    echo "time: $1 tests $((SECONDS - began)) s"
    return $status
}

# Every build the README documents, warnings fatal, side by side, $jobs at a
# time (a configure step keeps one core busy at most); each one's output
# goes to build/NAME.log, shown when it fails.
builds=() build_running=0
declare -A build_status=()
build_reap() {
    local done_pid status=0
    wait -n -p done_pid || status=$?
    build_status[$done_pid]=$status
    build_running=$((build_running - 1))
}
# build NAME CONFIGURE_OPTIONS... [-- BUILD_OPTIONS...]
build() {
    local name=$1 configure=()
    shift
    while [ $# -gt 0 ] && [ "$1" != -- ]; do configure+=("$1") && shift; done
    [ $# = 0 ] || shift
    while [ $build_running -ge "$jobs" ]; do build_reap; done
    mkdir -p build
    # Ninja: the Makefiles' own steps (a cmake process per object, for its
    # dependencies and its progress) were a third of a small build's CPU
    # time. A folder made by another generator is configured afresh.
    if [ -f "build/$name/CMakeCache.txt" ] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "build/$name/CMakeCache.txt"; then
        rm -rf "build/$name/CMakeCache.txt" "build/$name/CMakeFiles"
    fi
    build_began=$SECONDS
    # The log's last line is the time it took.
    {
        status=0
        { cmake -G Ninja -S . -B "build/$name" "${configure[@]}" && cmake --build "build/$name" -j "$jobs" "$@"; } || status=$?
        echo "time: build/$name $((SECONDS - build_began)) s"
        exit $status
    } >"build/$name.log" 2>&1 &
    builds+=("$!:$name") build_running=$((build_running + 1))
}
# Waits for every build started; fails when one did.
builds_done() {
    local b failed=0
    while [ $build_running -gt 0 ]; do build_reap; done
    for b in "${builds[@]}"; do
        [ "${build_status[${b%%:*}]}" = 0 ] && continue
        echo "build/${b#*:} failed; the end of build/${b#*:}.log:" >&2
        tail -n 40 "build/${b#*:}.log" >&2
        failed=1
    done
    builds=()
    [ $failed = 0 ]
}

stage builds
werror=-DUPLOAD_WERROR=ON
# The device builds, six programs and the multi-call one, are checked and
# run under qemu-arm by the host build's tests.
arm_toolchain=-DCMAKE_TOOLCHAIN_FILE=$root/cmake/toolchains/armv7-linux-musleabihf.cmake
build arm "$arm_toolchain" $werror -DUPLOAD_TARGET_DIR="$root/build/arm/target"
build arm-multicall "$arm_toolchain" $werror -DUPLOAD_MULTICALL=ON \
    -DUPLOAD_TARGET_DIR="$root/build/arm-multicall/target"
# The same two as shipped, for /etc: their sizes are the ones checked, since
# the folders above lie wherever the checkout does and their paths are
# stored in the programs. Installed as on the emulated device, whose busybox
# httpd serves /www (device/build-image.sh makes that device's own build,
# with the client's reload).
build device "$arm_toolchain" $werror -DUPLOAD_BUILD_TESTS=ON -DUPLOAD_INSTALL_WEB_DIR=/www
build device-multicall "$arm_toolchain" $werror -DUPLOAD_MULTICALL=ON

# With UPLOAD_CONTENT_CHECK=ON: the programs for this machine and for the
# device, which run the table of key files, and the device's two for /etc,
# whose sizes are checked.
build check -DCMAKE_BUILD_TYPE=Release -DUPLOAD_BUILD_TESTS=OFF -DUPLOAD_CONTENT_CHECK=ON $werror \
    -DUPLOAD_TARGET_DIR="$root/build/check/target"
build arm-check "$arm_toolchain" $werror -DUPLOAD_CONTENT_CHECK=ON -DUPLOAD_TARGET_DIR="$root/build/arm-check/target"
build device-check "$arm_toolchain" $werror -DUPLOAD_CONTENT_CHECK=ON
build device-multicall-check "$arm_toolchain" $werror -DUPLOAD_CONTENT_CHECK=ON -DUPLOAD_MULTICALL=ON

# The x86-64 musl build and the size-tuned host build only build: their
# tests would repeat the ones below, and building the tests at -Os as well
# would cost CI minutes for code that never ships.
build musl -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-linux-musl.cmake $werror \
    -DUPLOAD_TARGET_DIR="$root/build/musl/target"
build minsize -DCMAKE_BUILD_TYPE=MinSizeRel -DUPLOAD_BUILD_TESTS=OFF $werror \
    -DUPLOAD_TARGET_DIR="$root/build/minsize/target"

# A device maker's own compiler: Debian's GCC for a router's CPU and glibc in
# a toolchain file of the kind the build systems generate (tests/gcc/), with
# the target directory the build's own. Rows: build, toolchain, how it is
# configured. No -Werror, since that is not how they build, but a compiler
# warning fails the row (after all builds, below). The host build's tests
# stage each and run the process suite on it under qemu-user.
gcc_builds=()
gcc_build() {
    local name=$1 toolchain=$2
    shift 2
    # OpenWrt's C flags name a language the project does not use.
    build "$name" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE="$root/tests/gcc/$toolchain.cmake" "$@" \
        -DUPLOAD_TARGET_DIR="$root/build/$name/target"
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
build reload -DCMAKE_BUILD_TYPE=Release -DUPLOAD_BUILD_TESTS=OFF $werror \
    -DUPLOAD_CLIENT_CTRL="$root/build/reload/ctrl/lan" -DUPLOAD_TARGET_DIR="$root/build/reload/target"
builds_done
for b in "${gcc_builds[@]}"; do
    if grep -q 'warning:' "$b.log"; then
        echo "${b#"$root/"}: the compiler warns (${b#"$root/"}.log)" >&2
        exit 1
    fi
done

# Host build: unit and process tests. It reads the caches of the builds
# above. Configured as the README's plain build is, for /etc (-U: also in a
# checkout whose build/test once had a directory of its own), so that the
# tests run the programs built once more for build/test/test-target, and
# plain_build.etc_untouched runs its tests again instead of making a build
# of its own.
build test -UUPLOAD_TARGET_DIR -DCMAKE_BUILD_TYPE=Release $werror \
    -DUPLOAD_DEVICE_BUILD_DIR="$root/build/arm" \
    -DUPLOAD_DEVICE_MULTICALL_BUILD_DIR="$root/build/arm-multicall" \
    -DUPLOAD_DEVICE_SIZE_BUILD_DIR="$root/build/device" \
    -DUPLOAD_DEVICE_MULTICALL_SIZE_BUILD_DIR="$root/build/device-multicall" \
    -DUPLOAD_CONTENT_CHECK_BUILD_DIRS="$root/build/check;$root/build/arm-check" \
    -DUPLOAD_DEVICE_CONTENT_CHECK_SIZE_BUILD_DIR="$root/build/device-check" \
    -DUPLOAD_DEVICE_MULTICALL_CONTENT_CHECK_SIZE_BUILD_DIR="$root/build/device-multicall-check" \
    -DUPLOAD_GCC_BUILD_DIRS="$(IFS=';'; echo "${gcc_builds[*]}")" \
    -DUPLOAD_RELOAD_BUILD_DIR="$root/build/reload"
# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer, with
# one trusted origin, so that the process tests see it let through; the
# recipes' tests read no build, and run in build/test only.
build asan -DCMAKE_BUILD_TYPE=Debug -DUPLOAD_SANITIZE=ON $werror -DUPLOAD_TEST_PACKAGING=OFF \
    -DUPLOAD_TARGET_DIR="$root/build/asan/target" -DUPLOAD_TRUSTED_ORIGINS=https://portal.example.com
# The libFuzzer targets.
build fuzz -DCMAKE_CXX_COMPILER=clang++ -DUPLOAD_FUZZ=ON -DUPLOAD_BUILD_TESTS=OFF $werror \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPLOAD_TARGET_DIR="$root/build/fuzz/target" \
    -- --target scanner_fuzz request_fuzz content_fuzz
builds_done

# The sanitizer build's tests beside the Release build's, in a slot per
# core: either run alone leaves the cores idle while its last tests end.
# Their output follows the Release tests'.
stage ""
tests_began=$SECONDS
asan_log=$(mktemp)
(ctest_run build/asan "$jobs" >"$asan_log" 2>&1) &
asan_pid=$!
release_status=0
# Two slots per core: a test that keeps a core busy takes two
# (tests/CMakeLists.txt), the ones that mostly wait fill the rest. (Three
# per core took 55 s longer: the cores were busy enough.)
ctest_run build/test $((2 * jobs)) || release_status=$?
times+=("$(printf 'time: %-17s %5d s' "Release tests" $((SECONDS - tests_began)))")
asan_status=0
wait "$asan_pid" || asan_status=$?
cat "$asan_log"
times+=("$(printf 'time: %-17s %5d s, beside them' "sanitizer tests" "$(sed -n 's/^time: build\/asan tests \([0-9]*\) s$/\1/p' "$asan_log")")")
n=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$asan_log")
passed=$((passed + ${n:-0}))
rm -f "$asan_log"
[ "$release_status" = 0 ] || exit "$release_status"
[ "$asan_status" = 0 ] || exit "$asan_status"

# Bounded fuzzing: each libFuzzer target for 30 seconds from the committed
# corpus (README, "Fuzzing", says how to run them for hours).
stage fuzzing
fuzz/run.sh build/fuzz 30

echo "tests: $passed passed, 0 failed"
