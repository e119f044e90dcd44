# SPDX-License-Identifier: MIT
# Starts and stops a real web server that runs the upload programs as CGI.
# Source it, then:
#   host_start KIND WEB_DIR CGI_DIR RUN_DIR
#       KIND is lighttpd (takes the whole body before it starts the program),
#       lighttpd-stream (passes the body on as it arrives) or busybox.
#       Listens on a free port of 127.0.0.1 and sets HOST_PID (the server's
#       own pid, a child of the calling shell), HOST_PORT, HOST_URL and
#       HOST_CGI_DIR (where the server runs the programs from).
#   host_stop
#       Stops that server by its pid and waits for it.
# Both work under set -e.

host_conf_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
HOST_PID=

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
    busybox)
        # busybox runs whatever lies under DIR/cgi-bin, so it gets a tree of
        # its own with the page and the programs side by side.
        rm -rf "$run/docroot"
        mkdir -p "$run/docroot/cgi-bin"
        cp -R "$web/." "$run/docroot/"
        cp "$cgi"/upload-* "$run/docroot/cgi-bin/"
        # The multi-call program with its links, when there is one.
        if [ -d "$cgi/multicall" ]; then
            cp -RP "$cgi/multicall" "$run/docroot/cgi-bin/"
        fi
        HOST_CGI_DIR=$run/docroot/cgi-bin
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
        host_stop
    done
    echo "host_start: $kind did not start; see $run/host.log" >&2
    return 1
}

host_stop() {
    local i
    [ -n "$HOST_PID" ] || return 0
    kill "$HOST_PID" 2>/dev/null || true
    for i in $(seq 1 100); do
        host_alive "$HOST_PID" || break
        sleep 0.05
    done
    kill -KILL "$HOST_PID" 2>/dev/null || true
    wait "$HOST_PID" 2>/dev/null || true
    HOST_PID=
    return 0
}
