# SPDX-License-Identifier: MIT
# Starts and stops a real web server that runs the upload programs as CGI.
# Source it, then:
#   host_start KIND WEB_DIR CGI_DIR RUN_DIR
#       KIND is lighttpd (takes the whole body before it starts the program),
#       lighttpd-stream (passes the body on as it arrives), busybox, or
#       uhttpd (OpenWrt's, with ubusd and rpcd behind its /ubus, built into
#       the prefix HOST_OPENWRT by tests/e2e/openwrt/build.sh; rpcd knows the
#       logins admin, with write access to the package's ACL, and viewer,
#       with read access only, each with the password HOST_PASSWORD). These
#       take /etc/config and /run as on OpenWrt: run the caller through
#       host_private first. Sets HOST_UBUS (the bus's socket) and
#       HOST_UBUSD_PID too.
#       Listens on a free port of 127.0.0.1 and sets HOST_PID (the server's
#       own pid, a child of the calling shell), HOST_PORT, HOST_URL and
#       HOST_CGI_DIR (where the server runs the programs from).
#   host_stop
#       Stops that server by its pid and waits for it.
# Both work under set -e.

host_conf_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
HOST_PID=
HOST_SIDE_PIDS=()
HOST_PASSWORD=nubo-upload-test

# host_private "$@", first thing in a script: runs it again in a mount and
# network namespace of its own, so that what uhttpd's kind mounts over /etc
# and /run, and its port, are seen by nothing else on the machine.
host_private() {
    if [ "${HOST_PRIVATE:-}" != 1 ]; then
        HOST_PRIVATE=1 exec unshare -m -n --propagation private "$0" "$@"
    fi
    ip link set lo up
}

# ubusd and rpcd, with rpcd's logins in an overlay over /etc and a fresh /run.
host_openwrt_bus() {
    local run=$1 prefix=$HOST_OPENWRT i hash
    mkdir -p "$run/layer"
    mount -t tmpfs tmpfs "$run/layer"
    mkdir -p "$run/layer/upper/config" "$run/layer/work"
    hash=$(openssl passwd -1 "$HOST_PASSWORD")
    printf "config login\n\toption username '%s'\n\toption password '%s'\n\tlist read '*'\n\tlist write '%s'\n\n" \
        admin "$hash" nubo-upload viewer "$hash" '!*' >"$run/layer/upper/config/rpcd"
    mount -t overlay overlay -o "lowerdir=/etc,upperdir=$run/layer/upper,workdir=$run/layer/work" /etc
    mount -t tmpfs tmpfs /run
    mkdir /run/ubus
    HOST_UBUS=/run/ubus/ubus.sock
    "$prefix/sbin/ubusd" -s "$HOST_UBUS" >>"$run/ubusd.log" 2>&1 </dev/null &
    HOST_UBUSD_PID=$!
    HOST_SIDE_PIDS+=($!)
    for i in $(seq 1 100); do
        [ -S "$HOST_UBUS" ] && break
        sleep 0.05
    done
    "$prefix/sbin/rpcd" -s "$HOST_UBUS" >>"$run/rpcd.log" 2>&1 </dev/null &
    HOST_SIDE_PIDS+=($!)
    "$prefix/bin/ubus" -s "$HOST_UBUS" -t 10 wait_for session
}

# True while the process runs; a child that has exited stays a zombie until
# it is waited for, and kill -0 would still find it.
host_alive() {
    local stat
    read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != Z ]
}

host_listening() {
    ss -Htlnp "sport = :$1" 2>/dev/null | grep -q "pid=$2,"
}

host_start() {
    local kind=$1 web=$2 cgi=$3 run=$4 attempt port i
    mkdir -p "$run"
    case $kind in
    lighttpd | lighttpd-stream)
        HOST_CGI_DIR=$cgi
        ;;
    busybox | uhttpd)
        # These run whatever lies under DIR/cgi-bin, so they get a tree of
        # their own with the page and the programs side by side.
        rm -rf "$run/docroot"
        mkdir -p "$run/docroot/cgi-bin"
        cp -R "$web/." "$run/docroot/"
        cp "$cgi"/upload-* "$run/docroot/cgi-bin/"
        # The multi-call program with its links, when there is one.
        if [ -d "$cgi/multicall" ]; then
            cp -RP "$cgi/multicall" "$run/docroot/cgi-bin/"
        fi
        HOST_CGI_DIR=$run/docroot/cgi-bin
        if [ "$kind" = uhttpd ]; then
            : >"$run/uhttpd.conf"
            host_openwrt_bus "$run" || return 1
        fi
        ;;
    *)
        echo "host_start: unknown host kind '$kind'" >&2
        return 1
        ;;
    esac

    for attempt in $(seq 1 20); do
        port=$(shuf -i 20000-59999 -n 1)
        case $kind in
        lighttpd | lighttpd-stream)
            local conf=$host_conf_dir/lighttpd.conf
            [ "$kind" = lighttpd-stream ] && conf=$host_conf_dir/lighttpd-stream.conf
            UPLOAD_HOST_PORT=$port UPLOAD_WEB_DIR=$web UPLOAD_CGI_DIR=$HOST_CGI_DIR \
                UPLOAD_HOST_LOG=$run/error.log \
                lighttpd -D -f "$conf" >>"$run/host.log" 2>&1 </dev/null &
            ;;
        busybox)
            busybox httpd -f -p "127.0.0.1:$port" -h "$run/docroot" \
                -c "$host_conf_dir/busybox-httpd.conf" >>"$run/host.log" 2>&1 </dev/null &
            ;;
        uhttpd)
            "$HOST_OPENWRT/bin/uhttpd" -f -p "127.0.0.1:$port" -h "$run/docroot" -x /cgi-bin -u /ubus \
                -U "$HOST_UBUS" -c "$run/uhttpd.conf" >>"$run/host.log" 2>&1 </dev/null &
            ;;
        esac
        HOST_PID=$!
        # A port somebody else holds makes the server exit at once.
        for i in $(seq 1 100); do
            if host_listening "$port" "$HOST_PID"; then
                HOST_PORT=$port
                HOST_URL=http://127.0.0.1:$port/
                return 0
            fi
            host_alive "$HOST_PID" || break
            sleep 0.05
        done
        host_stop_pid "$HOST_PID"
        HOST_PID=
    done
    echo "host_start: $kind did not start; see $run/host.log" >&2
    return 1
}

# Stops one process of ours by its pid and waits for it.
host_stop_pid() {
    local i
    kill "$1" 2>/dev/null || true
    for i in $(seq 1 100); do
        host_alive "$1" || break
        sleep 0.05
    done
    kill -KILL "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

host_stop() {
    local pid
    [ -n "$HOST_PID" ] && host_stop_pid "$HOST_PID"
    HOST_PID=
    for pid in "${HOST_SIDE_PIDS[@]}"; do
        host_stop_pid "$pid"
    done
    HOST_SIDE_PIDS=()
    return 0
}
