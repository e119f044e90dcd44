#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Upload to authenticated: from the POST of a client key (the CA and the
# key's certificate already stored) to the 802.1X client authenticated with
# it, in three parts: upload and commit (until the answer's first byte),
# the reload (the program's RECONFIGURE and the client's OK, until the
# request ends) and the EAP exchange (until upload-status says
# suppPortStatus=Authorized, polled every 20 ms). The rounds alternate
# between two identities, RSA and EC, so that each starts unauthenticated:
# the new certificate first, which fails without its key; once the client
# has failed, the authenticator forgets it, as a switch port after its
# quiet period, and then the key is posted. Median of ROUNDS (default 9), in milliseconds.
#
#   bench/8021x_bench.sh [ROUNDS]           this machine: lighttpd and
#                                           build/reload's programs
#   bench/8021x_bench.sh device [ROUNDS]    the emulated device
#                                           (DEVICE_IMAGE, default
#                                           build/device-image)
# Needs root (network namespaces), hostapd, wpa_supplicant, lighttpd, curl.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
where=host
[ "${1:-}" = device ] && where=device && shift
rounds=${1:-9}
work=$root/build/bench-8021x-$where
if [ "$where" = host ] && [ "${BENCH_PRIVATE:-}" != 1 ]; then
    cmake -S "$root" -B "$root/build/reload" -DCMAKE_BUILD_TYPE=Release -DUPLOAD_BUILD_TESTS=OFF \
        -DUPLOAD_CLIENT_CTRL="$root/build/reload/ctrl/lan" -DUPLOAD_TARGET_DIR="$root/build/reload/target" >/dev/null
    cmake --build "$root/build/reload" -j 2 >/dev/null
    exec env BENCH_PRIVATE=1 unshare -m --propagation private "$0" "$@"
fi
# shellcheck source=../tests/e2e/8021x.sh
source "$root/tests/e2e/8021x.sh"
rm -rf "$work"
mkdir -p "$work"
eap_pki "$work/pki" >/dev/null

if [ "$where" = host ]; then
    # shellcheck source=../hosts/host.sh
    source "$root/hosts/host.sh"
    target=$root/build/reload/target ctrl=$root/build/reload/ctrl/lan
    mkdir -p "$target" "$(dirname "$ctrl")" "$work/cgi"
    mount -t tmpfs tmpfs "$target"
    mount -t tmpfs tmpfs "$(dirname "$ctrl")"
    cp "$root"/build/reload/bin/upload-* "$work/cgi/"
    trap 'eap_stop; host_stop' EXIT
    eap_start "$work/eap" "$target" "$work/pki" tls
    ln -s "$EAP_CTRL/wpa_supplicant/$EAP_IF_DEV" "$ctrl"
    host_start lighttpd "$root/web" "$work/cgi" "$work/host" >/dev/null
    url=$HOST_URL login=()
else
    # shellcheck source=../device/device.sh
    source "$root/device/device.sh"
    DEVICE_LAN=bl$$
    trap 'device_cut; eap_stop' EXIT
    device_disk "$work/disk.img" 32
    device_boot "$work/device" "$work/disk.img" 256
    eap_authenticator "$work/eap" "$work/pki" "$DEVICE_LAN"
    device_wait_ready
    url=$DEVICE_URL login=(-u "$DEVICE_USER:$DEVICE_PASSWORD")
fi

post() { # PROGRAM FILE: "FIRST_BYTE TOTAL" in seconds
    curl -s -o /dev/null -w '%{time_starttransfer} %{time_total}' "${login[@]}" -F sessionid=bench \
        -F "filedata=@$2" "${url}cgi-bin/$1"
}
authorized() {
    curl -s "${login[@]}" "${url}cgi-bin/upload-status" | grep -q suppPortStatus=Authorized
}
ms() { date +%s%3N; }

post upload-ca-cert "$work/pki/ca.pem" >/dev/null
for ((i = 0; i < rounds; i++)); do
    identity=client
    [ $((i % 2)) = 1 ] && identity=client-ec
    post upload-client-cert "$work/pki/$identity.pem" >/dev/null
    # The certificate without its key fails; the authenticator forgets that
    # once the client has given up, lest it hold the next try off.
    for ((wait = 0; wait < 300; wait++)); do
        curl -s "${login[@]}" "${url}cgi-bin/upload-status" | grep -Eq 'EAP state=FAILURE|PAE state=HELD' && break
        sleep 0.1
    done
    eap_forget
    sleep 1
    started=$(ms)
    times=$(post upload-priv "$work/pki/$identity.key")
    first=${times% *} total=${times#* }
    posted=$(ms)
    until authorized; do
        [ $(($(ms) - started)) -lt 30000 ] || { echo "round $i: not authenticated in 30 s" >&2; exit 1; }
        sleep 0.02
    done
    done_at=$(ms)
    awk -v f="$first" -v t="$total" -v p=$((posted - started)) -v d=$((done_at - started)) \
        'BEGIN { printf "%.1f %.1f %d %d\n", f * 1000, (t - f) * 1000, d - p, d }'
done >"$work/rounds"
sort -n -k 4 "$work/rounds" | awk -v where="$where" '{ row[NR] = $0 } END {
    split(row[int((NR + 1) / 2)], m, " ")
    printf "%s: upload and commit %s ms, reload %s ms, EAP exchange %d ms; upload to authenticated %d ms (median of %d)\n",
        where, m[1], m[2], m[3], m[4], NR }'
