#!/bin/sh
# SPDX-License-Identifier: MIT
# Every artefact of a release installs or unpacks, and the quadflip in it
# runs: the install tree, the Debian package (lintian-clean where lintian is
# installed), the RPM (rpmlint-clean where rpmlint is), and the source
# tarball, built with the README's release workflow in a folder with no git;
# and the static Linux program's tarball, which must hold a static program.
# Removing a package leaves nothing behind.
#
#   install_test.sh install|deb|rpm|source|static BUILD_DIR [SOURCE_DIR]
# Exits 77 (skipped), saying why, when the tools for a mode are missing.
set -eu
mode=$1
build=$2
src=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

skip() {
    echo "SKIPPED: $*"
    exit 77
}
need() {
    for tool; do
        command -v "$tool" >/dev/null || skip "no $tool"
    done
}

# Runs the quadflip at $1 on a small file and checks its output.
try() {
    printf '\001\002\003\004\005\006\007\010\011' >"$scratch/in"
    "$1" "$scratch/in" "$scratch/out" >"$scratch/said"
    printf '\004\003\002\001\010\007\006\005' | cmp - "$scratch/out"
    printf '%s\n%s\n' "$scratch/in" "$scratch/out" | cmp - "$scratch/said"
}

# Fails unless the tree at $1 holds nothing but folders.
empty() {
    left=$(find "$1" ! -type d -print)
    [ -z "$left" ] || { echo "left behind: $left"; exit 1; }
}

case $mode in
install)
    cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
    gzip -t "$scratch/prefix/share/man/man1/quadflip.1.gz"
    test -f "$scratch/prefix/share/doc/quadflip/copyright"
    try "$scratch/prefix/bin/quadflip"
    ;;
deb)
    need cpack dpkg dpkg-deb dpkg-shlibdeps
    (cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -G DEB >/dev/null)
    deb=$(ls "$scratch"/quadflip_*.deb)
    if command -v lintian >/dev/null; then
        linted=0
        said=$(lintian --fail-on error,warning --tag-display-limit 0 "$deb" 2>&1) || linted=$?
        echo "$said" | grep -v 'running with root privileges' || true
        [ "$linted" = 0 ] || { echo "lintian: errors or warnings"; exit 1; }
    else
        echo "lintian is not installed: the package is not linted"
    fi

    root=$scratch/root
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
    touch "$root/var/lib/dpkg/status"
    dpkg --root="$root" --force-depends -i "$deb" >/dev/null
    gzip -t "$root/usr/share/man/man1/quadflip.1.gz"
    try "$root/usr/bin/quadflip"
    dpkg --root="$root" --purge quadflip >/dev/null
    rm -rf "$root/var/lib/dpkg"
    empty "$root"
    ;;
rpm)
    need cpack rpm rpmbuild
    (cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -G RPM >/dev/null)
    pkg=$(ls "$scratch"/quadflip-*.rpm)
    case $(basename "$pkg") in
    quadflip-[0-9]*-1.*.rpm) ;;
    *) echo "not an RPM-style file name: $pkg"; exit 1 ;;
    esac
    rpm -qp --qf '%{LICENSE}\n' "$pkg" | grep -qx MIT
    files=$(rpm -qlp "$pkg")
    echo "$files" | grep -qx /usr/share/man/man1/quadflip.1.gz
    for dir in /usr /usr/bin /usr/share /usr/share/man /usr/share/man/man1 /usr/share/doc; do
        if echo "$files" | grep -qx "$dir"; then
            echo "the package owns the standard folder $dir"
            exit 1
        fi
    done
    if command -v rpmlint >/dev/null; then
        # Allowed: no signature (a release is signed apart) and no URL.
        said=$(rpmlint -c "$here/rpmlint.toml" "$pkg" 2>&1 || true)
        echo "$said"
        bad=$(echo "$said" | grep -E ': [EW]: ' | grep -vE ': (E: no-signature|W: no-url-tag)' || true)
        [ -z "$bad" ] || { echo "rpmlint: $bad"; exit 1; }
    else
        echo "rpmlint is not installed: the package is not linted"
    fi

    root=$scratch/root
    mkdir -p "$root"
    db="--root $root --dbpath /var/lib/rpm"
    rpm $db --initdb
    # Debian's rpm says that alien should be used; this is a test.
    rpm $db -i --nodeps "$pkg" 2>&1 | grep -v -e 'use Alien' -e 'know what you are doing' || true
    rpm $db -q quadflip >/dev/null
    try "$root/usr/bin/quadflip"
    rpm $db -e quadflip 2>&1 | grep -v -e 'use Alien' -e 'know what you are doing' || true
    rm -rf "$root/var/lib/rpm"
    empty "$root"
    ;;
source)
    need cpack tar
    (cd "$scratch" && cpack --config "$build/CPackSourceConfig.cmake" >/dev/null)
    tarball=$(ls "$scratch"/quadflip-*.tar.gz)
    listing=$(tar -tzf "$tarball")
    for unwanted in /build/ /.git/ /.git$; do
        if echo "$listing" | grep -q -- "$unwanted"; then
            echo "the tarball holds $unwanted"
            exit 1
        fi
    done
    mkdir "$scratch/unpacked"
    tar -xzf "$tarball" -C "$scratch/unpacked"
    top=$(ls -d "$scratch"/unpacked/quadflip-*)
    # A folder with no git above it, as a user who downloaded the tarball has.
    (cd "$top" && GIT_DIR=/nonexistent GIT_CEILING_DIRECTORIES=$scratch \
        cmake --workflow --preset release >"$scratch/build.log" 2>&1) ||
        { cat "$scratch/build.log"; exit 1; }
    try "$top/build/release/bin/quadflip"
    ;;
static)
    need tar file objcopy
    # ZIG, from the test's configure step, names zig where it was found.
    [ -n "${ZIG:-}" ] || skip "no zig (.ci/run installs Zig 0.11 in /opt/zig-0.11)"
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
    (cd "$src" && cmake --preset musl -B "$scratch/musl" &&
        cmake --build "$scratch/musl") >"$scratch/build.log" 2>&1 ||
        { cat "$scratch/build.log"; exit 1; }
    cmake -DSOURCE="$src" -DBUILD="$build" -DMUSL="$scratch/musl" \
        -DOUT="$scratch/made" -DVERSION="$version" -P "$src/cmake/static.cmake"
    top=quadflip-$version-linux-x86_64-static
    mkdir "$scratch/unpacked"
    tar -xzf "$scratch/made/$top.tar.gz" -C "$scratch/unpacked"
    [ "$(ls "$scratch/unpacked")" = "$top" ] || { echo "the tarball is not one folder $top"; exit 1; }
    for f in quadflip quadflip.1 README.md LICENSE; do
        [ -f "$scratch/unpacked/$top/$f" ] || { echo "no $f in the tarball"; exit 1; }
    done
    file "$scratch/unpacked/$top/quadflip" | grep -q 'statically linked' ||
        { file "$scratch/unpacked/$top/quadflip"; echo "not a static program"; exit 1; }
    try "$scratch/unpacked/$top/quadflip"
    ;;
*)
    echo "install_test.sh: no mode $mode" >&2
    exit 2
    ;;
esac
