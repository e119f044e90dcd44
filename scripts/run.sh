#!/usr/bin/env bash
# Builds the six programs against a local target directory, serves them and
# the upload page with lighttpd on 127.0.0.1, and runs until Ctrl-C.
#
#   scripts/run.sh [lighttpd | lighttpd-stream | busybox]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
kind=${1:-lighttpd}
scripts/install-deps.sh
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
