#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds every release artefact twice (the static Linux program's tarball
# among them), from two copies of the source at
# different paths, seconds apart and under different umasks, and requires
# the same bytes of each, and packages that need the C library alone.
# Exits 77 (skipped), saying why, where the
# release's tools are missing.
#
#   reproducible_test.sh SOURCE_DIR
set -u
src=$1

for tool in cpack dpkg-deb dpkg-shlibdeps rpmbuild x86_64-w64-mingw32-g++-posix groff zip unzip tar; do
    command -v "$tool" >/dev/null ||
        { echo "SKIPPED: $tool is not installed (see .ci/run)"; exit 77; }
done
# The static Linux program needs Zig: ZIG, from the test's configure step,
# names it where it was found.
[ -n "${ZIG:-}" ] || { echo "SKIPPED: zig is not installed (see .ci/run)"; exit 77; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
a=$scratch/a
b=$scratch/another/path/b
mkdir -p "$a" "$b"
for copy in "$a" "$b"; do
    (cd "$src" && tar --exclude=./build --exclude=./.git -cf - .) | tar -xf - -C "$copy"
done

build() {
    (cd "$1" && umask "$2" && cmake --workflow --preset package >"$1.log" 2>&1) ||
        { cat "$1.log"; echo "the release build in $1 failed"; exit 1; }
}
build "$a" 022
sleep 2 # another second on the clock
build "$b" 077

status=0
for made in "$a"/build/package/artefacts/*; do
    name=$(basename "$made")
    if ! cmp -s "$made" "$b/build/package/artefacts/$name"; then
        echo "differs between the two builds: $name (diffoscope shows why)"
        status=1
    fi
done
[ "$(ls "$a/build/package/artefacts")" = "$(ls "$b/build/package/artefacts")" ] ||
    { echo "the two builds made different artefacts"; status=1; }
# The released programs carry their own C++ runtime: the packages need the
# C library alone.
depends=$(dpkg-deb -f "$a"/build/package/artefacts/quadflip_*.deb Depends)
case $depends in
*,* | *"|"*) echo "the Debian package depends on more than libc6: $depends"; status=1 ;;
libc6 | "libc6 ("*")") ;;
*) echo "the Debian package depends on more than libc6: $depends"; status=1 ;;
esac
if command -v rpm >/dev/null; then
    others=$(rpm -qpR "$a"/build/package/artefacts/quadflip-*.rpm |
        grep -Ev '^(libc\.so\.6|ld-linux[^ ]*\.so\.[0-9]|rtld|rpmlib)\(' || true)
    [ -z "$others" ] || { echo "the RPM requires more than the C library: $others"; status=1; }
fi
[ $status = 0 ] && echo "every artefact is the same in both builds: $(ls "$a/build/package/artefacts" | tr '\n' ' ')"
exit $status
