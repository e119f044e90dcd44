#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Uploads with curl through a real web server that runs the six programs as
# CGI, so that the way each server hands over the body and relays (or fails
# to relay) the answer is part of what is tested.
#
# Usage: e2e.sh HOST_KIND BIN_DIR TARGET_DIR WORK_DIR [KEY_FILES | 8021x=ROW]
#   HOST_KIND   lighttpd, lighttpd-stream, busybox or uhttpd (see
#               hosts/host.sh); uhttpd runs the session check's table, for
#               programs built with UPLOAD_SESSION_CHECK=ubus, and exits 77,
#               skipped, when HOST_OPENWRT holds no uhttpd
#   BIN_DIR     the six programs; its folder multicall, when there, holds
#               the multi-call program and its six links
#   TARGET_DIR  the directory they were built to write into
#   WORK_DIR    scratch space of this run, emptied first
#   KEY_FILES   the content check's certificates and keys: the programs are
#               built with UPLOAD_CONTENT_CHECK=ON, and only their rows run
#   8021x=ROW   only that row of the 802.1X table (see there): the device's
#               client reads the stored files. Runs in a mount namespace of
#               its own, with a small fresh tmpfs as TARGET_DIR.
set -uo pipefail
kind=$1
# Absolute, so that the programs can be recognised by their path in /proc.
bin=$(realpath -m "$2") target=$(realpath -m "$3") work=$(realpath -m "$4") keys=${5:-}
root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=../../hosts/host.sh
source "$root/hosts/host.sh"
if [ "$kind" = uhttpd ]; then
    if [ ! -x "${HOST_OPENWRT:-}/bin/uhttpd" ]; then
        echo "skipped: no OpenWrt build at '${HOST_OPENWRT:-}' (its sources are ../shared/third-party beside the project)"
        exit 77
    fi
    host_private "$@"
