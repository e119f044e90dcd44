#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Buildroot package built by the real Buildroot, the one pinned in
# ../shared/third-party/buildroot beside the project, offline, with Debian's
# armhf cross compiler as an external toolchain; then the target tree checked
# as a device would take it, and one program run under qemu-arm with the
# target's own C library against a private /etc.
#   buildroot.sh SOURCE_DIR WORK_DIR PROGRAM...
# WORK_DIR keeps Buildroot and the toolchain folder between runs; each run
# builds the package anew.
set -euo pipefail
src=$(realpath "$1")
work=$(realpath -m "$2")
pinned=$src/../shared/third-party/buildroot
tarball=$(ls "$pinned"/buildroot-*.tar.gz 2>/dev/null | head -n 1 || true)
if [ -z "$tarball" ]; then
    echo "SKIP: no pinned Buildroot in ../shared/third-party/buildroot beside the project"
    exit 77
fi
triple=arm-linux-gnueabihf
gcc_dir=$(echo /usr/lib/gcc-cross/$triple/[0-9]*)
gcc_version=${gcc_dir##*/}
br=$work/buildroot
tc=$work/toolchain
mkdir -p "$work"

# Buildroot itself, unpacked once per pinned tarball.
stamp=$br/.unpacked-$(basename "$tarball")
if [ ! -e "$stamp" ]; then
    rm -rf "$br" && mkdir -p "$br"
    tar -xzf "$tarball" -C "$br"
    touch "$stamp"
fi

# Debian's cross compiler as Buildroot takes an external toolchain: a
# folder of its own with a sysroot (Debian's armhf libraries as /lib, their
# linker scripts naming /lib), gcc's files found through GCC_EXEC_PREFIX,
# and a -v that names that sysroot (a --with-sysroot=/ is refused as a
# distribution's compiler).
if [ ! -e "$tc/.made" ]; then
    rm -rf "$tc"
    mkdir -p "$tc/bin" "$tc/sysroot/usr" "$tc/lib/gcc-cross/$triple/$gcc_version" "$tc/$triple/include"
    cp -a /usr/$triple/include "$tc/sysroot/usr/include"
    cp -a /usr/$triple/lib "$tc/sysroot/lib"
    cp "$gcc_dir/libstdc++.a" "$tc/sysroot/lib/"
    grep -l 'GNU ld script' "$tc"/sysroot/lib/*.so | xargs sed -i "s#/usr/$triple/lib/#/lib/#g"
    ln -s "$gcc_dir"/* "$tc/lib/gcc-cross/$triple/$gcc_version/"
    ln -s /usr/$triple/bin "$tc/$triple/bin"
    ln -s /usr/$triple/include/c++ "$tc/$triple/include/c++"
    for tool in /usr/bin/$triple-*; do
        case $tool in *-[0-9]*|*-gcc|*-g++|*-cpp) ;; *) ln -s "$tool" "$tc/bin/" ;; esac
    done
    for cc in gcc g++ cpp; do
        cat >"$tc/bin/$triple-$cc" <<WRAPPER
#!/bin/sh
if [ "\$*" = -v ]; then
    /usr/bin/$triple-$cc-$gcc_version -v 2>&1 | sed 's#--with-sysroot=/ #--with-sysroot=$tc/sysroot #' >&2
    exit 0
fi
GCC_EXEC_PREFIX=$tc/lib/gcc-cross/ exec /usr/bin/$triple-$cc-$gcc_version --sysroot=$tc/sysroot "\$@"
WRAPPER
        chmod +x "$tc/bin/$triple-$cc"
    done
    touch "$tc/.made"
fi

# Every cmake package needs host-pkgconf, and the last step host-patchelf.
# Offline there is nothing to build them from: local.mk below hands
# Buildroot this machine's own (Debian's packages) in their place.
mkdir -p "$work/no-source"

# A fresh output folder each run, where the README's lines put it (output/
# in the Buildroot folder): the package, its options and the recipe are
# what is under test. Nothing may be downloaded.
out=$br/output
rm -rf "$out" "$br/.config" "$work/dl" "$work/no-site"
mkdir -p "$out" "$work/dl" "$work/no-site"
board=$work/board_defconfig
cat >"$board" <<CONFIG
BR2_arm=y
BR2_cortex_a9=y
BR2_ARM_ENABLE_VFP=y
BR2_ARM_EABIHF=y
BR2_ARM_FPU_VFPV3D16=y
BR2_ARM_INSTRUCTIONS_THUMB2=y
BR2_DL_DIR="$work/dl"
BR2_PRIMARY_SITE="file://$work/no-site"
BR2_PRIMARY_SITE_ONLY=y
BR2_TOOLCHAIN_EXTERNAL=y
BR2_TOOLCHAIN_EXTERNAL_CUSTOM=y
BR2_TOOLCHAIN_EXTERNAL_PREINSTALLED=y
BR2_TOOLCHAIN_EXTERNAL_PATH="$tc"
BR2_TOOLCHAIN_EXTERNAL_CUSTOM_PREFIX="$triple"
BR2_TOOLCHAIN_EXTERNAL_GCC_$gcc_version=y
BR2_TOOLCHAIN_EXTERNAL_HEADERS_6_1=y
BR2_TOOLCHAIN_EXTERNAL_CUSTOM_GLIBC=y
BR2_TOOLCHAIN_EXTERNAL_HAS_SSP=y
BR2_TOOLCHAIN_EXTERNAL_HAS_SSP_STRONG=y
BR2_TOOLCHAIN_EXTERNAL_CXX=y
BR2_TOOLCHAIN_EXTERNAL_OPENMP=y
# BR2_TOOLCHAIN_EXTERNAL_INET_RPC is not set
BR2_INIT_NONE=y
BR2_SYSTEM_BIN_SH_NONE=y
# BR2_PACKAGE_BUSYBOX is not set
# BR2_TARGET_ROOTFS_TAR is not set
CONFIG
# Debian's pkgconf and patchelf as host-pkgconf and host-patchelf, in the
# place Buildroot installs them (its pkg-config wrapper comes on top); and
# the tables of users and permissions, as fs/common.mk writes them for an
# image (which would need more host tools).
cat >"$br/local.mk" <<LOCAL
HOST_PKGCONF_OVERRIDE_SRCDIR = $work/no-source
HOST_PKGCONF_CONFIGURE_CMDS = @:
HOST_PKGCONF_BUILD_CMDS = @:
HOST_PKGCONF_INSTALL_CMDS = mkdir -p \$(HOST_DIR)/bin && ln -sf /usr/bin/pkgconf \$(HOST_DIR)/bin/pkgconf
HOST_PATCHELF_OVERRIDE_SRCDIR = $work/no-source
HOST_PATCHELF_CONFIGURE_CMDS = @:
HOST_PATCHELF_BUILD_CMDS = @:
HOST_PATCHELF_INSTALL_CMDS = mkdir -p \$(HOST_DIR)/bin && ln -sf /usr/bin/patchelf \$(HOST_DIR)/bin/patchelf
nubo-upload-tables:
	\$(call PRINTF,\$(PACKAGES_USERS)) >\$(BASE_DIR)/users.txt
	\$(call PRINTF,\$(PACKAGES_PERMISSIONS_TABLE)) >\$(BASE_DIR)/permissions.txt
LOCAL
# Debian 12's tar is older than this Buildroot wants (it would build its
# own); given on the command line, as local.mk comes too late for it.
make() {
    command make TAR=/usr/bin/tar BR2_TAR_HOST_DEPENDENCY= "$@"
}
built() {
    if ! (cd "$br" && eval "$1") >"$out/build.log" 2>&1; then
        tail -n 30 "$out/build.log"
        echo "FAIL: Buildroot's make (the whole log: $out/build.log)"
        exit 1
    fi
}

fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
target=$out/target
programs=("${@:3}")
# One program and a link per name as CMake names them, needing only the C
# library and its loader, whatever the toolchain's linker keeps of the
# libraries g++ names.
served() {
    [ -f "$target/$1/nubo-upload" ] || fail "no $1/nubo-upload"
    for p in "${programs[@]}"; do
        [ "$(readlink "$target/$1/$p")" = nubo-upload ] || fail "$1/$p is not a link to nubo-upload"
    done
    local needed
    needed=$(readelf -d "$target/$1/nubo-upload" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
    case $needed in
        "libc.so.6 " | "libc.so.6 ld-linux-armhf.so.3 ") ;;
        *) fail "$1/nubo-upload needs $needed" ;;
    esac
}

# The README's lines as a maker types them, in the Buildroot folder (its
# .config and local.mk there, the build in output/), from the checkout (no
# release site set): busybox httpd's folder, as root.
lines=$(awk -v mark='BR2_EXTERNAL=/path/to/nubo-upload/packaging/buildroot' '
    /^```/ { if (inside && index(block, mark)) { printf "%s", block; exit } inside = !inside; block = ""; next }
    inside { block = block $0 "\n" }' "$src/README.md")
[ -n "$lines" ] || { echo "FAIL: no Buildroot lines in the README"; exit 1; }
lines=${lines//\/path\/to\/nubo-upload/$src}
built "${lines//\/path\/to\/your_defconfig/$board}"
grep -qx BR2_PACKAGE_NUBO_UPLOAD_BUSYBOX_HTTPD=y "$br/.config" || fail "the default web server is not busybox httpd"
[ -e "$out"/build/nubo-upload-*/.stamp_rsynced ] || fail "not built from the checkout"
served var/www/data/cgi-bin

