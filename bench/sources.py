#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Many sources, every one with its directory: corvashenmir, rsyslog and syslog-ng.

One command, as root: bench/sources.py   (builds Release into build-bench when needed).

For each S of --counts (default 1000, 5000 and the largest the hard open-file
limit allows with a margin of 1000 descriptors: 19000 for 20000), S loopback
sources 127.1.0.1 + k send in turn, R datagrams/s in all for T seconds, from
one load generator socket that names each datagram's source (IP_PKTINFO).
Receivers, on cpu 1 with the sender on cpu 0:
  daemon     --maxopen S --maxopenspersec S --rcvbuf 67108864, a SIGHUP halfway
  rsyslog    a file cache of S and a 64 MiB socket buffer (its private copy)
  syslog-ng  a 64 MiB socket buffer; it keeps every file open (its private copy)
and, for information, the daemon with 3000 sources through --maxopen 1000,
with the default open gate and with --maxopenspersec 1000000.
Per receiver and S: stored of sent (every record verified), cpu per datagram,
peak RSS, kernel drops, file opens (counted by a preloaded shim); for the
daemon how long the hangup took and what the kernel dropped meanwhile.
See doc/performance.md.
"""

import argparse
import contextlib
import ipaddress
import os
import resource
import signal
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import compare  # noqa: E402  (receivers, trials and figures of the side-by-side benchmark)
import run  # noqa: E402

SOURCES_BASE = "127.1.0.1"
RCVBUF = 64 << 20
FD_MARGIN = 1000  # descriptors left to the receivers' own use at the largest S
INFO_SOURCES, INFO_MAXOPEN = 3000, 1000
KINDS = ("daemon", "rsyslog", "syslog-ng")
log = run.log


def largest_count():
    """The largest S the hard open-file limit allows with FD_MARGIN, in thousands."""
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    if hard == resource.RLIM_INFINITY:
        hard = 1 << 20
    return max(1000, (hard - FD_MARGIN) // 1000 * 1000)


def addresses(n):
    base = ipaddress.IPv4Address(SOURCES_BASE)
    return [str(base + k) for k in range(n)]


def read_count(path):
    with open(path, "rb") as f:
        return int.from_bytes(f.read(8), sys.byteorder)


@contextlib.contextmanager
def open_counter(exe):
    """The environment that makes a receiver count its opens for writing, and the counter."""
    fd, path = tempfile.mkstemp(prefix="corvashenmir-opens-")
    try:
        os.write(fd, bytes(8))
        os.close(fd)
        yield {"LD_PRELOAD": exe["opencount"], "CORVASHENMIR_OPENCOUNT": path}, path
    finally:
        os.unlink(path)


def run_sources(kind, exe, args, nsources, maxopen, extra, load="sources"):
    """One trial: nsources sources at args.rate in all for args.seconds; the daemon gets a
    hangup at args.hup_at of the time. load "info" verifies as compare.py's info load does."""
    count = int(args.rate * args.seconds)
    t = compare.Trial(kind, load, args.rate, args.seconds, count)
    t.nsources, t.opens, t.fds_at_hup, t.setup = nsources, None, None, " ".join(extra)
    addrs = addresses(nsources)
    with open_counter(exe) as (env, counter), \
            compare.receiver(t, kind, exe, args, addrs, maxopen, extra=extra, rcvbuf=RCVBUF, env=env,
                             keep_notes=False) as (proc, tmp, root, port):
        if not t.ok:
            return t
        cpu0, sched0 = run.proc_cpu(proc.pid), compare.sched_ns(proc.pid)
        started = time.monotonic()
        p = run.start_loadgen(exe, args, port, args.rate, count, args.seconds + 5, [
            "--pktinfo", "1", "--src-base", SOURCES_BASE, "--sources", str(nsources)], compare.SEND_CPU)
        if kind in compare.DAEMONS:
            while p.poll() is None and time.monotonic() < started + args.seconds * args.hup_at:
                time.sleep(0.01)
            t.fds_at_hup = compare.open_fds(proc.pid)
            compare.hangup(t, proc, root, port)
        run.collect_loadgen(t, p, args.seconds + 20)
        compare.settle(t, proc, port, root, args, cpu0, sched0)
        t.opens = read_count(counter)
        if kind in compare.OTHERS:
            with open(os.path.join(tmp, "stderr"), errors="replace") as f:
                t.notes += ["stderr: " + l for l in f.read().splitlines()[:3]]
        compare.stop_and_verify(t, proc, tmp, root, port, args, addrs)
    return t