fi
eap_row=''
if [[ $keys = 8021x=* ]]; then
    eap_row=${keys#8021x=} keys=''
    if [ "${E2E_PRIVATE_TARGET:-}" != 1 ]; then
        E2E_PRIVATE_TARGET=1 exec unshare -m --propagation private "$0" "$@"
    fi
fi

# shellcheck source=../testlib.sh
source "$root/tests/testlib.sh"
SMALL_LIMIT=$((8 * MIB))
LARGE_LIMIT=$((64 * MIB))

# Only a streaming host starts the program before the whole body is in.
streams=1
[ "$kind" = lighttpd ] && streams=0

rm -rf "$work"
mkdir -p "$work/files" "$work/answers" "$work/cgi" "$target"
# A fresh device every time, and room for the six files and one more: an
# upload of 100 KiB fills it.
if [ -n "$eap_row" ]; then
    mount -t tmpfs -o size=64k,mode=0755 tmpfs "$target" || exit 1
fi
# Copies of our own, so that the programs this server starts can be told
# apart by their path from any other process on the machine.
cp "$bin"/upload-* "$work/cgi/"
if [ -d "$bin/multicall" ]; then
    mkdir "$work/cgi/multicall"
    cp -P "$bin"/multicall/nubo-upload "$bin"/multicall/upload-* "$work/cgi/multicall/"
fi
# shellcheck source=8021x.sh
source "$root/tests/e2e/8021x.sh"
trap 'eap_stop; host_stop' EXIT
host_start "$kind" "$root/web" "$work/cgi" "$work/host" || exit 1
echo "# $kind on $HOST_URL (pid $HOST_PID)"


# Random bytes, led and ended by near-delimiters, so that a piece of a
# boundary inside the content must not end the part.
make_file() {
    local path=$1 size=$2
    local lead=$'\r\n--\r\n--------------------------\r\n-' tail=$'\r\n--\r'
    if [ "$size" -le $((${#lead} + ${#tail})) ]; then
        head -c "$size" /dev/urandom >"$path"
        return
    fi
    { printf '%s' "$lead"; head -c $((size - ${#lead} - ${#tail})) /dev/urandom; printf '%s' "$tail"; } >"$path"
}

# A body of our own, for when its exact length matters.
BOUNDARY=e2eBoundaryQ8d3VvX1
make_body() {
    local file=$1 out=$2
    {
        printf -- '--%s\r\nContent-Disposition: form-data; name="sessionid"\r\n\r\ne2e\r\n' "$BOUNDARY"
        printf -- '--%s\r\nContent-Disposition: form-data; name="filedata"; filename="upload.pem"\r\n' "$BOUNDARY"
        printf 'Content-Type: application/octet-stream\r\n\r\n'
        cat "$file"
        printf -- '\r\n--%s--\r\n' "$BOUNDARY"
    } >"$out"
}
BODY_OVERHEAD=$(make_body /dev/null /dev/stdout | wc -c)

# post PROGRAM NAME CURL-ARGS...: the answer goes to answers/NAME, its HTTP
# status to answers/NAME.status ("000" when there was none).
post() {
    local program=$1 name=$2
    shift 2
    curl -sS --max-time 60 -o "$work/answers/$name" -w '%{http_code}' "$@" \
        "${HOST_URL}cgi-bin/$program" >"$work/answers/$name.status" 2>"$work/answers/$name.err"
}

answered() {
    local name=$1 code=$2
    [ "$(cat "$work/answers/$name.status")" = 200 ] &&
        cmp -s "$work/answers/$name" <(printf '{ "errcode": %s }\r\n\r\n' "$code")
}

# The program wrote nothing: the host sent an error of its own or nothing.
unanswered() {
    local name=$1
    [ "$(cat "$work/answers/$name.status")" != 200 ] && ! grep -qs errcode "$work/answers/$name"
}

mode_is() {
    [ "$(stat -c %a "$1")" = "$2" ]
}

set_target() {
    printf 'previous %s\n' "$1" >"$target/$1"
    chmod "${2:-644}" "$target/$1"
    cp -p "$target/$1" "$work/files/$1.before"
}

untouched() {
    cmp -s "$target/$1" "$work/files/$1.before"
}

spool_names() {
    find /tmp -maxdepth 1 -name 'nubo-upload.*' 2>/dev/null | sort
}

# Pids of the programs this server is running right now.
running_programs() {
    local p exe
    for p in /proc/[0-9]*; do
        exe=$(readlink "$p/exe" 2>/dev/null) || continue
        case $exe in "$HOST_CGI_DIR"/*) echo "${p#/proc/}" ;; esac
    done
}

holds_spool() {
    local fd
    for fd in /proc/"$1"/fd/*; do
        [[ $(readlink "$fd" 2>/dev/null) =~ ^/tmp/nubo-upload\.[A-Za-z0-9]{6}\ \(deleted\)$ ]] && return 0
    done
    return 1
}

# wait_until SECONDS COMMAND...: polls until the command succeeds (the
# 802.1X library's poll, sourced above).
wait_until() { eap_wait "$@"; }

no_programs_running() {
    [ -z "$(running_programs)" ]
}

program_holds_spool() {
    local p
    for p in $(running_programs); do
        holds_spool "$p" && return 0
    done
    return 1
}

spool_before=$(spool_names)

# --- nothing left behind, then the summary ----------------------------------------
finish() {
    check "no program is left running" wait_until 10 no_programs_running
    check "no spool file name is left in /tmp" test "$(spool_names)" = "$spool_before"
    # The programs' standard error ends up in the server's logs.
    check "no program reported an error" \
        test -z "$(cat "$work/host/host.log" "$work/host/error.log" 2>/dev/null | grep -e Sanitizer -e 'runtime error:')"
    host_stop
    echo "$kind: $passed passed, $failed failed"
    [ $failed = 0 ] || exit 1
    # The uploads are kept for a look only when something failed.
    rm -rf "$work/files"
    exit 0
}

# --- the content check: real files as curl sends them ---------------------------
content_row() {
    local program=$1 file=$2 code=$3 name=$1-$2 target_file=${target_of[$1]}
    set_target "$target_file" 600
    post "$program" "$name" -F sessionid=e2e -F "filedata=@$keys/$file"
    check "$file in $program is answered $code" answered "$name" "$code"
    if [ "$code" = 0 ]; then
        check "$file in $program is stored" cmp -s "$target/$target_file" "$keys/$file"
    else
        check "$file in $program leaves the target" untouched "$target_file"
    fi
}
if [ -n "$keys" ]; then
    content_row upload-ca-cert bundle.pem 0
    content_row upload-ca-cert2 encrypted.pem -7006
    content_row upload-client-cert bag.pem -7006
    content_row upload-client-cert2 client.der 0
    content_row upload-priv bag.pem 0
    content_row upload-priv2 picture.png -7006
    finish
fi

# --- 802.1X: the device's client authenticates with what was stored -----------
# hostapd and wpa_supplicant in two network namespaces (8021x.sh), the
# client's network block naming the six targets. Every row starts from a
# device with nothing stored and gives it an identity; the rest of the row
# then changes the files and asks the client again.
pki=$(dirname "$work")/8021x-pki
eap_says() {
    local out
    out=$(eap_check 30)
    echo "# 802.1X: $out"
    [ "$out" = "$1" ] || [[ $1 = failed && $out = failed:* ]]
}
# The status program's answer shows PATTERN (extended regular expression)
# within 30 seconds.
AUTHORIZED='suppPortStatus=Authorized'
status_says() {
    local deadline=$((SECONDS + 30))
    until curl -s -m 10 "${HOST_URL}cgi-bin/upload-status" | grep -Eq "$1"; do
        [ $SECONDS -lt "$deadline" ] || return 1
        sleep 0.3
    done
}
eap_upload() { # PROGRAM FILE [CODE]
    post "$1" "eap-$1" -F sessionid=e2e -F "filedata=@$2"
    check "$(basename "$2") in $1 is answered ${3:-0}" answered "eap-$1" "${3:-0}"
}
if [ -n "$eap_row" ]; then
    mode=tls
    [[ $eap_row = slot2-* ]] && mode=${eap_row#slot2-}
    if ! eap_pki "$pki" || ! eap_start "$work/eap" "$target" "$pki" "$mode"; then
        check "hostapd and wpa_supplicant start" false
        finish
    fi
    # Programs built with the reload (E2E_CLIENT_CTRL, the socket they were
    # built to reach) find this run's client there, in this run's own mount
    # namespace.
    if [ -n "${E2E_CLIENT_CTRL:-}" ]; then
        ctrl_dir=$(dirname "$E2E_CLIENT_CTRL")
        mkdir -p "$ctrl_dir" && mount -t tmpfs -o size=64k tmpfs "$ctrl_dir" &&
            ln -s "$EAP_CTRL/wpa_supplicant/$EAP_IF_DEV" "$E2E_CLIENT_CTRL" || exit 1
    fi
    check "with nothing stored the client does not authenticate" eap_says failed
    eap_upload upload-ca-cert "$pki/ca.pem"
    if [ "$mode" = tls ]; then
        eap_upload upload-client-cert "$pki/client.pem"
        if [ "$eap_row" = status ]; then
            # The authenticator holds off a client it refused for a minute, as
            # a switch port does; its memory goes, the device is not helped.
            eap_forget
            eap_upload upload-priv "$pki/client.key"
            check "the programs reload the client: the status says it authenticates" status_says "$AUTHORIZED"
        else
            eap_upload upload-priv "$pki/client.key"
            check "the client authenticates with slot 1 by EAP-TLS" eap_says "authenticated CN=device"
        fi
    else
        # The tunnel's server is checked against slot 1's CA; inside it,
        # EAP-TLS with slot 2's files, here the EC identity.
        eap_upload upload-ca-cert2 "$pki/ca.pem"
        eap_upload upload-client-cert2 "$pki/client-ec.pem"
        eap_upload upload-priv2 "$pki/client-ec.key"
        check "the client authenticates with slot 2 by ${mode^^} and inner EAP-TLS" \
            eap_says "authenticated CN=device-ec"
    fi
    case $eap_row in
    new-identity)
        eap_upload upload-priv "$pki/client-ec.key"
        eap_upload upload-client-cert "$pki/client-ec.pem"
        check "the client authenticates as the new identity" eap_says "authenticated CN=device-ec"
        ;;
    body-cut)
        # The new key's body stops short of its end, then the connection closes.
        make_body "$pki/client-ec.key" "$work/files/cut.body"
        length=$(stat -c %s "$work/files/cut.body")
        exec 3<>"/dev/tcp/127.0.0.1/$HOST_PORT"
        printf 'POST /cgi-bin/upload-priv HTTP/1.1\r\nHost: 127.0.0.1\r\n' >&3
        printf 'Content-Type: multipart/form-data; boundary=%s\r\nContent-Length: %s\r\n\r\n' "$BOUNDARY" "$length" >&3
        head -c $((length - 100)) "$work/files/cut.body" >&3
        check "the cut upload's program holds a part of the new key" wait_until 10 program_holds_spool
        exec 3>&-
        check "after the cut upload, no program is running" wait_until 10 no_programs_running
        check "after a cut upload the client authenticates with the previous files" \
            eap_says "authenticated CN=device"
        ;;
    etc-full)
        # A key that passes any content check, with certificates beside it,
        # too large for what is left of the target's file system.
        { cat "$pki/client-ec.key"; for _ in $(seq 1 100); do cat "$pki/client-ec.pem"; done; } >"$work/files/large.key"
        eap_upload upload-priv "$work/files/large.key" -7004
        check "after /etc filled up the client authenticates with the previous files" \
            eap_says "authenticated CN=device"
        ;;
    key-in-ca-slot.check-on)
        eap_upload upload-ca-cert "$pki/client.key" -7006
        check "the key refused, the client still authenticates" eap_says "authenticated CN=device"
        ;;
    key-in-ca-slot.check-off)
        # What the content check is for: stored, answered 0, and useless.
        eap_upload upload-ca-cert "$pki/client.key" 0
        check "with a key as its CA the client no longer authenticates" eap_says failed
        ;;
    status)
        check "the status shows the key's public half, the certificate's" status_says \
            "\"modulus\":\"$(openssl x509 -in "$pki/client.pem" -noout -modulus | sed 's/.*=/00/' | tr A-F a-f)\""
        eap_upload upload-priv "$pki/client-ec.key"
        check "a key of another identity: the status shows its EC point, and the client failing" \
            status_says '"file":"8021x-priv"[^}]*"point":"04.*suppPortStatus=Unauthorized'
        openssl pkcs8 -topk8 -in "$pki/client.key" -passout pass:secret -out "$work/files/encrypted.key" 2>/dev/null
        eap_upload upload-priv "$work/files/encrypted.key"
        check "an encrypted key: the status says so and shows no public half" \
            status_says '"file":"8021x-priv","present":true,"size":[0-9]*,"mtime":[0-9]*,"form":"ENCRYPTED PRIVATE KEY","encrypted":true}'
        rm "$target/8021x-priv"
        check "a slot emptied by hand is empty" status_says '"file":"8021x-priv","present":false}'
        # A client that takes the command and never answers: the status
        # still answers, at once, and changes nothing.
        rm "$E2E_CLIENT_CTRL"
        python3 -c 'import socket, sys, time
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM); s.bind(sys.argv[1]); time.sleep(60)' "$E2E_CLIENT_CTRL" &
        silent=$!
        eap_wait 10 test -S "$E2E_CLIENT_CTRL"
        before=$(ls -l --time-style=+%s.%N "$target" | sha256sum)
        started=$SECONDS
        check "a client that never answers: the status says so" status_says '"client":"no answer"'
        check "within seconds" [ $((SECONDS - started)) -le 5 ]
        check "and nothing of the slots changed" [ "$(ls -l --time-style=+%s.%N "$target" | sha256sum)" = "$before" ]
        kill "$silent"
        ;;
    slot1-tls | slot2-peap | slot2-ttls) ;;
    *) check "row $eap_row is one of the table" false ;;
    esac
    finish
fi

# --- posts that a browser marks as coming from another site ------------------
# The host must hand the browser's headers on; curl stands in for the browser.
# uhttpd passes Origin and Referer, never Sec-Fetch-Site: there the marked
# post carries the Origin a browser sends beside it. auth: the session field
# each post carries where the programs check one.
# forbidden NAME CODE: the program's own refusal, sent as 403.
forbidden() {
    [ "$(cat "$work/answers/$1.status")" = 403 ] &&
        cmp -s "$work/answers/$1" <(printf '{ "errcode": %s }\r\n\r\n' "$2")
}
refused_cross_site() { forbidden "$1" -7005; }
auth=()
cross_site_rows() {
    local marked=(-H 'Sec-Fetch-Site: cross-site')
    [ "$kind" = uhttpd ] && marked+=(-H 'Origin: http://evil.example')
    set_target 8021x-priv 600
    printf 'forged key\n' >"$work/files/forged"
    post upload-priv cross-site "${marked[@]}" "${auth[@]}" -F "filedata=@$work/files/forged"
    check "a post marked cross-site is refused with 403 and -7005" refused_cross_site cross-site
    post upload-priv foreign-origin -H 'Origin: http://evil.example' "${auth[@]}" -F "filedata=@$work/files/forged"
    check "a post from a foreign Origin is refused with 403 and -7005" refused_cross_site foreign-origin
    post upload-priv foreign-referer -H 'Referer: http://evil.example/form.html' "${auth[@]}" \
        -F "filedata=@$work/files/forged"
    check "a post from a foreign Referer is refused with 403 and -7005" refused_cross_site foreign-referer
    check "refused cross-site posts leave the target" untouched 8021x-priv
    post upload-priv own-origin -H "Origin: http://127.0.0.1:$HOST_PORT" -H 'Sec-Fetch-Site: same-origin' \
        "${auth[@]}" -F "filedata=@$work/files/forged"
    check "a post from the device's own origin is taken" answered own-origin 0
}

# --- the session check: uhttpd in front, rpcd's sessions -------------------------
# Only a live session with write access to the package's ACL replaces a key;
# every other post is refused with 403 and -7007 and leaves the key.
if [ "$kind" = uhttpd ]; then
    session_call() { "$HOST_OPENWRT/bin/ubus" -s "$HOST_UBUS" call session "$@"; }
    # login USER [SECONDS]: the id of a new session that lasts that long.
    login() {
        session_call login "{\"username\": \"$1\", \"password\": \"$HOST_PASSWORD\", \"timeout\": ${2:-300}}" |
            sed -n 's/.*"ubus_rpc_session": "\([0-9a-f]*\)".*/\1/p'
    }
    # [late=1] session_row WHAT CODE CURL-ARGS...: a new key for upload-priv,
    # the arguments' fields before it (after it with late=1).
    session_row() {
        local what=$1 code=$2 name
        shift 2
        name=session-$((++rows))
        set_target 8021x-priv 600
        make_file "$work/files/$name" 2048
        if [ -n "${late:-}" ]; then
            post upload-priv "$name" -F "filedata=@$work/files/$name;filename=key.pem" "$@"
        else
            post upload-priv "$name" "$@" -F "filedata=@$work/files/$name;filename=key.pem"
        fi
        if [ "$code" = 0 ]; then
            check "$what: answered 0, the key replaced" eval \
                'answered "$name" 0 && cmp -s "$target/8021x-priv" "$work/files/$name"'
        else
            check "$what: refused with 403 and -7007, the key untouched" eval \
                'forbidden "$name" -7007 && untouched 8021x-priv'
        fi
    }
    rows=0
    admin=$(login admin)
    destroyed=$(login admin)
    session_call destroy "{\"ubus_rpc_session\": \"$destroyed\"}"
    expired=$(login admin 1)
    viewer=$(login viewer)
    check "rpcd logs admin and viewer in" test "${#admin}${#destroyed}${#expired}${#viewer}" = 32323232
    made_up=$(head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n')
    sleep 2
    session_row "an admin's session" 0 -F "sessionid=$admin"
    session_row "no sessionid" -7007
    session_row "a made-up id" -7007 -F "sessionid=$made_up"
    session_row "an admin's id and a byte more" -7007 -F "sessionid=${admin}0"
    session_row "a destroyed session" -7007 -F "sessionid=$destroyed"
    session_row "an expired session" -7007 -F "sessionid=$expired"
    session_row "a session that may only read" -7007 -F "sessionid=$viewer"
    late=1 session_row "an admin's session after the file" -7007 -F "sessionid=$admin"
    # The status program asks the same of the session its query names.
    post upload-status status-none
    post "upload-status?sessionid=$viewer" status-viewer
    post "upload-status?sessionid=$admin" status-admin
    check "the status without a session, or with one that may only read: 403 and -7007" eval \
        'forbidden status-none -7007 && forbidden status-viewer -7007'
    check "the status with an admin's session: the slots" grep -q '^{"slots":\[{"file":"8021x-client-cert"' \
        "$work/answers/status-admin"
    auth=(-F "sessionid=$admin")
    cross_site_rows
    host_stop_pid "$HOST_UBUSD_PID"
    session_row "an admin's session, ubusd stopped" -7007 -F "sessionid=$admin"
    finish
fi

# --- every program replaces its own target --------------------------------
i=0
for program in "${programs[@]}"; do
    file=${target_of[$program]}
    set_target "$file"
    size=$((300 * 1024 + i * 1001))
    # Above the 8 MiB of the others: the CA slots take more.
    [ "$program" = upload-ca-cert ] && size=$((9 * MIB))
    make_file "$work/files/$program" "$size"
    post "$program" "ok-$program" -F sessionid=e2e -F "filedata=@$work/files/$program;filename=upload.pem"
    check "$program answers 0" answered "ok-$program" 0
    check "$program target equals the upload" cmp -s "$target/$file" "$work/files/$program"
    check "$program target has mode 0600" mode_is "$target/$file" 600
    i=$((i + 1))
done

# --- the multi-call program, named by the link the server starts -------------
# Each server passes the path it runs, or its base name, as argv[0]; the
# program must pick its profile from the link's name, not from its own.
if [ -d "$work/cgi/multicall" ]; then
    for program in "${programs[@]}"; do
        file=${target_of[$program]}
        set_target "$file"
        make_file "$work/files/multicall-$program" $((4096 + ${#file}))
        post "multicall/$program" "multicall-$program" -F sessionid=e2e \
            -F "filedata=@$work/files/multicall-$program;filename=upload.pem"
        check "multicall/$program answers 0" answered "multicall-$program" 0
        check "multicall/$program replaces its own target" \
            cmp -s "$target/$file" "$work/files/multicall-$program"
    done
    set_target 8021x-priv 600
    post multicall/nubo-upload multicall-unnamed -F sessionid=e2e \
        -F "filedata=@$work/files/multicall-upload-priv;filename=upload.pem"
    check "under its own name the multi-call program answers nothing" unanswered multicall-unnamed
    check "under its own name the multi-call program leaves the targets" untouched 8021x-priv
fi

# --- size limit -----------------------------------------------------------
set_target 8021x-priv 600
make_file "$work/files/at-limit" $((SMALL_LIMIT - BODY_OVERHEAD))
make_body "$work/files/at-limit" "$work/files/at-limit.body"
post upload-priv at-limit -H "Content-Type: multipart/form-data; boundary=$BOUNDARY" \
    --data-binary "@$work/files/at-limit.body"
check "a body of exactly 8 MiB is taken" answered at-limit 0
check "a body of exactly 8 MiB replaces the target" cmp -s "$target/8021x-priv" "$work/files/at-limit"

set_target 8021x-priv 600
make_file "$work/files/over-limit" $((SMALL_LIMIT - BODY_OVERHEAD + 1))
make_body "$work/files/over-limit" "$work/files/over-limit.body"
post upload-priv over-limit -H "Content-Type: multipart/form-data; boundary=$BOUNDARY" \
    --data-binary "@$work/files/over-limit.body"
check "a body one byte over 8 MiB is refused with -7001" answered over-limit -7001
check "a refused body leaves the target" untouched 8021x-priv

# A program that read the body would wait for bytes that are never sent.
announce_only() {
    local program=$1 length=$2 name=$3
    (
        exec 3<>"/dev/tcp/127.0.0.1/$HOST_PORT" || exit 1
        printf 'POST /cgi-bin/%s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n' "$program" >&3
        printf 'Content-Type: multipart/form-data; boundary=%s\r\nContent-Length: %s\r\n\r\n' "$BOUNDARY" "$length" >&3
        printf -- '--%s\r\n' "$BOUNDARY" >&3
        timeout 10 cat <&3 >"$work/answers/$name"
        exec 3>&-
    )
}
if [ $streams = 1 ]; then
    for case in "upload-priv $((SMALL_LIMIT + 1))" "upload-ca-cert $((LARGE_LIMIT + 1))"; do
        set -- $case
        announce_only "$1" "$2" "announce-$1"
        check "$1 refuses a length of $2 before the body is sent" \
            grep -q '{ "errcode": -7001 }' "$work/answers/announce-$1"
    done
fi

# --- answers without a stored file ------------------------------------------
set_target 8021x-client-cert2 600
: >"$work/files/empty"
post upload-client-cert2 empty -F sessionid=e2e -F "filedata=@$work/files/empty;filename=empty.pem"
check "an empty file is refused with -7003" answered empty -7003
check "an empty file leaves the target" untouched 8021x-client-cert2

post upload-client-cert2 not-multipart --data-urlencode filedata=abc
check "a urlencoded form is refused with -7002" answered not-multipart -7002

post upload-client-cert2 no-file-part -F sessionid=e2e
check "a body without a file part gets the host's error, no JSON" unanswered no-file-part
post upload-client-cert2 broken -H "Content-Type: multipart/form-data; boundary=$BOUNDARY" \
    --data-binary 'this is not multipart'
check "a body that is not multipart gets the host's error, no JSON" unanswered broken
check "bodies without a stored file leave the target" untouched 8021x-client-cert2

cross_site_rows

# --- the client goes away halfway ---------------------------------------------
set_target 8021x-ca-cert 600
make_file "$work/files/aborted" $((2 * MIB))
make_body "$work/files/aborted" "$work/files/aborted.body"
abort_upload() {
    local length
    length=$(stat -c %s "$work/files/aborted.body")
    exec 3<>"/dev/tcp/127.0.0.1/$HOST_PORT" || return 1
    printf 'POST /cgi-bin/upload-ca-cert HTTP/1.1\r\nHost: 127.0.0.1\r\n' >&3
    printf 'Content-Type: multipart/form-data; boundary=%s\r\nContent-Length: %s\r\n\r\n' "$BOUNDARY" "$length" >&3
    head -c $((length / 2)) "$work/files/aborted.body" >&3
    if [ $streams = 1 ]; then
        # The program has the upload's first half in its nameless spool.
        check "halfway, the program holds a spool file without a name" wait_until 10 program_holds_spool
    fi
    exec 3>&-
}
abort_upload
check "after the client aborts, the program exits" wait_until 10 no_programs_running
check "after the client aborts, the target is untouched" untouched 8021x-ca-cert

# --- concurrent uploads to one slot -------------------------------------------
set_target 8021x-ca-cert2 644
pids=()
for n in $(seq 1 20); do
    make_file "$work/files/concurrent-$n" $((64 * 1024 * n + n))
    post upload-ca-cert2 "concurrent-$n" -F sessionid="e2e-$n" \
        -F "filedata=@$work/files/concurrent-$n;filename=ca-$n.pem" &
    pids+=($!)
done
for pid in "${pids[@]}"; do
    wait "$pid"
done
all_answered() {
    local n
    for n in $(seq 1 20); do
        answered "concurrent-$n" 0 || return 1
    done
}
equals_exactly_one() {
    local n matches=0
    for n in $(seq 1 20); do
        cmp -s "$target/8021x-ca-cert2" "$work/files/concurrent-$n" && matches=$((matches + 1))
    done
    [ $matches = 1 ]
}
check "20 concurrent uploads each get the answer 0" all_answered
check "after 20 concurrent uploads the target equals exactly one of them" equals_exactly_one
check "after 20 concurrent uploads the target has mode 0600" mode_is "$target/8021x-ca-cert2" 600

finish
