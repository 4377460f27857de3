#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Side-by-side benchmark on loopback: corvashenmir, bare receive loops, rsyslog.

One command: bench/compare.py   (builds Release into build-bench when needed;
--daemon PATH measures another daemon binary, --baseline PATH a second one
beside it in the same run).

Receivers: the daemon (split mode); a bare recvmmsg loop and a bare recvfrom
loop that only count; rsyslog from its Debian package, unpacked privately
into bench/rsyslog/ and configured to store the same files and lines.
Loads, each receiver on cpu 1 and the sender on cpu 0:
  backlog  N datagrams queued while the receiver is stopped, then its cpu time
           until its queue is empty and it is quiet (net.core.rmem_* raised
           for these trials only and restored afterwards);
  backlog6 the same from IPv6 sources fd00:6::/64 inside a network namespace
           made for it (removed afterwards), beside the IPv4 figures;
  unknown  the backlog from 100,000 source addresses that have no directory;
  flood    an unpaced sender that outpaces every receiver (segmented sends):
           stored datagrams per second;
  forged   20 real sources beside a flood of new forged addresses, a hangup
           in the middle: how many real datagrams after it are stored;
  paced    a paced sender: loss and cpu time;
  info     the daemon with its default --maxopen, more sources than files;
  profile  (not in the default) one daemon flood under perf record.
Every daemon trial is verified: each datagram it counted is stored exactly
once and in order per source. See doc/performance.md.
"""

import argparse
import contextlib
import datetime
import ipaddress
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402  (the helpers of the single-receiver benchmark)

HERE = run.HERE
RSYSLOG_DIR = os.path.join(HERE, "rsyslog")
SYSLOGNG_DIR = os.path.join(HERE, "syslog-ng")
SYSLOGNG_VERSION = "3.38"
LIBDIR = os.path.join("usr", "lib", "x86_64-linux-gnu")
RECV_CPU, SEND_CPU = 1, 0
RECV_BATCH_BYTES = 64 * 8193  # the daemon's receive slots
QUIET_SECONDS = 0.3
IDLE_SHARE = 0.1  # share of all cpus busy before the run below which the machine counts as idle
IDLE_CPU_NS = 1000000  # cpu time a quiet receiver may use in QUIET_SECONDS
NAMES = {
    "daemon": "corvashenmir (split)",
    "baseline": "baseline daemon (split)",
    "mmsg": "bare recvmmsg loop",
    "recvfrom": "bare recvfrom loop",
    "rsyslog": "rsyslog (imudp, omfile)",
    "syslog-ng": "syslog-ng (udp, file)",
}
DAEMONS = ("daemon", "baseline")
OTHERS = ("rsyslog", "syslog-ng")  # whose findings are notes, not failures
LOADS = ("backlog", "backlog6", "unknown", "flood", "forged", "paced", "info", "profile")
FAILED_RE = re.compile(r"drop: failed \S+ (\d+) times")
IGNORED_RE = re.compile(r"drops: ignored (\d+) file open attempts")
SIGNAL_RE = re.compile(r"^(\S+) signal: (got|back from) SIGHUP", re.M)

# Source addresses of the loads beyond the first 254: distinct ranges of 127/8,
# and an IPv6 prefix that only the namespace of the IPv6 trials routes to its lo.
UNKNOWN_BASE = "127.64.0.1"
FORGED_BASE = "127.128.0.1"
NET6_PREFIX = "fd00:6::/64"
SRC6_BASE = "fd00:6::1"
NETNS_PREFIX = "corvashenmir-bench6-"
REAL_SOURCES, REAL_RATE = 20, 10.0  # the forged load's real senders: 10 datagrams/s each


log = run.log


# ---------------------------------------------------------------- private copies of other receivers

def private_paths(topdir, binary):
    """The binary and the library directory of a package unpacked below topdir/root."""
    root = os.path.join(topdir, "root")
    return os.path.join(root, binary), os.path.join(root, LIBDIR)


def rsyslog_paths():
    rsyslogd, libdir = private_paths(RSYSLOG_DIR, os.path.join("usr", "sbin", "rsyslogd"))
    return rsyslogd, libdir, os.path.join(libdir, "rsyslog")


def installed(pkg):
    r = subprocess.run(["dpkg-query", "-W", "-f=${Status}", pkg], capture_output=True, text=True)
    return r.returncode == 0 and r.stdout.endswith(" installed")


def fetch_private(package, topdir, binary, libdirs):
    """Downloads a package and those of its dependencies that are not installed and unpacks them
    below topdir/root; nothing is installed. Returns the binary's path."""
    exe = os.path.join(topdir, "root", binary)
    if os.access(exe, os.X_OK):
        return exe
    debs = os.path.join(topdir, "debs")
    os.makedirs(debs, exist_ok=True)
    # apt drops to the _apt user for downloads; let it write here.
    os.chmod(debs, 0o777)
    deps = subprocess.run(["apt-cache", "depends", "--no-recommends", "--no-suggests", package],
                          capture_output=True, text=True, check=True).stdout
    wanted = [package] + [p for p in re.findall(r"^\s+Depends: (\S+)$", deps, re.M)
                          if not p.startswith("<") and not installed(p)]
    log("fetching %s with apt-get download into %s" % (" ".join(wanted), debs))
    subprocess.run(["apt-get", "download"] + wanted, cwd=debs, check=True, stdout=subprocess.DEVNULL)
    for name in sorted(os.listdir(debs)):
        if name.endswith(".deb"):
            subprocess.run(["dpkg-deb", "-x", os.path.join(debs, name), os.path.join(topdir, "root")], check=True)
    ldd = subprocess.run(["ldd", exe], capture_output=True, text=True,
                         env=dict(os.environ, LD_LIBRARY_PATH=":".join(libdirs))).stdout
    if "not found" in ldd:
        sys.exit("%s misses libraries:\n%s" % (exe, ldd))
    return exe


def fetch_rsyslog():
    _, libdir, _ = rsyslog_paths()
    return fetch_private("rsyslog", RSYSLOG_DIR, os.path.join("usr", "sbin", "rsyslogd"), [libdir])


def fetch_others(kinds):
    """Fetches the private copies the receivers need, on first use, and logs their versions."""
    if "rsyslog" in kinds:
        rsyslogd, libdir, _ = rsyslog_paths()
        fetch_rsyslog()
        ver = subprocess.run([rsyslogd, "-v"], capture_output=True, text=True,
                             env=dict(os.environ, LD_LIBRARY_PATH=libdir)).stdout.split("\n")[0]
        log("rsyslog: %s" % ver.strip())
    if "syslog-ng" in kinds:
        sbin, libdirs, _ = syslogng_paths()
        fetch_syslogng()
        ver = subprocess.run([sbin, "--version"], capture_output=True, text=True,
                             env=dict(os.environ, LD_LIBRARY_PATH=":".join(libdirs))).stdout.split("\n")[0]
        log("syslog-ng: %s" % ver.strip())


