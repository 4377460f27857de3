#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Several corvashenmir daemons behind nftables rules that map every source
# address to one daemon: jhash of the source address, modulo the number of
# daemons, one rule for IPv4 sources (table ip) and one for IPv6 sources
# (table ip6), with the same seed. The daemon itself knows nothing of this;
# each one is an ordinary daemon with its own root directory and pid file.
#
#   deploy/scaleout.sh up   --base DIR [options] [-- daemon options]
#   deploy/scaleout.sh down --base DIR
#   deploy/scaleout.sh stop|start --base DIR --index K   one daemon (k = 0..N-1)
#   deploy/scaleout.sh rules [options]      print the nftables tables only
#
# Topologies (--topology):
#   ports  N daemons on this host, on ports FIRST..FIRST+N-1 of every address;
#          datagrams to --port are redirected to them (prerouting for remote
#          senders, output for local ones), IPv4 and IPv6. Runs in the current network
#          namespace: the one of the host, or one given with `ip netns exec`.
#   hosts  N daemons in network namespaces NAME-h0..NAME-h<N-1>, standing in
#          for N log hosts, each joined by a veth link to a balancer namespace
#          NAME-lb that dnats datagrams to --listen:--port and to
#          [--listen6]:--port to the hosts. A namespace NAME-cl stands in for
#          the senders: it is linked to the balancer and holds every --sources
#          address, for senders run with `ip netns exec NAME-cl`. Nothing is
#          added to the caller's own namespace.
#
# Options:
#   --base DIR         (required but for rules) DIR/d<k>/root is daemon k's root
#                      directory, DIR/d<k>/pid its pid file, DIR/scaleout.state
#                      what `down` removes
#   --daemons N        number of daemons (default 2, 1..64)
#   --topology T       ports or hosts (default ports)
#   --name NAME        namespace prefix and table suffix (default csm; letters,
#                      digits, '-', at most 12 characters)
#   --port P           the port senders send to (default 514)
#   --first-port Q     ports: daemon k listens on Q+k (default P+1)
#   --listen ADDR      ports: only IPv4 datagrams to ADDR are balanced
#                      (default: any local address); hosts: the balancer's
#                      IPv4 address on the senders' side (default 192.0.2.1)
#   --listen6 ADDR     the same for IPv6 (hosts: default fd00:98:ff::1)
#   --seed S           jhash seed (default 0x63736d31); keep it when the rule is
#                      loaded again, or every source moves
#   --sources FILE     addresses, one a line ('-': stdin), IPv4 dotted, IPv6
#                      in any form: a directory for each in every root, named
#                      as the daemon writes the address (IPv6 in RFC 5952
#                      form, fd00:77::a), so a source is stored wherever the
#                      hash sends it, also after a change of N
#   --index K          start, stop: which daemon
#   --bin PATH         the daemon (default: corvashenmir on PATH, else
#                      build-release/corvashenmir of this checkout)
#   -- ARGS            further options for every daemon (e.g. --recvmode forensic)
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(dirname "$HERE")

die() { echo "scaleout: $*" >&2; exit 1; }

cmd=${1:-}
[ -n "$cmd" ] || die "usage: $0 up|down|start|stop|rules [options] (see the head of this script)"
shift

base= daemons=2 topology=ports name=csm port=514 first_port= listen= listen6= seed=0x63736d31
sources= bin= index=
daemon_args=()
while [ $# -gt 0 ]; do
    case $1 in
        --base) base=$2; shift 2 ;;
        --daemons) daemons=$2; shift 2 ;;
        --topology) topology=$2; shift 2 ;;
        --name) name=$2; shift 2 ;;
        --port) port=$2; shift 2 ;;
        --first-port) first_port=$2; shift 2 ;;
        --listen) listen=$2; shift 2 ;;
        --listen6) listen6=$2; shift 2 ;;
        --seed) seed=$2; shift 2 ;;
        --sources) sources=$2; shift 2 ;;
        --bin) bin=$2; shift 2 ;;
        --index) index=$2; shift 2 ;;
        --) shift; daemon_args=("$@"); break ;;
        *) die "unknown option '$1'" ;;
    esac
done

is_num() { [[ $1 =~ ^[0-9]+$ ]]; }

