#!/bin/sh
# The install tree and the Debian package each hold a quadflip that runs and
# its manual page; removing the package leaves nothing behind.
#
#   install_test.sh install|package BUILD_DIR
# Exits 77 (skipped) when the package tools are missing.
set -eu
mode=$1
build=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Runs the quadflip at $1 on a small file and checks its output.
try() {
    printf '\001\002\003\004\005\006\007\010\011' >"$scratch/in"
    "$1" "$scratch/in" "$scratch/out" >"$scratch/said"
    printf '\004\003\002\001\010\007\006\005' | cmp - "$scratch/out"
    printf '%s\n%s\n' "$scratch/in" "$scratch/out" | cmp - "$scratch/said"
}

case $mode in
install)
    cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
    test -f "$scratch/prefix/share/man/man1/quadflip.1"
    try "$scratch/prefix/bin/quadflip"
    ;;
package)
    for tool in cpack dpkg dpkg-deb dpkg-shlibdeps; do
        command -v $tool >/dev/null || { echo "no $tool"; exit 77; }
    done
    (cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -G DEB >/dev/null)
    deb=$(ls "$scratch"/quadflip_*.deb)
    dpkg-deb --info "$deb" | grep -q 'Depends: .*libc6'

    root=$scratch/root
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
    touch "$root/var/lib/dpkg/status"
    dpkg --root="$root" --force-depends -i "$deb" >/dev/null
    test -f "$root/usr/share/man/man1/quadflip.1"
    try "$root/usr/bin/quadflip"
    dpkg --root="$root" --purge quadflip >/dev/null
    left=$(find "$root" -path "$root/var/lib/dpkg" -prune -o ! -type d -print)
    [ -z "$left" ] || { echo "left behind: $left"; exit 1; }
    ;;
esac
