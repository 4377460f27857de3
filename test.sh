#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs what is missing, checks the include layers of src/ (scripts/layers.sh),
# then builds and runs every test twice: a plain
# build, and one with AddressSanitizer and UndefinedBehaviorSanitizer. Last,
# the fuzz targets run in a third build, made with clang: the in-memory record
# and command-line targets 30 seconds each, the others 10 (see
# scripts/fuzz.sh); without clang and its fuzzer runtime they are skipped
# with the reason.
# Ends by listing every skipped test with its reason, and fails when the run
# left files in the tree that git does not ignore.
set -euo pipefail
cd "$(dirname "$0")"
scripts/ensure-packages.sh cmake ninja-build g++ libgtest-dev python3 faketime bsdutils \
    nftables iproute2 dpkg-dev lintian systemd groff-base mandoc gzip
# The metrics test's peers, installed without starting their services.
scripts/ensure-packages.sh --no-start prometheus prometheus-node-exporter || \
    echo "prometheus tools not installed: the metrics test skips its part with them"
jobs=$(nproc)
status=0
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
git status --porcelain --untracked-files=all >"$logs/tree-before" 2>/dev/null || true

# skips LABEL CTEST_OUTPUT LASTTEST_LOG: one "LABEL: test: reason" line per skip.
# A skip is a line of a test's output that starts with "SKIPPED:" or "skipped:"
# (the end-to-end and packaging tests print those), the reason GoogleTest prints
# after "Skipped", or else, for a test CTest lists as skipped, its last line.
skips() {
    awk -v label="$1" '
        FNR == 1 { file++ }
        file == 1 && / \(Skipped\)$/ {
            name = $0
            sub(/^[[:space:]]*[0-9]+ - /, "", name)
            sub(/ \(Skipped\)$/, "", name)
            skipped[name] = 1
        }
        file == 2 && /^[0-9]+\/[0-9]+ Test: / { name = $3; out = 0; prev = ""; next }
        file == 2 && /^Output:$/ { out = 1; getline; next }
        file == 2 && /^<end of output>$/ { out = 0; next }
        file == 2 && out {
            if ($0 ~ /^(SKIPPED|skipped): / || prev ~ /: Skipped$/) {
                print label ": " name ": " $0
                told[name] = 1
            }
            if (NF) last[name] = $0
            prev = $0
        }
        END {
            for (n in skipped)
                if (!(n in told)) print label ": " n ": " (n in last ? last[n] : "(no output)")
        }
    ' "$2" "$3"
}

echo "=== include layers"
scripts/layers.sh || status=1

for variant in plain sanitize; do
    dir=build-test-$variant
    sanitize=OFF
    [ "$variant" = sanitize ] && sanitize=ON
    echo "=== $variant build"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVASHENMIR_SANITIZE=$sanitize >/dev/null
    cmake --build "$dir" -j "$jobs"
    echo "=== $variant tests"
    rc=0
    ctest --test-dir "$dir" -j "$jobs" --output-on-failure 2>&1 | tee "$logs/ctest-$variant" || rc=$?
    [ "$rc" -eq 0 ] || status=1
    skips "$variant build" "$logs/ctest-$variant" "$dir/Testing/Temporary/LastTest.log" >>"$logs/skips"
done
echo "=== fuzz build and runs"
fuzz=0
FUZZ_BUILD_DIR=build-test-fuzz scripts/fuzz.sh 30 2>&1 | tee "$logs/fuzz" || fuzz=$?
if [ "$fuzz" -eq 77 ]; then
    grep -E '^skipping ' "$logs/fuzz" | sed 's/^/fuzz run: /' >>"$logs/skips" || echo "fuzz run: skipped" >>"$logs/skips"
elif [ -f build-test-fuzz/Testing/Temporary/LastTest.log ]; then
    skips "fuzz run" "$logs/fuzz" build-test-fuzz/Testing/Temporary/LastTest.log >>"$logs/skips"
fi
[ "$fuzz" -eq 0 ] || [ "$fuzz" -eq 77 ] || status=1

if [ -s "$logs/skips" ]; then
    echo "=== skipped tests"
    cat "$logs/skips"
else
    echo "=== skipped tests: none"
fi
if git status --porcelain --untracked-files=all >"$logs/tree-after" 2>/dev/null; then
    left=$(comm -13 <(sort "$logs/tree-before") <(sort "$logs/tree-after"))
    if [ -n "$left" ]; then
        echo "=== the run left these in the tree:"
        echo "$left"
        status=1
    fi
fi
exit $status
