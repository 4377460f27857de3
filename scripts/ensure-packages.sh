#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Installs the Debian packages named as arguments that are not installed yet.
set -euo pipefail
missing=()
for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    apt-get update -qq -o DPkg::Lock::Timeout=600
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 --no-install-recommends "${missing[@]}"
fi
