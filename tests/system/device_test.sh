#!/usr/bin/env bash
# The programs on the emulated device: an ARM kernel, busybox httpd with a
# login, /etc on ext4 on a virtio disk, /tmp a tmpfs, and power that can be
# cut. Each case boots the device from IMAGE_DIR (device/build-image.sh).
#
# Usage: device_test.sh CASE IMAGE_DIR WORK_DIR
#   programs   each program answers 0 with the login and the server 401
#              without; bytes and mode read back after a reboot
#   power-cut  power cut as soon as answer 0 arrives; after the journal is
#              replayed the key is exactly the uploaded bytes, nothing beside it
#   limits     a 60 MiB CA bundle: -7004 with 128 MiB of RAM (the /tmp
#              tmpfs cannot hold the spool), 0 with 256 MiB; /etc that
#              fills during the copy answers -7004 and keeps the previous key
set -uo pipefail
case_name=$1
work=$(realpath -m "$3")
root=$(cd "$(dirname "$0")/../.." && pwd)
DEVICE_IMAGE=$(realpath -m "$2")
# shellcheck source=../../device/device.sh
source "$root/device/device.sh"

programs=(upload-client-cert upload-client-cert2 upload-ca-cert upload-ca-cert2 upload-priv upload-priv2)
declare -A target_of=(
    [upload-client-cert]=8021x-client-cert [upload-client-cert2]=8021x-client-cert2
    [upload-ca-cert]=8021x-ca-cert [upload-ca-cert2]=8021x-ca-cert2
    [upload-priv]=8021x-priv [upload-priv2]=8021x-priv2)
MIB=1048576

rm -rf "$work"
mkdir -p "$work/files"
trap 'device_cut' EXIT

passed=0
failed=0
check() {
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok - $what"
    else
        failed=$((failed + 1))
        echo "not ok - $what"
    fi
}

# PEM-looking text of about SIZE bytes.
make_pem() {
    { echo '-----BEGIN CERTIFICATE-----'; head -c $((${2} * 3 / 4)) /dev/urandom | base64 -w 64
      echo '-----END CERTIFICATE-----'; } >"$1"
}

boot() {
    local ram=$1 disk=$2
    if ! device_boot "$work/boot-$((++boots))" "$disk" "$ram" || ! device_wait_ready; then
        echo "not ok - boot $boots with $ram MiB"
        exit 1
    fi
}
boots=0

# "SHA256 MODE" of a file in /etc as the device reads it; "missing" if none.
on_device() {
    device_exec "if [ -f /etc/$1 ]; then echo \$(sha256sum </etc/$1 | cut -d' ' -f1) \$(stat -c %a /etc/$1); else echo missing; fi"
}
stored() { echo "$(sha256sum <"$1" | cut -d' ' -f1) 600"; }
# The files a replacement by rename leaves beside the targets when cut short.
leftovers() { device_exec 'ls -A /etc | grep "^\.8021x-.*\.new$"'; }

case $case_name in
programs)
    device_disk "$work/disk.img" 64
    boot 256 "$work/disk.img"
    check "the page asks for the login" [ "$(curl -s -o /dev/null -w '%{http_code}' "$DEVICE_URL")" = 401 ]
    check "the page is served with the login" \
        [ "$(curl -s -o /dev/null -w '%{http_code}' -u "$DEVICE_USER:$DEVICE_PASSWORD" "$DEVICE_URL")" = 200 ]
    for p in "${programs[@]}"; do
        make_pem "$work/files/$p.pem" 3000
        check "$p without the login: 401" \
            [ "$(device_upload "$p" "$work/files/$p.pem" -u nobody:wrong)" = "http 401" ]
        check "$p answers 0" [ "$(device_upload "$p" "$work/files/$p.pem")" = 0 ]
    done
    device_poweroff
    # Read back after a reboot: stored on the disk, not merely cached.
    boot 256 "$work/disk.img"
    for p in "${programs[@]}"; do
        check "$p: bytes and mode 0600 after a reboot" \
            [ "$(on_device "${target_of[$p]}")" = "$(stored "$work/files/$p.pem")" ]
    done
    device_poweroff
    ;;
power-cut)
    trials=3
    device_disk "$work/disk.img" 64
    boot 256 "$work/disk.img"
    for trial in $(seq 1 $trials); do
        key=$work/files/key-$trial.pem
        make_pem "$key" $((256 * 1024))
        answer=$(device_upload upload-priv "$key")
        # No clean shutdown: whatever the kernel still holds is lost.
        device_cut
        check "trial $trial: the upload answers 0" [ "$answer" = 0 ]
        boot 256 "$work/disk.img"
        check "trial $trial: after the power cut the key is the uploaded bytes, mode 0600" \
            [ "$(on_device 8021x-priv)" = "$(stored "$key")" ]
        check "trial $trial: nothing is left beside the key" [ -z "$(leftovers)" ]
    done
    device_poweroff
    ;;
limits)
    make_pem "$work/files/small.pem" 2000
    make_pem "$work/files/bundle.pem" $((60 * MIB))
    device_disk "$work/disk.img" 128
    boot 128 "$work/disk.img"
    check "128 MiB: a small CA certificate answers 0" [ "$(device_upload upload-ca-cert "$work/files/small.pem")" = 0 ]
    check "128 MiB: the /tmp tmpfs cannot hold the 60 MiB bundle's spool: -7004" \
        [ "$(device_upload upload-ca-cert "$work/files/bundle.pem")" = -7004 ]
    check "128 MiB: the previous certificate stays" \
        [ "$(on_device 8021x-ca-cert)" = "$(stored "$work/files/small.pem")" ]
    check "128 MiB: no spool is left in /tmp" [ -z "$(device_exec 'ls -A /tmp')" ]
    device_poweroff

    boot 256 "$work/disk.img"
    check "256 MiB: the 60 MiB bundle answers 0" [ "$(device_upload upload-ca-cert "$work/files/bundle.pem")" = 0 ]
    check "256 MiB: the bundle is stored" [ "$(on_device 8021x-ca-cert)" = "$(stored "$work/files/bundle.pem")" ]
    # Leave /etc about 2 MiB, then copy a 6 MiB key into it.
    make_pem "$work/files/key.pem" $((6 * MIB))
    check "a key answers 0 before /etc fills" [ "$(device_upload upload-priv "$work/files/small.pem")" = 0 ]
    free_kib=$(device_exec 'df -k /etc' | awk 'NR == 2 { print $4 }')
    device_exec "fallocate -l $((free_kib - 2048))k /etc/filler" >/dev/null
    check "/etc fills during the copy: -7004" [ "$(device_upload upload-priv "$work/files/key.pem")" = -7004 ]
    check "/etc fills during the copy: the previous key stays, nothing beside it" \
        [ "$(on_device 8021x-priv) $(leftovers)" = "$(stored "$work/files/small.pem") " ]
    check "/etc fills during the copy: the CA bundle stays" \
        [ "$(on_device 8021x-ca-cert)" = "$(stored "$work/files/bundle.pem")" ]
    device_poweroff
    ;;
*)
    echo "device_test.sh: unknown case '$case_name'" >&2
    exit 2
    ;;
esac

echo "system $case_name: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
