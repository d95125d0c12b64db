#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds quadflip for another platform, or with sanitizers, and runs the
# tests against that build.
#
#   leg.sh LEG SOURCE_DIR BUILD_DIR TESTS LARGE_TESTS
#
# LEG is the configure preset the leg builds, into BUILD_DIR:
#   i686          32-bit x86 Linux, run directly, or under qemu where the
#                 kernel cannot
#   s390x         big-endian Linux, under qemu
#   aarch64       64-bit ARM Linux, under qemu
#   windows       64-bit Windows, under wine, and its zip
#   portable      Linux with no Linux-only interface, as the other POSIX
#                 systems are
#   musl          the static Linux program, with zig
#   asan, tsan    the program and its variants with AddressSanitizer and
#                 UndefinedBehaviorSanitizer, or ThreadSanitizer
#   windows-i686, macos-arm64, macos-x86_64
#                 built only, as they cannot run here: they prove that the
#                 program compiles and links for the platform (and the
#                 test program for 32-bit Windows, the test harness for
#                 macOS on arm64)
# TESTS and LARGE_TESTS are this build's test programs, which run the leg's
# quadflip through QUADFLIP_BIN.
#
# tests/CMakeLists.txt looks for the programs a leg needs and hands over
# their paths: LEG_QEMU, LEG_WINE, LEG_WINESERVER, LEG_UNZIP, LEG_FILE,
# LEG_OBJDUMP, LEG_NM, LEG_STRACE, LEG_CPACK, and ZIG, which the zig
# toolchain files read.  LEG_MISSING, where one is missing, says which:
# the leg then exits 77 (skipped), saying so.
set -u
leg=$1
src=$2
build=$3
tests=$4
large=$5

skip() {
    echo "SKIPPED: leg $leg: $*"
    exit 77
}
fail() {
    echo "leg $leg: $*"
    exit 1
}
[ -z "${LEG_MISSING:-}" ] || skip "$LEG_MISSING"

bin=$build/bin/quadflip
runner=
target=
kind=
programs=
targets=
case $leg in
i686 | musl) ;;
s390x)
    runner="$LEG_QEMU -L /usr/s390x-linux-gnu"
    ;;
aarch64)
    runner="$LEG_QEMU -L /usr/aarch64-linux-gnu"
    ;;
windows)
    bin=$bin.exe
    runner=$LEG_WINE
    target=windows
    # Wine reads the command line in the locale's character set: UTF-8,
    # so that names that are not ASCII reach the program as they are.
    export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all LC_ALL=C.UTF-8
    mkdir -p "$WINEPREFIX"
    ;;
windows-i686)
    kind='PE32 executable'
    programs="$bin.exe $build/bin/quadflip_tests.exe"
    ;;
macos-arm64)
    # The program, and the test harness, where the tests meet the system:
    # compiling every test file again would double the leg's time.
    kind='Mach-O 64-bit arm64 executable'
    programs=$bin
    targets="--target quadflip harness"
    ;;
macos-x86_64)
    # The code is that of the arm64 leg but for the word swap, which is
    # that of the other x86-64 builds: the program alone.
    kind='Mach-O 64-bit x86_64 executable'
    programs=$bin
    targets="--target quadflip"
    ;;
portable)
    # A native build, which the tests judge as the build it is (see
    # portable_build in harness.h); it carries no ACL or attribute over,
    # and refuses a file that has any.
    target=portable
    ;;
asan | tsan)
    # The program and its variants, sanitized, run by this build's tests.
    targets="--target quadflip quadflip_named_temp quadflip_two_threads"
    export ASAN_OPTIONS=abort_on_error=0:detect_leaks=1 \
        UBSAN_OPTIONS=print_stacktrace=1 TSAN_OPTIONS=halt_on_error=1
    ;;
*)
    echo "leg.sh: no leg $leg" >&2
    exit 2
    ;;
esac

mkdir -p "$build" || exit 1
log=$build.log
# shellcheck disable=SC2086 # targets is a list of words
if ! { cmake -S "$src" --preset "$leg" -B "$build" &&
    cmake --build "$build" $targets; } >"$log" 2>&1; then
    cat "$log"
    fail "the build failed"
fi

if [ -n "$kind" ]; then
    for program in $programs; do
        "$LEG_FILE" "$program" | grep -q "$kind" ||
            { "$LEG_FILE" "$program"; fail "$program is not a $kind"; }
    done
    echo "leg $leg: passed (built only: it cannot run here)"
    exit 0
fi

if [ "$leg" = musl ]; then
    "$LEG_FILE" "$bin" | grep -q 'x86-64.*statically linked' ||
        { "$LEG_FILE" "$bin"; fail "the program is not a static x86-64 one"; }
    # musl words errors its own way: the tests expect its texts, which a
    # program built with the same toolchain lists.
    dir=$build/errors
    mkdir -p "$dir"
    printf '%s\n' '#include <cstdio>' '#include <cstring>' 'int main()' '{' \
        '    for (int e = 1; e < 256; ++e)' \
        '        std::printf("%d %s\n", e, std::strerror(e));' '}' >"$dir/errors.cpp"
    # (-O2: built as the program is, with the C library zig built for it.)
    "$build/zig-tools/c++" -static -O2 -o "$dir/errors" "$dir/errors.cpp" &&
        "$dir/errors" >"$dir/errors.txt" ||
        fail "could not list musl's error texts"
    export QUADFLIP_STRERROR="$dir/errors.txt"
