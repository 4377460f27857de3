#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs what is missing, then builds and runs every test twice: a plain
# build, and one with AddressSanitizer and UndefinedBehaviorSanitizer. Last,
# the fuzz targets run in a third build, made with clang: the in-memory record
# and command-line targets 30 seconds each, the others 10 (see
# scripts/fuzz.sh); without clang and its fuzzer runtime they are skipped
# with the reason.
set -euo pipefail
cd "$(dirname "$0")"
scripts/ensure-packages.sh cmake ninja-build g++ libgtest-dev python3 faketime bsdutils \
    nftables iproute2 dpkg-dev lintian systemd groff-base mandoc gzip
jobs=$(nproc)
status=0
for variant in plain sanitize; do
    dir=build-test-$variant
    sanitize=OFF
    [ "$variant" = sanitize ] && sanitize=ON
    echo "=== $variant build"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVASHENMIR_SANITIZE=$sanitize >/dev/null
    cmake --build "$dir" -j "$jobs"
    echo "=== $variant tests"
    ctest --test-dir "$dir" -j "$jobs" --output-on-failure || status=1
done
echo "=== fuzz build and runs"
fuzz=0
FUZZ_BUILD_DIR=build-test-fuzz scripts/fuzz.sh 30 || fuzz=$?
[ $fuzz -eq 0 ] || [ $fuzz -eq 77 ] || status=1
exit $status
