#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The release tarball the Buildroot, OpenWrt and Yocto packages download,
# nubo-upload-VERSION.tar.gz, made from a commit (a tag) the same way on
# every machine, and its sha256 and commit written into the packages.
#   scripts/release.sh [COMMIT] [OUT_DIR]    (HEAD, build/release)
#   scripts/release.sh --check [OUT_DIR]     the tarball of the commit the
#       packages name made again: fails when their hashes are not its own
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
check=false
if [ "${1:-}" = --check ]; then
    check=true
    shift
    set -- "" "$@"
fi
br_hash=packaging/buildroot/package/nubo-upload/nubo-upload.hash
owrt=packaging/openwrt/nubo-upload/Makefile
yocto=$(echo packaging/yocto/meta-nubo-upload/recipes-*/nubo-upload/nubo-upload_*.bb)
version=$(sed -n 's/^project(nubo_upload VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name=nubo-upload-$version
out=$(realpath -m "${2:-build/release}")
if $check; then
    commit=$(sed -n 's/^# Release tarball: git archive of \([0-9a-f]*\)$/\1/p' "$br_hash")
    if ! git cat-file -e "$commit^{commit}" 2>/dev/null; then
        echo "SKIP: the release commit ${commit:-(none named)} is not in this clone"
        exit 77
    fi
else
    commit=$(git rev-parse "${1:-HEAD}^{commit}")
fi
mkdir -p "$out"
# Only what git tracks: never a checkout's own builds.
git archive --format=tar --prefix="$name/" "$commit" | gzip -n -9 >"$out/$name.tar.gz"
hash=$(sha256sum "$out/$name.tar.gz" | cut -d ' ' -f 1)
if $check; then
    stale=()
    grep -qx "sha256  $hash  $name.tar.gz" "$br_hash" || stale+=("$br_hash")
    grep -qx "PKG_HASH:=$hash" "$owrt" || stale+=("$owrt")
    grep -qx "SRC_URI\[sha256sum\] = \"$hash\"" "$yocto" || stale+=("$yocto")
    if [ ${#stale[@]} -gt 0 ]; then
        echo "${stale[*]}: not the sha256 of $name.tar.gz from $commit ($hash); run scripts/release.sh"
        exit 1
    fi
    echo "$out/$name.tar.gz: sha256 $hash, as the packages say"
    exit 0
fi
sed -i -e "s/^# Release tarball: git archive of .*/# Release tarball: git archive of $commit/" \
    -e "s/^sha256  [0-9a-f]*  nubo-upload-.*\.tar\.gz\$/sha256  $hash  $name.tar.gz/" "$br_hash"
sed -i "s/^PKG_HASH:=.*/PKG_HASH:=$hash/" "$owrt"
sed -i "s/^SRC_URI\[sha256sum\] = .*/SRC_URI[sha256sum] = \"$hash\"/" "$yocto"
echo "$out/$name.tar.gz: sha256 $hash"
