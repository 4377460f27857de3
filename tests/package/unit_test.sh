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

mapfile -t units < <(cd "$root" && find . -name corvashenmir.service -path '*/lib/systemd/system/*' | sed 's#^\.##')
[ ${#units[@]} = 1 ] || fail "expected one unit below lib/systemd/system, found: ${units[*]}"
unit=$root${units[0]}
mapfile -t envfiles < <(cd "$root" && find . -path '*/default/corvashenmir' | sed 's#^\.##')
[ ${#envfiles[@]} = 1 ] || fail "expected one options file etc/default/corvashenmir, found: ${envfiles[*]}"
envfile=${envfiles[0]}

# The unit reads the installed options file, runs the installed binary in
# the foreground with the options variable, and may write only below the
# root directory that the options file names.
expect_line "$unit" "EnvironmentFile=-$envfile"
execstart=$(grep '^ExecStart=' "$unit") || fail "no ExecStart= in the unit"
binpath=$(echo "$execstart" | sed -E 's/^ExecStart=([^ ]+).*/\1/')
[ -x "$root$binpath" ] || fail "ExecStart names $binpath, which was not installed"
[[ "$execstart" == *' $CORVASHENMIR_OPTS '* ]] || fail "ExecStart does not pass \$CORVASHENMIR_OPTS: $execstart"
[[ "$execstart" != *--daemon* ]] || fail "the unit must run the daemon in the foreground: $execstart"
pidfile=$(echo "$execstart" | sed -nE 's/.* --pidfile ([^ ]+).*/\1/p')
rundir=$(sed -n 's/^RuntimeDirectory=//p' "$unit")
[ "$pidfile" = "/run/$rundir/corvashenmir.pid" ] || fail "pid file $pidfile is not in the runtime directory /run/$rundir"
rootdir=$( (set +u; . "$root$envfile"; echo "$CORVASHENMIR_OPTS") | sed -nE 's/.*--rootdir ([^ ]+).*/\1/p')
[ -n "$rootdir" ] || fail "the options file names no --rootdir"
expect_line "$unit" "ReadWritePaths=-$rootdir"
expect_line "$unit" "Environment=\"CORVASHENMIR_OPTS=--rootdir $rootdir\""
expect_line "$unit" 'ExecReload=/bin/kill -HUP $MAINPID'
expect_line "$unit" 'ProtectSystem=strict'
expect_line "$unit" 'CapabilityBoundingSet=CAP_NET_BIND_SERVICE'

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

# Exposure 0.0 (locked down) to 10.0 (unprotected); the unit scores 1.8.
if systemd-analyze security --offline=true --no-pager --threshold=30 \
       "$scratch/verify/corvashenmir.service" > "$scratch/security.log" 2>&1; then
    grep 'Overall exposure level' "$scratch/security.log"
elif grep -q 'Overall exposure level' "$scratch/security.log"; then
    grep -E '✗|Overall' "$scratch/security.log"
    fail "the unit's exposure is above 3.0"
else
    cat "$scratch/security.log"
    echo "systemd-analyze security --offline does not run here; exposure not checked"
fi