def syslogng_paths():
    """The binary, its library directories and its module directory."""
    sbin, libdir = private_paths(SYSLOGNG_DIR, os.path.join("usr", "sbin", "syslog-ng"))
    root = os.path.join(SYSLOGNG_DIR, "root")
    own = os.path.join(root, "usr", "lib", "syslog-ng")
    return sbin, [libdir, own], os.path.join(own, SYSLOGNG_VERSION)


def fetch_syslogng():
    sbin, libdirs, _ = syslogng_paths()
    return fetch_private("syslog-ng-core", SYSLOGNG_DIR, os.path.relpath(sbin, os.path.join(SYSLOGNG_DIR, "root")),
                         libdirs)


def syslogng_conf(tmp, root, port, address="127.0.0.1", rcvbuf=None):
    """The daemon's job again: the raw datagram after the RFC 3339 stamp (microseconds) and the
    source address, a file per source address and local hour, no directories made. Lines go out
    in writes of about 16 KiB (60 lines), as the daemon's buffers do."""
    conf = os.path.join(tmp, "syslog-ng.conf")
    with open(conf, "w") as f:
        f.write("@version: %s\n" % SYSLOGNG_VERSION)
        f.write("options { use-dns(no); use-fqdn(no); keep-hostname(yes); create-dirs(no); frac-digits(6); "
                "ts-format(rfc3339); stats-freq(0); flush-lines(60); log-fifo-size(100000); time-reap(3600); };\n")
        f.write('source s_net { %s(ip("%s") port(%d) flags(no-parse)%s); };\n' % (
            "udp6" if ":" in address else "udp", address, port, " so-rcvbuf(%d)" % rcvbuf if rcvbuf else ""))
        f.write('destination d_file { file("%s/${SOURCEIP}/${SOURCEIP}-${R_YEAR}${R_MONTH}${R_DAY}${R_HOUR}" '
                'template("${R_ISODATE} ${SOURCEIP} ${MESSAGE}\\n") template-escape(no)); };\n' % root)
        f.write("log { source(s_net); destination(d_file); };\n")
    return conf


def rsyslog_conf(tmp, root, port, cache, address="127.0.0.1", rcvbuf=None):
    """The same job as the daemon: a file per source address and local hour, no directories made."""
    work = os.path.join(tmp, "work")
    os.mkdir(work)
    conf = os.path.join(tmp, "rsyslog.conf")
    with open(conf, "w") as f:
        f.write('global(workDirectory="%s" net.enableDNS="off")\n' % work)
        f.write('module(load="imudp")\n')
        f.write('template(name="line" type="string" '
                'string="%timegenerated:::date-rfc3339% %fromhost-ip% %rawmsg%\\n")\n')
        f.write('template(name="path" type="string" '
                'string="%s/%%fromhost-ip%%/%%fromhost-ip%%-%%$year%%%%$month%%%%$day%%%%$hour%%")\n' % root)
        f.write('input(type="imudp" port="%d" address="%s"%s)\n' % (
            port, address, ' rcvbufSize="%d"' % rcvbuf if rcvbuf else ""))
        # Buffers as large as the daemon's, written when full or at close, as the daemon does.
        f.write('action(type="omfile" dynaFile="path" template="line" createDirs="off" '
                'dynaFileCacheSize="%d" ioBufferSize="16k" flushOnTXEnd="off")\n' % cache)
    return conf


# ---------------------------------------------------------------- system facts

def set_rmem(values):
    for k, v in values.items():
        with open("/proc/sys/net/core/" + k, "w") as f:
            f.write("%d\n" % v)


def namespace_rmem(netns, nbytes):
    """Makes the namespace's receive buffers nbytes where it has its own, writable copies; a kernel
    that shows the host's values there read-only has them from raised_rmem. Returns an error or None."""
    for k in ("rmem_max", "rmem_default"):
        path = "/proc/sys/net/core/" + k
        subprocess.run(["ip", "netns", "exec", netns, "sh", "-c", "echo %d > %s" % (nbytes, path)],
                       stderr=subprocess.DEVNULL, check=False)
        got = subprocess.run(["ip", "netns", "exec", netns, "cat", path], capture_output=True, text=True).stdout
        if not got.strip().isdigit() or int(got) < nbytes:
            return "net.core.%s in namespace %s is %s, not %d" % (k, netns, got.strip(), nbytes)
    return None


@contextlib.contextmanager
def raised_rmem(nbytes, default=True):
    """Socket receive buffers of nbytes for the block (only the ceiling rmem_max when not default);
    the old values come back whatever happens."""
    keys = ("rmem_default", "rmem_max")
    old = {k: run.read_int("/proc/sys/net/core/" + k) for k in keys}
    try:
        set_rmem({"rmem_max": max(old["rmem_max"], nbytes)})
        if default:
            set_rmem({"rmem_default": nbytes})
        yield
    finally:
        set_rmem(old)


