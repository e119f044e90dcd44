#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the emulated device from Debian's armhf packages: the kernel and the
# few modules it needs for virtio and ext4, and an initramfs with busybox, the
# six device programs installed the way a firmware build stages them, the
# upload page and the web server's configuration.
#
#   device/build-image.sh [OUT_DIR]      (default build/device-image)
#
# Leaves OUT_DIR/kernel and OUT_DIR/initramfs.cpio. The packages are
# fetched once into build/device-packages and kept there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/build/device-image}")
packages=$root/build/device-packages

# apt's lists may be older than the mirror, or missing. One apt-get for all
# that is missing: each start of it reads the whole package cache.
fetch() {
    [ $# -gt 0 ] || return 0
    (cd "$packages" && { apt-get download "$@" 2>/dev/null || { apt-get update -qq && apt-get download "$@"; }; })
}

# The kernel package is named by its ABI; the meta package says which.
mkdir -p "$packages"
missing=()
if ! ls "$packages"/linux-image-*-armmp_*.deb >/dev/null 2>&1; then
    kernel=$(apt-cache depends linux-image-armmp:armhf | sed -n 's/.*Depends: \(linux-image-[0-9].*-armmp\).*/\1/p' | head -n 1)
    [ -n "$kernel" ] || { echo "build-image: no armhf kernel package known to apt" >&2; exit 1; }
    missing+=("$kernel:armhf")
fi
if ! ls "$packages"/busybox-static_*.deb >/dev/null 2>&1; then
    missing+=(busybox-static:armhf)
fi
# The device's 802.1X client, wpa_supplicant and wpa_cli, and the packages
# of the shared libraries they load (the check below names any missing).
for p in wpasupplicant libc6 libssl3 libdbus-1-3 libnl-3-200 libnl-genl-3-200 libnl-route-3-200 \
    libpcsclite1 libreadline8 libtinfo6 libsystemd0 libcap2 libgcrypt20 libgpg-error0 liblz4-1 liblzma5 libzstd1; do
    ls "$packages/${p}_"*_armhf.deb >/dev/null 2>&1 || missing+=("$p:armhf")
done
fetch "${missing[@]}"
for deb in "$packages"/*.deb; do
    dir=${deb%.deb}
    [ -d "$dir" ] || { dpkg-deb -x "$deb" "$dir.part" && mv "$dir.part" "$dir"; }
done
kernel_dir=$(ls -d "$packages"/linux-image-*-armmp_*/ | head -n 1)
busybox_dir=$(ls -d "$packages"/busybox-static_*/ | head -n 1)
version=$(ls "$kernel_dir/lib/modules")

# The device programs: the device toolchain, the default target /etc, the
# 802.1X client told to reload after each upload; and the tests' helper
# below.
# Ninja for a new build folder (scripts/test.sh says why); one made by
# another generator keeps it.
export CMAKE_GENERATOR=Ninja
cmake -S "$root" -B "$root/build/device-reload" -DUPLOAD_BUILD_TESTS=ON \
    -DUPLOAD_CLIENT_CTRL=/run/wpa_supplicant/lan -DUPLOAD_INSTALL_WEB_DIR=/www \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/armv7-linux-musleabihf.cmake" >/dev/null
cmake --build "$root/build/device-reload" -j 2 >/dev/null

# The flash layouts' helper (UBI volumes, the sendfile probe), device only.
cmake -S "$root/device/tools" -B "$root/build/device-tools" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/armv7-linux-musleabihf.cmake" >/dev/null
cmake --build "$root/build/device-tools" -j 2 >/dev/null

