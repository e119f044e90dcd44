#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages the build and the tests need, only those that
# are missing, so that a fresh machine needs nothing done by hand.
set -euo pipefail

packages=(cmake ninja-build g++ make libgtest-dev pkg-config util-linux)
# Web servers, page and end-to-end tests.
packages+=(lighttpd busybox curl iproute2 chromium nodejs)
# The certificates and keys of the content check's tests.
packages+=(openssl)
# OpenWrt's libubox, ubus, uci, rpcd and uhttpd, which the session check's
# tests build from source.
packages+=(libjson-c-dev)
# The 802.1X tests: the authenticator and the client that reads the stored
# files (the device's own client is fetched as an armhf package instead).
packages+=(hostapd wpasupplicant)
# The device build: clang and lld cross-compile against armhf musl, llvm's
# objcopy drops the section headers, and the programs run here under
# qemu-arm (its static build, which starts faster). musl-dev for this
# machine serves the x86-64 musl build.
# Named with the architecture: asked about plainly, dpkg answers for any.
packages+=(clang lld llvm musl-dev:armhf "musl-dev:$(dpkg --print-architecture)" libclang-rt-14-dev:armhf qemu-user qemu-user-static file)
# The emulated device: its kernel and busybox are fetched as armhf packages
# by device/build-image.sh, never installed; these build and boot it (xz and
# mkimage take the kernel out of its zImage).
packages+=(qemu-system-arm e2fsprogs kmod cpio xz-utils u-boot-tools)
# The read-only image below the overlay layout of the device's /etc.
packages+=(squashfs-tools)
# A device maker's own compiler: Debian's GCC for soft-float ARM and glibc,
# the ABI no other build covers, and for the other CPUs of routers; their
# programs run under qemu-user -L (tests/gcc).
packages+=(g++-arm-linux-gnueabi g++-aarch64-linux-gnu g++-mips-linux-gnu g++-mipsel-linux-gnu
    g++-i686-linux-gnu g++-powerpc-linux-gnu)
# The real Buildroot (tests/packaging/buildroot.sh): Debian's armhf cross
# compiler as its external toolchain, rsync for a local source, fakeroot for
# its users and permissions, pkgconf and patchelf as its host tools, and its
# check-package's Python modules.
packages+=(g++-arm-linux-gnueabihf rsync fakeroot pkgconf patchelf python3-magic python3-flake8)
dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
# scripts/bench.sh asks for what the benchmarks need as well.
if [ "${1:-}" = bench ]; then
    packages+=(libbenchmark-dev)
fi
# Fuzzing (libFuzzer, with the clang above) and the memcheck run of the
# process tests.
packages+=(libclang-rt-14-dev valgrind)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
# Some builds of nodejs bring npm along; Debian's does not.
command -v npm >/dev/null || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    # A mirror in the middle of a sync fails one index; install says whether
    # what is needed was found anyway.
    apt-get update -qq || true
fi
if [ ${#missing[@]} -gt 0 ]; then
    apt-get install -y -qq -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null
fi
# The browser tests' npm packages, here and not in each test: those tests
# run side by side, and two installs into one folder break each other.
browser=$(cd "$(dirname "$0")/../tests/e2e/browser" && pwd)
if [ ! -e "$browser/node_modules/.package-lock.json" ] ||
    [ "$browser/package-lock.json" -nt "$browser/node_modules/.package-lock.json" ]; then
    (cd "$browser" && npm ci --no-audit --no-fund --loglevel=error)
fi
