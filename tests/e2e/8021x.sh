# SPDX-License-Identifier: MIT
# The device's 802.1X client against a real authenticator, over a veth pair
# between two network namespaces, so that a stored file is judged by the
# program that reads it. Source it (bash), then:
#   eap_pki DIR
#       A test PKI made by openssl in DIR: ca.pem ca.key (the CA),
#       server.pem server.key, and two client identities signed by the CA:
#       client.pem client.key (RSA, CN=device) and client-ec.pem
#       client-ec.key (EC P-256, CN=device-ec). Does nothing when DIR holds
#       them all already; safe for two callers at once.
#   eap_start WORK FILES PKI [MODE]
#       Two namespaces joined by a veth pair. In one, hostapd (driver=wired,
#       its own EAP server, server certificate from PKI); in the other,
#       wpa_supplicant (-D wired) whose network block names the files
#       FILES/8021x-ca-cert, 8021x-client-cert, 8021x-priv and
#       8021x-ca-cert2, 8021x-client-cert2, 8021x-priv2. MODE:
#         tls   (default) EAP-TLS with ca_cert, client_cert, private_key
#         peap  PEAP with ca_cert for the tunnel, inner EAP-TLS with the *2 files
#         ttls  the same with TTLS
#       Logs, configurations and control sockets go to WORK. Sets EAP_NS_AUTH
#       and EAP_NS_DEV (the namespaces), EAP_IF_AUTH and EAP_IF_DEV, and
#       EAP_HOSTAPD_PID and EAP_SUPPLICANT_PID. EAP_KEY_PASSWD, when set,
#       is the passphrase of both keys. Returns 1 (and cleans up) when either
#       does not start.
#   eap_check [SECONDS]
#       Has the client read its files again (wpa_cli reconfigure) and waits
#       (default 20 s) for the outcome. Prints "authenticated CN=NAME" (the
#       name in the client certificate the server accepted) and returns 0,
#       or "failed: REASON" and returns 1.
#   eap_authenticator WORK PKI IFACE
#       The authenticator alone, for a client elsewhere (the emulated
#       device's network card, a tap device): IFACE is moved into a namespace
#       of its own and hostapd serves it there as in eap_start.
#   eap_log_mark, eap_authenticated_as MARK
#       The first prints a mark in the authenticator's log; the second
#       prints "CN=NAME" when a client authenticated after it, the name in
#       the certificate the authenticator accepted (the inner one of PEAP
#       and TTLS), and nothing otherwise.
#   eap_forget
#       The authenticator forgets its clients: one it refused is otherwise
#       not heard for a minute.
#   eap_stop
#       Stops both daemons by pid and deletes the namespaces. Safe to call
#       twice; callers install it as (part of) their EXIT trap.
# All of them work under set -e. Needs root, ip (iproute2), openssl, hostapd, wpa_supplicant and wpa_cli.

EAP_NS_AUTH='' EAP_NS_DEV='' EAP_IF_AUTH='' EAP_IF_DEV=''
EAP_HOSTAPD_PID='' EAP_SUPPLICANT_PID=''
EAP_WORK='' EAP_CTRL='' EAP_CTRL_OWN=''

eap_pki() {
    local dir=$1 tmp f
    local all=(ca.pem ca.key server.pem server.key client.pem client.key client-ec.pem client-ec.key)
    eap_pki_complete() { for f in "${all[@]}"; do [ -s "$dir/$f" ] || return 1; done; }
    eap_pki_complete && return 0
    mkdir -p "$dir"
    # Made aside and renamed into place: a second caller meanwhile sees
    # either nothing or whole files of one PKI.
    tmp=$(mktemp -d "$dir/.pki.XXXXXX") || return 1
    (
        set -e
        cd "$tmp"
        openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 \
            -subj "/CN=nubo test CA" -addext basicConstraints=critical,CA:TRUE \
            -addext keyUsage=critical,keyCertSign,cRLSign
        leaf() { # NAME CN USAGE KEYARGS...
            local name=$1 cn=$2 usage=$3
            shift 3
            openssl req -new "$@" -nodes -keyout "$name.key" -out "$name.csr" -subj "/CN=$cn"
            printf 'extendedKeyUsage=%s\nbasicConstraints=CA:FALSE\n' "$usage" >"$name.ext"
            openssl x509 -req -in "$name.csr" -CA ca.pem -CAkey ca.key -days 3650 \
                -set_serial "0x$(openssl rand -hex 8)" -extfile "$name.ext" -out "$name.pem"
        }
        leaf server server serverAuth -newkey rsa:2048
        leaf client device clientAuth -newkey rsa:2048
        leaf client-ec device-ec clientAuth -newkey ec -pkeyopt ec_paramgen_curve:P-256
    ) >"$tmp/log" 2>&1 || { cat "$tmp/log" >&2; rm -rf "$tmp"; return 1; }
    # The CA last: whoever finds it finds the rest.
    if ! eap_pki_complete; then
        for f in "${all[@]}"; do [ "$f" = ca.pem ] || mv -f "$tmp/$f" "$dir/$f"; done
        mv -f "$tmp/ca.pem" "$dir/ca.pem"
    fi
    rm -rf "$tmp"
}

# The network block of MODE for the six files in FILES.
eap_network() {
    local mode=$1 files=$2 line
    local lines=(key_mgmt=IEEE8021X identity=\"device\" "ca_cert=\"$files/8021x-ca-cert\"" eapol_flags=0)
    case $mode in
    tls) lines+=(eap=TLS "client_cert=\"$files/8021x-client-cert\"" "private_key=\"$files/8021x-priv\"") ;;
    peap) lines+=(eap=PEAP phase2=\"auth=TLS\") ;;
    ttls) lines+=(eap=TTLS phase2=\"autheap=TLS\") ;;
    *) echo "eap_network: unknown mode $mode" >&2 && return 1 ;;
    esac
    [ "$mode" = tls ] || lines+=(anonymous_identity=\"anonymous\" "ca_cert2=\"$files/8021x-ca-cert2\""
        "client_cert2=\"$files/8021x-client-cert2\"" "private_key2=\"$files/8021x-priv2\"")
    [ -z "${EAP_KEY_PASSWD:-}" ] ||
        lines+=("private_key_passwd=\"$EAP_KEY_PASSWD\"" "private_key2_passwd=\"$EAP_KEY_PASSWD\"")
    echo 'network={'
    for line in "${lines[@]}"; do echo "    $line"; done
    echo '}'
}

