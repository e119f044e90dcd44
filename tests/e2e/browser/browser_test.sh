#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Serves the upload page and the programs with lighttpd and drives the page
# in headless Chromium. Screenshots land in WORK_DIR.
#
# Usage: browser_test.sh BIN_DIR TARGET_DIR WORK_DIR [HOST_KIND]
#        browser_test.sh IMAGE_DIR - WORK_DIR device
# HOST_KIND uhttpd (programs built with UPLOAD_SESSION_CHECK=ubus, OpenWrt's
# parts in HOST_OPENWRT) logs in on the page first; skipped, exit 77, without.
# The second form boots the emulated device from IMAGE_DIR, logs in, and
# reads the stored certificate back from the device.
set -euo pipefail
bin=$(realpath -m "$1") target=$(realpath -m "$2") work=$(realpath -m "$3")
kind=${4:-lighttpd}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
# shellcheck source=../../../hosts/host.sh
source "$root/hosts/host.sh"
login=()
if [ "$kind" = uhttpd ]; then
    if [ ! -x "${HOST_OPENWRT:-}/bin/uhttpd" ]; then
        echo "skipped: no OpenWrt build at '${HOST_OPENWRT:-}' (its sources are ../shared/third-party beside the project)"
        exit 77
    fi
    host_private "$@"
    login=("UPLOAD_PAGE_UBUS_LOGIN=admin:$HOST_PASSWORD")
fi

cd "$here"
# scripts/install-deps.sh installs these before the tests run side by side;
# this is for a run by hand.
if [ ! -e node_modules/.package-lock.json ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
    npm ci --no-audit --no-fund --loglevel=error
fi

if [ "$kind" = device ]; then
    # shellcheck source=../../../device/device.sh
    source "$root/device/device.sh"
    DEVICE_IMAGE=$bin
    rm -rf "$work"
    device_disk "$work/disk.img" 64
    trap 'device_cut' EXIT
    device_boot "$work/device" "$work/disk.img"
    device_wait_ready
    UPLOAD_PAGE_LOGIN=$DEVICE_USER:$DEVICE_PASSWORD timeout 180 node upload_page.test.mjs "$DEVICE_URL" - "$work"
    # The forged posts went for the private key, which was never uploaded.
    stored=$(device_exec 'echo $(sha256sum </etc/8021x-client-cert | cut -d" " -f1) $(stat -c %a /etc/8021x-client-cert) $(ls -A /etc | grep -c priv)')
    device_poweroff
    if [ "$stored" = "$(cat "$work/client.pem.sha256") 600 0" ]; then
        echo "ok - the device's disk holds the certificate, mode 0600, and no forged key"
    else
        echo "not ok - the device's disk holds the certificate, mode 0600, and no forged key: $stored"
        exit 1
    fi
    exit 0
fi

rm -rf "$work"
mkdir -p "$work/cgi" "$target"
cp "$bin"/upload-* "$work/cgi/"
trap 'host_stop' EXIT
host_start "$kind" "$root/web" "$work/cgi" "$work/host"
env "${login[@]}" timeout 180 node upload_page.test.mjs "$HOST_URL" "$target" "$work"
