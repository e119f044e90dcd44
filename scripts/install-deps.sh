#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that
# are missing, so that a fresh machine needs nothing done by hand.
set -euo pipefail

packages=(cmake g++ make libgtest-dev pkg-config util-linux)
# scripts/bench.sh asks for what the benchmarks need as well.
if [ "${1:-}" = bench ]; then
    packages+=(libbenchmark-dev valgrind coreutils)
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi
