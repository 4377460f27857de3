#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# User-space instructions per datagram of the daemon (split mode) and of the
# bare receive loops, counted by callgrind: repeatable where cpu seconds are not.
# Usage: bench/instructions.sh [BUILD_DIR [DAEMON]]
#   BUILD_DIR  a Release build with the bench tools, as bench/run.py makes (build-bench)
#   DAEMON     the daemon binary to count (default BUILD_DIR/corvashenmir)
#
# Two loads of 200-byte datagrams from 4 sources:
#   paced    4000 datagrams/s: each arrives alone and the receiver waits between them;
#   backlog  queued while the receiver is stopped, then taken in full batches
#            (needs root: net.core.rmem_default and rmem_max are raised for it and restored).
# Totals include start-up and shutdown, about 270k instructions for the daemon.
set -euo pipefail
build=${1:-build-bench}
daemon=$(realpath "${2:-$build/corvashenmir}")
loadgen=$build/bench/corvashenmir_loadgen
bare=$(realpath "$build/bench/corvashenmir_barerecv")
size=200
paced_count=40000
backlog_count=100000
port=$((20000 + RANDOM % 20000))
work=$(mktemp -d)
rmem_default=$(cat /proc/sys/net/core/rmem_default)
rmem_max=$(cat /proc/sys/net/core/rmem_max)
cleanup() {
    echo "$rmem_default" >/proc/sys/net/core/rmem_default
    echo "$rmem_max" >/proc/sys/net/core/rmem_max
    [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

# rx_queue bytes and drops of the socket bound to the port.
socket_state() {
    local rx drops
    # The wildcard socket, IPv4 or dual-stack IPv6.
    read -r rx drops < <(awk -v p="$(printf ':%04X' "$port")" '$2 ~ p"$" && $3 ~ /^0+:0000$/ {
        split($5, q, ":"); print q[2], $NF }' /proc/net/udp /proc/net/udp6)
    echo "$((16#${rx:-0})) ${drops:-?}"
}

measure() {
    local name=$1 load=$2 count
    shift 2
    local dir=$work/$name-$load
    mkdir -p "$dir/root"
    for k in 1 2 3 4; do mkdir -p "$dir/root/127.0.0.$k"; done
    (cd "$dir" && exec valgrind --tool=callgrind --callgrind-out-file="$dir/out" "$@" >"$dir/stdout" 2>/dev/null) &
    local pid=$!
    sleep 3
    if [ "$load" = paced ]; then
        count=$paced_count
        # Paced well below what the receiver takes under valgrind, so nothing is lost.
        "$loadgen" --port "$port" --sources 4 --size $size --rate 4000 --count $count --seconds 30 >/dev/null
    else
        count=$backlog_count
        kill -STOP "$pid"
        "$loadgen" --port "$port" --sources 4 --size $size --count $count --seconds 30 >/dev/null
        kill -CONT "$pid"
        for _ in $(seq 1200); do
            [ "$(socket_state | cut -d' ' -f1)" = 0 ] && break
            sleep 0.1
        done
    fi
    sleep 2
    local drops
    drops=$(socket_state | cut -d' ' -f2)
    kill -TERM "$pid"
    wait "$pid" || true
    local total
    total=$(callgrind_annotate "$dir/out" 2>/dev/null | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}')
    printf '%-14s %-8s %11d instructions for %6d datagrams of %d bytes: %4d per datagram (socket drops %s)\n' \
        "$name" "$load" "$total" "$count" "$size" $((total / count)) "${drops:-?}"
}

for load in paced backlog; do
    if [ "$load" = backlog ]; then
        # Room for the whole backlog: about 1300 queue bytes per datagram on loopback, and a margin.
        echo $((backlog_count * 1600)) >/proc/sys/net/core/rmem_max
        echo $((backlog_count * 1600)) >/proc/sys/net/core/rmem_default
    fi
    measure daemon $load "$daemon" --port "$port" --rootdir "$work/daemon-$load/root" \
        --pidfile "$work/daemon-$load/pid" --recvmode split
    measure bare-recvmmsg $load "$bare" --port "$port" --mode recvmmsg
    measure bare-recvfrom $load "$bare" --port "$port" --mode recvfrom
done
