#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Checks the Debian package on a real systemd, as an operator would use it:
# builds the .deb from this tree, makes a fresh Debian 12 root with
# mmdebstrap, boots it with systemd-nspawn in a network namespace of its own
# (so port 514 is the container's, never the host's), and there installs,
# feeds, reloads, stops, upgrades, removes and purges the package.
# Not part of ./test.sh: run it by hand, as root. Besides installing
# mmdebstrap and systemd-container when they are missing, it leaves the host
# as it found it, also when a check fails or it is interrupted.
# Usage: scripts/service_check.sh [--keep] [--mirror URL]
#   --keep        keep the container's root directory for a look afterwards
#   --mirror URL  Debian mirror (default http://deb.debian.org/debian)
set -euo pipefail

tree=$(cd "$(dirname "$0")/.." && pwd)
keep=0
mirror=http://deb.debian.org/debian
while [ $# -gt 0 ]; do
    case $1 in
    --keep) keep=1 ;;
    --mirror) [ $# -ge 2 ] || { echo "--mirror needs a URL" >&2; exit 2; }; mirror=$2; shift ;;
    *) echo "usage: $0 [--keep] [--mirror URL]" >&2; exit 2 ;;
    esac
    shift
done
[ "$(id -u)" = 0 ] || { echo "$0: run it as root (it builds and boots a container)" >&2; exit 2; }

started=$SECONDS
work=
nspawn_pid=
init_pid=
holder_pid=
nspawn_dir_existed=1
[ -d /run/systemd/nspawn ] || nspawn_dir_existed=0
results=()
failures=0

say() { printf '%s\n' "$*"; }
# A step the checks depend on failed: no check after it can run.
die() {
    say "FAIL: $*"
    results+=("FAIL  $*")
    failures=$((failures + 1))
    exit 1
}
record() {
    local verdict=$1 name=$2
    say "$verdict: $name"
    results+=("$verdict  $name")
    [ "$verdict" = PASS ] || failures=$((failures + 1))
}
# Runs a check function; it prints what it found and returns non-zero when
# that is not what was expected.
check() {
    local name=$1
    shift
    say "--- $name"
    if "$@"; then record PASS "$name"; else record FAIL "$name"; fi
}

stop_container() {
    [ -n "$nspawn_pid" ] || return 0
    if kill -0 "$nspawn_pid" 2>/dev/null; then
        # nspawn asks the container's systemd to power off.
        kill -TERM "$nspawn_pid" 2>/dev/null || true
        local n=0
        while kill -0 "$nspawn_pid" 2>/dev/null && [ $n -lt 600 ]; do
            sleep 0.1
            n=$((n + 1))
        done
        if kill -0 "$nspawn_pid" 2>/dev/null; then
            say "the container did not power off within 60 s: killing it"
            kill -KILL "$nspawn_pid" 2>/dev/null || true
        fi
    fi
    # The end of the container's init ends every process of its namespace.
    if [ -n "$init_pid" ] && kill -0 "$init_pid" 2>/dev/null; then
        kill -KILL "$init_pid" 2>/dev/null || true
    fi
    wait "$nspawn_pid" 2>/dev/null || true
    nspawn_pid=
}

