#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds the Debian package from the source tree in a build directory of its
# own (prefix /usr, no sanitizers, no tests), checks its contents and control
# fields, unpacks it into a scratch root and runs the unpacked binary, and
# lints it with lintian where lintian is installed.
# Usage: deb_test.sh <source dir> <package build dir> <version>
src=$1 build=$2 version=$3
. "$(dirname "$0")/common.sh"

need dpkg-deb dpkg
need dpkg-shlibdeps dpkg-dev
need cpack cmake

# A generator can be chosen only when the directory is new.
generator=()
[ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$src" -B "$build" ${generator[@]+"${generator[@]}"} -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_INSTALL_PREFIX=/usr -DCORVASHENMIR_TESTS=OFF -DCORVASHENMIR_SANITIZE=OFF > "$scratch/configure.log" ||
    { cat "$scratch/configure.log"; fail "configure failed"; }
cmake --build "$build" --target corvashenmir corvashenmir_docs -j 2 > "$scratch/build.log" ||
    { cat "$scratch/build.log"; fail "build failed"; }
rm -f "$build"/corvashenmir_*.deb
(cd "$build" && cpack -G DEB) > "$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log"; fail "cpack failed"; }
arch=$(dpkg --print-architecture)
deb=$build/corvashenmir_${version}-1_${arch}.deb
[ -f "$deb" ] || fail "no package $deb; cpack said: $(cat "$scratch/cpack.log")"

# Contents: exactly these files, with these modes and owners.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $2, $6}' | sort > "$scratch/files"
sort > "$scratch/expected" <<EOT
-rw-r--r-- root/root ./etc/default/corvashenmir
-rw-r--r-- root/root ./lib/systemd/system/corvashenmir.service
-rwxr-xr-x root/root ./usr/sbin/corvashenmir
-rw-r--r-- root/root ./usr/share/doc/corvashenmir/README.md
-rw-r--r-- root/root ./usr/share/doc/corvashenmir/changelog.Debian.gz
-rw-r--r-- root/root ./usr/share/doc/corvashenmir/copyright
-rw-r--r-- root/root ./usr/share/lintian/overrides/corvashenmir
-rw-r--r-- root/root ./usr/share/man/man8/corvashenmir.8.gz
EOT
diff -u "$scratch/expected" "$scratch/files" || fail "package contents differ (- expected, + found)"

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = corvashenmir ] || fail "Package: $(field Package)"
[ "$(field Version)" = "${version}-1" ] || fail "Version: $(field Version), expected ${version}-1"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ "$(field Section)" = admin ] || fail "Section: $(field Section)"
[ "$(field Priority)" = optional ] || fail "Priority: $(field Priority)"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer: $(field Maintainer)"
[[ "$(field Depends)" =~ (^|, )libc6\ \(\>=\ [0-9.]+\) ]] || fail "Depends has no versioned libc6 (from shlibdeps): $(field Depends)"
field Description | head -1 | grep -q 'log datagrams' || fail "Description: $(field Description | head -1)"
[ "$(field Description | wc -l)" -ge 3 ] || fail "Description has no long text"

# The options file is a conffile, and the only one.
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles > "$scratch/conffiles" || fail "no conffiles in the control archive"
[ "$(cat "$scratch/conffiles")" = /etc/default/corvashenmir ] || fail "conffiles: $(cat "$scratch/conffiles")"

# Unpacked: the binary runs and prints its usage text; the compressed manual
# page and changelog are intact; the unit runs the unpacked binary's path.
root=$scratch/root
dpkg-deb -x "$deb" "$root"
set +e
"$root/usr/sbin/corvashenmir" --help > "$scratch/help.out" 2> "$scratch/help.err"
rc=$?
set -e
[ $rc = 0 ] || fail "unpacked binary --help exited with status $rc: $(cat "$scratch/help.err")"
[ ! -s "$scratch/help.err" ] || fail "--help wrote to stderr: $(cat "$scratch/help.err")"
head -1 "$scratch/help.out" | grep -qF "/usr/sbin/corvashenmir $version options:" ||
    fail "usage text starts with: $(head -1 "$scratch/help.out")"
grep -qF -- '--rootdir <path>' "$scratch/help.out" || fail "usage text has no --rootdir"
gzip -t "$root/usr/share/man/man8/corvashenmir.8.gz" "$root/usr/share/doc/corvashenmir/changelog.Debian.gz"
zcat "$root/usr/share/man/man8/corvashenmir.8.gz" | cmp -s - "$src/doc/corvashenmir.8" || fail "packaged manual page differs from doc/corvashenmir.8"
grep -q '^ExecStart=/usr/sbin/corvashenmir ' "$root/lib/systemd/system/corvashenmir.service" || fail "the unit does not run /usr/sbin/corvashenmir"
echo "package $(basename "$deb"): contents, fields and unpacked binary as expected; Depends: $(field Depends)"

# lintian runs long checks and warns about running as root; its tags are the
# result. Errors and warnings fail; the info tags are printed.
if command -v lintian >/dev/null; then
    set +e
    lintian --display-info --pedantic --fail-on error,warning "$deb" > "$scratch/lintian.log" 2> "$scratch/lintian.err"
    rc=$?
    set -e
    grep -E '^[EWIPX]: ' "$scratch/lintian.log" || true
    [ $rc = 0 ] || { cat "$scratch/lintian.log" "$scratch/lintian.err"; fail "lintian found errors or warnings"; }
    echo "lintian: no error or warning"
else
    echo "lintian is not installed: package not linted"
fi
