#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs the Debian packages named as arguments that are not installed yet.
set -euo pipefail
missing=()
for pkg in "$@"; do
    # Taken whole, not piped to a reader that may stop early: under pipefail the
    # writer's SIGPIPE would count an installed package as missing.
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [[ $status == *"ok installed"* ]] || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    apt-get update -qq -o DPkg::Lock::Timeout=600
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 --no-install-recommends "${missing[@]}"
fi