rootfs=$out/rootfs
rm -rf "$rootfs"
mkdir -p "$rootfs"/{bin,sbin,usr/bin,usr/sbin,dev,proc,sys,tmp,etc,run,var/log,lib/device,www}
DESTDIR=$rootfs cmake --install "$root/build/device-reload" --prefix / >/dev/null
# The benchmark's program with the content check, beside the device's own.
cmake -S "$root" -B "$root/build/device-check" -DUPLOAD_CONTENT_CHECK=ON \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/armv7-linux-musleabihf.cmake" >/dev/null
cmake --build "$root/build/device-check" -j 2 --target upload-ca-cert >/dev/null
mkdir -p "$rootfs/lib/device/check"
install -m 0755 "$root/build/device-check/bin/upload-ca-cert" "$rootfs/lib/device/check/"
cp -R "$root/web/." "$rootfs/www/"
cp "$busybox_dir/bin/busybox" "$rootfs/bin/busybox"
# The client with each library it needs, found by the libraries' names the
# way the dynamic loader looks for them, and the loader itself.
libs=$rootfs/lib/arm-linux-gnueabihf
mkdir -p "$libs"
with_libraries() {
    local lib found
    for lib in $(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        [ -e "$libs/$lib" ] && continue
        found=''
        for found in "$packages"/*_armhf/{,usr/}lib/arm-linux-gnueabihf/"$lib"; do
            [ -e "$found" ] && break
        done
        [ -e "$found" ] || { echo "build-image: $lib, which $(basename "$1") needs, is in no package fetched" >&2; exit 1; }
        cp -L "$found" "$libs/$lib"
        with_libraries "$libs/$lib"
    done
}
client_dir=$(ls -d "$packages"/wpasupplicant_*_armhf/ | head -n 1)
for p in wpa_supplicant wpa_cli; do
    install -m 0755 "$client_dir/sbin/$p" "$rootfs/sbin/$p"
    with_libraries "$rootfs/sbin/$p"
done
cp -L "$(ls "$packages"/libc6_*_armhf/lib/ld-linux-armhf.so.3 | head -n 1)" "$rootfs/lib/ld-linux-armhf.so.3"
install -m 0644 "$root/device/wpa_supplicant.conf" "$rootfs/lib/device/"
install -m 0755 "$root/device/init" "$rootfs/init"
install -m 0644 "$root/device/inittab" "$rootfs/etc/inittab"
install -m 0755 "$root/device/rcS" "$root/device/stop" "$root/device/bench" "$rootfs/lib/device/"
install -m 0755 "$root/device/etc-layout" "$root/build/device-tools/flashtool" "$rootfs/lib/device/"
install -m 0600 "$root/device/httpd.conf" "$rootfs/lib/device/httpd.conf"
# The tests' helper that refuses chosen system calls (tests/refuse), built by
# the same device build: the system tests run the programs under it.
install -m 0755 "$root/build/device-reload/tests/refuse/refuse-syscalls" "$rootfs/lib/device/"

# Only the modules for the virtio disk and network and for ext4, with the
# dependency list that modprobe reads.
modules=$rootfs/lib/modules/$version
for m in drivers/virtio/virtio_mmio net/core/failover drivers/net/net_failover drivers/net/virtio_net \
    drivers/block/virtio_blk lib/crc16 fs/mbcache fs/jbd2/jbd2 crypto/crc32c_generic fs/ext4/ext4; do
    mkdir -p "$modules/kernel/$(dirname "$m")"
    cp "$kernel_dir/lib/modules/$version/kernel/$m.ko" "$modules/kernel/$m.ko"
done
# /etc on flash (device/etc-layout): the simulated NAND, UBI and UBIFS with
# the compressors it sets up when it loads, JFFS2, and squashfs below an
# overlay.
for m in drivers/mtd/nand/raw/nandsim drivers/mtd/ubi/ubi fs/ubifs/ubifs lib/zstd/zstd_compress crypto/zstd \
    crypto/deflate fs/jffs2/jffs2 fs/squashfs/squashfs fs/overlayfs/overlay; do
    mkdir -p "$modules/kernel/$(dirname "$m")"
    cp "$kernel_dir/lib/modules/$version/kernel/$m.ko" "$modules/kernel/$m.ko"
done
cp "$kernel_dir/lib/modules/$version"/modules.{order,builtin,builtin.modinfo} "$modules/"
depmod -b "$rootfs" "$version"

# Not compressed: qemu loads it as it is, and the emulated CPU would spend
# half a second of each boot inflating it.
rm -f "$out/vmlinuz" "$out/initramfs.cpio.gz"
(cd "$rootfs" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >"$out/initramfs.cpio.part"
mv "$out/initramfs.cpio.part" "$out/initramfs.cpio"

# The kernel without its decompressor, which spends over a second of each
# emulated boot unpacking the xz stream in the zImage: that stream's Image
# as a uImage, which qemu loads where the Image must run and enters as a
# boot loader enters Linux (r2 the device tree). The Image finds its
# physical memory by subtracting TEXT_OFFSET from where it runs, so it goes
# to the start of qemu's RAM (0x40000000 on virt) plus TEXT_OFFSET: 0x8000
# unless the config holds a platform for which arch/arm/Makefile raises it
# (Debian's has MESON). One boot to busybox in the initramfs proves it;
# failing that, the zImage, which places itself.
zimage=$kernel_dir/boot/vmlinuz-$version
config=$kernel_dir/boot/config-$version
text_offset=0x8000
grep -Eq '^CONFIG_(PM_H1940|ARCH_REALTEK)=y' "$config" && text_offset=0x108000
grep -Eq '^CONFIG_(ARCH_IPQ40XX|ARCH_MSM8X60|ARCH_MSM8960|ARCH_MESON)=y' "$config" && text_offset=0x208000
grep -Eq '^CONFIG_ARCH_AXXIA=y' "$config" && text_offset=0x308000
load=$(printf '0x%x' $((0x40000000 + text_offset)))
image=$out/Image.part
rm -f "$image" "$out/kernel-check.log"
for at in $(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$zimage" | cut -d: -f1); do
    xz -dc --single-stream < <(tail -c +$((at + 1)) "$zimage") >"$image" 2>/dev/null && break
    rm -f "$image"
done
boots_to_busybox() {
    timeout 60 qemu-system-arm -M virt -cpu cortex-a15 -smp 1 -m 256 -kernel "$1" -initrd "$out/initramfs.cpio" \
        -append "console=ttyAMA0 quiet cryptomgr.notests rdinit=/bin/busybox panic=-1" \
        -display none -monitor none -serial stdio -no-reboot </dev/null >"$out/kernel-check.log" 2>&1 || true
    grep -aq '^BusyBox v' "$out/kernel-check.log"
}
if [ -s "$image" ] &&
    mkimage -A arm -O linux -T kernel -C none -a "$load" -e "$load" -n "Linux $version" -d "$image" "$out/kernel.part" >/dev/null &&
    boots_to_busybox "$out/kernel.part"; then
    mv "$out/kernel.part" "$out/kernel"
else
    echo "build-image: no uImage of the kernel's Image that boots at $load (see $out/kernel-check.log); the zImage instead" >&2
    cp "$zimage" "$out/kernel"
fi
rm -f "$image" "$out/kernel.part"
