# SPDX-License-Identifier: MIT
# Boots, drives and stops the emulated device (see device/build-image.sh).
# Source it, then:
#   device_disk PATH MIB
#       A fresh ext4 disk image of that size, the device's /etc.
#   device_rom PATH
#       A read-only squashfs image for the overlay layout: a factory /etc
#       with a default for each key, 8021x-ca-cert2 a symbolic link to
#       /etc/certs/ca2.pem; its files are also left in PATH.files/.
#   device_boot RUN_DIR DISK [RAM_MIB [TASK]]
#       Starts qemu as a child of the calling shell: one core, RAM_MIB
#       (default 256) of RAM, DISK as /etc (for the layout ext4; the
#       squashfs image for overlay; "-" for none), the device's port 80 forwarded
#       to a free port of 127.0.0.1. Sets DEVICE_PID, DEVICE_PORT,
#       DEVICE_URL and DEVICE_CONSOLE (the console's output, a file in
#       RUN_DIR). TASK goes to the kernel command line as upload_task=TASK
#       (bench: the device runs the benchmark and powers off). With
#       DEVICE_LAN set to a name, the device gets a second network card,
#       its 802.1X port, joined to a tap device of that name on this
#       machine; the caller moves the tap into a namespace of its own.
#   device_wait_ready [SECONDS]
#       Waits until the web server answers (default 120 s).
#   device_upload PROGRAM FILE [CURL_ARGS...]
#       Uploads FILE as the form's filedata with the login and prints the
#       answer's errcode, or "http CODE" when the answer is not the
#       program's.
#   device_exec COMMAND
#       Runs a shell command on the device's console and prints its output.
#   device_poweroff [SECONDS]
#       Powers off cleanly and waits for qemu to exit; kills it after
#       SECONDS (default 60).
#   device_cut
#       Cuts the power: SIGKILL to qemu, nothing written back.
#   device_wait_exit SECONDS
#       Waits for a device that powers itself off.
# A power cut at a chosen moment: run device_upload in the background (with
# curl's --limit-rate to stretch the body out over time if needed), wait
# for the moment, device_cut; then device_boot the same disk and read the
# files back with device_exec.
# DEVICE_IMAGE is the folder with kernel and initramfs.cpio (default
# build/device-image). DEVICE_USER and DEVICE_PASSWORD are the login.
# DEVICE_ETC is the layout of /etc (device/etc-layout): ext4 (the default),
# ubifs, jffs2 or overlay. The flash of the last three lives in the
# device's RAM: a reboot finds it empty.
# All work under set -e.

device_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DEVICE_IMAGE=${DEVICE_IMAGE:-$device_root/build/device-image}
DEVICE_USER=admin
DEVICE_PASSWORD=nubo-device
DEVICE_ETC=${DEVICE_ETC:-ext4}
DEVICE_PID=
DEVICE_CONSOLE_FD=

device_alive() {
    local stat
    [ -n "$DEVICE_PID" ] || return 1
    read -r stat 2>/dev/null <"/proc/$DEVICE_PID/stat" || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != Z ]
}

device_disk() {
    mkdir -p "$(dirname "$1")"
    rm -f "$1"
    truncate -s "$2M" "$1"
    # No blocks reserved for root: the programs run as root, and the free
    # space df reports should be all there is.
    mkfs.ext4 -q -F -m 0 -L etc "$1"
}

device_rom() {
    local files=$1.files
    rm -rf "$files" "$1"
    mkdir -p "$files/certs"
    for name in 8021x-client-cert 8021x-client-cert2 8021x-ca-cert 8021x-priv 8021x-priv2 certs/ca2.pem; do
        printf -- '-----BEGIN CERTIFICATE-----\nfactory default %s\n-----END CERTIFICATE-----\n' "$name" >"$files/$name"
    done
    chmod 0600 "$files"/8021x-* "$files/certs/ca2.pem"
    ln -s /etc/certs/ca2.pem "$files/8021x-ca-cert2"
    mksquashfs "$files" "$1" -quiet -no-progress -all-root >/dev/null
}

