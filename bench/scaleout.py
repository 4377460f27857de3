#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Aggregate stored rate of daemons behind the nftables balancer of deploy/scaleout.sh.

One command, as root: bench/scaleout.py  (builds Release into build-bench when needed).

The whole run happens in a network namespace of its own (the script re-runs
itself under `unshare --net`), so its loopback, its nftables table and its
ports vanish with it. In that namespace it floods, with the load generator of
bench/run.py (sequence-numbered payloads from --sources 127.0.0.x addresses):

  alone        one daemon on its port, no nftables rule at all
  balanced N   N daemons on ports of 127.0.0.1 behind the redirect rule of
               deploy/scaleout.sh (topology ports), the load sent to the
               balanced port, for N = 1 .. --max-daemons

and after each flood stops the daemons and verifies every root the way
bench/run.py does (every counted datagram stored once, in order per source),
and that no source has records in two roots. The figure is the stored
datagrams per second of sending, over all daemons. See doc/performance.md.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import run as single  # noqa: E402  (the single-daemon benchmark: build, load, verification)

SCRIPT = os.path.join(single.REPO, "deploy", "scaleout.sh")
INNER = "CORVASHENMIR_SCALEOUT_BENCH_INNER"
PORT = 514
FIRST_PORT = 6000


def sh(cmd, **kw):
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)


def socket_drops(port):
    return single.udp_socket_state(port)[1] or 0


def wait_drained(ports, seconds=5):
    limit = time.monotonic() + seconds
    for port in ports:
        while time.monotonic() < limit:
            rx, _ = single.udp_socket_state(port)
            if not rx:
                break
            time.sleep(0.01)
    time.sleep(0.05)


def pids_of(base, n):
    out = []
    for k in range(n):
        out.append(single.read_int(os.path.join(base, "d%d" % k, "pid")))
    return out


def conntrack_count():
    return single.read_int("/proc/sys/net/netfilter/nf_conntrack_count")


