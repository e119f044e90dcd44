#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs one program under valgrind memcheck, for the process tests as their
# emulator. Memory errors, leaks and descriptors still open at exit are
# reported on standard error, where the tests expect nothing, with status 99.
# Only the standard three may stay open, and the nameless spool, which a
# scan that ends without an answer leaves to process exit.
set -u
# /tmp may be full or read-only in a test; valgrind's own files go elsewhere.
log=$(mktemp /dev/shm/memcheck.XXXXXX) || exit 98
# Opened here, above 2, so that a standard descriptor the test closed stays
# closed for the program instead of becoming valgrind's log.
exec {log_fd}>"$log"
TMPDIR=/dev/shm valgrind -q --vgdb=no --error-exitcode=99 --leak-check=full \
    --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
    --track-fds=yes --log-fd="$log_fd" "$@"
status=$?
report=$(awk -v logfile="$log" '
    { sub(/^==[0-9]+== ?/, "") }
    /^FILE DESCRIPTORS: / { next }
    /^Open file descriptor [0-9]+:/ {
        fd = $4; sub(/:$/, "", fd); path = $5
        skip = fd + 0 <= 2 || index(path, "/tmp/nubo-upload.") == 1 || path == logfile
        if (!skip) print
        next
    }
    /^ *$/ { skip = 0; next }
    skip { next }
    { print }
' "$log")
exec {log_fd}>&-
rm -f "$log"
if [ -n "$report" ]; then
    printf 'memcheck:\n%s\n' "$report" >&2
    [ "$status" -ne 0 ] || status=99
fi
exit "$status"
