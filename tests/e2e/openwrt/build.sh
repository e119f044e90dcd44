#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds OpenWrt's libubox, ubus, uci, rpcd and uhttpd from the pinned
# sources into OUT_DIR/prefix (once: again only when the sources change),
# then the six programs with UPLOAD_SESSION_CHECK=ubus against that prefix
# into OUT_DIR/programs, as an OpenWrt package would build them.
#
# Usage: build.sh SOURCE_DIR OUT_DIR
#   SOURCE_DIR  the pinned tarballs (../shared/third-party/openwrt from the
#               project's root); exits 77, skipped, when it is absent
set -euo pipefail
sources=$1 out=$(realpath -m "$2")
root=$(cd "$(dirname "$0")/../../.." && pwd)
if [ ! -d "$sources" ]; then
    echo "skipped: no OpenWrt sources at $sources (../shared/third-party beside the project)"
    exit 77
fi
sources=$(realpath "$sources")
prefix=$out/prefix
jobs=$(nproc)

stamp=$(cd "$sources" && sha256sum -- *.tar.gz)
if [ "$(cat "$prefix/.sources" 2>/dev/null)" != "$stamp" ]; then
    rm -rf "$out/src" "$out/build" "$prefix"
    mkdir -p "$out/src" "$prefix"
    for tarball in "$sources"/*.tar.gz; do
        tar -xzf "$tarball" -C "$out/src"
    done
    # The installed programs find the prefix's libraries without
    # LD_LIBRARY_PATH, which uhttpd clears for a CGI. Built unoptimised and
    # without their -g3, which their own flags set past the build type's:
    # nothing here debugs or times them, and it takes a fifth off the build.
    common=("-DCMAKE_C_COMPILE_OBJECT=<CMAKE_C_COMPILER> <DEFINES> <INCLUDES> <FLAGS> -O0 -g0 -o <OBJECT> -c <SOURCE>"
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_INSTALL_PREFIX="$prefix"
        -DCMAKE_INSTALL_RPATH="$prefix/lib")
    # Ninja, as scripts/test.sh builds: make's own steps cost a third more.
    build() {
        local name=$1
        shift
        cmake -G Ninja -S "$out/src/$name" -B "$out/build/$name" "${common[@]}" "$@" >"$out/build-$name.log" 2>&1
        cmake --build "$out/build/$name" -j "$jobs" >>"$out/build-$name.log" 2>&1
        cmake --install "$out/build/$name" >>"$out/build-$name.log" 2>&1
    }
    build libubox -DBUILD_LUA=OFF -DBUILD_EXAMPLES=OFF
    build ubus -DBUILD_LUA=OFF -DBUILD_EXAMPLES=OFF
    build uci -DBUILD_LUA=OFF
    build rpcd -DIWINFO_SUPPORT=OFF -DUCODE_SUPPORT=OFF -DFILE_SUPPORT=OFF -DRPCSYS_SUPPORT=OFF
    build uhttpd -DUCODE_SUPPORT=OFF -DLUA_SUPPORT=OFF -DTLS_SUPPORT=OFF \
        -DCMAKE_C_FLAGS=-Wno-error=stringop-overread
    # A browser logs in as the unauthenticated session, whose rights rpcd
    # takes from this file; its install leaves it out.
    mkdir -p "$prefix/share/rpcd/acl.d"
    cp "$out/src/rpcd/unauthenticated.json" "$prefix/share/rpcd/acl.d/"
    printf '%s\n' "$stamp" >"$prefix/.sources"
fi
# The package's own ACL, as it installs it.
cp "$root/packaging/openwrt/nubo-upload/acl.d/nubo-upload.json" "$prefix/share/rpcd/acl.d/"

# A folder an older run configured for make is configured afresh.
if [ -f "$out/programs/CMakeCache.txt" ] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$out/programs/CMakeCache.txt"; then
    rm -rf "$out/programs/CMakeCache.txt" "$out/programs/CMakeFiles"
fi
cmake -G Ninja -S "$root" -B "$out/programs" -DCMAKE_BUILD_TYPE=Release -DUPLOAD_WERROR=ON -DUPLOAD_BUILD_TESTS=OFF \
    -DUPLOAD_SESSION_CHECK=ubus -DCMAKE_PREFIX_PATH="$prefix" -DUPLOAD_TARGET_DIR="$out/target" >"$out/programs.log"
cmake --build "$out/programs" -j "$jobs" >>"$out/programs.log"
echo "OpenWrt's parts in $prefix, the programs in $out/programs/bin"
