#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The plain build a newcomer starts with (no target directory given, so the
# shipped programs write to /etc) and its tests, run as root, must leave /etc
# exactly as it was. They run in a private mount namespace whose /etc is a
# copy with sentinel files, some named like the targets, so the machine's own
# /etc is never at stake, not even when this test fails.
#
# Usage: etc_untouched.sh SOURCE_DIR WORK_DIR CTEST_REGEX BUILD_DIR [TARGET...]
#   CTEST_REGEX  the tests to run: those that write target files
#   BUILD_DIR    the plain build; one configured already (the host test
#                build, when it was configured so) only runs its tests
#                again, else it is configured and built here, TARGETs only
#                (all when none is given)
set -uo pipefail
source=$(realpath "$1") work=$(realpath -m "$2") tests=$3 build=$(realpath -m "$4")
shift 4

if [ "$(id -u)" != 0 ]; then
    echo "this test mounts file systems of its own: run ctest as root" >&2
    exit 1
fi
if [ "${PLAIN_BUILD_INSIDE:-}" != 1 ]; then
    rm -rf "$work"
    mkdir -p "$work/etc"
    PLAIN_BUILD_INSIDE=1 exec unshare -m --propagation private "$0" "$source" "$work" "$tests" "$build" "$@"
fi

# shellcheck source=../testlib.sh
source "$source/tests/testlib.sh"

mount -t tmpfs -o mode=0755 tmpfs "$work/etc" || exit 1
cp -a /etc/. "$work/etc/" || exit 1
sentinels=(8021x-priv 8021x-ca-cert .8021x-priv.new nubo-sentinel)
for name in "${sentinels[@]}"; do
    printf 'sentinel %s\n' "$name" >"$work/etc/$name"
    chmod 0640 "$work/etc/$name"
done
ln -s nubo-sentinel "$work/etc/8021x-client-cert"
# A mode no one would set, so that a chmod of the directory shows.
chmod 0751 "$work/etc"
mount --bind "$work/etc" /etc || exit 1
# Nothing below may run unless /etc is the copy.
[ -f /etc/nubo-sentinel ] || { echo "/etc is not the copy" >&2; exit 1; }

snapshot() {
    find /etc -printf '%y %m %U:%G %s %T@ %p -> %l\n' | sort
    find /etc -type f -exec sha256sum {} + | sort
}
snapshot >"$work/before"

if [ -f "$build/CMakeCache.txt" ]; then
    # Made already: its own test log and its tests' target directory stay
    # with the test run it belongs to, out of this namespace's way.
    check "the build was configured with no target directory" \
        grep -qx 'UPLOAD_TARGET_DIR:STRING=/etc' "$build/CMakeCache.txt"
    for dir in Testing test-target; do
        mkdir -p "$build/$dir" && mount -t tmpfs -o mode=0755 tmpfs "$build/$dir" || exit 1
    done
    touch "$work/configure.log" "$work/build.log"
    # Its fixtures' files are there already; made again, they would change
    # under the tests beside this one.
    skip_setup=(-FS '.*')
else
    # The README's plain build, as written but for the folder and the targets.
    cmake -S "$source" -B "$build" -DCMAKE_BUILD_TYPE=Release >"$work/configure.log" 2>&1
    check "the plain configure succeeds" test $? = 0
    cmake --build "$build" -j 2 ${1:+--target "$@"} >"$work/build.log" 2>&1
    check "the plain build succeeds" test $? = 0
    skip_setup=()
fi
ctest --test-dir "$build" -R "$tests" "${skip_setup[@]}" --no-tests=error --output-on-failure >"$work/ctest.log" 2>&1
check "its tests that write targets pass" test $? = 0

snapshot >"$work/after"
check "/etc is as it was" diff -u "$work/before" "$work/after"
for name in "${sentinels[@]}"; do
    check "/etc/$name is as it was" test "$(cat "/etc/$name")" = "sentinel $name"
done
for log in configure build ctest; do
    [ "$failed" = 0 ] || { echo "# $log:"; tail -n 30 "$work/$log.log"; }
done
echo "# $passed passed, $failed failed"
[ "$failed" = 0 ]
