#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs every fuzz target for a bounded time, starting from the committed
# corpus. New inputs go to BUILD_DIR/work/TARGET (the committed corpus is
# only read), crashes to BUILD_DIR/artifacts, and each run's execution count
# is added to BUILD_DIR/executions.log.
#
# usage: fuzz/run.sh BUILD_DIR SECONDS_PER_TARGET [libFuzzer options...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
seconds=$2
shift 2

mkdir -p "$build/artifacts"

# The request target writes its target directory (under /dev/shm) and the
# program's spool (under /tmp): as root they get a /tmp and a /dev/shm of
# their own in a private mount namespace, so that no other program's files
# meet them. What of the checkout and the build lies under /tmp is bound
# into the new one.
private=()
if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null; then
    keep=$(printf '%s\n' "$here" "$build" | sed -n 's#^/tmp/\([^/]*\).*#\1#p' | sort -u | tr '\n' ' ')
    private=(unshare -m sh -c '
        exec 3</tmp
        mount -t tmpfs -o mode=1777 tmpfs /tmp && mount -t tmpfs -o mode=1777 tmpfs /dev/shm || exit 125
        for top in $0; do
            mkdir -p "/tmp/$top" && mount --no-canonicalize --rbind "/proc/self/fd/3/$top" "/tmp/$top" || exit 125
        done
        exec 3<&-
        exec "$@"' "$keep")
fi
# The targets side by side.
targets=(scanner_fuzz request_fuzz content_fuzz)
declare -A pid
for target in "${targets[@]}"; do
    case $target in
        scanner_fuzz) max_len=8192 ;;
        request_fuzz) max_len=80000 ;;
        content_fuzz) max_len=16384 ;;
    esac
    work="$build/work/$target"
    mkdir -p "$work"
    "${private[@]}" "$build/fuzz/$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=20 \
        -rss_limit_mb=2048 -print_final_stats=1 -dict="$here/multipart.dict" \
        -artifact_prefix="$build/artifacts/$target-" "$@" \
        "$work" "$here/corpus/$target" >"$build/$target.log" 2>&1 &
    pid[$target]=$!
done
status=0
for target in "${targets[@]}"; do
    log="$build/$target.log"
    if ! wait "${pid[$target]}"; then
        echo "$target failed; the end of $log:" >&2
        tail -40 "$log" >&2
        status=1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    echo "$target: ${runs:-?} executions in ${seconds}s"
    echo "$(date -u +%FT%TZ) $target ${runs:-0}" >>"$build/executions.log"
done
exit $status
