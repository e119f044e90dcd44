#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that
# are missing, so that a fresh machine needs nothing done by hand.
set -euo pipefail

packages=(cmake g++ make libgtest-dev pkg-config util-linux)
# The device build: clang and lld cross-compile against armhf musl, and the
# programs run here under qemu-arm.
packages+=(clang lld musl-dev:armhf libclang-rt-14-dev:armhf qemu-user file)
dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi
