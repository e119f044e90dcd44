#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The programs on the emulated device: an ARM kernel, busybox httpd with a
# login, /etc on ext4 on a virtio disk, /tmp a tmpfs, and power that can be
# cut. Each case boots the device from IMAGE_DIR (device/build-image.sh).
#
# Usage: device_test.sh CASE IMAGE_DIR WORK_DIR [REFUSE]
#   programs   each program answers 0 with the login and the server 401
#              without; syslogd logs each answer; bytes and mode read back
#              after a reboot
#   power-cut  power cut as soon as answer 0 arrives; after the journal is
#              replayed the key is exactly the uploaded bytes, nothing beside it
#   copy-cut   power cuts at many moments of a 7 MiB key's upload, from the
#              spooling to the answer: the key is the old one or the new one,
#              at most one leftover beside it, which the next upload clears
#   limits     a 60 MiB CA bundle: -7004 with 128 MiB of RAM (the /tmp
#              tmpfs cannot hold the spool), 0 with 256 MiB; /etc that
#              fills during the copy answers -7004 and keeps the previous key
#   8021x      the device's own 802.1X client, on a second network card
#              whose other end is hostapd on this machine, reloaded by the
#              programs and followed through upload-status: the slot-1 files
#              uploaded, it authenticates; a key of another identity, and
#              it fails; that identity's certificate, a power cut right after
#              answer 0, a boot, and it authenticates as that; a slot
#              emptied by hand is empty
#   flash-LAYOUT  /etc on ext4, ubifs, jffs2 or overlay (device/etc-layout):
#              the programs, a full /etc, whether sendfile reaches it, the
#              overlay's copy-up and, on UBI, a power cut at every header
#              write of an upload
# REFUSE (CALL=ERRNO,...) runs every program under refuse-syscalls, which
# refuses those calls as an older kernel or a stricter sandbox does.
set -uo pipefail
case_name=$1
refuse=${4:-}
work=$(realpath -m "$3")
root=$(cd "$(dirname "$0")/../.." && pwd)
DEVICE_IMAGE=$(realpath -m "$2")
# shellcheck source=../../device/device.sh
source "$root/device/device.sh"

# shellcheck source=../testlib.sh
source "$root/tests/testlib.sh"
# shellcheck source=../e2e/8021x.sh
source "$root/tests/e2e/8021x.sh"

rm -rf "$work"
mkdir -p "$work/files"
trap 'device_cut; eap_stop' EXIT


# PEM-looking text of about SIZE bytes.
make_pem() {
    { echo '-----BEGIN CERTIFICATE-----'; head -c $((${2} * 3 / 4)) /dev/urandom | base64 -w 64
      echo '-----END CERTIFICATE-----'; } >"$1"
}

boot() {
    local ram=$1 disk=$2
    if ! device_boot "$work/boot-$((++boots))" "$disk" "$ram" || ! lan_up || ! device_wait_ready; then
        echo "not ok - boot $boots with $ram MiB"
        exit 1
    fi
    [ -n "$refuse" ] || return 0
    # The web server starts a script in each program's place that puts the
    # filter on and then becomes the program.
    device_exec "cd /www/cgi-bin && for p in upload-*; do [ \$p = upload-status ] && continue; mv \$p /lib/device/ && printf '#!/bin/sh\nexec /lib/device/refuse-syscalls $refuse /lib/device/%s\n' \$p >\$p && chmod 755 \$p; done; cd /" >/dev/null
    check "boot $boots: the programs run with $refuse" \
        [ "$(device_exec 'grep -l refuse-syscalls /www/cgi-bin/upload-* | wc -l')" = "${#programs[@]}" ]
}
boots=0

# With DEVICE_LAN set, the authenticator at the other end of the device's
# second card, anew for each boot (qemu makes the tap device anew).
lan_up() {
    [ -n "${DEVICE_LAN:-}" ] || return 0
    eap_stop
    eap_authenticator "$work/eap-$boots" "$work/pki" "$DEVICE_LAN"
}

# Whether the status program, through the web server, shows PATTERN (an
# extended regular expression) within a minute: the client's state follows
# the uploads with no help from here.
device_status() {
    curl -s -m 30 -u "$DEVICE_USER:$DEVICE_PASSWORD" "${DEVICE_URL}cgi-bin/upload-status" || true
}
status_says() {
    local deadline=$((SECONDS + 60))
    until device_status | grep -Eq "$1"; do
        [ $SECONDS -lt $deadline ] && device_alive || return 1
        sleep 1
    done
}
AUTHORIZED='suppPortStatus=Authorized'

# "SHA256 MODE" of a file in /etc as the device reads it (through a
# symbolic link); "missing" if none.
on_device() {
    device_exec "if [ -f /etc/$1 ]; then echo \$(sha256sum </etc/$1 | cut -d' ' -f1) \$(stat -L -c %a /etc/$1); else echo missing; fi"
}
stored() { echo "$(sha256sum <"$1" | cut -d' ' -f1) 600"; }
# The files a replacement by rename leaves beside the targets when cut short.
leftovers() { device_exec 'ls -A /etc | grep "^\.8021x-.*\.new$"'; }

# Cuts the power as soon as the device finds CONDITION (a shell test run on
# it every 10 ms) true, or the upload in the background (pid UPLOAD) ends;
# LANDED says which came first.
cut_when() {
    local n
    n=$(date +%s%N)
    printf 'until %s; do usleep 10000; done; echo "@@""hit-%s"\n' "$1" "$n" >&"$DEVICE_CONSOLE_FD"
    # The console followed rather than polled, so the cut follows the line
    # at once; tail ends when the upload does.
    grep -q -m 1 "^@@hit-$n" < <(tail -n +1 -s 0.01 --pid="$UPLOAD" -f "$DEVICE_CONSOLE") || true
    device_cut
    LANDED="cut when the upload ended"
    grep -q "^@@hit-$n" "$DEVICE_CONSOLE" && LANDED="cut at the moment"
    return 0
}

# The layouts of /etc (device/etc-layout) and what each is expected to do:
# whether the kernel takes sendfile into it or the programs copy in blocks,
# whether it lies on UBI, whose power cuts the kernel can emulate, and
# whether it compresses.
declare -A flash_sendfile=([ext4]=sendfile [ubifs]=sendfile [jffs2]=sendfile [overlay]=sendfile)
declare -A flash_on_ubi=([ext4]=no [ubifs]=yes [jffs2]=no [overlay]=yes)
# Every UBI header write is cut on ubifs; the overlay writes the same
# sequence to the same UBIFS, so every other one is cut there.
declare -A flash_cut_every=([ubifs]=1 [overlay]=2)
# The overlay's upper layer compresses as ubifs does; measured there.
declare -A flash_compresses=([ext4]=no [ubifs]=yes [jffs2]=yes [overlay]=no)

# /etc back as after a power-off: a reboot for the disk, which outlives it;
# unmount, detach, attach and mount for the NAND, which lives in the RAM.
flash_remount() {
    if [ "$DEVICE_ETC" = ext4 ]; then
        device_poweroff && boot 256 "$flash_disk"
    else
        device_exec '/lib/device/etc-layout remount >/dev/null 2>&1' >/dev/null
    fi
}

