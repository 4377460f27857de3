#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The manual page lints clean with groff and mandoc, and documents every
# option that the daemon's usage text lists.
# Usage: manpage_test.sh <page.8> <daemon binary>
page=$1 bin=$2
. "$(dirname "$0")/common.sh"

need groff groff-base
out=$(groff -man -ww -z "$page" 2>&1) || fail "groff failed: $out"
[ -z "$out" ] || fail "groff warns: $out"

need mandoc
out=$(mandoc -T lint "$page" 2>&1) || fail "mandoc lint: $out"
[ -z "$out" ] || fail "mandoc lint: $out"

# Every option of the usage text has its own entry (.TP then .B or .BI with
# the option's name first) in the page.
"$bin" --help > "$scratch/usage" || fail "$bin --help exited with status $?"
grep -oE -- '--[a-z0-9]+' "$scratch/usage" | sort -u > "$scratch/options"
[ "$(wc -l < "$scratch/options")" -ge 13 ] || fail "usage text lists too few options: $(tr '\n' ' ' < "$scratch/options")"
echo --help >> "$scratch/options"
echo --splitday >> "$scratch/options"
while read -r opt; do
    roff=${opt//-/\\\\-}
    grep -qE "^\.BI? ${roff}( |\$)" "$page" || fail "the page has no entry for $opt: no line starting '.B ${opt//-/\\-}' or '.BI ${opt//-/\\-}' in $page"
done < <(sort -u "$scratch/options")

# Every receive mode is described.
for mode in split truncate flat forensic forensicraw; do
    grep -qxF ".B $mode" "$page" || fail "the page has no entry for receive mode $mode: no line '.B $mode' in $page"
done
echo "manual page: lint clean, $(sort -u "$scratch/options" | wc -l) options documented"