# Once more from the release tarball of the commit the hash file names, as
# if downloaded (Buildroot checks its hash), with lighttpd's folder, whose
# www-data brings permissions, and the page.
release=0
"$src/scripts/release.sh" --check "$work/release" || release=$?
site=
case $release in
    0) mkdir -p "$work/dl/nubo-upload" && cp "$work"/release/nubo-upload-*.tar.gz "$work/dl/nubo-upload/"
       site=BR2_PACKAGE_NUBO_UPLOAD_SITE=http://release.invalid ;;
    77) ;;
    *) fail "the release tarball's hash is stale" ;;
esac
sed -i -e '/BR2_PACKAGE_NUBO_UPLOAD_\(BUSYBOX_HTTPD\|LIGHTTPD\|PAGE\)[= ]/d' "$br/.config"
printf '%s\n' BR2_PACKAGE_NUBO_UPLOAD_LIGHTTPD=y BR2_PACKAGE_NUBO_UPLOAD_PAGE=y >>"$br/.config"
built "make olddefconfig && make $site nubo-upload-dirclean all host-makedevs nubo-upload-tables"
[ -z "$site" ] || [ -e "$out"/build/nubo-upload-*/.stamp_downloaded ] || fail "not built from the release tarball"
served var/www/cgi-bin
for f in index.html upload.css upload.js inspect.js; do
    cmp -s "$out"/build/nubo-upload-*/web/$f "$target/var/www/$f" || fail "/var/www/$f is not the page"