device_boot() {
    local run=$1 disk=$2 ram=${3:-256} task=${4:-} attempt port drive=() lan=()
    [ "$disk" = - ] || drive=(-drive "file=$disk,format=raw,if=none,id=etc" -device virtio-blk-device,drive=etc)
    [ -z "${DEVICE_LAN:-}" ] ||
        lan=(-netdev "tap,id=lan,ifname=$DEVICE_LAN,script=no,downscript=no"
            -device virtio-net-device,netdev=lan,mac=52:54:00:80:21:01)
    mkdir -p "$run"
    DEVICE_CONSOLE=$run/console.log
    # The console's input: a pipe this shell holds open at both ends, so
    # that qemu never sees it end and commands can be written at any time.
    rm -f "$run/console.in"
    mkfifo "$run/console.in"
    for attempt in $(seq 1 20); do
        port=$(shuf -i 20000-59999 -n 1)
        exec {DEVICE_CONSOLE_FD}<>"$run/console.in"
        : >"$DEVICE_CONSOLE"
        # A session of its own: a Ctrl-C at the terminal is for the caller,
        # who powers off; qemu would quit on it at once. (setsid execs qemu
        # in place, so $! is qemu's pid.)
        # cryptomgr.notests: the kernel's self-tests of its crypto code, a
        # third of the emulated boot, test Debian's kernel, not the device.
        setsid qemu-system-arm -M virt -cpu cortex-a15 -smp 1 -m "$ram" \
            -kernel "$DEVICE_IMAGE/kernel" -initrd "$DEVICE_IMAGE/initramfs.cpio" \
            -append "console=ttyAMA0 quiet cryptomgr.notests upload_etc=$DEVICE_ETC${task:+ upload_task=$task}" \
            "${drive[@]}" \
            -netdev "user,id=net,restrict=on,hostfwd=tcp:127.0.0.1:$port-:80" \
            -device virtio-net-device,netdev=net "${lan[@]}" \
            -display none -monitor none -serial stdio -no-reboot \
            <&"$DEVICE_CONSOLE_FD" >"$DEVICE_CONSOLE" 2>"$run/qemu.log" &
        DEVICE_PID=$!
        DEVICE_PORT=$port
        DEVICE_URL=http://127.0.0.1:$port/
        # A port somebody else holds makes qemu exit at once.
        sleep 0.5
        device_alive && return 0
        wait "$DEVICE_PID" 2>/dev/null || true
        DEVICE_PID=
        exec {DEVICE_CONSOLE_FD}>&-
        grep -q hostfwd "$run/qemu.log" || break
    done
    echo "device_boot: qemu did not start; see $run/qemu.log" >&2
    return 1
}

# The console from its start, as qemu writes it. tail follows the file by
# inotify rather than polling, and ends when qemu does.
device_follow() {
    tail -n +1 -s 0.1 --pid="$DEVICE_PID" -f "$DEVICE_CONSOLE"
}

device_wait_ready() {
    local limit=$((SECONDS + ${1:-120})) code
    # rcS says so once httpd listens: no request (a curl each) before that.
    if ! timeout "${1:-120}" grep -q -m 1 '^device: ready' < <(device_follow); then
        device_alive || { echo "device_wait_ready: the device stopped" >&2; return 1; }
    fi
    while [ $SECONDS -lt $limit ]; do
        device_alive || { echo "device_wait_ready: the device stopped" >&2; return 1; }
        # Before the device's server listens, the forwarded port takes the
        # connection and drops it: no status at all.
        code=$(curl -s -o /dev/null -m 5 -w '%{http_code}' "$DEVICE_URL" || true)
        [ "$code" = 000 ] || [ -z "$code" ] || return 0
        sleep 0.5
    done
    echo "device_wait_ready: no answer from the device in time" >&2
    return 1
}

device_exec() {
    # Unique even when called in a subshell.
    local n
    n=$(date +%s%N)
    # The console echoes the command; the quotes keep the echoed markers
    # apart from the printed ones.
    printf 'echo "@@""begin-%s"; %s; echo "@@""end-%s"\n' "$n" "$1" "$n" >&"$DEVICE_CONSOLE_FD"
    timeout 120 grep -q -m 1 "^@@end-$n" < <(device_follow) ||
        { echo "device_exec: no answer to '$1'" >&2; return 1; }
    tr -d '\r' <"$DEVICE_CONSOLE" | sed -n "/^@@begin-$n\$/,/^@@end-$n\$/p" | sed '1d;$d'
}

device_upload() {
    local program=$1 file=$2 answer
    shift 2
    answer=$(curl -s -m 600 -w '\nhttp %{http_code}' -u "$DEVICE_USER:$DEVICE_PASSWORD" \
        -F sessionid=device -F "filedata=@$file" "$@" "${DEVICE_URL}cgi-bin/$program" || true)
    case $answer in
    *'"errcode": '*) answer=${answer#*'"errcode": '} && echo "${answer%% *}" ;;
    *) echo "${answer##*$'\n'}" ;;
    esac
}

device_release() {
    wait "$DEVICE_PID" 2>/dev/null || true
    DEVICE_PID=
    [ -z "$DEVICE_CONSOLE_FD" ] || exec {DEVICE_CONSOLE_FD}>&-
    DEVICE_CONSOLE_FD=
}

device_wait_exit() {
    # tail ends when qemu does (this shell reaps it): no process per tick.
    if device_alive; then
        timeout "$1" tail -s 0.1 --pid="$DEVICE_PID" -f /dev/null || true
    fi
    if device_alive; then
        echo "device_wait_exit: still running after $1 s; cutting the power" >&2
        device_cut
        return 1
    fi
    device_release
}

device_poweroff() {
    device_alive || { device_release; return 0; }
    # The device's shutdown script, then the power off at once, as the
    # benchmark's device does: busybox init's poweroff runs the same script
    # and adds two one-second pauses, for a serial console to drain.
    printf '/lib/device/stop; poweroff -f\n' >&"$DEVICE_CONSOLE_FD"
    device_wait_exit "${1:-60}"
}

device_cut() {
    [ -n "$DEVICE_PID" ] || return 0
    kill -KILL "$DEVICE_PID" 2>/dev/null || true
    device_release
}
