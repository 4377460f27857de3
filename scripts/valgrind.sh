#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Runs a short end-to-end session of the daemon under valgrind memcheck, once
# per receive mode (scripts/valgrind_session.py), and fails on any memcheck
# error. Takes a few minutes; not part of test.sh.
#   scripts/valgrind.sh [binary]   without one, builds a plain binary in build-valgrind
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-packages.sh valgrind python3
bin=${1:-}
if [ -z "$bin" ]; then
    scripts/ensure-packages.sh cmake ninja-build g++
    cmake -S . -B build-valgrind -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVASHENMIR_TESTS=OFF >/dev/null
    cmake --build build-valgrind -j "$(nproc)" --target corvashenmir
    bin=build-valgrind/corvashenmir
fi
exec python3 scripts/valgrind_session.py --bin "$bin"
