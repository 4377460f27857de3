# SPDX-License-Identifier: BSD-2-Clause
# Helpers of the packaging tests; sourced by each test script.
set -euo pipefail

# CTest counts exit status 77 as a skip (SKIP_RETURN_CODE).
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
need() { command -v "$1" >/dev/null 2>&1 || skip "$1 is not installed (scripts/ensure-packages.sh installs it from ${2:-$1})"; }

# A scratch directory removed when the test ends, also when it fails or is
# interrupted. The tools the tests run (dpkg-deb, lintian) keep their own
# temporary files in it, so that none is left in /tmp.
scratch=$(mktemp -d "${TMPDIR:-/tmp}/corvashenmir-pkgtest.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
mkdir "$scratch/tmp"
export TMPDIR=$scratch/tmp

# Fails unless the file holds exactly one line equal to the text.
expect_line() {
    local file=$1 line=$2 n
    n=$(grep -cxF -- "$line" "$file" || true)
    [ "$n" = 1 ] || fail "expected the line '$line' once in $file, found it $n times"
}