cleanup() {
    local status=$?
    trap - EXIT INT TERM HUP
    set +e
    if [ -n "$holder_pid" ]; then
        kill "$holder_pid" 2>/dev/null
        wait "$holder_pid" 2>/dev/null
    fi
    stop_container
    if [ -n "$work" ]; then
        # Whatever is still mounted below the work directory, deepest first.
        local mounts m
        mounts=$(awk -v w="$work" 'index($5, w "/") == 1 {print $5}' /proc/self/mountinfo | sort -r)
        for m in $mounts; do
            umount "$m" 2>/dev/null || umount -l "$m"
        done
        if [ $keep = 1 ] && [ -d "$work/root" ]; then
            say "kept: the container's root $work/root (remove it with rm -rf $work)"
        else
            rm -rf "$work"
            rmdir /var/tmp/corvashenmir-service-check 2>/dev/null
        fi
    fi
    # systemd-nspawn makes these on the host; they are empty once it ends.
    if [ $nspawn_dir_existed = 0 ] && [ -d /run/systemd/nspawn ]; then
        rmdir /run/systemd/nspawn/locks /run/systemd/nspawn/propagate /run/systemd/nspawn 2>/dev/null
    fi
    say ""
    say "=== service check summary ($(( SECONDS - started )) s)"
    local line
    for line in "${results[@]}"; do say "$line"; done
    if [ $status = 0 ] && [ $failures = 0 ]; then
        say "service check: PASS (${#results[@]} checks)"
        exit 0
    fi
    if [ $failures = 0 ]; then
        say "service check: FAIL (stopped with status $status after ${#results[@]} checks)"
    else
        say "service check: FAIL ($failures of ${#results[@]} checks failed)"
    fi
    exit 1
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

for tool in cmake cpack dpkg-deb dpkg-shlibdeps g++ python3 nsenter; do
    command -v "$tool" >/dev/null || die "$tool is missing: ./test.sh installs what the build needs"
done
"$tree/scripts/ensure-packages.sh" mmdebstrap systemd-container

mkdir -p /var/tmp/corvashenmir-service-check
work=$(mktemp -d /var/tmp/corvashenmir-service-check/run.XXXXXX)
mkdir "$work/tmp"
export TMPDIR=$work/tmp

# --- The package, and the same package as the next Debian revision.
build=$tree/build-service-check
say "=== building the package in $build"
generator=()
[ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$tree" -B "$build" ${generator[@]+"${generator[@]}"} -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_INSTALL_PREFIX=/usr -DCORVASHENMIR_TESTS=OFF -DCORVASHENMIR_SANITIZE=OFF > "$work/configure.log" 2>&1 ||
    { cat "$work/configure.log"; die "configure failed"; }
cmake --build "$build" --target corvashenmir corvashenmir_docs -j 2 > "$work/build.log" 2>&1 ||
    { cat "$work/build.log"; die "build failed"; }
rm -f "$build"/corvashenmir_*.deb
(cd "$build" && cpack -G DEB) > "$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; die "cpack failed"; }
debs=("$build"/corvashenmir_*.deb)
[ -f "${debs[0]}" ] || die "cpack made no package: $(cat "$work/cpack.log")"
deb1=${debs[0]}
version1=$(dpkg-deb -f "$deb1" Version)
version2=${version1%-*}-$(( ${version1##*-} + 1 ))
dpkg-deb -R "$deb1" "$work/bump"
sed -i "s/^Version: .*/Version: $version2/" "$work/bump/DEBIAN/control"
deb2=$work/corvashenmir_${version2}_$(dpkg-deb -f "$deb1" Architecture).deb
dpkg-deb --root-owner-group -b "$work/bump" "$deb2" > /dev/null
rm -rf "$work/bump"
say "packages: $(basename "$deb1"), and $(basename "$deb2") for the upgrade"

# --- A fresh Debian 12 root, booted.
root=$work/root
say "=== making a Debian 12 root with mmdebstrap from $mirror"
# procps is the package's one dependency beyond libc6: the container has no
# network to fetch it from.
mmdebstrap --variant=minbase --include=systemd,systemd-sysv,dbus,bsdutils,iproute2,procps bookworm "$root" \
    "deb $mirror bookworm main" "deb $mirror bookworm-updates main" \
    "deb ${mirror%/debian}/debian-security bookworm-security main" > "$work/mmdebstrap.log" 2>&1 ||
    { tail -n 30 "$work/mmdebstrap.log"; die "mmdebstrap failed"; }
say "root: $(du -sh "$root" | cut -f1) in $root"
cp "$deb1" "$deb2" "$root/root/"
pkg1=/root/$(basename "$deb1")
pkg2=/root/$(basename "$deb2")

say "=== booting it"
setsid systemd-nspawn --boot --register=no --keep-unit --private-network --console=passive \
    --machine=corvashenmir-check -D "$root" < /dev/null > "$work/nspawn.log" 2>&1 &
nspawn_pid=$!
# The container's init is the nspawn process's child that runs systemd.
for _ in $(seq 300); do
    for child in $(cat /proc/"$nspawn_pid"/task/*/children 2>/dev/null); do
        [ "$(cat /proc/"$child"/comm 2>/dev/null)" = systemd ] && init_pid=$child
    done
    [ -n "$init_pid" ] && break
    kill -0 "$nspawn_pid" 2>/dev/null || { cat "$work/nspawn.log"; die "systemd-nspawn ended"; }
    sleep 0.1
done
[ -n "$init_pid" ] || { cat "$work/nspawn.log"; die "no systemd in the container after 30 s"; }

# Runs a command in the container, with its environment and a time limit.
inside() {
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 SYSTEMD_PAGER= SYSTEMD_COLORS=0 \
        nsenter --target "$init_pid" --all --root --wd -- timeout --kill-after=10 120 "$@"
}
# The manager answers once it has made its private socket.
manager_up() { inside test -S /run/systemd/private; }
for _ in $(seq 300); do manager_up && break; sleep 0.1; done
state=$(inside systemctl is-system-running --wait) || true
say "systemctl is-system-running: $state"
case $state in
running) ;;
degraded) inside systemctl --failed --no-pager --no-legend || true ;;
*) die "the container's systemd did not settle: $state" ;;
esac
say "container init pid $init_pid; network: $(inside ip -brief address show | tr -s ' \n' ' ')"

unit=corvashenmir.service
pidfile=/run/corvashenmir/corvashenmir.pid
source_dir=/var/log/remote/127.0.0.1

# Microseconds since the epoch.
now_us() { echo "${EPOCHREALTIME/[.,]/}"; }
# Polls a condition (a command) until it holds, for at most the given
# seconds.
poll() {
    local deadline=$(( $(now_us) + $1 * 1000000 ))
    shift
    until "$@"; do
        [ "$(now_us)" -lt $deadline ] || return 1
        sleep 0.05
    done
}
main_pid() { inside systemctl show --property=MainPID --value $unit; }
pid_file() { inside cat $pidfile 2>/dev/null || true; }
# The daemon is listening once its pid file holds the unit's main pid.
listening() {
    local main
    main=$(main_pid) || return 1
    [ "$main" != 0 ] && [ "$(pid_file)" = "$main" ]
}
show_unit() {
    say "is-enabled: $(inside systemctl is-enabled $unit 2>&1 || true);" \
        "is-active: $(inside systemctl is-active $unit 2>&1 || true);" \
        "main pid: $(main_pid || true); pid file: '$(pid_file)'"
}
dpkg_status() { inside dpkg-query -W -f '${Status} ${Version}' corvashenmir 2>/dev/null || echo "not known"; }
# Runs a package command in the container; its output goes to $work/dpkg.out
# and is printed.
package() {
    local rc=0
    inside env DEBIAN_FRONTEND=noninteractive "$@" > "$work/dpkg.out" 2>&1 || rc=$?
    sed 's/^/    | /' "$work/dpkg.out"
    say "$* exited with status $rc; package: $(dpkg_status)"
    return $rc
}
daemon_log() { inside sh -c 'cat /var/log/remote/corvashenmir-*' 2>/dev/null || true; }

check_install() {
    package apt-get install --yes "$pkg1" || return 1
    local up=0
    poll 5 listening || up=1
    show_unit
    say "root directory: $(inside stat -c '%F %a %U:%G' /var/log/remote)"
    [ $up = 0 ] && [ "$(inside systemctl is-enabled $unit)" = enabled ] &&
        [ "$(inside stat -c '%F %a %U:%G' /var/log/remote)" = "directory 750 root:root" ]
}

token=check-$$-$RANDOM
send_messages() {
    local i
    for i in 1 2 3; do
        inside logger -n 127.0.0.1 -P 514 -d "$token message $i"
    done
}
stored() {
    local n
    n=$(inside sh -c "cat $source_dir/127.0.0.1-* 2>/dev/null" | grep -c -F "$token" || true)
    [ "$n" -ge 3 ]
}
check_logger() {
    inside mkdir -p $source_dir || return 1
    local t0 files
    t0=$(now_us)
    send_messages
    if poll 2 stored; then
        say "stored within $(( ($(now_us) - t0) / 1000 )) ms:"
        inside sh -c "grep -H -F '$token' $source_dir/127.0.0.1-*" | sed 's/^/    | /'
        files=$(inside ls $source_dir)
        [[ "$files" =~ ^127\.0\.0\.1-[0-9]{10}$ ]] || { say "files: $files, expected one 127.0.0.1-YYYYMMDDHH"; return 1; }
    else
        say "not all three messages in $source_dir after 2 s; it holds: $(inside ls -l $source_dir)"
        return 1
    fi
}

hangups() { daemon_log | grep -c -E '^[^ ]+ signal: (got SIGHUP - flushing and closing all open files|back from SIGHUP)' || true; }
check_reload() {
    local before
    before=$(hangups)
    inside systemctl reload $unit || { say "systemctl reload failed"; return 1; }
    reloaded() { [ "$(hangups)" -ge $((before + 2)) ]; }
    if poll 2 reloaded; then
        daemon_log | grep ' signal: ' | tail -n 2 | sed 's/^/    | /'
    else
        say "the daemon log holds $(hangups) hangup lines, $before before the reload:"
        daemon_log | tail -n 5 | sed 's/^/    | /'
        return 1
    fi
}

check_journal() {
    local lines
    # The console lines start with the program's name.
    lines=$(inside journalctl --unit=$unit --no-pager --output=cat | grep -E '(^| )startup: ' || true)
    printf '%s\n' "$lines" | sed 's/^/    | /'
    [[ "$lines" == *'startup: version='* ]] && [[ "$lines" == *'startup: corvashenmir initialized. listening on 514/udp'* ]]
}

check_security() {
    local line
    line=$(inside systemd-analyze security --no-pager $unit | grep 'Overall exposure level') || return 1
    say "$line"
    [[ "$line" =~ :\ ([0-9]+)\.([0-9]) ]] || return 1
    [ $(( BASH_REMATCH[1] * 10 + BASH_REMATCH[2] )) -le 20 ]
}

check_upgrade() {
    local before after
    before=$(main_pid)
    package dpkg -i "$pkg2" || return 1
    poll 5 listening || { show_unit; return 1; }
    after=$(main_pid)
    say "main pid $before before the upgrade, $after after it"
    [ "$(dpkg_status)" = "install ok installed $version2" ] && [ "$before" != "$after" ] &&
        ! grep -q 'did not come up' "$work/dpkg.out"
}

check_stop() {
    local rc=0
    inside systemctl stop $unit || rc=$?
    show_unit
    say "systemctl stop exited with status $rc; daemon log ends:"
    daemon_log | tail -n 3 | sed 's/^/    | /'
    [ $rc = 0 ] && inside test -f $pidfile && ! inside test -s $pidfile &&
        [ "$(inside systemctl show --property=Result --value $unit)" = success ]
}

check_remove() {
    inside systemctl start $unit
    poll 5 listening || { show_unit; return 1; }
    package dpkg -r corvashenmir || return 1
    show_unit
    say "stored: $(inside sh -c "ls /var/log/remote $source_dir" | tr '\n' ' ')"
    [ "$(inside systemctl is-active $unit)" != active ] && inside sh -c "grep -q -F '$token' $source_dir/127.0.0.1-*"
}

check_purge() {
    package apt-get purge --yes corvashenmir || return 1
    grep -q 'stored logs in /var/log/remote are kept' "$work/dpkg.out" || { say "no word that the logs are kept"; return 1; }
    local left
    left=$(inside sh -c 'ls -d /etc/systemd/system/corvashenmir.service /etc/systemd/system/*/corvashenmir.service \
        /var/lib/systemd/deb-systemd-helper-*/corvashenmir.service* /var/lib/systemd/deb-systemd-helper-*/*/corvashenmir.service \
        /run/corvashenmir /lib/systemd/system/corvashenmir.service /etc/default/corvashenmir 2>/dev/null' || true)
    say "left of the package: '${left}'"
    say "stored: $(inside sh -c "ls /var/log/remote $source_dir" | tr '\n' ' ')"
    [ -z "$left" ] && [ "$(dpkg_status)" = "not known" ] && inside sh -c "grep -q -F '$token' $source_dir/127.0.0.1-*"
}

# A UDP socket on port 514 in the container's network namespace, held by the
# host's python3, keeps the daemon from binding.
take_port() {
    nsenter --net=/proc/"$init_pid"/ns/net python3 -c '
import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", 514))
print("bound", flush=True)
time.sleep(600)
' > "$work/holder.out" 2>&1 &
    holder_pid=$!
    holding() { grep -qx bound "$work/holder.out"; }
    poll 10 holding || { cat "$work/holder.out"; return 1; }
}
check_port_taken() {
    take_port || return 1
    say "port 514/udp held in the container by pid $holder_pid"
    package dpkg -i "$pkg1" || return 1
    local ok=0
    grep -q 'did not come up' "$work/dpkg.out" || { say "no word that the service did not come up"; ok=1; }
    grep -q 'Address already in use' "$work/dpkg.out" || { say "no reason given"; ok=1; }
    grep -q 'systemctl reset-failed corvashenmir.service && systemctl start corvashenmir.service' "$work/dpkg.out" ||
        { say "no word how to start it"; ok=1; }
    [ "$(dpkg_status)" = "install ok installed $version1" ] || ok=1
    return $ok
}
check_later_start() {
    kill "$holder_pid"
    wait "$holder_pid" 2>/dev/null || true
    holder_pid=
    say "port 514/udp released"
    inside systemctl reset-failed $unit
    inside systemctl start $unit || return 1
    poll 5 listening || { show_unit; return 1; }
    show_unit
    token=$token-again
    send_messages
    poll 2 stored && say "three new messages stored"
}

say "=== checks"
check "install: the unit is enabled and active, /var/log/remote made 0750 root:root" check_install
check "logger datagrams are stored in $source_dir/127.0.0.1-<key> within 2 s" check_logger
check "systemctl reload writes the two signal: hangup lines to the daemon log" check_reload
check "the journal holds the startup: lines" check_journal
check "systemd-analyze security rates the unit 2.0 or below" check_security
check "an upgrade to $version2 restarts the daemon" check_upgrade
check "systemctl stop exits 0 and leaves the pid file empty" check_stop
check "removal stops the daemon and keeps the stored files" check_remove
check "purge removes the package's state, keeps the stored files and says so" check_purge
check "an install while port 514 is taken succeeds and prints why the daemon did not start" check_port_taken
check "once the port is free a start works and stores again" check_later_start