eap_wait() { # SECONDS COMMAND...
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

# eap_spawn PIDVAR SOCKET NS COMMAND...: a daemon in NS, its log in
# WORK/COMMAND.log; ready once its control socket is there, else all stops.
eap_spawn() {
    local pidvar=$1 socket=$2 ns=$3 name=$4
    shift 3
    ip netns exec "$ns" "$@" >"$EAP_WORK/$name.log" 2>&1 &
    printf -v "$pidvar" %s $!
    eap_wait 20 test -S "$socket" && return 0
    echo "$name did not start:" >&2
    tail -n 5 "$EAP_WORK/$name.log" >&2
    eap_stop
    return 1
}

eap_authenticator() {
    local work=$1 pki=$2 iface=$3
    EAP_WORK=$(realpath -m "$work") pki=$(realpath -m "$pki")
    mkdir -p "$EAP_WORK"
    EAP_NS_AUTH=eap-auth-$BASHPID.$RANDOM EAP_IF_AUTH=$iface
    # A socket's path is at most 107 bytes.
    EAP_CTRL=$EAP_WORK/ctrl EAP_CTRL_OWN=''
    if [ ${#EAP_CTRL} -gt 70 ]; then
        EAP_CTRL=$(mktemp -d /tmp/eap-ctrl.XXXXXX) EAP_CTRL_OWN=1
    fi
    mkdir -p "$EAP_CTRL"
    if ! { ip netns add "$EAP_NS_AUTH" && ip link set "$iface" netns "$EAP_NS_AUTH" &&
        ip -n "$EAP_NS_AUTH" link set "$iface" up; }; then
        eap_stop
        return 1
    fi
    printf '%s\n' '* TLS,PEAP,TTLS' '"device" TLS [2]' >"$EAP_WORK/hostapd.eap_user"
    cat >"$EAP_WORK/hostapd.conf" <<CONF
interface=$iface
driver=wired
ctrl_interface=$EAP_CTRL/hostapd
ieee8021x=1
eap_reauth_period=0
eap_server=1
eap_user_file=$EAP_WORK/hostapd.eap_user
ca_cert=$pki/ca.pem
server_cert=$pki/server.pem
private_key=$pki/server.key
logger_stdout=-1
logger_stdout_level=0
CONF
    # -d: the server's log names the certificate it verified; -t: when.
    eap_spawn EAP_HOSTAPD_PID "$EAP_CTRL/hostapd/$iface" "$EAP_NS_AUTH" hostapd -d -t "$EAP_WORK/hostapd.conf"
}

eap_start() {
    local work=$1 files=$2 pki=$3 mode=${4:-tls}
    files=$(realpath -m "$files")
    # Interface names are at most 15 bytes; the pid (of a subshell too) keeps
    # parallel runs apart.
    EAP_NS_DEV=eap-dev-$BASHPID.$RANDOM EAP_IF_DEV=ed$BASHPID
    if ! { ip netns add "$EAP_NS_DEV" &&
        ip link add "ea$BASHPID" type veth peer name "$EAP_IF_DEV" netns "$EAP_NS_DEV" &&
        ip -n "$EAP_NS_DEV" link set "$EAP_IF_DEV" up; }; then
        ip link del "ea$BASHPID" 2>/dev/null || true
        eap_stop
        return 1
    fi
    eap_authenticator "$work" "$pki" "ea$BASHPID" || return 1
    {
        printf 'ctrl_interface=%s\nap_scan=0\n' "$EAP_CTRL/wpa_supplicant"
        eap_network "$mode" "$files"
    } >"$EAP_WORK/wpa_supplicant.conf" || { eap_stop; return 1; }
    eap_spawn EAP_SUPPLICANT_PID "$EAP_CTRL/wpa_supplicant/$EAP_IF_DEV" "$EAP_NS_DEV" \
        wpa_supplicant -d -D wired -i "$EAP_IF_DEV" -c "$EAP_WORK/wpa_supplicant.conf"
}

eap_log_mark() {
    wc -l <"$EAP_WORK/hostapd.log"
}

# The last client certificate verified before a success: the inner one
# comes after the tunnel's.
eap_authenticated_as() {
    tail -n +"$(($1 + 1))" "$EAP_WORK/hostapd.log" | sed -n \
        -e "s/.*tls_verify_cb.*preverify_ok=1 .*depth=0 buf='.*\/CN=\([^/']*\).*/\1/p" \
        -e 's/.*CTRL-EVENT-EAP-SUCCESS .*/success/p' |
        awk '$0 == "success" { if (cn != "") ok = cn; next } { cn = $0 } END { if (ok != "") print "CN=" ok }'
}

eap_names_client() {
    [ -n "$(eap_authenticated_as "$1")" ]
}

eap_forget() {
    local sta
    for sta in $(ip netns exec "$EAP_NS_AUTH" hostapd_cli -p "$EAP_CTRL/hostapd" -i "$EAP_IF_AUTH" list_sta 2>/dev/null); do
        ip netns exec "$EAP_NS_AUTH" hostapd_cli -p "$EAP_CTRL/hostapd" -i "$EAP_IF_AUTH" deauthenticate "$sta" >/dev/null || true
    done
}

eap_cli() {
    ip netns exec "$EAP_NS_DEV" wpa_cli -p "$EAP_CTRL/wpa_supplicant" -i "$EAP_IF_DEV" "$@"
}

# The outcome in the client's log read from standard input: "ok" or "fail"
# at the first line that tells, nothing when the input ends before one.
eap_outcome() {
    case $(grep -m 1 -o -E 'CTRL-EVENT-EAP-(SUCCESS|FAILURE)|EAP: Failed to initialize EAP method|TLS: Failed to set TLS connection parameters') in
    CTRL-EVENT-EAP-SUCCESS) echo ok ;;
    ?*) echo fail ;;
    esac
}

eap_check() {
    local timeout=${1:-20} from_sup from_auth follow follower outcome cn reason
    from_sup=$(($(wc -l <"$EAP_WORK/wpa_supplicant.log") + 1))
    from_auth=$(eap_log_mark)
    # A fresh start each time, whatever the last outcome was.
    eap_forget
    if ! eap_cli reconfigure >/dev/null; then
        echo "failed: wpa_cli reconfigure"
        return 1
    fi
    # Waits on the log itself (tail follows it by inotify) rather than
    # looking every fifth of a second: each look starts processes, and
    # starting processes is what the checks spend most of their time on.
    exec {follow}< <(exec timeout "$timeout" tail -n +"$from_sup" -f "$EAP_WORK/wpa_supplicant.log")
    follower=$!
    outcome=$(eap_outcome <&"$follow")
    kill "$follower" 2>/dev/null || true
    exec {follow}<&-
    if [ "$outcome" = ok ]; then
        # The server may log its side a moment after the client.
        eap_wait 5 eap_names_client "$from_auth"
        cn=$(eap_authenticated_as "$from_auth")
        echo "authenticated ${cn:-CN=?}"
        return 0
    fi
    # The client's own words first: why it could not use its files.
    reason=$(tail -n +"$from_sup" "$EAP_WORK/wpa_supplicant.log" |
        grep -E -m 1 'TLS: Failed to (load|read)|CTRL-EVENT-EAP-TLS-CERT-ERROR|TLS: Failed|EAP: Failed' |
        sed "s/^$EAP_IF_DEV: //")
    [ -n "$reason" ] || reason=$(tail -n +"$from_sup" "$EAP_WORK/wpa_supplicant.log" | grep -m 1 'CTRL-EVENT-EAP-FAILURE')
    [ -n "$reason" ] || { [ -z "$outcome" ] && reason="no outcome within ${timeout}s"; }
    echo "failed: ${reason:-EAP failure}"
    return 1
}

eap_stop() {
    local pid
    for pid in $EAP_SUPPLICANT_PID $EAP_HOSTAPD_PID; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in $EAP_SUPPLICANT_PID $EAP_HOSTAPD_PID; do
        eap_wait 10 eap_gone "$pid" || kill -9 "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    EAP_SUPPLICANT_PID='' EAP_HOSTAPD_PID=''
    # Deleting a namespace deletes the veth pair or tap device in it.
    if [ -n "$EAP_NS_AUTH" ]; then ip netns del "$EAP_NS_AUTH" 2>/dev/null || true; fi
    if [ -n "$EAP_NS_DEV" ]; then ip netns del "$EAP_NS_DEV" 2>/dev/null || true; fi
    EAP_NS_AUTH='' EAP_NS_DEV=''
    if [ -n "$EAP_CTRL_OWN" ]; then rm -rf "$EAP_CTRL"; fi
    EAP_CTRL_OWN=''
    return 0
}

# An exited child stays a zombie until it is waited for.
eap_gone() {
    local stat
    read -r stat 2>/dev/null <"/proc/$1/stat" || return 0
    stat=${stat##*) }
    [ "${stat%% *}" = Z ]
}
