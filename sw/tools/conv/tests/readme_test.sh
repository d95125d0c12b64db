#!/bin/sh
# SPDX-License-Identifier: MIT
# The README's examples run as shown.  An example is an indented code
# block (four spaces) whose first line starts with "$ ": each "$ " line is
# a command, and the lines after it, up to the next "$ " line or the
# block's end, are what it prints, standard output and standard error
# together.  A block whose first line has no "$ " (the quick start, an
# install command) is not run.  Each block runs in a fresh folder holding
# the fixtures below, its commands one after another with sh, the program
# under test first on PATH as quadflip; every command must exit with
# status 0 (an example that shows a failure says so with || echo).  Any
# difference fails the test, shown as a diff of the block.
#
# The fixtures, which the README's examples name:
#   words.bin  a copy of examples/words.bin: four words and two bytes more
#   dump.bin   a memory dump: the little-endian 32-bit counters 1 to 1024
#   fw.bin     a firmware image of 1 KiB: the words 0x20001000 and
#              0x080000c1, little-endian, then zeros
#
#   readme_test.sh QUADFLIP README
# Exits 77 (skipped), saying why, when a tool that the examples use is
# missing.
set -eu
[ $# -eq 2 ] || { echo "usage: readme_test.sh QUADFLIP README" >&2; exit 2; }
absolute() {
    (cd "$(dirname "$1")" && printf '%s/%s\n' "$(pwd)" "$(basename "$1")")
}
program=$(absolute "$1")
readme=$(absolute "$2")
words=$(dirname "$readme")/examples/words.bin

for tool in awk cat cmp cp dd diff find ls od sed tail wc xargs; do
    command -v "$tool" >/dev/null || { echo "SKIPPED: no $tool"; exit 77; }
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/bin" "$scratch/fixtures" "$scratch/blocks"
ln -s "$program" "$scratch/bin/quadflip"
PATH=$scratch/bin:$PATH
LC_ALL=C
export PATH LC_ALL

# The fixtures.
cd "$scratch/fixtures"
cp "$words" words.bin
i=1
while [ "$i" -le 1024 ]; do
    lo=$((i % 256))
    hi=$((i / 256))
    printf "\\$((lo / 64))$((lo / 8 % 8))$((lo % 8))\\$((hi / 64))$((hi / 8 % 8))$((hi % 8))\\000\\000"
    i=$((i + 1))
done >dump.bin
{
    printf '\000\020\000\040\301\000\000\010'
    dd if=/dev/zero bs=1016 count=1 2>/dev/null
} >fw.bin

# Each example block, its four spaces taken off, as blocks/N.
awk -v dir="$scratch/blocks" '
    function end() { if (file != "") close(file); file = "" }
    /^    \$ / && file == "" { n++; file = dir "/" n }
    /^    / && file != "" { print substr($0, 5) > file; next }
    { end() }
' "$readme"
blocks=$(ls "$scratch/blocks" | wc -l)
[ "$blocks" -gt 0 ] || { echo "FAIL: no example found in $readme"; exit 1; }

failed=0
n=1
while [ "$n" -le "$blocks" ]; do
    block=$scratch/blocks/$n
    run=$scratch/run$n
    cp -R "$scratch/fixtures" "$run"
    : >"$block.got"
    while IFS= read -r line; do
        case $line in
        '$ '*)
            command=${line#'$ '}
            printf '%s\n' "$line" >>"$block.got"
            status=0
            (cd "$run" && sh -c "$command") </dev/null >>"$block.got" 2>&1 ||
                status=$?
            if [ "$status" -ne 0 ]; then
                echo "FAIL: exit status $status: $command"
                failed=1
            fi
            ;;
        esac
    done <"$block"
    if ! diff -u "$block" "$block.got" >"$block.diff"; then
        echo "FAIL: example block $n of $readme prints otherwise:"
        sed '1,2d' "$block.diff"
        failed=1
    fi
    n=$((n + 1))
done
[ "$failed" -eq 0 ] || exit 1
echo "All $blocks example blocks of $readme print what it shows."