# The text the daemon gives IPv6 address $1 (RFC 5952: lowercase, no leading
# zeros, the first of the longest runs of two or more zero groups as "::");
# fails when $1 is not an IPv6 address in hexadecimal groups, or is one the
# daemon writes dotted: an IPv4-mapped address (::ffff:0:0/96, an IPv4 source)
# or an IPv4-compatible one (::/96).
ipv6_text() {
    local a=${1,,} groups=() head=() tail=() i
    [[ $a =~ ^[0-9a-f:]+$ && $a == *:* && $a != *::*::* && $a != *:::* ]] || return 1
    [[ $a != :[^:]* && $a != *[^:]: ]] || return 1
    if [[ $a == *::* ]]; then
        [ -z "${a%%::*}" ] || IFS=: read -ra head <<<"${a%%::*}"
        [ -z "${a#*::}" ] || IFS=: read -ra tail <<<"${a#*::}"
        groups=(${head[@]+"${head[@]}"})
        for ((i = ${#head[@]} + ${#tail[@]}; i < 8; i++)); do groups+=(0); done
        groups+=(${tail[@]+"${tail[@]}"})
        [ $((${#head[@]} + ${#tail[@]})) -le 7 ] || return 1
    else
        IFS=: read -ra groups <<<"$a"
    fi
    [ "${#groups[@]}" -eq 8 ] || return 1
    local run=0 best=0 at=-1
    for ((i = 0; i < 8; i++)); do
        [[ ${groups[i]} =~ ^[0-9a-f]{1,4}$ ]] || return 1
        groups[i]=$(printf '%x' $((16#${groups[i]})))
        if [ "${groups[i]}" = 0 ]; then
            run=$((run + 1))
            [ "$run" -le "$best" ] || { best=$run; at=$((i - run + 1)); }
        else
            run=0
        fi
    done
    [ "${groups[0]}${groups[1]}${groups[2]}${groups[3]}${groups[4]}" != 00000 ] \
        || [[ ${groups[5]} != ffff && ( ${groups[5]} != 0 || ${groups[6]} = 0 ) ]] || return 1
    local IFS=:
    if [ "$best" -lt 2 ]; then
        echo "${groups[*]}"
    else
        echo "${groups[*]:0:at}::${groups[*]:at+best}"
    fi
}
is_num "$daemons" && [ "$daemons" -ge 1 ] && [ "$daemons" -le 64 ] || die "--daemons must be 1..64"
is_num "$port" && [ "$port" -ge 1 ] && [ "$port" -le 65535 ] || die "--port must be 1..65535"
[[ $name =~ ^[A-Za-z0-9-]{1,12}$ ]] || die "--name: letters, digits and '-', at most 12"
[[ $seed =~ ^(0x[0-9a-fA-F]{1,8}|[0-9]{1,10})$ ]] || die "--seed must be a 32-bit number"
case $topology in
    ports)
        [ -n "$first_port" ] || first_port=$((port + 1))
        is_num "$first_port" && [ "$first_port" -ge 1 ] && [ $((first_port + daemons - 1)) -le 65535 ] \
            || die "--first-port: the daemons' ports must be 1..65535"
        [ "$port" -lt "$first_port" ] || [ "$port" -ge $((first_port + daemons)) ] \
            || die "--port must not be one of the daemons' ports"
        ;;
    hosts)
        [ -n "$listen" ] || listen=192.0.2.1
        ;;
    *) die "--topology must be ports or hosts" ;;
esac
[ -z "$listen" ] || [[ $listen =~ ^[0-9]{1,3}(\.[0-9]{1,3}){3}$ ]] || die "--listen must be an IPv4 address"
[ "$topology" = ports ] || [ -n "$listen6" ] || listen6=fd00:98:ff::1
[ -z "$listen6" ] || listen6=$(ipv6_text "$listen6") || die "--listen6 must be an IPv6 address"
table=corvashenmir-$name

# The addresses of daemon k in the hosts topology, and of the balancer's side.
host_addr() { echo "10.98.$1.2"; }
lb_host_addr() { echo "10.98.$1.1"; }
host_addr6() { echo "fd00:98:$1::2"; }
lb_host_addr6() { echo "fd00:98:$1::1"; }
# The senders' side of the hosts topology: the balancer has --listen/24, the
# client the next address in it.
client_addr() { local a=${listen%.*} b=${listen##*.}; echo "$a.$(( b == 254 ? 1 : b + 1 ))"; }

# The nftables table of the balancer for family $1 (ip or ip6): jhash of
# the source address's 4 or 16 bytes picks the daemon.
family_rules() {
    local family=$1 map= k
    for ((k = 0; k < daemons; k++)); do
        [ -n "$map" ] && map+=", "
        if [ "$topology" = ports ]; then
            map+="$k : $((first_port + k))"
        elif [ "$family" = ip ]; then
            map+="$k : $(host_addr "$k")"
        else
            map+="$k : $(host_addr6 "$k")"
        fi
    done
    local match="udp dport $port" to=$listen
    [ "$family" = ip ] || to=$listen6
    [ -n "$to" ] && match="$family daddr $to $match"
    local hash="jhash $family saddr mod $daemons seed $seed"
    echo "table $family $table {"
    if [ "$topology" = ports ]; then
        # redirect: the receiving interface's own address, the mapped port.
        echo "    chain prerouting {"
        echo "        type nat hook prerouting priority dstnat; policy accept;"
        echo "        $match redirect to :$hash map { $map }"
        echo "    }"
        echo "    chain output {"
        echo "        type nat hook output priority -100; policy accept;"
        echo "        fib daddr type local $match redirect to :$hash map { $map }"
        echo "    }"
    else
        echo "    chain prerouting {"
        echo "        type nat hook prerouting priority dstnat; policy accept;"
        echo "        $match dnat to $hash map { $map }"
        echo "    }"
    fi
    echo "}"
}

rules() {
    family_rules ip
    family_rules ip6
}

# Whether the balancer holds a table of ours: $1 is its namespace or empty.
have_tables() {
    in_ns "$1" nft list table ip "$table" >/dev/null 2>&1 || in_ns "$1" nft list table ip6 "$table" >/dev/null 2>&1
}

find_bin() {
    if [ -z "$bin" ]; then
        bin=$(command -v corvashenmir || true)
        [ -n "$bin" ] || bin=$REPO/build-release/corvashenmir
    fi
    [ -x "$bin" ] || die "no daemon binary at '$bin' (build it with ./run.sh --help, or give --bin)"
    bin=$(cd "$(dirname "$bin")" && pwd)/$(basename "$bin")
}

# Runs a command in namespace $1, or here when $1 is empty.
in_ns() {
    local ns=$1
    shift
    if [ -n "$ns" ]; then ip netns exec "$ns" "$@"; else "$@"; fi
}

# Lines of daemon k's logs that say it listens.
listening_lines() {
    cat "$base/d$1"/root/corvashenmir-* 2>/dev/null | grep -c "initialized. listening on $2/udp" || true
}

# Starts daemon k and waits until it logs that it listens.
start_daemon() {
    local k=$1 ns=$2 dport=$3 dir=$base/d$1 before
    before=$(listening_lines "$k" "$dport")
    in_ns "$ns" "$bin" --port "$dport" --rootdir "$dir/root" --pidfile "$dir/pid" --daemon \
        ${daemon_args[@]+"${daemon_args[@]}"} >"$dir/console" 2>&1 \
        || die "daemon $k did not start: $(cat "$dir/console")"
    local i pid
    for ((i = 0; i < 200; i++)); do
        if [ "$(listening_lines "$k" "$dport")" -gt "$before" ]; then
            pid=$(cat "$dir/pid" 2>/dev/null || true)
            [ -n "$pid" ] && alive "$pid" && return 0
        fi
        sleep 0.05
    done
    die "daemon $k is not listening on port $dport after 10 s (see $dir)"
}

# A process that has exited but is not reaped yet counts as gone.
alive() {
    local stat
    [[ $1 =~ ^[0-9]+$ ]] || return 1
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != Z ] && [ "${stat%% *}" != X ]
}

# Stops the daemon of pid $1: SIGTERM, then up to 20 s for its last
# statistics and files; returns 1 when it had to be killed.
stop_pid() {
    local pid=$1 i
    alive "$pid" || return 0
    grep -qa corvashenmir "/proc/$pid/cmdline" 2>/dev/null || return 0
    kill -TERM "$pid" 2>/dev/null || return 0
    for ((i = 0; i < 400; i++)); do
        alive "$pid" || return 0
        sleep 0.05
    done
    echo "scaleout: daemon $pid did not stop, killing it" >&2
    kill -KILL "$pid" 2>/dev/null || true
    return 1
}

# What down, start and stop need, as shell assignments.
save_state() {
    {
        printf 'name=%q topology=%q daemons=%q port=%q first_port=%q listen=%q listen6=%q bin=%q\n' \
            "$name" "$topology" "$daemons" "$port" "$first_port" "$listen" "$listen6" "$bin"
        printf 'daemon_args=('
        printf '%q ' ${daemon_args[@]+"${daemon_args[@]}"}
        printf ')\n'
    } >"$base/scaleout.state"
}

load_state() {
    [ -n "$base" ] || die "--base DIR is required"
    [ -r "$base/scaleout.state" ] || die "nothing set up: no $base/scaleout.state"
    base=$(cd "$base" && pwd)
    # shellcheck disable=SC1091
    . "$base/scaleout.state"
    table=corvashenmir-$name
}

namespaces() {
    local k
    echo "$name-cl"
    echo "$name-lb"
    for ((k = 0; k < daemons; k++)); do echo "$name-h$k"; done
}

# A failed up takes down what it made.
undo_up() {
    local status=$?
    trap - EXIT
    echo "scaleout: setting up failed; undoing" >&2
    (down) || true
    exit $((status ? status : 1))
}

up() {
    [ -n "$base" ] || die "--base DIR is required"
    [ "$(id -u)" = 0 ] || die "needs root (namespaces, nftables)"
    command -v nft >/dev/null || die "nft not found (apt-get install nftables)"
    [ ! -e "$base/scaleout.state" ] || die "$base/scaleout.state exists: run down first"
    find_bin
    local addrs=() addrs4=() addrs6=() words=() w t
    if [ -n "$sources" ]; then
        mapfile -t addrs4 < <(sed 's/^[[:space:]]*//' "$sources" | grep -Eo '^[0-9]{1,3}(\.[0-9]{1,3}){3}' | sort -u)
        # IPv6 sources are the lines whose first word has a colon.
        mapfile -t words < <(sed 's/^[[:space:]]*//' "$sources" | grep -Eo '^[^[:space:]]*:[^[:space:]]*')
        for w in ${words[@]+"${words[@]}"}; do
            t=$(ipv6_text "$w") || die "--sources: '$w' is not an IPv6 source address in hexadecimal groups (IPv4 ones dotted)"
            addrs6+=("$t")
        done
        mapfile -t addrs6 < <(printf '%s\n' ${addrs6[@]+"${addrs6[@]}"} | sed '/^$/d' | sort -u)
        addrs=(${addrs4[@]+"${addrs4[@]}"} ${addrs6[@]+"${addrs6[@]}"})
    fi
    # Never take over (nor, undoing, remove) what is there already.
    if [ "$topology" = hosts ]; then
        local ns
        for ns in $(namespaces); do
            [ ! -e "/run/netns/$ns" ] || die "namespace $ns exists already"
        done
    elif have_tables ""; then
        die "nftables table ip or ip6 $table exists already"
    fi
    mkdir -p "$base"
    base=$(cd "$base" && pwd)
    # What down needs, written first so that a failed up can be undone.
    save_state
    trap 'undo_up' EXIT

    local k
    for ((k = 0; k < daemons; k++)); do
        mkdir -p "$base/d$k/root"
        local a
        for a in ${addrs[@]+"${addrs[@]}"}; do mkdir -p "$base/d$k/root/$a"; done
    done

    local lbns=
    if [ "$topology" = hosts ]; then
        lbns=$name-lb
        local ns
        for ns in $(namespaces); do
            ip netns add "$ns"
            ip -n "$ns" link set lo up
        done
        ip netns exec "$lbns" sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1
        for ((k = 0; k < daemons; k++)); do
            # Created inside the balancer, its peer moved straight into the host.
            ip -n "$lbns" link add "h$k" type veth peer name lb netns "$name-h$k"
            ip -n "$lbns" addr add "$(lb_host_addr "$k")/24" dev "h$k"
            ip -n "$lbns" link set "h$k" up
            ip -n "$name-h$k" addr add "$(host_addr "$k")/24" dev lb
            ip -n "$name-h$k" link set lb up
            ip -n "$name-h$k" route add default via "$(lb_host_addr "$k")"
            ip -n "$lbns" addr add "$(lb_host_addr6 "$k")/64" dev "h$k" nodad
            ip -n "$name-h$k" addr add "$(host_addr6 "$k")/64" dev lb nodad
            ip -n "$name-h$k" -6 route add default via "$(lb_host_addr6 "$k")"
        done
        local cl=$name-cl
        ip -n "$lbns" link add cl type veth peer name lb netns "$cl"
        ip -n "$lbns" addr add "$listen/24" dev cl
        ip -n "$lbns" link set cl up
        ip -n "$cl" addr add "$(client_addr)/24" dev lb
        ip -n "$cl" link set lb up
        ip -n "$cl" route add default via "$listen"
        # The balancer answers (ICMP) and forwards back towards the senders.
        ip -n "$lbns" route add default via "$(client_addr)"
        # IPv6 on that link: its link-local addresses route, --listen6 is the
        # balancer's own.
        ip -n "$lbns" addr add fe80::1/64 dev cl nodad
        ip -n "$lbns" addr add "$listen6/128" dev cl nodad
        ip -n "$cl" addr add fe80::2/64 dev lb nodad
        ip -n "$cl" -6 route add default via fe80::1 dev lb
        ip -n "$lbns" -6 route add default via fe80::2 dev cl
        # Every source address on the client's link, for senders to bind.
        {
            printf 'address add %s/32 dev lb\n' ${addrs4[@]+"${addrs4[@]}"}
            printf 'address add %s/128 dev lb nodad\n' ${addrs6[@]+"${addrs6[@]}"}
        } | grep -v '^address add /' | ip -n "$cl" -batch - || true
        [ "$(ip -n "$cl" -4 -o addr show dev lb | wc -l)" -gt "${#addrs4[@]}" ] \
            && [ "$(ip -n "$cl" -6 -o addr show dev lb scope global | wc -l)" -eq "${#addrs6[@]}" ] \
            || die "could not add the source addresses to $cl"
    fi

    rules | in_ns "$lbns" nft -f -

    for ((k = 0; k < daemons; k++)); do
        if [ "$topology" = hosts ]; then
            start_daemon "$k" "$name-h$k" "$port"
        else
            start_daemon "$k" "" $((first_port + k))
        fi
        echo "daemon $k: pid $(cat "$base/d$k/pid") root $base/d$k/root"
    done
    trap - EXIT
    if [ "$topology" = hosts ]; then
        echo "balancer: namespace $lbns, $listen:$port/udp and [$listen6]:$port/udp -> $daemons hosts"
        echo "senders: namespace $name-cl, ${#addrs4[@]} IPv4 and ${#addrs6[@]} IPv6 source addresses"
    else
        echo "balancer: ${listen:-any local IPv4 address} and ${listen6:-any local IPv6 address}, port $port/udp" \
            "-> ports $first_port..$((first_port + daemons - 1))"
    fi
}

down() {
    load_state
    local k status=0
    for ((k = 0; k < daemons; k++)); do
        stop_pid "$(cat "$base/d$k/pid" 2>/dev/null || true)" || status=1
    done
    if [ "$topology" = hosts ]; then
        local ns pid
        for ns in $(namespaces); do
            [ -e "/run/netns/$ns" ] || continue
            # Whatever still runs in a namespace of ours goes with it.
            for pid in $(ip netns pids "$ns" 2>/dev/null); do
                kill -KILL "$pid" 2>/dev/null || true
            done
            ip netns del "$ns" || status=1
        done
    else
        local family
        for family in ip ip6; do
            if nft list table "$family" "$table" >/dev/null 2>&1; then
                nft delete table "$family" "$table" || status=1
            fi
        done
    fi
    rm -f "$base/scaleout.state"
    return $status
}

# The daemon of --index K, for start and stop.
one_daemon() {
    is_num "$index" && [ "$index" -lt "$daemons" ] || die "--index must be 0..$((daemons - 1))"
}

start_one() {
    load_state
    one_daemon
    ! alive "$(cat "$base/d$index/pid" 2>/dev/null || true)" || die "daemon $index runs already"
    if [ "$topology" = hosts ]; then
        start_daemon "$index" "$name-h$index" "$port"
    else
        start_daemon "$index" "" $((first_port + index))
    fi
    echo "daemon $index: pid $(cat "$base/d$index/pid") root $base/d$index/root"
}

stop_one() {
    load_state
    one_daemon
    stop_pid "$(cat "$base/d$index/pid" 2>/dev/null || true)"
}

case $cmd in
    up) up ;;
    down) down ;;
    start) start_one ;;
    stop) stop_one ;;
    rules) rules ;;
    *) die "unknown command '$cmd' (up, down, start, stop, rules)" ;;
esac