# Shell functions on the device for the power cuts, one to a console line
# (busybox's shell reads at most 1024 bytes a line): the trials run there,
# one console command each, since every round trip costs emulated time.
#   trial N   cuts at the Nth UBI header write from now on, uploads /tmp/new
#             over /tmp/old, brings /etc back, then uploads a fresh /tmp/old
# P is the program, K the key as /etc names it, D/N where the key's file lies
# (beside which the upload writes), L a link that must stay.
flash_device_functions='post() { REQUEST_METHOD=POST CONTENT_TYPE="multipart/form-data; boundary=b0" CONTENT_LENGTH=$(wc -c <$1.body) /www/cgi-bin/$P <$1.body | grep -o "errcode.: -*[0-9]*" | grep -o -- "-*[0-9]*$"; }
body() { { printf -- "--b0\r\nContent-Disposition: form-data; name=\"filedata\"; filename=\"k\"\r\n\r\n"; cat $1; printf -- "\r\n--b0--\r\n"; } >$1.body; }
sum() { sha256sum <$1 | cut -d" " -f1; }
keyis() { k=$(sum $K 2>/dev/null); for f in "$@"; do [ "$k" = "$(sum $f)" ] && echo ${f##*/} && return; done; echo neither; }
beside() { ls -A $D | grep -c "^\.$N\.new$"; }
cut_at() { d=/sys/kernel/debug/ubi/ubi0; echo $1 >$d/tst_emulate_power_cut_min; echo $1 >$d/tst_emulate_power_cut_max; echo 3 >$d/tst_emulate_power_cut; dmesg -c >/dev/null; }
trial() { cut_at $1; a=$(post /tmp/new); /lib/device/etc-layout remount >/dev/null 2>&1; c=no; dmesg | grep -qi -e "power cut" -e "read-only mode" && c=yes; echo "answer=${a:-none} cut=$c key=$(keyis /tmp/old /tmp/new) beside=$(beside) link=$([ -z "$L" ] || readlink $L)"; head -c 2000 /dev/urandom >/tmp/old; body /tmp/old; echo "next=$(post /tmp/old) key=$(keyis /tmp/old) beside=$(beside)"; }'

flash_case() {
    local layout=$1 p how free_kib fill_kib what n line lines answer cut key beside cuts=0 upper=/overlay/upper
    [ -n "${flash_sendfile[$layout]:-}" ] || { echo "device_test.sh: unknown layout '$layout'" >&2; exit 2; }
    DEVICE_ETC=$layout
    case $layout in
    ext4) flash_disk=$work/disk.img && device_disk "$flash_disk" 32 ;;
    overlay) flash_disk=$work/rom.squashfs && device_rom "$flash_disk" ;;
    *) flash_disk=- ;;
    esac
    [ "$flash_disk" = - ] || rom_sum=$(sha256sum <"$flash_disk")
    boot 256 "$flash_disk"
    check "$layout: /etc is mounted as $layout" \
        [ "$(device_exec "awk '\$2 == \"/etc\" { print \$3 }' /proc/mounts")" = "$layout" ]
    [ "$layout" != overlay ] ||
        check "overlay: the factory key shows through from the image" \
            [ "$(on_device 8021x-priv)" = "$(stored "$flash_disk.files/8021x-priv")" ]

    for p in "${programs[@]}"; do
        make_pem "$work/files/$p.pem" 3000
        check "$layout: $p answers 0" [ "$(device_upload "$p" "$work/files/$p.pem")" = 0 ]
    done
    flash_remount
    for p in "${programs[@]}"; do
        check "$layout: $p: bytes and mode 0600 after /etc was unmounted and mounted" \
            [ "$(on_device "${target_of[$p]}")" = "$(stored "$work/files/$p.pem")" ]
    done

    if [ "$layout" = overlay ]; then
        check "overlay: the key that was only in the image is a file of the upper layer now" \
            [ "$(device_exec "[ -f $upper/8021x-priv ] && [ ! -L $upper/8021x-priv ] && sha256sum <$upper/8021x-priv")" = "$(sha256sum <"$work/files/upload-priv.pem")" ]
        check "overlay: the key that links into another directory is still that link" \
            [ "$(device_exec 'readlink /etc/8021x-ca-cert2')" = /etc/certs/ca2.pem ]
        check "overlay: the file it links to holds the new key, copied up" \
            [ "$(device_exec "sha256sum <$upper/certs/ca2.pem")" = "$(sha256sum <"$work/files/upload-ca-cert2.pem")" ]
        check "overlay: the image below still holds every factory file" \
            [ "$(device_exec 'cd /rom && find . -type f | sort | xargs sha256sum')" = "$(cd "$flash_disk.files" && find . -type f | LC_ALL=C sort | xargs sha256sum)" ]
    fi

    device_exec 'head -c 1048576 /dev/urandom >/tmp/probe' >/dev/null
    how=$(device_exec '/lib/device/flashtool sendfile /tmp/probe /etc/.probe; rm /tmp/probe')
    echo "# $layout: a copy from /tmp into /etc: $how"
    check "$layout: the copy goes by ${flash_sendfile[$layout]}" [ "${how%% *}" = "${flash_sendfile[$layout]}" ]

    # What "free" means here: df's figure, next to how much random bytes
    # (which no compression shrinks) take before the file system refuses
    # them, and where it compresses, base64 text (a PEM file's kind).
    free_kib=$(device_exec 'df -k /etc' | awk 'NR == 2 { print $4 }')
    # A MiB repeated until the file system refuses it: the emulated CPU
    # makes random bytes slowly, and busybox base64 ignores a failed write
    # and would read on for ever.
    device_exec 'head -c 1048576 /dev/urandom >/tmp/random; base64 </tmp/random | head -c 1048576 >/tmp/text' >/dev/null
    flash_fill() { device_exec "rm -f /etc/filler; while cat /tmp/$1 >>/etc/filler 2>/dev/null; do :; done; sync; echo \$((\$(stat -c %s /etc/filler) / 1024))"; }
    fill_kib=$(flash_fill random)
    what="random bytes fill it at $fill_kib KiB"
    if [ "${flash_compresses[$layout]}" = yes ]; then
        fill_kib=$(flash_fill text)
        what="$what, base64 text at $fill_kib KiB"
    fi
    device_exec 'rm /tmp/random /tmp/text' >/dev/null
    echo "# $layout: df says $free_kib KiB free; $what"
    # About 2 MiB left, then a 6 MiB key.
    device_exec "truncate -s $(((fill_kib - 2048) * 1024)) /etc/filler; sync" >/dev/null
    head -c $((6 * MIB)) /dev/urandom >"$work/files/full.key"
    check "$layout: /etc fills during the copy: -7004" [ "$(device_upload upload-priv "$work/files/full.key")" = -7004 ]
    check "$layout: /etc fills during the copy: the previous key stays, nothing beside it" \
        [ "$(on_device 8021x-priv) $(leftovers)" = "$(stored "$work/files/upload-priv.pem") " ]
    device_exec 'rm /etc/filler; sync' >/dev/null

    if [ "${flash_on_ubi[$layout]}" = yes ]; then
        # A cut at the Nth header write UBI makes after the upload starts, for
        # N = 1, 2, ... (or 1, 3, ...) until a trial's whole write sequence,
        # the upload and the unmount after it, ends before the Nth: from the
        # first block of the file beside the key to after the answer.
        while read -r line; do device_exec "$line" >/dev/null; done <<<"$flash_device_functions"
        # On the overlay also the key reached through its link into
        # /etc/certs, which is replaced beside the file the link leads to.
        local sweep sweeps=("8021x-priv:P=upload-priv K=/etc/8021x-priv D=/etc N=8021x-priv L=")
        [ "$layout" != overlay ] ||
            sweeps+=("the linked key:P=upload-ca-cert2 K=/etc/8021x-ca-cert2 D=/etc/certs N=ca2.pem L=/etc/8021x-ca-cert2")
        for sweep in "${sweeps[@]}"; do
            local label=${sweep%%:*} link
            device_exec "${sweep#*:}; head -c 1048576 /dev/urandom >/tmp/new; body /tmp/new; head -c 2000 /dev/urandom >/tmp/old; body /tmp/old; post /tmp/old" >/dev/null
            cuts=0
            for n in $(seq 1 "${flash_cut_every[$layout]}" 60); do
                mapfile -t lines < <(device_exec "trial $n")
                read -r answer cut key beside link <<<"${lines[0]:-}"
                answer=${answer#answer=} cut=${cut#cut=} key=${key#key=} beside=${beside#beside=}
                echo "# $layout: $label: cut at UBI header write $n: ${lines[*]}"
                check "$layout $label cut $n: the key is the old one or the new one" [ "$key" = old -o "$key" = new ]
                [ "$answer" != 0 ] || check "$layout $label cut $n: answer 0, so the key is the new one" [ "$key" = new ]
                check "$layout $label cut $n: at most one file beside the key" [ "${beside:-9}" -le 1 ]
                [ "$label" = 8021x-priv ] ||
                    check "$layout $label cut $n: the link stays" [ "$link" = link=/etc/certs/ca2.pem ]
                check "$layout $label cut $n: the next upload answers 0, leaves its key and nothing beside it" \
                    [ "${lines[1]:-}" = "next=0 key=old beside=0" ]
                [ "$cut" = yes ] || break
                cuts=$((cuts + 1))
            done
            check "$layout $label: the sweep ran past the last write of the upload ($cuts cuts)" [ "$cut" = no -a "$cuts" -gt 5 ]
        done
    fi
    device_poweroff
    [ "$layout" != overlay ] || check "overlay: the image itself was never written" [ "$(sha256sum <"$flash_disk")" = "$rom_sum" ]
}

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
    # busybox syslogd puts its host name and the facility before the line;
    # its httpd gives the client's address in IPv6 form.
    device_exec 'cat /var/log/messages' | tr -d '\r' >"$work/messages"
    for p in "${programs[@]}"; do
        check "$p: its answer is in the system log" grep -qE "^.{15} device authpriv.notice $p\[[0-9]+\]: target=/etc/${target_of[$p]} errcode=0 bytes=$(stat -c %s "$work/files/$p.pem") user=$DEVICE_USER addr=\[::ffff:10\.0\.2\.2\]( reload=[a-z]+)?$" "$work/messages"
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
copy-cut)
    # Long enough under emulation (about 5 s to spool, 1 s to copy) for the
    # cuts to land while spooling, while writing the file beside the key,
    # between its sync and the rename, and after the rename. The journal
    # commits every few seconds, so a cut during a copy this short finds no
    # file beside the key; one moment syncs first, as a longer copy meets a
    # commit, so that a partly written leftover is there for the next upload.
    big=$work/files/big.pem
    make_pem "$big" $((7 * MIB))
    side=/etc/.8021x-priv.new
    side_size="\$(stat -c %s $side 2>/dev/null || echo -1)"
    moments=(
        "spooling, 1 s in:sleep 1"
        "spooling, 3 s in:sleep 3"
        "the file beside the key appears:[ $side_size -ge 0 ]"
        "a third of it written:[ $side_size -ge $(($(stat -c %s "$big") / 3)) ]"
        "half of it written and committed by the journal:[ $side_size -ge $(($(stat -c %s "$big") / 2)) ] && sync"
        "all of it written:[ $side_size -ge $(stat -c %s "$big") ]"
        "the file beside the key renamed over it:[ -e $side ] && { until [ ! -e $side ]; do :; done; }"
        "answer 0 arrived:false"
    )
    device_disk "$work/disk.img" 64
    boot 256 "$work/disk.img"
    old=$work/files/old-0.pem
    make_pem "$old" 2000
    check "the first key answers 0" [ "$(device_upload upload-priv "$old")" = 0 ]
    cut=0
    for moment in "${moments[@]}"; do
        what=${moment%%:*} condition=${moment#*:}
        cut=$((cut + 1))
        device_upload upload-priv "$big" >"$work/answer-$cut" &
        UPLOAD=$!
        case $condition in
        sleep*) $condition && device_cut && LANDED="cut at the moment" ;;
        *) cut_when "$condition" ;;
        esac
        wait "$UPLOAD"
        boot 256 "$work/disk.img"
        key=$(on_device 8021x-priv)
        left=$(leftovers)
        case $key in
        "$(stored "$old")") found=old ;;
        "$(stored "$big")") found=new ;;
        *) found="neither: $key" ;;
        esac
        echo "# cut $cut ($what): $LANDED; answer '$(cat "$work/answer-$cut")', key $found," \
            "beside it: ${left:-nothing}${left:+ ($(device_exec "stat -c %s /etc/$left") bytes)}"
        check "cut $cut ($what): the key is the old one or the new one" [ "${found%%:*}" != neither ]
        check "cut $cut ($what): at most one file left beside the key" [ "$(echo "$left" | grep -c .)" -le 1 ]
        old=$work/files/old-$cut.pem
        make_pem "$old" 2000
        check "cut $cut: the next upload answers 0" [ "$(device_upload upload-priv "$old")" = 0 ]
        check "cut $cut: and leaves the key and nothing beside it" \
            [ "$(on_device 8021x-priv) $(leftovers)" = "$(stored "$old") " ]
    done
    device_poweroff
    ;;
