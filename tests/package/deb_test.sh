#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Builds the Debian package from the source tree in a build directory of its
# own (prefix /usr, no sanitizers, no tests), checks its contents, control
# fields and maintainer scripts, unpacks it into a scratch root and runs the
# unpacked binary and the maintainer scripts there, and lints it with lintian
# where lintian is installed.
# Every tool's output is captured before it is tested: a reader that stops
# early would otherwise kill the writer with SIGPIPE and fail the pipeline.
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

# Lists the members of a tar listing (tar -tv) other than directories as
# mode, owner and path, sorted.
members() { awk '$1 !~ /^d/ {print $1, $2, $6}' "$1" | sort; }

# Contents: exactly these files, with these modes and owners.
dpkg-deb -c "$deb" > "$scratch/data.list" || fail "dpkg-deb -c $deb failed"
members "$scratch/data.list" > "$scratch/files"
sort > "$scratch/expected" <<EOT
-rw-r--r-- root/root ./etc/default/corvashenmir
-rw-r--r-- root/root ./lib/systemd/system/corvashenmir.service
-rwxr-xr-x root/root ./usr/sbin/corvashenmir
-rw-r--r-- root/root ./usr/share/doc/corvashenmir/README.md
-rw-r--r-- root/root ./usr/share/doc/corvashenmir/changelog.Debian.gz
-rw-r--r-- root/root ./usr/share/doc/corvashenmir/copyright
-rw-r--r-- root/root ./usr/share/doc/corvashenmir/operations.md
-rw-r--r-- root/root ./usr/share/lintian/overrides/corvashenmir
-rw-r--r-- root/root ./usr/share/man/man8/corvashenmir.8.gz
EOT
diff -u "$scratch/expected" "$scratch/files" || fail "package contents differ (- expected, + found)"

