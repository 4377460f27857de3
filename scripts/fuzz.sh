#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds the libFuzzer targets of tests/fuzz with clang (ASan and UBSan) in
# their own build directory and runs them as the CTest tests labelled fuzz,
# one per cpu side by side, then prints each run's final figures. The
# in-memory record and command-line targets run the given seconds (default
# 600); the targets that take a file or a child process per input, and
# fuzz_addr, a third of that. A failing input is saved in
# <build dir>/tests/fuzz/artifacts.
# Exits 77 with the reason when this machine cannot build the targets.
#   scripts/fuzz.sh [seconds]      FUZZ_BUILD_DIR picks the build directory (build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
dir=${FUZZ_BUILD_DIR:-build-fuzz}
jobs=$(nproc)

scripts/ensure-packages.sh cmake ninja-build
if ! scripts/ensure-packages.sh clang-14 libclang-rt-14-dev; then
    echo "could not install clang-14 and libclang-rt-14-dev" >&2
fi
cxx=$(command -v clang++-14 || command -v clang++ || true)
if [ -z "$cxx" ]; then
    echo "skipping the fuzz targets: clang++ is not installed"
    exit 77
fi
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' >"$probe/p.cpp"
if ! "$cxx" -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p" 2>"$probe/err"; then
    echo "skipping the fuzz targets: $cxx cannot link -fsanitize=fuzzer: $(head -1 "$probe/err")"
    exit 77
fi

cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCORVASHENMIR_TESTS=OFF -DCORVASHENMIR_FUZZ=ON -DCORVASHENMIR_FUZZ_SECONDS="$seconds" >/dev/null
cmake --build "$dir" -j "$jobs" --target fuzz_targets
status=0
ctest --test-dir "$dir" -L fuzz -j "$jobs" --output-on-failure || status=1
# libFuzzer's closing figures of each run, from ctest's log.
awk '/^[0-9]+\/[0-9]+ Test: / { name = $3 } /^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)/ { print name ": " $0 }' \
    "$dir/Testing/Temporary/LastTest.log"
exit $status
