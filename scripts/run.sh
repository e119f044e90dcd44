#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the six programs against a local target directory, serves them and
# the upload page with lighttpd on 127.0.0.1, and runs until Ctrl-C.
# "device" boots the emulated device instead, which serves them with its
# own busybox httpd behind a login and writes its own /etc (a disk image
# kept in build/device-run); DEVICE_RAM_MIB=128 boots it with less RAM. Its
# 802.1X client authenticates against hostapd on this machine, in a network
# namespace of its own, and each outcome is printed here.
# --etc=LAYOUT puts the device's /etc on ext4 (the default), ubifs, jffs2 or
# overlay (device/etc-layout); the flash layouts start empty at each boot.
#
#   scripts/run.sh [lighttpd | lighttpd-stream | busybox | device [--etc=LAYOUT]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
kind=${1:-lighttpd}
etc=ext4
case ${2:-} in
--etc=ext4 | --etc=ubifs | --etc=jffs2 | --etc=overlay) etc=${2#--etc=} ;;
'') ;;
*) echo "usage: scripts/run.sh device [--etc=ext4|ubifs|jffs2|overlay]" >&2 && exit 2 ;;
esac
scripts/install-deps.sh

if [ "$kind" = device ]; then
    device/build-image.sh
    run=$root/build/device-run
    # shellcheck source=../device/device.sh
    source device/device.sh
    # The disk is the device's /etc; it stays from one run to the next.
    # The overlay's disk is the read-only factory image instead.
    DEVICE_ETC=$etc
    disk=$run/disk.img
    case $etc in
    ext4) [ -f "$disk" ] || device_disk "$disk" 128 ;;
    overlay) disk=$run/rom.squashfs && device_rom "$disk" ;;
    *) disk=- ;;
    esac
    # shellcheck source=../tests/e2e/8021x.sh
    source tests/e2e/8021x.sh
    pki=$run/pki
    eap_pki "$pki"
    DEVICE_LAN=nlan$$
    reporter=''
    trap 'trap "" INT TERM; echo; echo "powering off"; device_poweroff; exit 0' INT TERM
    trap '[ -z "$reporter" ] || kill "$reporter" 2>/dev/null || true; device_cut; eap_stop' EXIT
    device_boot "$run" "$disk" "${DEVICE_RAM_MIB:-256}"
    eap_authenticator "$run/eap" "$pki" "$DEVICE_LAN"
    # The client's state from the status program whenever it changes, with
    # the name the authenticator accepted.
    report_8021x() {
        local said='' now
        while sleep 1; do
            now=$(curl -s -m 10 -u "$DEVICE_USER:$DEVICE_PASSWORD" "${DEVICE_URL}cgi-bin/upload-status" |
                grep -o 'suppPortStatus=[A-Za-z]*' || true)
            [ -n "$now" ] && [ "$now" != "$said" ] || continue
            said=$now
            case $now in
            *=Authorized) echo "802.1X: authenticated as $(eap_authenticated_as 0)" ;;
            *) echo "802.1X: not authenticated" ;;
            esac
        done
    }
    report_8021x &
    reporter=$!
    device_wait_ready
    sample="$run/sample.pem"
    printf -- '-----BEGIN CERTIFICATE-----\nZGVtbw==\n-----END CERTIFICATE-----\n' >"$sample"
    cat <<EOF

The upload page:  $DEVICE_URL
login: $DEVICE_USER $DEVICE_PASSWORD
Console output:   $DEVICE_CONSOLE
/etc: $etc
Disk:             $([ "$disk" = - ] && echo "none; the NAND lives in the device's RAM" || echo "$disk")

Try it from another terminal:

  curl -u $DEVICE_USER:$DEVICE_PASSWORD -F sessionid=demo -F filedata=@$sample ${DEVICE_URL}cgi-bin/upload-client-cert
  curl -i -F filedata=@$sample ${DEVICE_URL}cgi-bin/upload-client-cert        # no login: 401

802.1X: hostapd (pid $EAP_HOSTAPD_PID, log $EAP_WORK/hostapd.log) authenticates the device
against a test CA. The programs reload the device's client after each stored
file; ${DEVICE_URL}cgi-bin/upload-status shows its state, and a line "802.1X: ..."
appears here when it changes. An identity it accepts, EAP-TLS in slot 1:

  for f in ca-cert:ca.pem client-cert:client.pem priv:client.key; do
      curl -u $DEVICE_USER:$DEVICE_PASSWORD -F filedata=@$pki/\${f#*:} ${DEVICE_URL}cgi-bin/upload-\${f%%:*}; done
  # another: client-ec.pem and client-ec.key (CN=device-ec)

The device (qemu, pid $DEVICE_PID) runs until Ctrl-C, which powers it off.
EOF
    # A signal ends the wait early; the trap then powers off.
    while device_alive; do wait "$DEVICE_PID" || true; done
    device_release
    exit 0
fi

target="$root/build/demo/target"
mkdir -p "$target"
cmake -S . -B build/demo -DUPLOAD_TARGET_DIR="$target" -DUPLOAD_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j 2 >/dev/null

# shellcheck source=../hosts/host.sh
source hosts/host.sh
trap 'host_stop; echo; echo "stopped"; exit 0' INT TERM
trap 'host_stop' EXIT
host_start "$kind" "$root/web" "$root/build/demo/bin" "$root/build/demo/host"

sample="$root/build/demo/sample.pem"
printf -- '-----BEGIN CERTIFICATE-----\nZGVtbw==\n-----END CERTIFICATE-----\n' >"$sample"
cat <<EOF

The upload page:  $HOST_URL
Target directory: $target
Server log:       $root/build/demo/host/

Try it from another terminal:

  curl -F sessionid=demo -F filedata=@$sample ${HOST_URL}cgi-bin/upload-client-cert
  cmp $sample $target/8021x-client-cert && stat -c '%a %n' $target/8021x-client-cert

  : >/tmp/empty.pem; curl -F filedata=@/tmp/empty.pem ${HOST_URL}cgi-bin/upload-priv        # -7003
  curl -d filedata=x ${HOST_URL}cgi-bin/upload-priv                                            # -7002
  head -c 9000000 /dev/urandom >/tmp/big.key; curl -F filedata=@/tmp/big.key ${HOST_URL}cgi-bin/upload-priv   # -7001
  curl -i -F sessionid=demo ${HOST_URL}cgi-bin/upload-priv                   # no file part: the server's own error

$kind is running as pid $HOST_PID; press Ctrl-C to stop it.
EOF
wait "$HOST_PID"