def queued_bytes_per_datagram(size):
    """Receive-buffer bytes one queued datagram of this size takes on loopback (rounded up)."""
    fits = run.queue_capacity(size)
    return -(-run.read_int("/proc/sys/net/core/rmem_default") // max(1, fits - 1))


def backlog_rmem(count, size):
    """Receive buffer that holds count queued datagrams of size bytes, with a margin."""
    return count * queued_bytes_per_datagram(size) * 11 // 10 + (1 << 20)


def thread_stats(pid):
    """Nanoseconds on a cpu of every thread of the process (finer than utime + stime), and
    whether any thread is running or waiting for a cpu."""
    total, runnable = 0, False
    with contextlib.suppress(OSError):
        for tid in os.listdir("/proc/%d/task" % pid):
            with contextlib.suppress(OSError, ValueError, IndexError):
                with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                    total += int(f.read().split()[0])
                runnable |= proc_state(pid, tid) == "R"
    return total, runnable


def sched_ns(pid):
    return thread_stats(pid)[0]


def tree_bytes(root, ignore=()):
    total = 0
    for d in os.scandir(root):
        if d.name in ignore:
            continue
        if d.is_dir():
            for e in os.scandir(d.path):
                total += e.stat().st_size
        else:
            total += d.stat().st_size
    return total


def proc_state(pid, tid=None):
    path = "/proc/%d/stat" % pid if tid is None else "/proc/%d/task/%s/stat" % (pid, tid)
    with open(path) as f:
        return f.read().rsplit(")", 1)[1].split()[0]


def open_fds(pid):
    with contextlib.suppress(OSError):
        return len(os.listdir("/proc/%d/fd" % pid))
    return None


def wait_quiet(pid, port, root, limit, ignore=()):
    """Waits until the socket queue is empty, then until the files stand still and the receiver
    neither runs nor waits for a cpu and uses next to no cpu time (an idle receiver still wakes
    from its bounded poll). A starved receiver is not a quiet one. Returns an error or None."""
    deadline = time.monotonic() + limit
    while True:
        rx, _ = run.udp_socket_state(port, pid)
        if rx is None:
            return "the receiver's socket is gone"
        if rx == 0:
            break
        if time.monotonic() > deadline:
            return "socket queue not empty within %d s" % limit
        time.sleep(0.005)
    ref = None
    while time.monotonic() < deadline:
        now = time.monotonic()
        (cpu, runnable), size = thread_stats(pid), tree_bytes(root, ignore)
        if ref is None or runnable or size != ref[1] or cpu - ref[0] > IDLE_CPU_NS:
            ref = (cpu, size, now)
        elif now - ref[2] >= QUIET_SECONDS:
            return None
        time.sleep(0.02)
    return "receiver not quiet within %d s" % limit


# ---------------------------------------------------------------- where the traffic goes

class Net:
    """IPv4 on this host's loopback, or IPv6 inside the namespace netns: receivers and senders
    run in it, the sources are SRC6_BASE + k."""

    def __init__(self, netns=None):
        self.netns = netns
        self.v6 = netns is not None
        self.wrap = ["ip", "netns", "exec", netns] if netns else []
        self.listen = "::" if self.v6 else "127.0.0.1"
        self.name = "IPv6" if self.v6 else "IPv4"

    def addrs(self, n):
        if self.v6:
            return [str(ipaddress.IPv6Address(SRC6_BASE) + k) for k in range(n)]
        return [run.source_addr(k, "host") for k in range(n)]

    def sender(self, n):
        if self.v6:
            return ["--pktinfo", "1", "--dst", "::1", "--src-base", SRC6_BASE, "--sources", str(n)]
        return ["--sources", str(n), "--scheme", "host"]


IPV4 = Net()


def remove_stale_namespaces():
    """Namespaces an earlier run left behind when it was killed (its pid is in the name), with
    the receivers and senders it left in them."""
    out = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    for name, owner in re.findall(r"^(%s(\d+))\b" % re.escape(NETNS_PREFIX), out, re.M):
        if os.path.exists("/proc/%s" % owner):
            continue
        pids = subprocess.run(["ip", "netns", "pids", name], capture_output=True, text=True).stdout.split()
        for pid in pids:
            with contextlib.suppress(OSError):
                os.kill(int(pid), signal.SIGKILL)
        log("removed namespace %s of an earlier run, and its %d process(es)" % (name, len(pids)))
        subprocess.run(["ip", "netns", "del", name], check=False)


@contextlib.contextmanager
def ipv6_namespace(rmem):
    """A network namespace whose lo takes every address of NET6_PREFIX as local, with receive
    buffers of rmem bytes (inside raised_rmem); removed afterwards, whatever happens."""
    name = NETNS_PREFIX + str(os.getpid())
    remove_stale_namespaces()
    try:
        for cmd in (["ip", "netns", "add", name], ["ip", "-n", name, "link", "set", "lo", "up"],
                    ["ip", "-n", name, "-6", "route", "add", "local", NET6_PREFIX, "dev", "lo"]):
            subprocess.run(cmd, check=True)
        err = namespace_rmem(name, rmem)
        if err:
            sys.exit(err)
        yield Net(name)
    finally:
        subprocess.run(["ip", "netns", "del", name], check=False, stderr=subprocess.DEVNULL)


# ---------------------------------------------------------------- one trial

class Trial(run.Trial):
    def __init__(self, kind, load, rate, seconds, count):
        super().__init__(kind, rate, seconds, count)
        self.load = load
        self.sched = 0.0       # seconds on a cpu, all threads
        self.notes = []        # rsyslog findings: reported, not failures
        self.failed = 0        # daemon: datagrams of sources whose file could not be opened
        self.ignored = 0       # daemon: open attempts refused by the gate
        self.queued = 0
        self.skipped = None    # why the receiver could not take this load
        self.metrics = None    # samples in the daemon's --metrics file
        self.forged_sent = 0   # forged: datagrams from forged addresses, and their rate
        self.forged_rate = 0.0
        self.real_after = 0    # forged: real datagrams sent after the hangup
        self.hup = None        # (seconds the hangup took, kernel drops meanwhile)


def metrics_path(daemon_args):
    """The --metrics value among the daemon options (names match without regard to case)."""
    for i, a in enumerate(daemon_args[:-1]):
        if a.lower() == "--metrics":
            return daemon_args[i + 1]
    return None


def root_extras(daemon_args):
    """Names besides the source directories and daemon logs that a daemon root may hold: a
    relative --metrics file is below the root."""
    m = metrics_path(daemon_args)
    return (m.split("/")[0],) if m and not m.startswith("/") else ()


def daemon_args_of(kind, args):
    return args.baseline_arg if kind == "baseline" and args.baseline_arg is not None else args.daemon_arg


def launch(cmd, tmp, port, pidfile=None, env=None, wrap=()):
    """Starts a receiver on the receivers' cpu; ready when its socket is bound in its namespace
    and, with a pid file, the file holds its pid."""
    with open(os.path.join(tmp, "stdout"), "w") as out, open(os.path.join(tmp, "stderr"), "w") as err:
        proc = subprocess.Popen(list(wrap) + cmd, stdout=out, stderr=err, stdin=subprocess.DEVNULL, env=env,
                                preexec_fn=lambda: os.sched_setaffinity(0, {RECV_CPU}))
    limit = time.monotonic() + 10
    while time.monotonic() < limit:
        if proc.poll() is not None:
            return proc, "receiver exited at start-up with status %s" % proc.returncode
        if run.udp_socket_state(port, proc.pid)[0] is not None and (
                pidfile is None or run.read_int(pidfile) == proc.pid):
            return proc, None
        time.sleep(0.02)
    return proc, "receiver not ready after 10 s"


def start(kind, exe, args, tmp, root, port, maxopen, net=IPV4, extra=(), rcvbuf=None, env=None):
    """Starts a receiver; maxopen is the daemon's --maxopen and rsyslog's file cache, rcvbuf the
    socket buffer the others ask for (the daemon's extra options say its own), env more
    environment."""
    pidfile = os.path.join(tmp, "pid")
    env = dict(os.environ, **(env or {}))
    if kind in DAEMONS:
        cmd = [exe[kind], "--port", str(port), "--rootdir", root, "--pidfile", pidfile, "--recvmode", "split"]
        if maxopen:
            cmd += ["--maxopen", str(maxopen)]
        cmd += list(extra) + daemon_args_of(kind, args)
    elif kind == "rsyslog":
        rsyslogd, libdir, moddir = rsyslog_paths()
        cmd = [rsyslogd, "-n", "-f", rsyslog_conf(tmp, root, port, maxopen or 50, net.listen, rcvbuf), "-i",
               pidfile, "-M", moddir]
        env["LD_LIBRARY_PATH"] = libdir
    elif kind == "syslog-ng":
        sbin, libdirs, moddir = syslogng_paths()
        cmd = [sbin, "-F", "--stderr", "--no-caps", "-f", syslogng_conf(tmp, root, port, net.listen, rcvbuf),
               "-p", pidfile, "-R", os.path.join(tmp, "persist"), "-c", os.path.join(tmp, "ctl"),
               "--module-path", moddir]
        env["LD_LIBRARY_PATH"] = ":".join(libdirs)
    else:
        pidfile = None
        cmd = [exe["bare"], "--port", str(port), "--addr", net.listen, "--seconds", "600", "--mode",
               "recvmmsg" if kind == "mmsg" else "recvfrom"]
    return launch(cmd, tmp, port, pidfile, env, net.wrap)


def daemon_drops(t, root):
    for name in os.listdir(root):
        if name.startswith("corvashenmir-"):
            with open(os.path.join(root, name), errors="replace") as f:
                text = f.read()
            t.failed += sum(int(n) for n in FAILED_RE.findall(text))
            t.ignored += sum(int(n) for n in IGNORED_RE.findall(text))


def read_metrics(t, root, args):
    """Counts the samples of the daemon's metrics file; a missing file is a note."""
    m = metrics_path(daemon_args_of(t.kind, args))
    if not m:
        return
    path = m if m.startswith("/") else os.path.join(root, m)
    try:
        with open(path, errors="replace") as f:
            lines = [l for l in f.read().splitlines() if l and not l.startswith("#")]
    except OSError as e:
        t.notes.append("no metrics file %s: %s" % (path, e.strerror))
        return
    t.metrics = sum(1 for l in lines if re.fullmatch(r"[A-Za-z_:][\w:]*(\{.*\})? \S+( \d+)?", l))
    if t.metrics != len(lines):
        t.notes.append("metrics file %s: %d of %d lines are not samples" % (path, len(lines) - t.metrics, len(lines)))


def verify(t, tmp, root, args, addrs):
    extras = root_extras(daemon_args_of(t.kind, args)) if t.kind in DAEMONS else ()
    if t.kind in DAEMONS and t.load in ("info", "forged"):
        # Eviction and the gate decide what is stored: check what is there, and the sums.
        run.count_daemon(t, root, args)
        run.verify_files(t, root, args, addrs, extras)
        daemon_drops(t, root)
        if t.counted is not None and t.kept + t.failed > t.counted:
            t.errors.append("stored %d + failed %d > counted %d" % (t.kept, t.failed, t.counted))
    elif t.kind in DAEMONS and t.load == "unknown":
        # No source has a directory: all counted, none stored.
        run.count_daemon(t, root, args)
        run.verify_files(t, root, args, addrs, extras)
        daemon_drops(t, root)
        if t.counted is not None and t.counted != t.sent_total:
            t.errors.append("counted %d of %d datagrams sent" % (t.counted, t.sent_total))
        if t.failed + t.ignored != t.counted:
            t.notes.append("failed %d + refused %d != counted %s" % (t.failed, t.ignored, t.counted))
    elif t.kind in DAEMONS:
        run.verify_daemon(t, root, args, addrs, extras)
        daemon_drops(t, root)
    elif t.kind in OTHERS:
        run.verify_files(t, root, args, addrs)
        t.notes, t.errors = t.errors, []
    else:
        run.verify_bare(t, tmp, args)
    if t.kind in DAEMONS:
        read_metrics(t, root, args)


@contextlib.contextmanager
def receiver(t, kind, exe, args, dirs, maxopen, net=IPV4, extra=(), rcvbuf=None, env=None, keep_notes=True):
    """A fresh root with a directory per name of dirs and a started receiver on a free port:
    yields (proc, tmp, root, port) with t.errors telling whether it started. Afterwards the
    receiver is stopped, and the root removed unless something is to be seen in it (a failure,
    or with keep_notes what another receiver stored wrong)."""
    tmp = tempfile.mkdtemp(prefix="corvashenmir-compare-")
    root = os.path.join(tmp, "root")
    os.mkdir(root)
    for a in dirs:
        os.mkdir(os.path.join(root, a))
    port = run.free_port()
    proc, err = start(kind, exe, args, tmp, root, port, maxopen, net, extra, rcvbuf, env)
    if err:
        t.errors.append(err)
    try:
        yield proc, tmp, root, port
    finally:
        if proc.poll() is None:
            with contextlib.suppress(OSError):
                proc.send_signal(signal.SIGCONT)
            run.stop(proc)
        if t.ok and not (keep_notes and t.notes and kind in OTHERS) and not args.keep:
            shutil.rmtree(tmp, ignore_errors=True)
        else:
            t.tmp = tmp


def takes_ipv6(proc, port):
    return run.udp_socket_state(port, proc.pid, ("udp6",))[0] is not None


def send_load(t, load, exe, args, port, net, addrs):
    """The trial's datagrams: from its sources, or for the unknown load from as many addresses
    without a directory."""
    if load == "unknown":
        p = run.start_loadgen(exe, args, port, 0, t.count, t.seconds, [
            "--pktinfo", "1", "--src-base", UNKNOWN_BASE, "--sources", str(args.unknown_sources),
            "--per-source", "0"], SEND_CPU)
        run.collect_loadgen(t, p, t.seconds + 10)
    elif net.v6:
        p = run.start_loadgen(exe, args, port, t.rate, t.count, t.seconds, net.sender(len(addrs)), SEND_CPU,
                              net.wrap)
        run.collect_loadgen(t, p, t.seconds + 10)
    else:
        run.run_senders(t, exe, args, port, gso=load == "flood" and args.flood_sender == "segmented")


def run_trial(kind, load, exe, args, rate=0.0, seconds=30.0, count=0, maxopen=200, perf=None, net=IPV4):
    t = Trial(kind, load, rate, seconds, count)
    addrs = [] if load == "unknown" else net.addrs(args.sources)
    with receiver(t, kind, exe, args, addrs, maxopen, net) as (proc, tmp, root, port):
        if not t.ok:
            return t
        if net.v6 and not takes_ipv6(proc, port):
            t.skipped = "no IPv6 socket"
            return t
        queued = load in ("backlog", "backlog6", "unknown")
        if queued:
            proc.send_signal(signal.SIGSTOP)
            limit = time.monotonic() + 5
            while proc_state(proc.pid) != "T":
                if time.monotonic() > limit:
                    t.errors.append("receiver not stopped 5 s after SIGSTOP")
                    return t
                time.sleep(0.005)
        profiler = None
        if perf:
            profiler = subprocess.Popen(["perf", "record", "-e", "cpu-clock", "-F", "4000", "-o", perf,
                                         "-p", str(proc.pid)],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(0.5)
        try:
            cpu0, sched0 = run.proc_cpu(proc.pid), sched_ns(proc.pid)
            send_load(t, load, exe, args, port, net, addrs)
            if queued:
                t.queued, drops = run.udp_socket_state(port, proc.pid)
                if drops or not t.queued:
                    t.errors.append("the stopped receiver's queue holds %s bytes, %s dropped" % (t.queued, drops))
                cpu0, sched0 = run.proc_cpu(proc.pid), sched_ns(proc.pid)
                proc.send_signal(signal.SIGCONT)
            settle(t, proc, port, root, args, cpu0, sched0)
        finally:
            if profiler:
                if profiler.poll() is None:
                    profiler.send_signal(signal.SIGINT)
                try:
                    profiler.wait(30)
                except subprocess.TimeoutExpired:
                    profiler.kill()
                    profiler.wait()
        if queued and not t.sched:
            t.errors.append("no cpu time between SIGCONT and quiet: the backlog was not taken in the window")
        stop_and_verify(t, proc, tmp, root, port, args, addrs)
    return t


def settle(t, proc, port, root, args, cpu0, sched0):
    """Waits until the receiver is quiet, then sets its cpu time since (cpu0, sched0)."""
    ignore = root_extras(daemon_args_of(t.kind, args)) if t.kind in DAEMONS else ()
    err = wait_quiet(proc.pid, port, root, 60, ignore)
    if err:
        t.errors.append(err)
    if proc.poll() is not None:
        t.errors.append("receiver ended early with status %s" % proc.returncode)
        return
    cpu1, sched1 = run.proc_cpu(proc.pid), sched_ns(proc.pid)
    t.cpu_user = cpu1[0] - cpu0[0]
    t.cpu = t.cpu_user + cpu1[1] - cpu0[1]
    t.sched = (sched1 - sched0) / 1e9


def stop_and_verify(t, proc, tmp, root, port, args, addrs):
    """Peak RSS and socket drops, then the stop (status 0 required) and the verification."""
    t.hwm_kb = run.proc_hwm_kb(proc.pid)
    _, t.drops = run.udp_socket_state(port, proc.pid)
    status = run.stop(proc, 30)
    if status != 0:
        t.errors.append("receiver stop status %s (expected 0)" % status)
    verify(t, tmp, root, args, addrs)


def signal_stamps(root):
    """Stamps of the daemon log's `signal: got SIGHUP` and `signal: back from SIGHUP` lines."""
    found = []
    for name in sorted(n for n in os.listdir(root) if n.startswith("corvashenmir-")):
        with open(os.path.join(root, name), errors="replace") as f:
            found += SIGNAL_RE.findall(f.read())
    return found


def hangup(t, proc, root, port, limit=60):
    """Sends SIGHUP and waits for the daemon's `back from SIGHUP` line: sets t.hup to the time
    between the two signal lines' stamps, the socket drops meanwhile and the time from the
    signal until the line was seen here (polled every 5 ms)."""
    before = len(signal_stamps(root))
    _, drops0 = run.udp_socket_state(port, proc.pid)
    sent = time.monotonic()
    proc.send_signal(signal.SIGHUP)
    while time.monotonic() < sent + limit:
        stamps = signal_stamps(root)[before:]
        if len(stamps) >= 2 and stamps[-1][1] == "back from":
            seen = time.monotonic() - sent
            _, drops1 = run.udp_socket_state(port, proc.pid)
            got = next(s for s, kind in stamps if kind == "got")
            seconds = (datetime.datetime.fromisoformat(stamps[-1][0]) -
                       datetime.datetime.fromisoformat(got)).total_seconds()
            t.hup = (seconds, (drops1 or 0) - (drops0 or 0), seen)
            return
        time.sleep(0.005)
    t.errors.append("no `back from SIGHUP` line %d s after the hangup" % limit)


def run_forged(kind, exe, args, rate):
    """Real sources at REAL_RATE each beside new forged addresses at rate per second, with a
    hangup after --forged-hup seconds: the real datagrams sent after it, and how many are stored."""
    total, before = args.forged_seconds, args.forged_hup
    t = Trial(kind, "forged", rate, total, int(rate * total))
    addrs = IPV4.addrs(REAL_SOURCES)
    with receiver(t, kind, exe, args, addrs, args.maxopen) as (proc, tmp, root, port):
        if not t.ok:
            return t
        cpu0, sched0 = run.proc_cpu(proc.pid), sched_ns(proc.pid)
        forged = run.start_loadgen(exe, args, port, rate, t.count, total + 0.5, [
            "--pktinfo", "1", "--src-base", FORGED_BASE, "--sources", str(t.count), "--per-source", "0"], SEND_CPU)
        real = REAL_SOURCES * REAL_RATE
        p = run.start_loadgen(exe, args, port, real, int(real * before), before + 1, IPV4.sender(REAL_SOURCES),
                              SEND_CPU)
        run.collect_loadgen(t, p, before + 10)
        sent_before = t.sent_total
        hangup(t, proc, root, port)
        # The second part goes on with the sequence, so its lines are told apart in the files.
        t.from_seq = max(t.last_seq.values(), default=-1) + 1
        after = total - before
        p = run.start_loadgen(exe, args, port, real, int(real * after), after + 1,
                              IPV4.sender(REAL_SOURCES) + ["--seqstart", str(t.from_seq)], SEND_CPU)
        run.collect_loadgen(t, p, after + 10)
        t.real_after = t.sent_total - sent_before
        flood = Trial(kind, "forged", rate, total, t.count)
        run.collect_loadgen(flood, forged, total + 10)
        t.errors += flood.errors
        t.forged_sent, t.forged_rate = flood.sent_total, flood.send_rate
        settle(t, proc, port, root, args, cpu0, sched0)
        stop_and_verify(t, proc, tmp, root, port, args, addrs)
    return t


def describe(t):
    if t.skipped:
        return "  %-8s skipped: %s" % (t.kind, t.skipped)
    s = "  %-8s sent %8d in %6.2fs  stored %8d  lost %7d  cpu %.3fs (sched %.3fs)  rss %.1f MiB" % (
        t.kind, t.sent_total, t.send_seconds, t.kept, t.lost, t.cpu, t.sched, (t.hwm_kb or 0) / 1024)
    if t.kind in DAEMONS and t.counted is not None and t.counted != t.kept:
        s += "  counted %d failed %d gate-refused %d" % (t.counted, t.failed, t.ignored)
    if t.drops:
        s += "  sockdrops %d" % t.drops
    if t.load == "forged":
        s += "\n    forged %d at %.0f/s; after the hangup %d real sent, %d stored" % (
            t.forged_sent, t.forged_rate, t.real_after, t.kept_from)
    if t.hup:
        s += "\n    hangup took %.3f s by the signal lines' stamps (seen here after %.3f s), " \
             "kernel drops meanwhile %d" % (t.hup[0], t.hup[2], t.hup[1])
    if t.metrics is not None:
        s += "  metrics %d samples" % t.metrics
    for n in t.notes[:5]:
        s += "\n    note: " + n
    if not t.ok:
        s += "\n    FAILED: " + "\n    FAILED: ".join(t.errors[:10])
    if hasattr(t, "tmp"):
        s += "\n    files kept in %s" % t.tmp
    return s


# ---------------------------------------------------------------- figures

def per_us(seconds, n):
    return seconds / n * 1e6 if n else float("nan")


def spread(values, fmt):
    v = [x for x in values if x is not None and x == x]
    if not v:
        return "-"
    return "/".join(fmt % x for x in (min(v), statistics.median(v), max(v)))


def median(values):
    v = [x for x in values if x == x]
    return statistics.median(v) if v else float("nan")


def ratio_line(what, num, den, target=None, better="<="):
    """One ratio of the medians, with the spread of the per-repetition ratios, and whether it
    meets its target (none: for information)."""
    if not num or not den:
        return "  %-58s n/a (receiver not measured)" % what
    per_rep = sorted(a / b for a, b in zip(num, den) if b and a == a and b == b)
    r = median(num) / median(den) if median(den) else float("nan")
    line = "  %-58s %5.2fx  (per repetition %s)" % (what, r, spread(per_rep, "%.2f"))
    if target is None:
        return line + "  for information"
    met = r <= target if better == "<=" else r >= target
    return line + "  target %s %.2fx: %s" % (better, target, "met" if met else "NOT met")


def limit_line(what, values, target, unit):
    """One target bound on a median."""
    if not values:
        return "  %-58s n/a (receiver not measured)" % what
    m = median(values)
    return "  %-58s %5.2f %s (spread %s)  target <= %.2f %s: %s" % (
        what, m, unit, spread(values, "%.2f"), target, unit, "met" if m <= target else "NOT met")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build-dir", default=os.path.join(run.REPO, "build-bench"))
    ap.add_argument("--no-build", action="store_true", help="use the tools already in --build-dir")
    ap.add_argument("--daemon", help="daemon binary to measure (default: the Release build of this tree)")
    ap.add_argument("--baseline", help="a second daemon binary measured beside the first in every daemon load, "
                                       "such as the previous build")
    ap.add_argument("--receivers", default="daemon,mmsg,recvfrom,rsyslog",
                    help="comma list of daemon, mmsg, recvfrom, rsyslog (--baseline adds baseline)")
    ap.add_argument("--loads", default="backlog,flood,paced,info", help="comma list of " + ", ".join(LOADS))
    ap.add_argument("--reps", type=int, default=3, help="repetitions of every load and receiver")
    ap.add_argument("--sources", type=int, default=100, help="source addresses")
    ap.add_argument("--size", type=int, default=200, help="payload bytes")
    ap.add_argument("--backlog", type=int, default=300000, help="datagrams queued while the receiver is stopped")
    ap.add_argument("--unknown-sources", type=int, default=100000, help="addresses of the unknown load")
    ap.add_argument("--unknown-count", type=int, default=100000, help="datagrams of the unknown load")
    ap.add_argument("--flood", type=int, default=3000000, help="datagrams of the unpaced load")
    ap.add_argument("--flood-sender", choices=["segmented", "plain"], default="segmented",
                    help="segmented: one UDP_SEGMENT send per batch, so the sender outpaces every receiver; "
                         "plain: one sendmmsg entry per datagram, which one cpu sends slower than a receiver takes")
    ap.add_argument("--forged-rates", default="20000,100000", help="new forged addresses per second, comma list")
    ap.add_argument("--forged-seconds", type=float, default=8.0, help="length of the forged load")
    ap.add_argument("--forged-hup", type=float, default=3.0, help="seconds into the forged load of the hangup")
    ap.add_argument("--maxopen", type=int, default=200, help="daemon --maxopen and rsyslog file cache")
    ap.add_argument("--paced-rate", type=float, default=100000, help="datagrams per second of the paced load")
    ap.add_argument("--paced-seconds", type=float, default=2.0)
    ap.add_argument("--info-count", type=int, default=1000000,
                    help="datagrams of the default-configuration load (daemon, default --maxopen)")
    ap.add_argument("--profile-out", default=os.path.join(run.REPO, "build-bench", "perf.data"),
                    help="perf data file of the profile load")
    ap.add_argument("--profile-top", type=int, default=25, help="profile rows printed")
    ap.add_argument("--daemon-arg", action="append", default=[],
                    help="extra daemon option, repeatable: --daemon-arg --bufsize --daemon-arg 65536")
    ap.add_argument("--baseline-arg", action="append", default=None,
                    help="extra option of the baseline daemon, repeatable (default: those of --daemon-arg; "
                         "an empty one, --baseline-arg=, gives it none)")
    ap.add_argument("--wait-idle", type=float, default=0,
                    help="wait up to this many seconds for the cpus to be under 10%% busy before starting")
    ap.add_argument("--keep", action="store_true", help="keep the temporary roots")
    args = ap.parse_args(run.joined_values(sys.argv[1:]))
    if args.baseline_arg is not None:
        args.baseline_arg = [a for a in args.baseline_arg if a]
    kinds = [k for k in args.receivers.split(",") if k]
    loads = [k for k in args.loads.split(",") if k]
    if set(kinds) - set(NAMES) or set(loads) - set(LOADS):
        sys.exit("unknown receiver or load")
    if args.baseline and "baseline" not in kinds:
        kinds.insert(kinds.index("daemon") + 1 if "daemon" in kinds else 0, "baseline")
    if "baseline" in kinds and not args.baseline:
        sys.exit("the baseline receiver needs --baseline PATH")
    forged_rates = [float(r) for r in args.forged_rates.split(",") if r]
    if not (1 <= args.reps <= 10 and 1 <= args.sources <= 254 and 18 <= args.size <= 8192
            and 1000 <= args.backlog <= 1000000 and 1000 <= args.flood <= 5000000
            and 1 <= args.unknown_sources <= 1000000 and 1000 <= args.unknown_count <= 1000000
            and all(100 <= r <= 1000000 for r in forged_rates) and 0 < args.forged_hup < args.forged_seconds <= 30
            and 1000 <= args.info_count <= 5000000 and 0 < args.paced_seconds <= 5 and 0 <= args.wait_idle <= 3600):
        sys.exit("reps 1..10, sources 1..254, size 18..8192, backlog 1k..1M, flood and info 1k..5M, unknown "
                 "1M at most, forged 1M/s for 30 s at most, paced 5 s and a wait of an hour at most keep a run bounded")
    if os.geteuid() != 0 and set(loads) & {"backlog", "backlog6", "unknown"}:
        sys.exit("the backlog loads raise net.core.rmem_default (and backlog6 makes a network namespace): "
                 "run as root or leave them out")
    # The fixed fields the load generator and the verification of run.py read.
    args.scheme, args.senders, args.batch, args.pin = "host", 1, 32, True

    # A stop request still restores the sysctls, removes the namespace and stops the receiver.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    os.sched_setaffinity(0, {SEND_CPU})
    exe = run.build(args)
    if args.daemon:
        exe["daemon"] = os.path.abspath(args.daemon)
    if args.baseline:
        exe["baseline"] = os.path.abspath(args.baseline)
    fetch_others(kinds)
    for kind in DAEMONS:
        if kind in kinds:
            log("%s: %s %s" % (kind, exe[kind], " ".join(daemon_args_of(kind, args))))
    busy = run.cpu_busy()
    waited = time.monotonic()
    # Other work halves wall-clock figures: wait a bounded time for a quiet machine.
    while busy > IDLE_SHARE and time.monotonic() - waited < args.wait_idle:
        busy = run.cpu_busy(5.0)
    if args.wait_idle:
        log("waited %.0f s for an idle machine" % (time.monotonic() - waited))
    load_avg = open("/proc/loadavg").read().split()[:3]
    log("%d cpus, load average %s, %.0f%% of all cpus busy before the run%s" % (
        os.cpu_count(), " ".join(load_avg), busy * 100,
        "  -- WARNING: wall-clock figures will be low and noisy" if busy > IDLE_SHARE else ""))
    log("%d sources, %d-byte payloads, receiver on cpu %d, sender on cpu %d, %d repetition(s)" % (
        args.sources, args.size, RECV_CPU, SEND_CPU, args.reps))

    started = time.monotonic()
    trials = []
    failures = []

    def record(t):
        log(describe(t))
        trials.append(t)
        if not t.ok:
            failures.append(t)

    for load in ("backlog", "backlog6", "unknown"):
        if load not in loads:
            continue
        count = args.unknown_count if load == "unknown" else args.backlog
        need = backlog_rmem(count, args.size)
        what = {"backlog": "IPv4 sources", "backlog6": "IPv6 sources %s in namespace %s%d" % (
            NET6_PREFIX, NETNS_PREFIX, os.getpid()), "unknown": "%d addresses without a directory" % (
            min(args.unknown_sources, args.unknown_count))}[load]
        log("\n%s: %d datagrams from %s; net.core.rmem_default and rmem_max raised to %d for these trials" % (
            load, count, what, need))
        with raised_rmem(need), (ipv6_namespace(need) if load == "backlog6" else contextlib.nullcontext(IPV4)) as net:
            for rep in range(args.reps):
                for kind in kinds:
                    record(run_trial(kind, load, exe, args, count=count, maxopen=args.maxopen, net=net))
        log("net.core.rmem_default and rmem_max restored to %s and %s" % (
            run.read_int("/proc/sys/net/core/rmem_default"), run.read_int("/proc/sys/net/core/rmem_max")))
    if "flood" in loads:
        log("\nflood: %d datagrams, unpaced" % args.flood)
        for rep in range(args.reps):
            for kind in kinds:
                record(run_trial(kind, "flood", exe, args, count=args.flood, maxopen=args.maxopen))
    if "forged" in loads:
        for rate in forged_rates:
            log("\nforged: %d real sources at %.0f/s each beside %.0f new forged addresses/s for %.1f s, "
                "a hangup after %.1f s (daemons only)" % (REAL_SOURCES, REAL_RATE, rate, args.forged_seconds,
                                                          args.forged_hup))
            for rep in range(args.reps):
                for kind in kinds:
                    if kind in DAEMONS:
                        record(run_forged(kind, exe, args, rate))
    if "paced" in loads:
        log("\npaced: %.0f datagrams/s for %.1f s" % (args.paced_rate, args.paced_seconds))
        for rep in range(args.reps):
            for kind in kinds:
                record(run_trial(kind, "paced", exe, args, rate=args.paced_rate,
                                 seconds=args.paced_seconds * 1.25 + 0.25,
                                 count=int(args.paced_rate * args.paced_seconds), maxopen=args.maxopen))
    if "info" in loads:
        log("\ninfo: the daemon's default --maxopen, %d sources, %d datagrams unpaced" % (
            args.sources, args.info_count))
        for rep in range(args.reps):
            for kind in kinds:
                if kind in DAEMONS:
                    record(run_trial(kind, "info", exe, args, count=args.info_count, maxopen=None))
    if "profile" in loads:
        log("\nprofile: one daemon flood of %d datagrams under perf record -e cpu-clock" % args.flood)
        record(run_trial("daemon", "flood", exe, args, count=args.flood, maxopen=args.maxopen,
                         perf=args.profile_out))
        for sort, top in (("dso", 5), ("dso,sym", args.profile_top)):
            report = subprocess.run(["perf", "report", "-i", args.profile_out, "--stdio", "--sort", sort,
                                     "--fields", "overhead," + sort], capture_output=True, text=True).stdout
            rows = [l.rstrip() for l in report.splitlines() if "%" in l and not l.startswith("#")]
            # With --fields perf keeps its own order; the heaviest come first here.
            rows.sort(key=lambda l: -float(l.split("%")[0]))
            log("profile by %s (%s):" % ("object" if sort == "dso" else "symbol", args.profile_out))
            for l in rows[:top]:
                log("  " + l)

    summarize(trials, kinds, loads, args, forged_rates)
    log("\nrun took %.0f s" % (time.monotonic() - started))
    return run.verdict(failures)


def summarize(trials, kinds, loads, args, forged_rates):
    def pick(kind, load, rate=None):
        return [t for t in trials if t.kind == kind and t.load == load and t.ok and not t.skipped
                and (rate is None or t.rate == rate)]

    def taken(t):
        """Datagrams the receiver dealt with: stored, or for the unknown load counted (what
        rsyslog, which counts nothing, was sent)."""
        if t.load != "unknown":
            return t.kept
        return t.counted if t.counted is not None else t.sent_total

    def backlog_us(t):
        return per_us(t.cpu, taken(t))

    log("\nmin/median/max over the repetitions")
    for load, title in (("backlog", "backlog of %d datagrams from IPv4 sources" % args.backlog),
                        ("backlog6", "backlog of %d datagrams from IPv6 sources" % args.backlog),
                        ("unknown", "backlog of %d datagrams from %d addresses without a directory" % (
                            args.unknown_count, min(args.unknown_sources, args.unknown_count)))):
        if load not in loads:
            continue
        log("\n" + title)
        log("| receiver | CPU us/dgram (utime+stime) | CPU us/dgram (schedstat) | user share | %s |" % (
            "counted (rsyslog: sent)" if load == "unknown" else "stored"))
        log("|---|---:|---:|---:|---:|")
        for kind in kinds:
            ts = pick(kind, load)
            skipped = [t.skipped for t in trials if t.kind == kind and t.load == load and t.skipped]
            if skipped and not ts:
                log("| %s | skipped: %s | | | |" % (NAMES[kind], skipped[0]))
                continue
            log("| %s | %s | %s | %s | %s |" % (
                NAMES[kind], spread([backlog_us(t) for t in ts], "%.2f"),
                spread([per_us(t.sched, taken(t)) for t in ts], "%.2f"),
                spread([t.cpu_user / t.cpu * 100 if t.cpu else float("nan") for t in ts], "%.0f%%"),
                spread([taken(t) for t in ts], "%d")))
    if "backlog" in loads and "backlog6" in loads:
        log("\nbacklog side by side: CPU us/dgram (utime+stime), medians")
        log("| receiver | IPv4 | IPv6 | IPv6 / IPv4 |")
        log("|---|---:|---:|---:|")
        for kind in kinds:
            b4 = median([backlog_us(t) for t in pick(kind, "backlog")])
            b6 = median([backlog_us(t) for t in pick(kind, "backlog6")])
            log("| %s | %.2f | %s | %s |" % (NAMES[kind], b4, "%.2f" % b6 if b6 == b6 else "-",
                                             "%.2f" % (b6 / b4) if b6 == b6 and b4 else "-"))
    if "flood" in loads:
        log("\nflood of %d datagrams" % args.flood)
        log("| receiver | sent dgram/s | stored dgram/s | loss | CPU us per stored dgram | peak RSS MiB |")
        log("|---|---:|---:|---:|---:|---:|")
        for kind in kinds:
            ts = pick(kind, "flood")
            log("| %s | %s | %s | %s | %s | %s |" % (
                NAMES[kind], spread([t.send_rate for t in ts], "%.0f"),
                spread([t.kept / t.send_seconds for t in ts if t.send_seconds], "%.0f"),
                spread([t.lost / t.sent_total * 100 for t in ts if t.sent_total], "%.1f%%"),
                spread([per_us(t.cpu, t.kept) for t in ts], "%.2f"),
                spread([(t.hwm_kb or 0) / 1024 for t in ts], "%.1f")))
    if "forged" in loads:
        log("\nforged: %d real sources beside new forged addresses, hangup after %.1f s of %.1f s" % (
            REAL_SOURCES, args.forged_hup, args.forged_seconds))
        log("| receiver | forged offered/s | forged sent/s | real sent after hangup | real stored after hangup "
            "| hangup s | kernel drops | CPU us/dgram |")
        log("|---|---:|---:|---:|---:|---:|---:|---:|")
        for rate in forged_rates:
            for kind in kinds:
                ts = pick(kind, "forged", rate)
                if kind not in DAEMONS:
                    continue
                log("| %s | %.0f | %s | %s | %s | %s | %s | %s |" % (
                    NAMES[kind], rate, spread([t.forged_rate for t in ts], "%.0f"),
                    spread([t.real_after for t in ts], "%d"), spread([t.kept_from for t in ts], "%d"),
                    spread([t.hup[0] for t in ts if t.hup], "%.3f"), spread([t.drops or 0 for t in ts], "%d"),
                    spread([per_us(t.cpu, t.counted or 0) for t in ts], "%.2f")))
                short = [t for t in ts if t.forged_rate < 0.95 * rate]
                if short:
                    log("|   (the sender reached only %s/s of %.0f/s) | | | | | | | |" % (
                        spread([t.forged_rate for t in short], "%.0f"), rate))
    if "paced" in loads:
        log("\npaced at %.0f dgram/s for %.1f s" % (args.paced_rate, args.paced_seconds))
        log("| receiver | loss | CPU us per stored dgram |")
        log("|---|---:|---:|")
        for kind in kinds:
            ts = pick(kind, "paced")
            log("| %s | %s | %s |" % (
                NAMES[kind], spread([t.lost / t.sent_total * 100 for t in ts if t.sent_total], "%.2f%%"),
                spread([per_us(t.cpu, t.kept) for t in ts], "%.2f")))
    if "info" in loads:
        log("\ninfo: default --maxopen, %d sources, %d datagrams: what eviction and the open gate store" % (
            args.sources, args.info_count))
        log("| receiver | sent | counted | stored | failed (drop: lines) | open attempts refused (drops: lines) "
            "| socket drops | stored dgram/s |")
        log("|---|---:|---:|---:|---:|---:|---:|---:|")
        for kind in kinds:
            ts = pick(kind, "info")
            if kind not in DAEMONS:
                continue
            log("| %s | %s | %s | %s | %s | %s | %s | %s |" % (
                NAMES[kind], spread([t.sent_total for t in ts], "%d"), spread([t.counted for t in ts], "%d"),
                spread([t.kept for t in ts], "%d"), spread([t.failed for t in ts], "%d"),
                spread([t.ignored for t in ts], "%d"), spread([t.drops or 0 for t in ts], "%d"),
                spread([t.kept / t.send_seconds for t in ts if t.send_seconds], "%.0f")))

    log("\ntargets (ratio of the medians)")
    b = {(k, load): [backlog_us(t) for t in pick(k, load)]
         for k in kinds for load in ("backlog", "backlog6", "unknown")}
    f = {k: [t.kept / t.send_seconds for t in pick(k, "flood") if t.send_seconds] for k in kinds}
    if "backlog" in loads:
        log(ratio_line("backlog CPU/dgram, daemon vs bare recvmmsg loop", b.get(("daemon", "backlog")),
                       b.get(("mmsg", "backlog")), 1.3, "<="))
        log(ratio_line("backlog CPU/dgram, daemon vs rsyslog", b.get(("daemon", "backlog")),
                       b.get(("rsyslog", "backlog")), 0.5, "<="))
    if "backlog6" in loads:
        log(ratio_line("IPv6 backlog CPU/dgram, daemon vs bare recvmmsg loop", b.get(("daemon", "backlog6")),
                       b.get(("mmsg", "backlog6")), 1.3, "<="))
    if "unknown" in loads:
        log(limit_line("unknown backlog CPU/dgram of the daemon", b.get(("daemon", "unknown")), 1.5, "us"))
    if "flood" in loads:
        log(ratio_line("flood stored dgram/s, daemon vs rsyslog", f.get("daemon"), f.get("rsyslog"), 1.5, ">="))
    if "baseline" in kinds:
        # Repetitions of the same binary differ by a few per cent: a slowdown is more than that.
        for load in ("backlog", "backlog6", "unknown"):
            if load in loads:
                log(ratio_line("%s CPU/dgram, daemon vs baseline (no slowdown)" % load, b.get(("daemon", load)),
                               b.get(("baseline", load)), 1.05, "<="))
        if "flood" in loads:
            log(ratio_line("flood stored dgram/s, daemon vs baseline (no slowdown)", f.get("daemon"),
                           f.get("baseline"), 0.95, ">="))
        for rate in forged_rates if "forged" in loads else ():
            kept = {k: [t.kept_from for t in pick(k, "forged", rate)] for k in DAEMONS}
            log(ratio_line("forged %.0f/s: real stored after the hangup, daemon vs baseline" % rate,
                           kept["daemon"], kept["baseline"]))
    bufsize = 16384
    if "--bufsize" in args.daemon_arg[:-1]:
        bufsize = int(args.daemon_arg[args.daemon_arg.index("--bufsize") + 1])
    budget = args.maxopen * bufsize + RECV_BATCH_BYTES + (2 << 20)
    hwm = [t.hwm_kb * 1024 for t in trials if t.kind == "daemon" and t.load not in ("info", "forged") and t.hwm_kb]
    if hwm:
        log("  %-58s %5.2f MiB of %.2f MiB (%d x %d + 64 x 8193 + 2 MiB): %s" % (
            "daemon peak RSS vs its budget", max(hwm) / 1048576, budget / 1048576, args.maxopen, bufsize,
            "met" if max(hwm) <= budget else "NOT met"))


if __name__ == "__main__":
    sys.exit(main())
