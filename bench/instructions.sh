#!/usr/bin/env bash
# User-space instructions per datagram of the daemon and of the bare receive
# loop, counted by callgrind: repeatable where cpu seconds are not.
# Usage: bench/instructions.sh [BUILD_DIR]   (a Release build, as bench/run.py makes)
set -euo pipefail
build=${1:-build-bench}
count=40000
port=$((20000 + RANDOM % 20000))
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

measure() {
    local name=$1
    shift
    mkdir -p "$work/$name/root"
    for k in 1 2 3 4; do mkdir -p "$work/$name/root/127.0.0.$k"; done
    (cd "$work/$name" && exec valgrind --tool=callgrind --callgrind-out-file="$work/$name/out" "$@" \
        >/dev/null 2>&1) &
    local pid=$!
    sleep 3
    # Paced well below what the receiver takes under valgrind, so nothing is lost.
    "$build/bench/corvashenmir_loadgen" --port "$port" --sources 4 --rate 4000 --count $count --seconds 30 >/dev/null
    sleep 2
    kill -TERM "$pid"
    wait "$pid" || true
    local total
    total=$(callgrind_annotate "$work/$name/out" 2>/dev/null | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}')
    echo "$name: $total instructions for $count datagrams of 100 bytes, $((total / count)) per datagram"
}

measure daemon "$PWD/$build/corvashenmir" --port "$port" --rootdir "$work/daemon/root" --pidfile "$work/daemon/pid"
measure bare "$PWD/$build/bench/corvashenmir_barerecv" --port "$port"
