#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The release tarball the Buildroot and OpenWrt packages download,
# nubo-upload-VERSION.tar.gz, made from a commit (a tag) the same way on
# every machine, and its sha256 written into both packages.
#   scripts/release.sh [COMMIT] [OUT_DIR]     (HEAD, build/release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
commit=${1:-HEAD}
out=$(realpath -m "${2:-build/release}")
version=$(sed -n 's/^project(nubo_upload VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=nubo-upload-$version
mkdir -p "$out"
# Only what git tracks: never a checkout's own builds.
git archive --format=tar --prefix="$name/" "$commit" | gzip -n -9 >"$out/$name.tar.gz"
hash=$(sha256sum "$out/$name.tar.gz" | cut -d ' ' -f 1)
sed -i "s/^sha256  [0-9a-f]*  nubo-upload-.*\.tar\.gz\$/sha256  $hash  $name.tar.gz/" \
    packaging/buildroot/package/nubo-upload/nubo-upload.hash
sed -i "s/^PKG_HASH:=.*/PKG_HASH:=$hash/" packaging/openwrt/nubo-upload/Makefile
echo "$out/$name.tar.gz: sha256 $hash"
