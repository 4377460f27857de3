#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Side-by-side benchmark on loopback: corvashenmir, bare receive loops, rsyslog.

One command: bench/compare.py   (builds Release into build-bench when needed;
--daemon PATH measures another daemon binary).

Receivers: the daemon (split mode); a bare recvmmsg loop and a bare recvfrom
loop that only count; rsyslog from its Debian package, unpacked privately
into bench/rsyslog/ and configured to store the same files and lines.
Loads, each receiver on cpu 1 and the sender on cpu 0:
  backlog  N datagrams queued while the receiver is stopped, then its cpu time
           until its queue is empty and it is quiet (net.core.rmem_* raised
           for these trials only and restored afterwards);
  flood    an unpaced sender that outpaces every receiver (segmented sends):
           stored datagrams per second;
  paced    a paced sender: loss and cpu time;
  info     the daemon with its default --maxopen, more sources than files;
  profile  (not in the default) one daemon flood under perf record.
Every daemon trial is verified: each datagram it counted is stored exactly
once and in order per source. See bench/README.md.
"""

import argparse
import contextlib
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
RECV_CPU, SEND_CPU = 1, 0
RECV_BATCH_BYTES = 64 * 8193  # the daemon's receive slots
QUIET_SECONDS = 0.3
IDLE_SHARE = 0.1  # share of all cpus busy before the run below which the machine counts as idle
IDLE_CPU_NS = 1000000  # cpu time a quiet receiver may use in QUIET_SECONDS
NAMES = {
    "daemon": "corvashenmir (split)",
    "mmsg": "bare recvmmsg loop",
    "recvfrom": "bare recvfrom loop",
    "rsyslog": "rsyslog (imudp, omfile)",
}
FAILED_RE = re.compile(r"drop: failed \S+ (\d+) times")
IGNORED_RE = re.compile(r"drops: ignored (\d+) file open attempts")


log = run.log


# ---------------------------------------------------------------- rsyslog, private copy

def rsyslog_paths():
    root = os.path.join(RSYSLOG_DIR, "root")
    libdir = os.path.join(root, "usr", "lib", "x86_64-linux-gnu")
    return os.path.join(root, "usr", "sbin", "rsyslogd"), libdir, os.path.join(libdir, "rsyslog")


def installed(pkg):
    r = subprocess.run(["dpkg-query", "-W", "-f=${Status}", pkg], capture_output=True, text=True)
    return r.returncode == 0 and r.stdout.endswith(" installed")


def fetch_rsyslog():
    """Downloads rsyslog and its missing libraries and unpacks them; nothing is installed."""
    rsyslogd, libdir, _ = rsyslog_paths()
    if os.access(rsyslogd, os.X_OK):
        return rsyslogd
    debs = os.path.join(RSYSLOG_DIR, "debs")
    os.makedirs(debs, exist_ok=True)
    # apt drops to the _apt user for downloads; let it write here.
    os.chmod(debs, 0o777)
    deps = subprocess.run(["apt-cache", "depends", "--no-recommends", "--no-suggests", "rsyslog"],
                          capture_output=True, text=True, check=True).stdout
    wanted = ["rsyslog"] + [p for p in re.findall(r"^\s+Depends: (\S+)$", deps, re.M)
                            if not p.startswith("<") and not installed(p)]
    log("fetching %s with apt-get download into %s" % (" ".join(wanted), debs))
    subprocess.run(["apt-get", "download"] + wanted, cwd=debs, check=True, stdout=subprocess.DEVNULL)
    for name in sorted(os.listdir(debs)):
        if name.endswith(".deb"):
            subprocess.run(["dpkg-deb", "-x", os.path.join(debs, name), os.path.join(RSYSLOG_DIR, "root")],
                           check=True)
    ldd = subprocess.run(["ldd", rsyslogd], capture_output=True, text=True,
                         env=dict(os.environ, LD_LIBRARY_PATH=libdir)).stdout
    if "not found" in ldd:
        sys.exit("rsyslogd misses libraries:\n" + ldd)
    return rsyslogd


def rsyslog_conf(tmp, root, port, cache):
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
        f.write('input(type="imudp" port="%d" address="127.0.0.1")\n' % port)
        # Buffers as large as the daemon's, written when full or at close, as the daemon does.
        f.write('action(type="omfile" dynaFile="path" template="line" createDirs="off" '
                'dynaFileCacheSize="%d" ioBufferSize="16k" flushOnTXEnd="off")\n' % cache)
    return conf


# ---------------------------------------------------------------- system facts

@contextlib.contextmanager
def raised_rmem(nbytes):
    """Socket receive buffers of nbytes for the block; the old values come back whatever happens."""
    keys = ("rmem_default", "rmem_max")
    old = {k: run.read_int("/proc/sys/net/core/" + k) for k in keys}

    def put(k, v):
        with open("/proc/sys/net/core/" + k, "w") as f:
            f.write("%d\n" % v)
    try:
        put("rmem_max", max(old["rmem_max"], nbytes))
        put("rmem_default", nbytes)
        yield
    finally:
        for k in keys:
            put(k, old[k])


def queued_bytes_per_datagram(size):
    """Receive-buffer bytes one queued datagram of this size takes on loopback (rounded up)."""
    fits = run.queue_capacity(size)
    return -(-run.read_int("/proc/sys/net/core/rmem_default") // max(1, fits - 1))


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


def tree_bytes(root):
    total = 0
    for d in os.scandir(root):
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


def wait_quiet(pid, port, root, limit):
    """Waits until the socket queue is empty, then until the files stand still and the receiver
    neither runs nor waits for a cpu and uses next to no cpu time (an idle receiver still wakes
    from its bounded poll). A starved receiver is not a quiet one. Returns an error or None."""
    deadline = time.monotonic() + limit
    while True:
        rx, _ = run.udp_socket_state(port)
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
        (cpu, runnable), size = thread_stats(pid), tree_bytes(root)
        if ref is None or runnable or size != ref[1] or cpu - ref[0] > IDLE_CPU_NS:
            ref = (cpu, size, now)
        elif now - ref[2] >= QUIET_SECONDS:
            return None
        time.sleep(0.02)
    return "receiver not quiet within %d s" % limit


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


def start(kind, exe, args, tmp, root, port, maxopen):
    pidfile = os.path.join(tmp, "pid")
    env = None
    if kind == "daemon":
        cmd = [exe["daemon"], "--port", str(port), "--rootdir", root, "--pidfile", pidfile, "--recvmode", "split"]
        if maxopen:
            cmd += ["--maxopen", str(maxopen)]
        cmd += args.daemon_arg
    elif kind == "rsyslog":
        rsyslogd, libdir, moddir = rsyslog_paths()
        cmd = [rsyslogd, "-n", "-f", rsyslog_conf(tmp, root, port, maxopen or 50), "-i", pidfile, "-M", moddir]
        env = dict(os.environ, LD_LIBRARY_PATH=libdir)
    else:
        pidfile = None
        cmd = [exe["bare"], "--port", str(port), "--seconds", "600", "--mode",
               "recvmmsg" if kind == "mmsg" else "recvfrom"]
    with open(os.path.join(tmp, "stdout"), "w") as out, open(os.path.join(tmp, "stderr"), "w") as err:
        proc = subprocess.Popen(cmd, stdout=out, stderr=err, stdin=subprocess.DEVNULL, env=env,
                                preexec_fn=lambda: os.sched_setaffinity(0, {RECV_CPU}))
    limit = time.monotonic() + 10
    while time.monotonic() < limit:
        if proc.poll() is not None:
            return proc, "receiver exited at start-up with status %s" % proc.returncode
        if run.port_taken(port) and (pidfile is None or run.read_int(pidfile) == proc.pid):
            return proc, None
        time.sleep(0.02)
    return proc, "receiver not ready after 10 s"


def daemon_drops(t, root):
    for name in os.listdir(root):
        if name.startswith("corvashenmir-"):
            with open(os.path.join(root, name), errors="replace") as f:
                text = f.read()
            t.failed += sum(int(n) for n in FAILED_RE.findall(text))
            t.ignored += sum(int(n) for n in IGNORED_RE.findall(text))


def verify(t, tmp, root, args, addrs):
    if t.kind == "daemon" and t.load == "info":
        # Eviction and the gate decide what is stored: check what is there, and the sums.
        run.count_daemon(t, root, args)
        run.verify_files(t, root, args, addrs)
        daemon_drops(t, root)
        if t.counted is not None and t.kept + t.failed > t.counted:
            t.errors.append("stored %d + failed %d > counted %d" % (t.kept, t.failed, t.counted))
    elif t.kind == "daemon":
        run.verify_daemon(t, root, args, addrs)
        daemon_drops(t, root)
    elif t.kind == "rsyslog":
        run.verify_files(t, root, args, addrs)
        t.notes, t.errors = t.errors, []
    else:
        run.verify_bare(t, tmp, args)


def run_trial(kind, load, exe, args, rate=0.0, seconds=30.0, count=0, maxopen=200, perf=None):
    t = Trial(kind, load, rate, seconds, count)
    tmp = tempfile.mkdtemp(prefix="corvashenmir-compare-")
    root = os.path.join(tmp, "root")
    os.mkdir(root)
    addrs = [run.source_addr(k, "host") for k in range(args.sources)]
    for a in addrs:
        os.mkdir(os.path.join(root, a))
    port = run.free_port()
    proc, err = start(kind, exe, args, tmp, root, port, maxopen)
    profiler = None
    try:
        if err:
            t.errors.append(err)
            return t
        if load == "backlog":
            proc.send_signal(signal.SIGSTOP)
            limit = time.monotonic() + 5
            while proc_state(proc.pid) != "T":
                if time.monotonic() > limit:
                    t.errors.append("receiver not stopped 5 s after SIGSTOP")
                    return t
                time.sleep(0.005)
        if perf:
            profiler = subprocess.Popen(["perf", "record", "-e", "cpu-clock", "-F", "4000", "-o", perf,
                                         "-p", str(proc.pid)],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(0.5)
        cpu0, sched0 = run.proc_cpu(proc.pid), sched_ns(proc.pid)
        run.run_senders(t, exe, args, port, gso=load == "flood" and args.flood_sender == "segmented")
        if load == "backlog":
            t.queued, drops = run.udp_socket_state(port)
            if drops or not t.queued:
                t.errors.append("the stopped receiver's queue holds %s bytes, %s dropped" % (t.queued, drops))
            cpu0, sched0 = run.proc_cpu(proc.pid), sched_ns(proc.pid)
            proc.send_signal(signal.SIGCONT)
        err = wait_quiet(proc.pid, port, root, 60)
        if err:
            t.errors.append(err)
        cpu1, sched1 = run.proc_cpu(proc.pid), sched_ns(proc.pid)
        if profiler:
            profiler.send_signal(signal.SIGINT)
            profiler.wait(30)
        t.cpu_user = cpu1[0] - cpu0[0]
        t.cpu = t.cpu_user + cpu1[1] - cpu0[1]
        t.sched = (sched1 - sched0) / 1e9
        if load == "backlog" and not t.sched:
            t.errors.append("no cpu time between SIGCONT and quiet: the backlog was not taken in the window")
        t.hwm_kb = run.proc_hwm_kb(proc.pid)
        _, t.drops = run.udp_socket_state(port)
        status = run.stop(proc, 30)
        if status != 0:
            t.errors.append("receiver stop status %s (expected 0)" % status)
        verify(t, tmp, root, args, addrs)
    finally:
        if profiler and profiler.poll() is None:
            profiler.kill()
            profiler.wait()
        if proc.poll() is None:
            with contextlib.suppress(OSError):
                proc.send_signal(signal.SIGCONT)
            run.stop(proc)
        if t.ok and not t.notes and not args.keep:
            shutil.rmtree(tmp, ignore_errors=True)
        else:
            t.tmp = tmp
    return t


def describe(t):
    s = "  %-8s sent %8d in %6.2fs  stored %8d  lost %7d  cpu %.3fs (sched %.3fs)  rss %.1f MiB" % (
        t.kind, t.sent_total, t.send_seconds, t.kept, t.lost, t.cpu, t.sched, (t.hwm_kb or 0) / 1024)
    if t.kind == "daemon" and t.counted is not None and t.counted != t.kept:
        s += "  counted %d failed %d gate-refused %d" % (t.counted, t.failed, t.ignored)
    if t.drops:
        s += "  sockdrops %d" % t.drops
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
    v = [x for x in values if x == x]
    if not v:
        return "-"
    return "/".join(fmt % x for x in (min(v), statistics.median(v), max(v)))


def median(values):
    v = [x for x in values if x == x]
    return statistics.median(v) if v else float("nan")


def ratio_line(what, num, den, target, better):
    """One target ratio: of the medians, with the spread of the per-repetition ratios."""
    if not num or not den:
        return "  %-58s n/a (receiver not measured)" % what
    per_rep = sorted(a / b for a, b in zip(num, den) if b and a == a and b == b)
    r = median(num) / median(den) if median(den) else float("nan")
    met = r <= target if better == "<=" else r >= target
    return "  %-58s %5.2fx  (per repetition %s)  target %s %.1fx: %s" % (
        what, r, spread(per_rep, "%.2f"), better, target, "met" if met else "NOT met")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build-dir", default=os.path.join(run.REPO, "build-bench"))
    ap.add_argument("--no-build", action="store_true", help="use the tools already in --build-dir")
    ap.add_argument("--daemon", help="daemon binary to measure (default: the Release build of this tree)")
    ap.add_argument("--receivers", default="daemon,mmsg,recvfrom,rsyslog",
                    help="comma list of daemon, mmsg, recvfrom, rsyslog")
    ap.add_argument("--loads", default="backlog,flood,paced,info",
                    help="comma list of backlog, flood, paced, info, profile")
    ap.add_argument("--reps", type=int, default=3, help="repetitions of every load and receiver")
    ap.add_argument("--sources", type=int, default=100, help="source addresses")
    ap.add_argument("--size", type=int, default=200, help="payload bytes")
    ap.add_argument("--backlog", type=int, default=300000, help="datagrams queued while the receiver is stopped")
    ap.add_argument("--flood", type=int, default=3000000, help="datagrams of the unpaced load")
    ap.add_argument("--flood-sender", choices=["segmented", "plain"], default="segmented",
                    help="segmented: one UDP_SEGMENT send per batch, so the sender outpaces every receiver; "
                         "plain: one sendmmsg entry per datagram, which one cpu sends slower than a receiver takes")
    ap.add_argument("--maxopen", type=int, default=200, help="daemon --maxopen and rsyslog file cache")
    ap.add_argument("--paced-rate", type=float, default=100000, help="datagrams per second of the paced load")
    ap.add_argument("--paced-seconds", type=float, default=2.0)
    ap.add_argument("--info-count", type=int, default=1000000,
                    help="datagrams of the default-configuration load (daemon, default --maxopen)")
    ap.add_argument("--profile-out", default=os.path.join(run.REPO, "build-bench", "perf.data"),
                    help="perf data file of the profile load")
    ap.add_argument("--profile-top", type=int, default=25, help="profile rows printed")
    ap.add_argument("--daemon-arg", action="append", default=[],
                    help="extra daemon option, repeatable, e.g. --daemon-arg=--bufsize --daemon-arg=65536")
    ap.add_argument("--wait-idle", type=float, default=0,
                    help="wait up to this many seconds for the cpus to be under 10%% busy before starting")
    ap.add_argument("--keep", action="store_true", help="keep the temporary roots")
    args = ap.parse_args()
    kinds = [k for k in args.receivers.split(",") if k]
    loads = [k for k in args.loads.split(",") if k]
    if set(kinds) - set(NAMES) or set(loads) - {"backlog", "flood", "paced", "info", "profile"}:
        sys.exit("unknown receiver or load")
    if not (1 <= args.reps <= 10 and 1 <= args.sources <= 254 and 18 <= args.size <= 8192
            and 1000 <= args.backlog <= 1000000 and 1000 <= args.flood <= 5000000
            and 1000 <= args.info_count <= 5000000 and 0 < args.paced_seconds <= 5 and 0 <= args.wait_idle <= 3600):
        sys.exit("reps 1..10, sources 1..254, size 18..8192, backlog 1k..1M, flood and info 1k..5M, "
                 "paced 5 s and a wait of an hour at most keep a run bounded")
    if os.geteuid() != 0 and "backlog" in loads:
        sys.exit("the backlog load raises net.core.rmem_default: run as root or leave it out")
    # The fixed fields the load generator and the verification of run.py read.
    args.scheme, args.senders, args.batch, args.pin = "host", 1, 32, True

    # A stop request still restores the sysctls and stops the receiver.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    os.sched_setaffinity(0, {SEND_CPU})
    exe = run.build(args)
    if args.daemon:
        exe["daemon"] = os.path.abspath(args.daemon)
    if "rsyslog" in kinds:
        fetch_rsyslog()
        ver = subprocess.run([rsyslog_paths()[0], "-v"], capture_output=True, text=True,
                             env=dict(os.environ, LD_LIBRARY_PATH=rsyslog_paths()[1])).stdout.split("\n")[0]
        log("rsyslog: %s" % ver.strip())
    log("daemon: %s" % exe["daemon"])
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

    if "backlog" in loads:
        per = queued_bytes_per_datagram(args.size)
        need = args.backlog * per * 11 // 10 + (1 << 20)
        log("\nbacklog: %d datagrams, %d queue bytes each: net.core.rmem_default and rmem_max raised to %d "
            "for these trials" % (args.backlog, per, need))
        with raised_rmem(need):
            for rep in range(args.reps):
                for kind in kinds:
                    record(run_trial(kind, "backlog", exe, args, count=args.backlog, maxopen=args.maxopen))
        log("net.core.rmem_default and rmem_max restored to %s and %s" % (
            run.read_int("/proc/sys/net/core/rmem_default"), run.read_int("/proc/sys/net/core/rmem_max")))
    if "flood" in loads:
        log("\nflood: %d datagrams, unpaced" % args.flood)
        for rep in range(args.reps):
            for kind in kinds:
                record(run_trial(kind, "flood", exe, args, count=args.flood, maxopen=args.maxopen))
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
            record(run_trial("daemon", "info", exe, args, count=args.info_count, maxopen=None))
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

    summarize(trials, kinds, loads, args)
    log("\nrun took %.0f s" % (time.monotonic() - started))
    if failures:
        log("VERIFICATION FAILED in %d trial(s); see the FAILED lines above" % len(failures))
        return 1
    log("verification: every trial passed")
    return 0


def summarize(trials, kinds, loads, args):
    def pick(kind, load):
        return [t for t in trials if t.kind == kind and t.load == load and t.ok]

    def backlog_us(t):
        return per_us(t.cpu, t.kept)

    log("\nmin/median/max over the repetitions")
    if "backlog" in loads:
        log("\nbacklog of %d datagrams" % args.backlog)
        log("| receiver | CPU us/dgram (utime+stime) | CPU us/dgram (schedstat) | user share | stored |")
        log("|---|---:|---:|---:|---:|")
        for kind in kinds:
            ts = pick(kind, "backlog")
            log("| %s | %s | %s | %s | %s |" % (
                NAMES[kind], spread([backlog_us(t) for t in ts], "%.2f"),
                spread([per_us(t.sched, t.kept) for t in ts], "%.2f"),
                spread([t.cpu_user / t.cpu * 100 if t.cpu else float("nan") for t in ts], "%.0f%%"),
                spread([t.kept for t in ts], "%d")))
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
        ts = pick("daemon", "info")
        log("\ninfo: default --maxopen, %d sources, %d datagrams: what eviction and the open gate store" % (
            args.sources, args.info_count))
        log("| sent | counted | stored | failed (drop: lines) | open attempts refused (drops: lines) "
            "| socket drops | stored dgram/s |")
        log("|---:|---:|---:|---:|---:|---:|---:|")
        log("| %s | %s | %s | %s | %s | %s | %s |" % (
            spread([t.sent_total for t in ts], "%d"), spread([t.counted for t in ts], "%d"),
            spread([t.kept for t in ts], "%d"), spread([t.failed for t in ts], "%d"),
            spread([t.ignored for t in ts], "%d"), spread([t.drops or 0 for t in ts], "%d"),
            spread([t.kept / t.send_seconds for t in ts if t.send_seconds], "%.0f")))

    log("\ntargets (ratio of the medians)")
    b = {k: [backlog_us(t) for t in pick(k, "backlog")] for k in kinds}
    f = {k: [t.kept / t.send_seconds for t in pick(k, "flood") if t.send_seconds] for k in kinds}
    log(ratio_line("backlog CPU/dgram, daemon vs bare recvmmsg loop", b.get("daemon"), b.get("mmsg"), 1.3, "<="))
    log(ratio_line("backlog CPU/dgram, daemon vs rsyslog", b.get("daemon"), b.get("rsyslog"), 0.5, "<="))
    log(ratio_line("flood stored dgram/s, daemon vs rsyslog", f.get("daemon"), f.get("rsyslog"), 1.5, ">="))
    bufsize = 16384
    if "--bufsize" in args.daemon_arg[:-1]:
        bufsize = int(args.daemon_arg[args.daemon_arg.index("--bufsize") + 1])
    budget = args.maxopen * bufsize + RECV_BATCH_BYTES + (2 << 20)
    hwm = [t.hwm_kb * 1024 for t in trials if t.kind == "daemon" and t.load != "info" and t.hwm_kb]
    if hwm:
        log("  %-58s %5.2f MiB of %.2f MiB (%d x %d + 64 x 8193 + 2 MiB): %s" % (
            "daemon peak RSS vs its budget", max(hwm) / 1048576, budget / 1048576, args.maxopen, bufsize,
            "met" if max(hwm) <= budget else "NOT met"))


if __name__ == "__main__":
    sys.exit(main())
