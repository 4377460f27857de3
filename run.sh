#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds the daemon (Release) and runs it in the foreground with the given options.
set -euo pipefail
cd "$(dirname "$0")"
scripts/ensure-packages.sh cmake make g++
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DCORVASHENMIR_TESTS=OFF >/dev/null
cmake --build build-release -j "$(nproc)" --target corvashenmir >/dev/null
exec build-release/corvashenmir "$@"