fi

if [ "$leg" = i686 ]; then
    "$bin" >/dev/null 2>&1
    if [ $? -ge 126 ]; then
        # A kernel built without 32-bit support cannot run it directly.
        [ -n "${LEG_QEMU:-}" ] ||
            skip "this kernel runs no 32-bit program, and qemu-i386 is not installed (apt-get install qemu-user)"
        runner=$LEG_QEMU
    fi
fi
if [ "$leg" = aarch64 ]; then
    # The portable swap loop is left to the compiler, which should turn it
    # into NEON byte reversal.
    "$LEG_OBJDUMP" -d "$bin" | grep -q 'rev32.*16b' ||
        fail "the word swap did not become rev32 on vectors"
fi
if [ "$leg" = portable ]; then
    # No Linux-only interface may be left in it.
    used=$("$LEG_NM" -D --undefined-only "$bin" | grep -E 'inotify|statx|sched_getaffinity' || true)
    [ -z "$used" ] || fail "the program uses Linux-only calls: $used"
    # Nor may a run in place make one, as strace shows: ioctl and syscall
    # (FS_IOC_*, capget) do not show in its symbols.
    if [ -z "${LEG_STRACE:-}" ]; then
        echo "leg portable: strace is not installed (apt-get install strace): the calls of a run in place are not checked"
    else
        work=$(mktemp -d) || exit 1
        printf '\001\002\003\004\005\006\007\010' >"$work/f"
        "$LEG_STRACE" -f -qq -o "$work/trace" "$bin" "$work/f" "$work/f" >/dev/null
        status=$?
        calls=$(grep -oE '^[0-9]+ +(capget\(|ioctl\([0-9]+, FS_IOC_[A-Z0-9_]+|inotify_[a-z0-9_]+\(|statx\(|sched_getaffinity\(|socket\(AF_UNIX)' "$work/trace" |
            sed -E 's/^[0-9]+ +//; s/^ioctl\([0-9]+, (.*)/ioctl(\1)/; s/^(socket\(AF_UNIX)$/\1)/; s/\($//' |
            sort -u | paste -sd ' ' -)
        printf '\004\003\002\001\010\007\006\005' | cmp -s - "$work/f"
        same=$?
        rm -rf "$work"
        [ -z "$calls" ] || fail "a run in place makes Linux-only calls: $calls"
        [ "$status" -eq 0 ] && [ "$same" -eq 0 ] || fail "the run in place under strace failed"
    fi
fi
if [ "$leg" = windows ]; then
    # The first run makes wine's prefix and says so on standard error;
    # make it before the tests look at what the program says.  Wine's
    # server otherwise quits a moment after each run, and a run that starts
    # just then loses it ("wine client error"): keep it up until the end.
    $runner "$bin" >/dev/null 2>&1
    "$LEG_WINESERVER" -p
    trap '"$LEG_WINESERVER" -k' EXIT
fi

export QUADFLIP_BIN="$bin" QUADFLIP_RUNNER="$runner" QUADFLIP_TARGET="$target"
# The swap routines' own tests are for the host; this leg's processor
# shows in what the program writes.  A sanitizer's shadow memory takes
# more address space than any limit that the program alone would meet.
skipped=swap.*
case $leg in
asan | tsan) skipped=$skipped:threads.without_a_second_thread_the_run_still_converts ;;
esac
"$tests" --gtest_filter=-$skipped --gtest_brief=1 || exit 1
if [ "$leg" = i686 ]; then
    "$large" --gtest_brief=1 || exit 1
fi
if [ "$leg" = windows ]; then
    # The zip a Windows user downloads: one folder, with the program, its
    # licence, the README and the manual as text; run from where it unpacks.
    zipdir=$(mktemp -d)
    trap 'rm -rf "$zipdir"; "$LEG_WINESERVER" -k' EXIT
    (cd "$zipdir" && "$LEG_CPACK" --config "$build/CPackConfig.cmake" >/dev/null) ||
        fail "cpack failed"
    zip=$(ls "$zipdir"/quadflip-*-win64.zip)
    top=$(basename "$zip" .zip)
    "$LEG_UNZIP" -q "$zip" -d "$zipdir/x"
    [ "$(ls "$zipdir/x")" = "$top" ] || fail "the zip is not one folder $top"
    for f in quadflip.exe LICENSE README.md quadflip.txt; do
        [ -f "$zipdir/x/$top/$f" ] || fail "no $f in the zip"
    done
    grep -q "^NAME" "$zipdir/x/$top/quadflip.txt" || fail "the manual is not text"
    cd "$zipdir/x/$top" || exit 1
    printf '\n\r\032\000\r\n\032\377\n' >in
    $runner ./quadflip.exe in out >/dev/null || fail "the zipped program failed"
    printf '\000\032\r\n\377\032\n\r' | cmp - out || fail "wrong output"
    cd "$src" || exit 1
fi
echo "leg $leg: passed"
