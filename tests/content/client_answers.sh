#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Asks the 802.1X client what it makes of each file of the content check's
# table and writes OUT, a line "FILE CERTIFICATE KEY" each: 0 where it
# authenticates with the file in that kind of slot, -7006 where it does not.
# A certificate slot's file is handed to it as ca_cert, or as client_cert
# with the client's key; a key slot's as private_key beside the RSA or the
# EC client certificate; all else from the PKI (make_key_files.sh).
# Usage: client_answers.sh KEY_FILES PKI_DIR OUT WORK_DIR
set -uo pipefail
files=$(realpath "$1") pki=$(realpath "$2") out=$3 work=$(realpath -m "$4")
# shellcheck source=../e2e/8021x.sh
source "$(dirname "$0")/../e2e/8021x.sh"
export EAP_KEY_PASSWD=secret   # of encrypted.pem and the PKCS#12 files
rm -rf "$work" "$out"

# Authenticates with CA, CERT and KEY. A client that never answers is no
# answer at all.
authenticates() {
    cp "$1" "$slots/8021x-ca-cert" && cp "$2" "$slots/8021x-client-cert" && cp "$3" "$slots/8021x-priv" || exit 1
    local said
    said=$(eap_check 60) && return 0
    [[ $said != *"no outcome"* ]] || { echo "$f: $said" >&2; exit 1; }
    return 1
}

# Each answer waits about two seconds for the client's first EAPOL-Start,
# so a few pairs of namespaces share the files.
lane() {
    slots=$work/$1/slots
    shift
    mkdir -p "$slots"
    trap eap_stop EXIT
    f=PKI
    if ! { eap_start "$work/$BASHPID" "$slots" "$pki" &&
        authenticates "$pki/ca.pem" "$pki/client.pem" "$pki/client.key"; }; then
        echo "the PKI's own files do not authenticate" >&2
        exit 1
    fi
    for f in "$@"; do
        local certificate=0 key=0
        authenticates "$files/$f" "$pki/client.pem" "$pki/client.key" ||
            authenticates "$pki/ca.pem" "$files/$f" "$pki/client.key" || certificate=-7006
        authenticates "$pki/ca.pem" "$pki/client.pem" "$files/$f" ||
            authenticates "$pki/ca.pem" "$pki/client-ec.pem" "$files/$f" || key=-7006
        echo "$f $certificate $key"
    done >"$work/$BASHPID.answers"
}

all=()
for path in "$files"/*; do
    case $path in *.key | *.log) ;; *) all+=("${path##*/}") ;; esac
done
pids=()
for n in 0 1 2 3; do
    mine=()
    for ((i = n; i < ${#all[@]}; i += 4)); do mine+=("${all[i]}"); done
    lane "$n" "${mine[@]}" &
    pids+=($!)
done
# Every lane to its end, each stopping its own daemons.
failed=0
for pid in "${pids[@]}"; do
    wait "$pid" || failed=1
done
[ $failed = 0 ] && sort "$work"/*.answers >"$out" && cat "$out"
