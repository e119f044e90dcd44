#!/usr/bin/env bash
# Serves the upload page and the programs with lighttpd and drives the page
# in headless Chromium. Screenshots land in WORK_DIR.
#
# Usage: browser_test.sh BIN_DIR TARGET_DIR WORK_DIR [HOST_KIND]
set -euo pipefail
bin=$(realpath -m "$1") target=$(realpath -m "$2") work=$(realpath -m "$3")
kind=${4:-lighttpd}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
# shellcheck source=../../../hosts/host.sh
source "$root/hosts/host.sh"

cd "$here"
if [ ! -e node_modules/.package-lock.json ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
    npm ci --no-audit --no-fund --loglevel=error
fi

rm -rf "$work"
mkdir -p "$work/cgi" "$target"
cp "$bin"/upload-* "$work/cgi/"
trap 'host_stop' EXIT
host_start "$kind" "$root/web" "$work/cgi" "$work/host"
timeout 180 node upload_page.test.mjs "$HOST_URL" "$target" "$work"