# Control fields.
field() { dpkg-deb -f "$deb" "$1" || fail "dpkg-deb -f $deb $1 failed"; }
expect_field() {
    local name=$1 want=$2 got
    got=$(field "$name")
    [ "$got" = "$want" ] || fail "control field $name is '$got', expected '$want'"
}
expect_field Package corvashenmir
expect_field Version "${version}-1"
expect_field Architecture "$arch"
expect_field Section admin
expect_field Priority optional
maintainer=$(field Maintainer)
[[ "$maintainer" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "control field Maintainer is '$maintainer', expected 'Name <address>'"
depends=$(field Depends)
[[ "$depends" =~ (^|, )libc6\ \(\>=\ [0-9.]+\) ]] || fail "control field Depends has no versioned libc6 (from shlibdeps): '$depends'"
[[ "$depends" =~ (^|, )procps(,|$) ]] || fail "control field Depends has no procps (the unit's /bin/kill): '$depends'"
description=$(field Description)
summary=${description%%$'\n'*}
[[ "$summary" == *'log datagrams'* ]] || fail "the Description summary does not name 'log datagrams': '$summary'"
mapfile -t description_lines <<< "$description"
[ ${#description_lines[@]} -ge 3 ] ||
    fail "the Description has ${#description_lines[@]} lines, expected a summary and at least two of long text: '$description'"

# Control archive: the conffiles list and the maintainer scripts, executable.
dpkg-deb --ctrl-tarfile "$deb" > "$scratch/control.tar" || fail "dpkg-deb --ctrl-tarfile $deb failed"
tar -tvf "$scratch/control.tar" > "$scratch/control.list" || fail "tar cannot list the control archive of $deb"
members "$scratch/control.list" > "$scratch/control.files"
sort > "$scratch/control.expected" <<EOT
-rw-r--r-- root/root ./conffiles
-rw-r--r-- root/root ./control
-rw-r--r-- root/root ./md5sums
-rwxr-xr-x root/root ./postinst
-rwxr-xr-x root/root ./postrm
-rwxr-xr-x root/root ./prerm
EOT
diff -u "$scratch/control.expected" "$scratch/control.files" ||
    fail "control archive members differ (- expected, + found)"
ctrl=$scratch/control
mkdir "$ctrl"
tar -xf "$scratch/control.tar" -C "$ctrl" || fail "tar cannot unpack the control archive of $deb"
conffiles=$(cat "$ctrl/conffiles")
[ "$conffiles" = /etc/default/corvashenmir ] || fail "conffiles lists '$conffiles', expected only /etc/default/corvashenmir"
for script in postinst prerm postrm; do
    cmp -s "$ctrl/$script" "$src/packaging/$script" || fail "the packaged $script differs from packaging/$script"
    syntax=$(sh -n "$ctrl/$script" 2>&1) || fail "sh -n $script: $syntax"
done

# Unpacked: the binary runs and prints its usage text; the compressed manual
# page and changelog are intact; the unit runs the unpacked binary's path.
root=$scratch/root
dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x $deb failed"
set +e
"$root/usr/sbin/corvashenmir" --help > "$scratch/help.out" 2> "$scratch/help.err"
rc=$?
set -e
[ $rc = 0 ] || fail "unpacked binary --help exited with status $rc: $(cat "$scratch/help.err")"
[ ! -s "$scratch/help.err" ] || fail "--help wrote to stderr: $(cat "$scratch/help.err")"
usage_first=$(head -n 1 "$scratch/help.out")
[[ "$usage_first" == *"/usr/sbin/corvashenmir $version options:"* ]] ||
    fail "usage text starts with '$usage_first', expected it to hold '/usr/sbin/corvashenmir $version options:'"
grep -qF -- '--rootdir <path>' "$scratch/help.out" || fail "usage text has no '--rootdir <path>': $(cat "$scratch/help.out")"
for gz in usr/share/man/man8/corvashenmir.8.gz usr/share/doc/corvashenmir/changelog.Debian.gz; do
    out=$(gzip -t "$root/$gz" 2>&1) || fail "gzip -t $gz: $out"
done
zcat "$root/usr/share/man/man8/corvashenmir.8.gz" > "$scratch/manpage" || fail "zcat of the packaged manual page failed"
if ! cmp -s "$scratch/manpage" "$src/doc/corvashenmir.8"; then
    diff "$src/doc/corvashenmir.8" "$scratch/manpage" > "$scratch/manpage.diff" || true
    fail "packaged manual page differs from doc/corvashenmir.8: $(head -c 400 "$scratch/manpage.diff")"
fi
execstart=$(grep '^ExecStart=' "$root/lib/systemd/system/corvashenmir.service" || true)
[[ "$execstart" == 'ExecStart=/usr/sbin/corvashenmir '* ]] ||
    fail "the unit's ExecStart is '$execstart', expected it to run /usr/sbin/corvashenmir"
echo "package $(basename "$deb"): contents, fields, control archive and unpacked binary as expected; Depends: $depends"

# Maintainer scripts, run as dpkg runs them for a package installed into
# another root (DPKG_ROOT): deb-systemd-helper keeps the unit's state in that
# root, and the scripts leave the services of the running system alone.
need deb-systemd-helper init-system-helpers
sys=$root
maint() {
    local script=$1
    shift
    DPKG_ROOT=$sys DPKG_MAINTSCRIPT_PACKAGE=corvashenmir DPKG_MAINTSCRIPT_NAME=$script \
        sh "$ctrl/$script" "$@" > "$scratch/maint.out" 2>&1 ||
        fail "$script $* exited with status $?: $(cat "$scratch/maint.out")"
    maint_out=$(cat "$scratch/maint.out")
}
# Prints the type, mode, owner and link target of a path below the root, or
# "missing".
state() {
    local out
    if [ -e "$sys$1" ] || [ -L "$sys$1" ]; then
        out=$(stat -c '%F %a %U:%G %N' "$sys$1") || fail "stat $sys$1 failed"
        echo "${out//$sys/}"
    else
        echo missing
    fi
}
expect_state() {
    local when=$1 path=$2 want=$3 got
    got=$(state "$path")
    [[ "$got" == $want ]] || fail "after $when, $path is '$got', expected '$want'"
}
wants=/etc/systemd/system/multi-user.target.wants/corvashenmir.service
mask=/etc/systemd/system/corvashenmir.service
dsh=/var/lib/systemd/deb-systemd-helper-enabled/multi-user.target.wants/corvashenmir.service

maint postinst configure
expect_state "the first configure" /var/log/remote 'directory 750 root:root *'
expect_state "the first configure" $wants "symbolic link 777 root:root *'/lib/systemd/system/corvashenmir.service'"
expect_state "the first configure" $dsh 'regular*file 644 root:root *'
[ -z "$maint_out" ] || fail "the first configure printed: $maint_out"

# An upgrade keeps the operator's root directory and the operator's
# disabling of the unit.
chmod 0755 "$sys/var/log/remote"
rm "$sys$wants"
maint postinst configure "${version}-1"
expect_state "an upgrade" /var/log/remote 'directory 755 root:root *'
expect_state "an upgrade of a disabled unit" $wants missing

mkdir -p "$sys/run/corvashenmir"
: > "$sys/run/corvashenmir/corvashenmir.pid"
maint prerm remove
maint postrm remove
expect_state "a removal" $mask "symbolic link 777 root:root *'/dev/null'"
expect_state "a removal" /run/corvashenmir missing
expect_state "a removal" /var/log/remote 'directory 755 root:root *'

# A purge drops the unit's state, keeps the stored logs and says so; with
# nothing stored the root directory goes too.
echo record > "$sys/var/log/remote/corvashenmir-20260101"
maint postrm purge
expect_state "a purge" $mask missing
expect_state "a purge" $dsh missing
expect_state "a purge" /var/log/remote/corvashenmir-20260101 'regular file 644 root:root *'
[[ "$maint_out" == *"stored logs in $sys/var/log/remote are kept"* ]] ||
    fail "a purge with stored logs printed '$maint_out', expected it to say that they are kept"
rm "$sys/var/log/remote/corvashenmir-20260101"
maint postrm purge
expect_state "a purge with nothing stored" /var/log/remote missing
[ -z "$maint_out" ] || fail "a purge with nothing stored printed: $maint_out"
echo "maintainer scripts: install, upgrade, removal and purge as expected"

# lintian runs long checks and warns about running as root; its tags are the
# result. Errors and warnings fail; the info tags are printed.
if command -v lintian >/dev/null; then
    set +e
    lintian --display-info --pedantic --fail-on error,warning "$deb" > "$scratch/lintian.log" 2> "$scratch/lintian.err"
    rc=$?
    set -e
    grep -E '^[EWIPX]: ' "$scratch/lintian.log" || true
    [ $rc = 0 ] || { cat "$scratch/lintian.err"; fail "lintian (status $rc) found errors or warnings: $(grep -E '^[EW]: ' "$scratch/lintian.log" || true)"; }
    echo "lintian: no error or warning"
else
    echo "lintian is not installed: package not linted"
fi
