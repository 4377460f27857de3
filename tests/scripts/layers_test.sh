#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# scripts/layers.sh passes on src/ as it is, and names file and line of an
# include of a higher folder, of two files that include each other, and of
# another folder's test seam, in a copy of src/ that has them.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$here/scripts/layers.sh" "$here/src" >/dev/null || fail "src/ as it is does not pass"

cp -r "$here/src" "$work/src"
printf '#include "recv/udp.h"\n' >>"$work/src/dest/dest_dirs.cpp"
printf '#include "dest/dest_pool.h"\n' >>"$work/src/dest/dest_hash.cpp"
printf '#include "dest/dest_hash.h"\n' >>"$work/src/dest/dest_pool.h"
printf '#include "recv/recv_test.h"\n' >>"$work/src/metrics/metrics.cpp"
if out=$("$here/scripts/layers.sh" "$work/src"); then fail "the broken copy passes"; fi
line=$(wc -l <"$work/src/dest/dest_dirs.cpp")
grep -qx "dest/dest_dirs.cpp:$line: includes recv/udp.h, a higher folder (recv above dest)" <<<"$out" ||
    fail "no line for the upward include: $out"
grep -q "^dest/dest_hash and dest/dest_pool include each other: " <<<"$out" ||
    fail "no line for the pair: $out"
grep -q "^metrics/metrics.cpp:[0-9]*: includes the test seam recv/recv_test.h of another folder" <<<"$out" ||
    fail "no line for the seam: $out"
echo "layers test: 3 breaches named, src/ passes"
