#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Checks the include lines of src/: a folder includes only folders below it
# (common, clock, log, dest, recv, metrics, shell, from the bottom); no two
# files include each other, a header and its source counting as one, and a
# module's test seams (X_test.h) counting as module X; a test seam is
# included in src/ only from its own folder. Names the
# file and line of every include that breaks a rule; exit status 1 then.
# Usage: scripts/layers.sh [SRC_DIR]   (default: the tree's src/)
set -euo pipefail
cd "${1:-$(dirname "$0")/../src}"
awk '
    BEGIN {
        n = split("common clock log dest recv metrics shell", order, " ")
        for (i = 1; i <= n; i++) layer[order[i]] = i
    }
    FNR == 1 {
        file = FILENAME
        folder = file; sub(/\/.*/, "", folder)
        unit = file; sub(/(_test)?\.(h|cpp)$/, "", unit)
        if (!(folder in layer)) { printf "%s: folder %s is no layer\n", file, folder; bad = 1 }
    }
    /^#include "/ {
        target = $2; gsub(/"/, "", target)
        tfolder = target; sub(/\/.*/, "", tfolder)
        tunit = target; sub(/(_test)?\.h$/, "", tunit)
        where = file ":" FNR
        if (!(tfolder in layer)) {
            printf "%s: includes %s, in no layer\n", where, target; bad = 1
        } else if (layer[tfolder] > layer[folder]) {
            printf "%s: includes %s, a higher folder (%s above %s)\n", where, target, tfolder, folder; bad = 1
        }
        if (target ~ /_test\.h$/ && tfolder != folder) {
            printf "%s: includes the test seam %s of another folder\n", where, target; bad = 1
        }
        if (tunit != unit) {
            edge[unit, tunit] = where
            units[unit]; units[tunit]
        }
    }
    END {
        for (k in edge) {
            split(k, p, SUBSEP)
            if (p[1] < p[2] && ((p[2], p[1]) in edge)) {
                printf "%s and %s include each other: %s, %s\n", p[1], p[2], edge[k], edge[p[2], p[1]]
                bad = 1
            }
        }
        exit bad
    }
' $(find . -name '*.h' -o -name '*.cpp' | sed 's|^\./||' | sort)
echo "layers: every include of src/ runs downward, and no two files include each other"