done

# The users and permissions as a root file system image gets them, the
# way Buildroot's fs/common.mk applies them: its mkusers and makedevs on a
# copy of the target, under fakeroot.
rootfs=$out/rootfs
cp -a "$target" "$rootfs"
BR2_CONFIG=$br/.config PATH=$out/host/bin:$PATH "$br/support/scripts/mkusers" "$out/users.txt" "$rootfs" >"$out/mkusers.sh"
owners=$(fakeroot -- sh -ec 'chown -h -R 0:0 "$1"; . "$2"; "$3" -d "$4" "$1" >/dev/null
    cd "$1/etc" && stat -c "%n %u:%g %a" 8021x-*' sh "$rootfs" "$out/mkusers.sh" "$out/host/bin/makedevs" "$out/permissions.txt")
ids=$(awk -F: '$1 == "www-data" { print $3 ":" $4 }' "$rootfs/etc/passwd")
expected=$(for f in 8021x-ca-cert 8021x-ca-cert2 8021x-client-cert 8021x-client-cert2 8021x-priv 8021x-priv2; do
    echo "$f $ids 600"; done)
[ -n "$ids" ] && [ "$owners" = "$expected" ] || fail "the six files are not www-data's, mode 600: $owners"

# One upload as lighttpd would run it: the target's loader and C library
# under qemu-arm, in a mount namespace whose /etc is a folder of its own.
etc=$out/private-etc
mkdir -p "$etc"
body=$out/upload.body
{ printf -- '--b0\r\nContent-Disposition: form-data; name="filedata"; filename="c.pem"\r\n\r\n'
  printf 'certificate'
  printf -- '\r\n--b0--\r\n'; } >"$body"
answer=$(unshare --mount --propagation private sh -c 'mount --bind "$1" /etc && shift &&
    exec env -i REQUEST_METHOD=POST CONTENT_TYPE="multipart/form-data; boundary=b0" CONTENT_LENGTH=$(wc -c <"$1") \
    qemu-arm "$2/lib/ld-linux-armhf.so.3" --library-path "$2/lib:$2/usr/lib" --argv0 upload-client-cert \
    "$2/var/www/cgi-bin/upload-client-cert" <"$1"' sh "$etc" "$body" "$target") || true
case $answer in
    *'"errcode": 0'* | *'"errcode":0'*) ;;
    *) fail "upload-client-cert under qemu-arm answered: $answer" ;;
esac
[ "$(cat "$etc/8021x-client-cert" 2>/dev/null)" = certificate ] || fail "the upload is not in the private /etc"

# Buildroot's own style check on the recipe.
(cd "$src/packaging/buildroot" && /usr/bin/python3 "$br/utils/check-package" -b --br2-external \
    external.desc external.mk Config.in package/nubo-upload/*) >"$out/check-package.log" 2>&1 ||
    fail "check-package: $(cat "$out/check-package.log")"
grep -q '^0 warnings generated' "$out/check-package.log" || fail "check-package: $(cat "$out/check-package.log")"

[ "$fails" -eq 0 ] || exit 1
echo "Buildroot built nubo-upload; the target tree checked"
