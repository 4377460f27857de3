#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs the build into a scratch root, checks that the service unit and
# the options file agree, and verifies the unit with systemd-analyze: its
# directives, its command paths (the unit is copied with ExecStart pointing
# into the scratch root, where the binary is), its manual page, and its
# exposure score.
# Usage: unit_test.sh <build dir>
build=$1
. "$(dirname "$0")/common.sh"

root=$scratch/root
DESTDIR=$root cmake --install "$build" > "$scratch/install.log" || { cat "$scratch/install.log"; fail "cmake --install failed"; }

find "$root" -name corvashenmir.service -path '*/lib/systemd/system/*' -printf '/%P\n' > "$scratch/units" ||
    fail "find in $root failed"
mapfile -t units < "$scratch/units"
[ ${#units[@]} = 1 ] || fail "expected one unit below lib/systemd/system, found ${#units[@]}: ${units[*]}"
unit=$root${units[0]}
find "$root" -path '*/default/corvashenmir' -printf '/%P\n' > "$scratch/envfiles" || fail "find in $root failed"
mapfile -t envfiles < "$scratch/envfiles"
[ ${#envfiles[@]} = 1 ] || fail "expected one options file etc/default/corvashenmir, found ${#envfiles[@]}: ${envfiles[*]}"
envfile=${envfiles[0]}

# The unit reads the installed options file, runs the installed binary in
# the foreground with the options variable, and may write only below the
# root directory that the options file names.
expect_line "$unit" "EnvironmentFile=-$envfile"
execstart=$(grep '^ExecStart=' "$unit") || fail "no ExecStart= in the unit $unit"
[[ "$execstart" =~ ^ExecStart=([^ ]+) ]] || fail "ExecStart names no program: '$execstart'"
binpath=${BASH_REMATCH[1]}
[ -x "$root$binpath" ] || fail "ExecStart names $binpath, which was not installed"
[[ "$execstart" == *' $CORVASHENMIR_OPTS '* ]] || fail "ExecStart does not pass \$CORVASHENMIR_OPTS: $execstart"
[[ "$execstart" != *--daemon* ]] || fail "the unit must run the daemon in the foreground: $execstart"
pidfile=
[[ "$execstart" =~ \ --pidfile\ ([^ ]+) ]] && pidfile=${BASH_REMATCH[1]}
rundir=$(sed -n 's/^RuntimeDirectory=//p' "$unit")
[ "$pidfile" = "/run/$rundir/corvashenmir.pid" ] ||
    fail "the pid file is '$pidfile', expected /run/$rundir/corvashenmir.pid in the runtime directory (ExecStart: $execstart)"
opts=$(set +u; . "$root$envfile"; echo "$CORVASHENMIR_OPTS") || fail "the options file $envfile cannot be read by sh"
rootdir=
[[ "$opts" =~ --rootdir\ ([^ ]+) ]] && rootdir=${BASH_REMATCH[1]}
[ -n "$rootdir" ] || fail "the options file's CORVASHENMIR_OPTS names no --rootdir: '$opts'"
expect_line "$unit" "ReadWritePaths=-$rootdir"
expect_line "$unit" "Environment=\"CORVASHENMIR_OPTS=--rootdir $rootdir\""
expect_line "$unit" 'ExecReload=/bin/kill -HUP $MAINPID'
expect_line "$unit" 'ProtectSystem=strict'
# The emptied pid file stays after a stop.
expect_line "$unit" 'RuntimeDirectoryPreserve=yes'
expect_line "$unit" 'CapabilityBoundingSet=CAP_NET_BIND_SERVICE'
# The daemon receives on one dual-stack IPv6 socket, or on IPv4 alone.
expect_line "$unit" 'RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX'

need systemd-analyze systemd
# A container may keep systemd-analyze from working at all: try it on a
# trivial unit first, so that only the project's unit can fail the test.
printf '[Service]\nExecStart=/bin/true\n' > "$scratch/probe.service"
systemd-analyze verify --man=no "$scratch/probe.service" > "$scratch/probe.log" 2>&1 ||
    skip "systemd-analyze verify does not run here: $(head -c 300 "$scratch/probe.log")"

mkdir "$scratch/verify"
sed "s#^ExecStart=$binpath #ExecStart=$root$binpath #" "$unit" > "$scratch/verify/corvashenmir.service"
set +e
out=$(MANPATH=$root/usr/share/man:$root/usr/local/share/man:$root/share/man \
      systemd-analyze verify "$scratch/verify/corvashenmir.service" 2>&1)
rc=$?
set -e
# systemd-analyze only warns about unknown or malformed directives, so any
# output at all fails the test.
[ $rc = 0 ] && [ -z "$out" ] || fail "systemd-analyze verify (status $rc): $out"
echo "systemd-analyze verify: clean"

# Exposure 0.0 (locked down) to 10.0 (unprotected); the unit scores 1.8
# and may reach 2.0. The threshold is in tenths.
if systemd-analyze security --offline=true --no-pager --threshold=20 \
       "$scratch/verify/corvashenmir.service" > "$scratch/security.log" 2>&1; then
    grep 'Overall exposure level' "$scratch/security.log"
elif grep -q 'Overall exposure level' "$scratch/security.log"; then
    grep -E '✗|Overall' "$scratch/security.log"
    fail "the unit's exposure is above 2.0: $(grep 'Overall exposure level' "$scratch/security.log")"
else
    cat "$scratch/security.log"
    echo "systemd-analyze security --offline does not run here; exposure not checked"
fi
