#!/usr/bin/env bash
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
status=0
for target in scanner_fuzz request_fuzz; do
    case $target in
        scanner_fuzz) max_len=8192 ;;
        request_fuzz) max_len=80000 ;;
    esac
    work="$build/work/$target"
    mkdir -p "$work"
    log="$build/$target.log"
    if ! "$build/fuzz/$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=20 \
        -rss_limit_mb=2048 -print_final_stats=1 -dict="$here/multipart.dict" \
        -artifact_prefix="$build/artifacts/$target-" "$@" \
        "$work" "$here/corpus/$target" >"$log" 2>&1; then
        echo "$target failed; the end of $log:" >&2
        tail -40 "$log" >&2
        status=1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    echo "$target: ${runs:-?} executions in ${seconds}s"
    echo "$(date -u +%FT%TZ) $target ${runs:-0}" >>"$build/executions.log"
done
exit $status