class Setup:
    """The daemons of one trial: `alone` (n = 1, no rule) or `balanced` (n daemons behind the rule)."""

    def __init__(self, kind, n, exe, args, addrs):
        self.kind, self.n, self.exe, self.args = kind, n, exe, args
        self.base = tempfile.mkdtemp(prefix="corvashenmir-scaleout-bench-")
        self.proc = None
        self.ports = [FIRST_PORT + k for k in range(n)]
        self.send_port = PORT if kind == "balanced" else FIRST_PORT
        sources = os.path.join(self.base, "sources")
        with open(sources, "w") as f:
            f.write("".join(a + "\n" for a in addrs))
        self.error = None
        if kind == "balanced":
            p = subprocess.run([SCRIPT, "up", "--base", self.base, "--topology", "ports", "--daemons", str(n),
                                "--port", str(PORT), "--first-port", str(FIRST_PORT), "--sources", sources,
                                "--bin", exe["daemon"], "--"] + args.daemon_arg,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            if p.returncode != 0:
                self.error = "scaleout.sh up failed: %s" % p.stdout.strip()
            self.pids = pids_of(self.base, n)
        else:
            root = os.path.join(self.base, "d0", "root")
            os.makedirs(root)
            for a in addrs:
                os.mkdir(os.path.join(root, a))
            self.proc, self.error = single.start_receiver("daemon", exe, args, self.base, root, FIRST_PORT)
            self.pids = [self.proc.pid]

    def root(self, k):
        return os.path.join(self.base, "d%d" % k, "root")

    def cpu(self):
        total = 0.0
        for pid in self.pids:
            u, s = single.proc_cpu(pid)
            total += u + s
        return total

    def stop(self):
        """Stops every daemon with SIGTERM (status 0 required); returns the errors."""
        if self.kind == "balanced":
            p = subprocess.run([SCRIPT, "down", "--base", self.base], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True)
            return [] if p.returncode == 0 else ["scaleout.sh down failed: %s" % p.stdout.strip()]
        if self.proc is None:
            return []
        status = single.stop(self.proc)
        self.proc = None
        return [] if status == 0 else ["daemon stop status %s" % status]

    def remove(self, keep):
        if not keep:
            shutil.rmtree(self.base, ignore_errors=True)


def trial(kind, n, exe, args):
    addrs = [single.source_addr(k, args.scheme) for k in range(args.sources * args.senders)]
    t = single.Trial("%s-%d" % (kind, n), 0, args.seconds, 100000000)
    s = Setup(kind, n, exe, args, addrs)
    t.tmp = s.base
    try:
        if s.error:
            t.errors.append(s.error)
            return t, s
        cpu0 = s.cpu()
        single.run_senders(t, exe, args, s.send_port)
        wait_drained(s.ports)
        t.drops = sum(socket_drops(p) for p in s.ports)
        t.cpu = s.cpu() - cpu0
        t.conntrack = conntrack_count()
        t.errors += s.stop()
        # Each root on its own, as bench/run.py checks one daemon's root.
        where = {}
        for k in range(n):
            part = single.Trial(t.kind, 0, args.seconds, 0)
            part.sent, part.last_seq = t.sent, t.last_seq
            single.verify_daemon(part, s.root(k), args, addrs)
            t.errors += ["daemon %d: %s" % (k, e) for e in part.errors]
            t.kept += part.kept
            for a in addrs:
                if os.listdir(os.path.join(s.root(k), a)):
                    where.setdefault(a, []).append(k)
        split = {a: ks for a, ks in where.items() if len(ks) > 1}
        if split:
            t.errors.append("%d sources stored by two daemons, e.g. %s" % (len(split), sorted(split.items())[:3]))
        t.spread = [sum(1 for ks in where.values() if k in ks) for k in range(n)]
    finally:
        s.stop()
        s.remove(args.keep or not t.ok)
    return t, s


def inner(args):
    sh(["ip", "link", "set", "lo", "up"])
    exe = single.build(args)
    single.log("own network namespace; loopback, %d source(s) 127.0.0.x, %d sender(s), payload %d bytes, "
               "sendmmsg batch %d, %d cpus" % (args.sources, args.senders, args.size, args.batch, os.cpu_count()))
    busy = single.cpu_busy()
    single.log("other work on the machine before the run: %.0f%% of all cpus%s" % (
        busy * 100, "  -- WARNING: figures will be low and noisy" if busy > 0.1 else ""))
    setups = [("alone", 1)] + [("balanced", n) for n in range(1, args.max_daemons + 1)]
    results = {}
    failures = 0
    started = time.monotonic()
    for attempt in range(args.trials):
        for kind, n in setups:
            t, _ = trial(kind, n, exe, args)
            rate = t.kept / t.send_seconds if t.send_seconds else 0.0
            line = ("  %-10s n=%d  sent %9d at %8.0f/s  stored %9d at %8.0f/s  lost %7d  sockdrops %s  "
                    "daemon cpu %.2fs  sources per daemon %s  conntrack entries in the namespace %s"
                    % (kind, n, t.sent_total, t.send_rate, t.kept, rate, t.lost, t.drops, t.cpu,
                       getattr(t, "spread", "-"), getattr(t, "conntrack", "-")))
            if not t.ok:
                failures += 1
                line += "\n    FAILED: " + "\n    FAILED: ".join(t.errors[:10]) + "\n    files kept in " + t.tmp
            single.log(line)
            results.setdefault((kind, n), []).append((t.send_rate, rate, t.lost / t.sent_total * 100
                                                      if t.sent_total else 0.0,
                                                      t.cpu / t.kept * 1e6 if t.kept else float("nan"), t.ok))

    def median(values):
        v = sorted(values)
        return v[len(v) // 2]

    single.log("")
    single.log("| setup | daemons | flood: sent dgram/s | flood: stored dgram/s | loss | daemon CPU s / M stored "
               "| verified |")
    single.log("|---|---:|---:|---:|---:|---:|:---:|")
    for (kind, n), rs in results.items():
        single.log("| %s | %d | %.0f | %.0f | %.1f%% | %.2f | %s |" % (
            "one daemon, no rule" if kind == "alone" else "behind the balancer", n,
            median(r[0] for r in rs), median(r[1] for r in rs), median(r[2] for r in rs),
            median(r[3] for r in rs), "yes" if all(r[4] for r in rs) else "FAILED"))
    single.log("")
    single.log("medians of %d trial(s) of %.1f s each; %d cpus, %.0f%% busy before; run took %.0f s"
               % (args.trials, args.seconds, os.cpu_count(), busy * 100, time.monotonic() - started))
    if failures:
        single.log("VERIFICATION FAILED in %d trial(s); see the FAILED lines above" % failures)
        return 1
    single.log("verification: every trial passed")
    return 0


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build-dir", default=os.path.join(single.REPO, "build-bench"))
    ap.add_argument("--no-build", action="store_true", help="use the binaries already in --build-dir")
    ap.add_argument("--max-daemons", type=int, default=2, help="balanced setups with 1..N daemons (1..8)")
    ap.add_argument("--sources", type=int, default=64, help="source addresses per sender (127.0.0.x)")
    ap.add_argument("--senders", type=int, default=1, help="load generator processes")
    ap.add_argument("--size", type=int, default=100, help="payload bytes")
    ap.add_argument("--batch", type=int, default=32, help="datagrams per sendmmsg")
    ap.add_argument("--seconds", type=float, default=3.0, help="length of each flood")
    ap.add_argument("--trials", type=int, default=3, help="floods per setup; the table shows medians")
    ap.add_argument("--daemon-arg", action="append", default=[],
                    help="daemon option, repeatable (default: --maxopen 256, so that every source keeps "
                    "its file open), e.g. --daemon-arg=--bufsize --daemon-arg=65536")
    ap.add_argument("--keep", action="store_true", help="keep the temporary roots")
    args = ap.parse_args()
    args.scheme = "host"
    # More sources than open files would make the daemon evict and refuse opens; stored would
    # fall short of counted and the trial fail verification.
    args.daemon_arg = args.daemon_arg or ["--maxopen", "256"]
    args.pin = False  # bench/run.py's pinning; the balanced daemons are started by the deploy script
    if not (1 <= args.max_daemons <= 8 and 1 <= args.trials <= 5 and 0 < args.seconds <= 10
            and 18 <= args.size <= 8192 and 1 <= args.sources * args.senders <= 254):
        sys.exit("--max-daemons 1..8, --trials 1..5, --seconds <= 10, --size 18..8192, "
                 "--sources x --senders <= 254 keep a run short and valid")
    if os.environ.get(INNER) != "1":
        if os.geteuid() != 0:
            sys.exit("needs root: the run takes a network namespace of its own and loads nftables rules")
        for tool in ("unshare", "nft", "ip"):
            if not shutil.which(tool):
                sys.exit("%s is missing (apt-get install util-linux nftables iproute2)" % tool)
        env = dict(os.environ, **{INNER: "1"})
        # The namespace lives as long as this command; nothing is left behind.
        os.execvpe("unshare", ["unshare", "--net", "--", sys.executable, os.path.abspath(__file__)]
                   + sys.argv[1:], env)
    return inner(args)


if __name__ == "__main__":
    signal.signal(signal.SIGINT, signal.default_int_handler)
    sys.exit(main())