8021x)
    eap_pki "$work/pki" || exit 1
    DEVICE_LAN=nl$BASHPID
    device_disk "$work/disk.img" 32
    boot 256 "$work/disk.img"
    mark=$(eap_log_mark)
    for upload in "upload-ca-cert ca.pem" "upload-client-cert client.pem" "upload-priv client.key"; do
        read -r p file <<<"$upload"
        check "$file in $p answers 0" [ "$(device_upload "$p" "$work/pki/$file")" = 0 ]
    done
    check "the status says the device's client authenticates with the stored files" status_says "$AUTHORIZED"
    check "the authenticator accepted CN=device" [ "$(eap_authenticated_as "$mark")" = CN=device ]
    check "the status shows the key's public half, that of the certificate" \
        status_says "\"modulus\":\"$(openssl rsa -in "$work/pki/client.key" -noout -modulus | sed 's/.*=/00/' | tr 'A-F' 'a-f')\""
    # A new identity; the power goes as soon as its last file is stored.
    check "a new key answers 0" [ "$(device_upload upload-priv "$work/pki/client-ec.key")" = 0 ]
    check "with a key that is not the certificate's, the status says the client fails" \
        status_says '"point":"04[0-9a-f]*".*suppPortStatus=Unauthorized'
    answer=$(device_upload upload-client-cert "$work/pki/client-ec.pem")
    device_cut
    check "its certificate answers 0" [ "$answer" = 0 ]
    boot 256 "$work/disk.img"
    check "after a power cut and a boot the status says the client authenticates" status_says "$AUTHORIZED"
    check "the authenticator accepted the new identity, CN=device-ec" [ "$(eap_authenticated_as 0)" = CN=device-ec ]
    device_exec 'rm /etc/8021x-priv2' >/dev/null
    check "a slot emptied by hand is empty in the status" status_says '"file":"8021x-priv2","present":false'
    device_status | sed -n 's/.*"client":"\(.*\)"}/\1/p' | sed 's/\\n/\n/g; s/^/# the client: /' | grep -E 'PAE|EAP state|Status|method' || true
    device_poweroff
    ;;
flash-*)
    flash_case "${case_name#flash-}"
    ;;
*)
    echo "device_test.sh: unknown case '$case_name'" >&2
    exit 2
    ;;
esac

echo "system $case_name: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
