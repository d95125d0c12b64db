#!/bin/sh
# SPDX-License-Identifier: MIT
# The manual page renders without a single warning from groff or mandoc.
# Exits 77 (skipped) when neither is installed.
page=$1
ran=0
if command -v groff >/dev/null; then
    out=$(groff -man -ww -z "$page" 2>&1) || { echo "$out"; exit 1; }
    [ -z "$out" ] || { echo "groff: $out"; exit 1; }
    ran=1
fi
if command -v mandoc >/dev/null; then
    out=$(mandoc -T lint -W style "$page" 2>&1) || { echo "$out"; exit 1; }
    [ -z "$out" ] || { echo "mandoc: $out"; exit 1; }
    ran=1
fi
[ "$ran" = 1 ] || { echo "neither groff nor mandoc is installed"; exit 77; }
# Every section the page promises is there.
for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" DIAGNOSTICS \
    EXAMPLES NOTES "SEE ALSO"; do
    grep -q "^\.SH \"*$section\"*\$" "$page" || { echo "no section $section"; exit 1; }
done
