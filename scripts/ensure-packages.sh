#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs the Debian packages named as arguments that are not installed yet.
# With --no-start first, services the packages bring are not started: a
# policy-rc.d that refuses stands for the install only.
set -euo pipefail
nostart=0
if [ "${1:-}" = --no-start ]; then
    nostart=1
    shift
fi
missing=()
for pkg in "$@"; do
    # Taken whole, not piped to a reader that may stop early: under pipefail the
    # writer's SIGPIPE would count an installed package as missing.
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [[ $status == *"ok installed"* ]] || missing+=("$pkg")
done
[ ${#missing[@]} -gt 0 ] || exit 0
echo "installing: ${missing[*]}"
policy=/usr/sbin/policy-rc.d
if [ "$nostart" = 1 ] && [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    trap 'rm -f "$policy"' EXIT
fi
apt-get update -qq -o DPkg::Lock::Timeout=600
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 --no-install-recommends "${missing[@]}"