def describe(t):
    s = compare.describe(t)
    extra = "    S=%d %s opens %s" % (t.nsources, t.setup, t.opens)
    if t.fds_at_hup is not None:
        extra += ", %d descriptors open at the hangup" % t.fds_at_hup
    return s + "\n" + extra


def cpu_us(t):
    return compare.per_us(t.cpu, t.kept)


def summarize(trials, kinds, counts, args):
    spread, median = compare.spread, compare.median

    def pick(kind, n, load="sources"):
        return [t for t in trials if t.kind == kind and t.nsources == n and t.load == load and t.ok]

    log("\nmin/median/max over the repetitions; %.0f datagrams/s for %.0f s from S sources" % (
        args.rate, args.seconds))
    log("| receiver | S | stored / sent | CPU us/dgram | peak RSS MiB | kernel drops | file opens "
        "| hangup s (stamps) | hangup s (seen) | kernel drops in hangup | files open at hangup |")
    log("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for n in counts:
        for kind in kinds:
            ts = pick(kind, n)
            hup = [t.hup for t in ts if t.hup]
            log("| %s | %d | %s of %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
                compare.NAMES[kind], n, spread([t.kept for t in ts], "%d"), spread([t.sent_total for t in ts], "%d"),
                spread([cpu_us(t) for t in ts], "%.2f"), spread([(t.hwm_kb or 0) / 1024 for t in ts], "%.1f"),
                spread([t.drops or 0 for t in ts], "%d"), spread([t.opens for t in ts], "%d"),
                spread([h[0] for h in hup], "%.3f"), spread([h[2] for h in hup], "%.3f"),
                spread([h[1] for h in hup], "%d"),
                spread([t.fds_at_hup - 5 for t in ts if t.fds_at_hup is not None], "%d")))
    infos = [t for t in trials if t.load == "info" and t.ok]
    if infos:
        log("\ninfo: %d sources through --maxopen %d (the daemon)" % (INFO_SOURCES, INFO_MAXOPEN))
        log("| setup | sent | counted | stored | failed | open attempts refused | kernel drops | file opens "
            "| CPU us/dgram |")
        log("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
        for setup in sorted({t.setup for t in infos}):
            ts = [t for t in infos if t.setup == setup]
            log("| %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
                setup, spread([t.sent_total for t in ts], "%d"), spread([t.counted for t in ts], "%d"),
                spread([t.kept for t in ts], "%d"), spread([t.failed for t in ts], "%d"),
                spread([t.ignored for t in ts], "%d"), spread([t.drops or 0 for t in ts], "%d"),
                spread([t.opens for t in ts], "%d"), spread([cpu_us(t) for t in ts], "%.2f")))

    if "daemon" not in kinds:
        return
    log("\ntargets (medians)")
    top, low = max(counts), min(counts)
    ts = pick("daemon", top)

    def met(ok):
        return "met" if ok else "NOT met"
    whole = bool(ts) and all(t.kept == t.sent_total and t.counted == t.kept and not t.failed and not t.ignored
                             and not t.drops for t in ts)
    log("  %-58s %s" % ("S=%d: every datagram stored, none dropped, no kernel drop" % top,
                        met(whole) if ts else "n/a (no verified trial)"))
    log(compare.ratio_line("daemon CPU/dgram, S=%d vs S=%d" % (top, low), [cpu_us(t) for t in ts],
                           [cpu_us(t) for t in pick("daemon", low)], 2.0, "<="))
    for n in counts:
        log(compare.ratio_line("daemon CPU/dgram vs rsyslog's, S=%d" % n, [cpu_us(t) for t in pick("daemon", n)],
                               [cpu_us(t) for t in pick("rsyslog", n)] if "rsyslog" in kinds else None, 0.5, "<="))
    bufsize = 16384
    if "--bufsize" in args.daemon_arg[:-1]:
        bufsize = int(args.daemon_arg[args.daemon_arg.index("--bufsize") + 1])
    for n in counts:
        hwm = [(t.hwm_kb or 0) * 1024 for t in pick("daemon", n)]
        budget = n * (bufsize + 2048) + (32 << 20)
        if hwm:
            log("  %-58s %6.1f MiB of %.1f MiB (%d x (%d + 2 KiB) + 32 MiB): %s" % (
                "daemon peak RSS, S=%d" % n, median(hwm) / 1048576, budget / 1048576, n, bufsize,
                met(median(hwm) <= budget)))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build-dir", default=os.path.join(run.REPO, "build-bench"))
    ap.add_argument("--no-build", action="store_true", help="use the tools already in --build-dir")
    ap.add_argument("--daemon", help="daemon binary to measure (default: the Release build of this tree)")
    ap.add_argument("--receivers", default=",".join(KINDS), help="comma list of " + ", ".join(KINDS))
    ap.add_argument("--counts", help="source counts S, comma list (default 1000,5000,<largest>; largest: %d here)"
                                     % largest_count())
    ap.add_argument("--rate", type=float, default=50000, help="datagrams per second from all sources together")
    ap.add_argument("--seconds", type=float, default=30, help="length of each trial")
    ap.add_argument("--hup-at", type=float, default=0.5, help="share of the trial after which the daemon gets SIGHUP")
    ap.add_argument("--size", type=int, default=200, help="payload bytes")
    ap.add_argument("--reps", type=int, default=1, help="repetitions of every trial")
    ap.add_argument("--no-info", action="store_true", help="leave out the 3000-through-1000 trials")
    ap.add_argument("--daemon-arg", action="append", default=[],
                    help="extra daemon option, repeatable: --daemon-arg --bufsize --daemon-arg 65536")
    ap.add_argument("--keep", action="store_true", help="keep the temporary roots")
    args = ap.parse_args(run.joined_values(sys.argv[1:]))
    kinds = [k for k in args.receivers.split(",") if k]
    counts = [int(c) for c in (args.counts or "1000,5000,%d" % largest_count()).split(",") if c]
    if set(kinds) - set(KINDS):
        sys.exit("unknown receiver")
    if not (counts and all(5 <= c <= largest_count() for c in counts) and 100 <= args.rate <= 500000
            and 1 <= args.seconds <= 120 and 0 < args.hup_at < 1 and 18 <= args.size <= 8192
            and 1 <= args.reps <= 5):
        sys.exit("counts 5..%d, rate 100..500000, 120 s, 5 repetitions at most keep a run bounded"
                 % largest_count())
    if os.geteuid() != 0:
        sys.exit("raises net.core.rmem_max for the 64 MiB socket buffers: run as root")
    args.scheme, args.senders, args.batch, args.pin, args.baseline_arg = "host", 1, 32, True, None
    # Every receiver may open as many files as the hard limit allows.
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    os.sched_setaffinity(0, {compare.SEND_CPU})
    exe = run.build(args)
    exe["opencount"] = os.path.join(args.build_dir, "bench", "libcorvashenmir_opencount.so")
    if not os.access(exe["opencount"], os.R_OK):
        sys.exit("missing %s" % exe["opencount"])
    if args.daemon:
        exe["daemon"] = os.path.abspath(args.daemon)
    compare.fetch_others(kinds)
    log("daemon: %s %s" % (exe["daemon"], " ".join(args.daemon_arg)))
    busy = run.cpu_busy()
    log("%d cpus, load average %s, %.0f%% of all cpus busy before the run%s; open-file limit %d" % (
        os.cpu_count(), " ".join(open("/proc/loadavg").read().split()[:3]), busy * 100,
        "  -- WARNING: figures will be low and noisy" if busy > compare.IDLE_SHARE else "", hard))

    started = time.monotonic()
    trials, failures = [], []

    def record(t):
        log(describe(t))
        trials.append(t)
        if not t.ok:
            failures.append(t)

    with compare.raised_rmem(RCVBUF, default=False):
        log("net.core.rmem_max raised to %d for the run" % RCVBUF)
        for n in counts:
            log("\nS=%d sources, %.0f datagrams/s for %.0f s" % (n, args.rate, args.seconds))
            for _ in range(args.reps):
                for kind in kinds:
                    extra = ["--maxopenspersec", str(n), "--rcvbuf", str(RCVBUF)] if kind == "daemon" else []
                    record(run_sources(kind, exe, args, n, n, extra))
        if "daemon" in kinds and not args.no_info:
            log("\ninfo: %d sources through --maxopen %d" % (INFO_SOURCES, INFO_MAXOPEN))
            for _ in range(args.reps):
                for gate in ([], ["--maxopenspersec", "1000000"]):
                    record(run_sources("daemon", exe, args, INFO_SOURCES, INFO_MAXOPEN,
                                       gate + ["--rcvbuf", str(RCVBUF)], load="info"))
    log("net.core.rmem_max restored to %s" % run.read_int("/proc/sys/net/core/rmem_max"))

    summarize(trials, kinds, counts, args)
    log("\nrun took %.0f s" % (time.monotonic() - started))
    return run.verdict(failures)


if __name__ == "__main__":
    sys.exit(main())
