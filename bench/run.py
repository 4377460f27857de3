#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Benchmark corvashenmir against the bare receive loop, loopback only.

One command: bench/run.py  (builds Release into build-bench when needed).
Every trial starts a fresh receiver on a free port, offers one bounded load,
waits for the socket queue to drain, samples CPU and peak RSS, stops the
receiver with SIGTERM and checks what it kept. For the daemon that means
every datagram it counted (statistics bytes / payload size) is stored exactly
once and in order per source. See doc/performance.md.
"""

import argparse
import errno
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

STAMP_RE = re.compile(rb"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}[+-]\d\d:\d\d$")
STATS_RE = re.compile(r"statistics: opens=(\d+) recvd=(\d+)")
HEAD_LEN = 18  # "b%05u %010u " written by the load generator


def log(msg):
    print(msg, flush=True)


def joined_values(argv, names=("--daemon-arg", "--baseline-arg")):
    """argv with `--daemon-arg X` written `--daemon-arg=X`, so X may itself start with --."""
    out, i = [], 0
    while i < len(argv):
        if argv[i] in names and i + 1 < len(argv):
            out.append(argv[i] + "=" + argv[i + 1])
            i += 2
        else:
            out.append(argv[i])
            i += 1
    return out


def read_int(path):
    try:
        with open(path) as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return None


def source_addr(k, scheme):
    return "127.0.0.%d" % (k + 1) if scheme == "host" else "127.0.%d.1" % (k + 1)


def filler(size):
    return bytes(ord("a") + j % 26 for j in range(size - HEAD_LEN))


# ---------------------------------------------------------------- build

def build(args):
    bdir = args.build_dir
    exe = {
        "daemon": os.path.join(bdir, "corvashenmir"),
        "loadgen": os.path.join(bdir, "bench", "corvashenmir_loadgen"),
        "bare": os.path.join(bdir, "bench", "corvashenmir_barerecv"),
    }
    if not args.no_build:
        if not os.path.exists(os.path.join(bdir, "CMakeCache.txt")):
            subprocess.run(["cmake", "-S", REPO, "-B", bdir, "-DCMAKE_BUILD_TYPE=Release",
                            "-DCORVASHENMIR_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", bdir, "-j2"], check=True, stdout=subprocess.DEVNULL)
        cache = open(os.path.join(bdir, "CMakeCache.txt")).read()
        m = re.search(r"^CMAKE_BUILD_TYPE:\w+=(\w*)$", cache, re.M)
        if not m or m.group(1) != "Release":
            log("warning: %s is not a Release build" % bdir)
    for name, path in exe.items():
        if not os.access(path, os.X_OK):
            sys.exit("missing %s (%s)" % (name, path))
    return exe


# ---------------------------------------------------------------- system facts

def free_port():
    # Below the kernel's ephemeral range, which the senders' own sockets draw
    # from, and free for both families, since the daemon binds the IPv6
    # wildcard with IPv4 on it.
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        low = 32768
    for _ in range(200):
        port = random.randint(10000, max(10001, low - 1))
        ok = True
        for family, addr in ((socket.AF_INET, "0.0.0.0"), (socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::")):
            s = socket.socket(family, socket.SOCK_DGRAM)
            try:
                if family == socket.AF_INET6:
                    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
                s.bind((addr, port))
            except OSError:
                ok = False
            finally:
                s.close()
        if ok:
            return port
    sys.exit("no free UDP port found")


def port_taken(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        s.bind(("127.0.0.1", port))
        return False
    except OSError as e:
        return e.errno == errno.EADDRINUSE
    finally:
        s.close()


def udp_socket_state(port, pid=None, tables=("udp", "udp6")):
    """rx_queue bytes and drops of the socket bound to port, from /proc/net/udp or udp6: of the
    network namespace of pid when given, so a receiver in another namespace is seen too."""
    want = ":%04X" % port
    base = "/proc/net" if pid is None else "/proc/%d/net" % pid
    for name in tables:
        try:
            with open(os.path.join(base, name)) as f:
                next(f)
                for line in f:
                    p = line.split()
                    if p[1].endswith(want) and not p[2].replace(":", "").strip("0"):
                        rx = int(p[4].split(":")[1], 16)
                        return rx, int(p[-1])
        except OSError:
            continue
    return None, None


def cpu_busy(seconds=1.0):
    """Share of all cpus in use over a short sample, before we add load."""
    def sample():
        with open("/proc/stat") as f:
            v = [int(x) for x in f.readline().split()[1:]]
        return sum(v), v[3] + v[4]  # total, idle + iowait
    t0, i0 = sample()
    time.sleep(seconds)
    t1, i1 = sample()
    return 1.0 - (i1 - i0) / (t1 - t0) if t1 > t0 else 0.0


def udp_snmp():
    with open("/proc/net/snmp") as f:
        rows = [l.split() for l in f if l.startswith("Udp:")]
    return dict(zip(rows[0][1:], (int(v) for v in rows[1][1:])))


def proc_cpu(pid):
    """(user, system) cpu seconds of a live process."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime are fields 14 and 15; fields[0] is field 3.
    tick = os.sysconf("SC_CLK_TCK")
    return int(fields[11]) / tick, int(fields[12]) / tick


def proc_hwm_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


# ---------------------------------------------------------------- one trial

class Trial:
    def __init__(self, kind, rate, seconds, count):
        self.kind, self.rate, self.seconds, self.count = kind, rate, seconds, count
        self.errors = []
        self.sent = {}        # addr -> datagrams sent
        self.last_seq = {}    # addr -> last sequence number offered
        self.sent_total = 0
        self.send_seconds = 0.0
        self.send_rate = 0.0
        self.kept = 0          # daemon: lines stored, bare: datagrams counted
        self.counted = None    # daemon: statistics bytes / size
        self.cpu = 0.0         # user + system seconds while the load ran
        self.cpu_user = 0.0
        self.hwm_kb = None
        self.drops = None
        self.rcvbuf_errors = None
        self.from_seq = None   # when set, verify_files counts the stored lines from this sequence on
        self.kept_from = 0

    @property
    def lost(self):
        return self.sent_total - self.kept

    @property
    def ok(self):
        return not self.errors

    @property
    def zero_loss(self):
        return self.ok and self.lost == 0


def pinner(args, cpu):
    if not args.pin:
        return None
    return lambda: os.sched_setaffinity(0, {cpu})


def queue_capacity(size):
    """Datagrams of this size an unread default socket queue takes on loopback."""
    r = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        r.bind(("127.0.0.1", 0))
        s.bind(("127.0.0.2", 0))
        payload = b"q" * size
        for _ in range(5000):
            s.sendto(payload, r.getsockname())
        r.setblocking(False)
        n = 0
        while True:
            try:
                r.recv(8192)
            except BlockingIOError:
                return n
            n += 1
    finally:
        r.close()
        s.close()


def start_receiver(kind, exe, args, tmp, root, port):
    out = open(os.path.join(tmp, "stdout"), "w")
    err = open(os.path.join(tmp, "stderr"), "w")
    if kind == "daemon":
        pidfile = os.path.join(tmp, "pid")
        cmd = [exe["daemon"], "--port", str(port), "--rootdir", root, "--pidfile", pidfile,
               "--recvmode", "split"] + args.daemon_arg
    else:
        pidfile = None
        cmd = [exe["bare"], "--port", str(port), "--seconds", "300"]
    proc = subprocess.Popen(cmd, stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                            preexec_fn=pinner(args, 1))
    out.close()
    err.close()
    limit = time.monotonic() + 5
    while time.monotonic() < limit:
        if proc.poll() is not None:
            return proc, "receiver exited at start-up with status %s" % proc.returncode
        if port_taken(port) and (pidfile is None or read_int(pidfile) == proc.pid):
            return proc, None
        time.sleep(0.02)
    return proc, "receiver not ready after 5 s (port bound: %s, pidfile: %s)" % (
        port_taken(port), pidfile and read_int(pidfile))


def stop(proc, timeout=15):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
    try:
        return proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        return "killed after %d s" % timeout


def start_loadgen(exe, args, port, rate, count, seconds, extra, cpu=0, wrap=()):
    """One load generator, started (on cpu when args.pin; wrap: a command prefix, such as ip netns
    exec); collect_loadgen adds what it sent to a trial."""
    cmd = list(wrap) + [exe["loadgen"], "--port", str(port), "--size", str(args.size), "--rate", "%.1f" % rate,
                        "--count", str(count), "--seconds", "%.3f" % seconds, "--batch", str(args.batch)] + extra
    return subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=pinner(args, cpu))


def collect_loadgen(t, p, limit):
    """Waits up to limit seconds for a load generator and adds its per-source lines and totals to t."""
    try:
        out, err = p.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        p.kill()
        out, err = p.communicate()
        t.errors.append("load generator overran its time limit")
    if p.returncode != 0:
        t.errors.append("load generator failed: %s" % err.strip())
    for line in out.splitlines():
        kv = dict(f.split("=", 1) for f in line.split()[1:])
        if line.startswith("source "):
            sent = int(kv["sent"])
            t.sent[kv["addr"]] = t.sent.get(kv["addr"], 0) + sent
            # A source that sent nothing has no last sequence.
            if sent:
                t.last_seq[kv["addr"]] = max(t.last_seq.get(kv["addr"], -1), int(kv["last"]))
        elif line.startswith("loadgen "):
            t.sent_total += int(kv["sent"])
            t.send_seconds = max(t.send_seconds, float(kv["seconds"]))
            if int(kv["errors"]):
                t.errors.append("load generator send errors: %s" % kv["errors"])
    t.send_rate = t.sent_total / t.send_seconds if t.send_seconds else 0.0


def run_senders(t, exe, args, port, gso=False):
    """gso: each batch goes out as one segmented send (see loadgen.cpp)."""
    procs = []
    per_count = max(1, t.count // args.senders)
    for j in range(args.senders):
        procs.append(start_loadgen(exe, args, port, t.rate / args.senders, per_count, t.seconds, [
            "--sources", str(args.sources), "--first", str(j * args.sources), "--scheme", args.scheme,
            "--gso", "1" if gso else "0"]))
    for p in procs:
        collect_loadgen(t, p, t.seconds + 10)


def count_daemon(t, root, args):
    """Datagrams the daemon counted: every statistics line (one per hour period) summed."""
    recvd = 0
    nstats = 0
    logs = sorted(n for n in os.listdir(root) if n.startswith("corvashenmir-"))
    for name in logs:
        with open(os.path.join(root, name), errors="replace") as f:
            for m in STATS_RE.finditer(f.read()):
                recvd += int(m.group(2))
                nstats += 1
    if nstats == 0:
        t.errors.append("no statistics line in the daemon log (%s)" % ", ".join(logs))
        return
    if recvd % args.size:
        t.errors.append("statistics bytes %d not a multiple of the payload size %d" % (recvd, args.size))
    t.counted = recvd // args.size


def verify_files(t, root, args, addrs, allowed=()):
    """Parses every per-source file: sets t.kept (and t.kept_from), appends what is wrong to
    t.errors. allowed: other names the root may hold."""
    fill = filler(args.size)
    index = {a: k for k, a in enumerate(addrs)}
    for name in os.listdir(root):
        path = os.path.join(root, name)
        if (name.startswith("corvashenmir-") and os.path.isfile(path)) or name in allowed:
            continue
        if name not in index or not os.path.isdir(path):
            t.errors.append("unexpected entry in the root: %s" % name)
    for addr in addrs:
        adir = os.path.join(root, addr)
        prev = -1
        last = t.last_seq.get(addr, -1)
        stored = 0
        bad = 0
        disorder = 0
        # The hour suffix sorts in time order, so the files concatenate in order.
        for name in sorted(os.listdir(adir)):
            m = re.fullmatch(re.escape(addr) + r"-(\d{10}|\d{8})", name)
            if not m:
                t.errors.append("unexpected file %s/%s" % (addr, name))
                continue
            period = m.group(1).encode()
            with open(os.path.join(adir, name), "rb") as f:
                data = f.read()
            if data and not data.endswith(b"\n"):
                t.errors.append("%s: last line incomplete" % name)
            for line in data.split(b"\n")[:-1] if data else ():
                parts = line.split(b" ", 2)
                if len(parts) != 3:
                    bad += 1
                    continue
                stamp, a, text = parts
                if (a.decode() != addr or len(text) != args.size or text[0:1] != b"b"
                        or text[6:7] != b" " or text[17:18] != b" " or text[HEAD_LEN:] != fill
                        or not STAMP_RE.match(stamp)
                        or stamp[0:4] + stamp[5:7] + stamp[8:10] + stamp[11:13][:len(period) - 8] != period):
                    bad += 1
                    continue
                # The load generator writes the source index modulo 100000.
                if int(text[1:6]) != index[addr] % 100000:
                    bad += 1
                    continue
                seq = int(text[7:17])
                if seq <= prev:
                    disorder += 1
                    if disorder == 1:
                        t.errors.append("%s: sequence %d after %d (duplicate or out of order)" % (addr, seq, prev))
                if seq > last:
                    t.errors.append("%s: sequence %d never sent" % (addr, seq))
                    last = seq  # report it once
                prev = seq
                stored += 1
                if t.from_seq is not None and seq >= t.from_seq:
                    t.kept_from += 1
        if bad:
            t.errors.append("%s: %d malformed lines" % (addr, bad))
        if disorder > 1:
            t.errors.append("%s: %d lines out of order or repeated" % (addr, disorder))
        if stored > t.sent.get(addr, 0):
            t.errors.append("%s: %d stored, only %d sent" % (addr, stored, t.sent.get(addr, 0)))
        t.kept += stored


def verify_daemon(t, root, args, addrs, allowed=()):
    count_daemon(t, root, args)
    if t.counted is None:
        return
    verify_files(t, root, args, addrs, allowed)
    if t.kept != t.counted:
        t.errors.append("stored lines %d != counted datagrams %d" % (t.kept, t.counted))


def verify_bare(t, tmp, args):
    out = open(os.path.join(tmp, "stdout")).read()
    m = re.search(r"barerecv datagrams=(\d+) bytes=(\d+) .* rcvbuf=(\d+)", out)
    if not m:
        t.errors.append("no count line from the bare receiver")
        return
    t.kept = t.counted = int(m.group(1))
    if int(m.group(2)) != t.kept * args.size:
        t.errors.append("bare receiver bytes %s != %d datagrams x %d" % (m.group(2), t.kept, args.size))
    t.bare_rcvbuf = int(m.group(3))


def run_trial(kind, rate, seconds, count, exe, args):
    t = Trial(kind, rate, seconds, count)
    tmp = tempfile.mkdtemp(prefix="corvashenmir-bench-")
    root = os.path.join(tmp, "root")
    os.mkdir(root)
    addrs = [source_addr(k, args.scheme) for k in range(args.sources * args.senders)]
    for a in addrs:
        os.mkdir(os.path.join(root, a))
    port = free_port()
    proc, err = start_receiver(kind, exe, args, tmp, root, port)
    try:
        if err:
            t.errors.append(err)
            return t
        snmp0 = udp_snmp()
        cpu0 = proc_cpu(proc.pid)
        run_senders(t, exe, args, port)
        # Wait until the receiver has emptied its socket queue.
        limit = time.monotonic() + 5
        while time.monotonic() < limit:
            rx, drops = udp_socket_state(port)
            if not rx:
                break
            time.sleep(0.01)
        time.sleep(0.05)
        rx, t.drops = udp_socket_state(port)
        cpu1 = proc_cpu(proc.pid)
        t.cpu_user = cpu1[0] - cpu0[0]
        t.cpu = t.cpu_user + cpu1[1] - cpu0[1]
        t.hwm_kb = proc_hwm_kb(proc.pid)
        t.rcvbuf_errors = udp_snmp()["RcvbufErrors"] - snmp0["RcvbufErrors"]
        status = stop(proc)
        if status != 0:
            t.errors.append("receiver stop status %s (expected 0)" % status)
        if kind == "daemon":
            verify_daemon(t, root, args, addrs)
        else:
            verify_bare(t, tmp, args)
    finally:
        if proc.poll() is None:
            stop(proc)
        if t.ok and not args.keep:
            shutil.rmtree(tmp, ignore_errors=True)
        else:
            t.tmp = tmp
    return t


def verdict(failures):
    """The exit status of a run, after its last line: 0 when every trial passed verification."""
    if failures:
        log("VERIFICATION FAILED in %d trial(s); see the FAILED lines above" % len(failures))
        return 1
    log("verification: every trial passed")
    return 0


def describe(t):
    s = "  %-6s offered %9s/s  sent %9d at %9.0f/s  kept %9d  lost %7d  cpu %.2fs (user %.2fs)" % (
        t.kind, "max" if t.rate == 0 else "%.0f" % t.rate, t.sent_total, t.send_rate, t.kept, t.lost, t.cpu,
        t.cpu_user)
    if t.drops is not None:
        s += "  sockdrops %d" % t.drops
    if not t.ok:
        s += "\n    FAILED: " + "\n    FAILED: ".join(t.errors[:10]) + "\n    files kept in %s" % t.tmp
    return s


# ---------------------------------------------------------------- measurement

def measure(kind, exe, args, failures):
    log("%s:" % kind)
    flood = run_trial(kind, 0, args.flood_seconds, 100000000, exe, args)
    log(describe(flood))
    if not flood.ok:
        failures.append(flood)
    trials = [flood]
    flood_rate = flood.kept / flood.send_seconds if flood.send_seconds else 0.0

    # Zero-loss search: the first probe just under the flood rate, then bisection.
    best = None
    if flood.lost == 0:
        best = flood  # the sender could not outrun the receiver
    else:
        lo, hi = 0.0, flood.send_rate
        rate = round(flood_rate * 0.9, -3) or 1000.0
        for _ in range(args.steps):
            passed = False
            # A short stall of the virtual cpu alone can overrun the queue, so a
            # rate gets a second attempt before it counts as lossy.
            for _ in range(args.attempts):
                # The time bound leaves the paced sender room to finish its count.
                t = run_trial(kind, rate, args.step_seconds * 1.25 + 0.25, int(rate * args.step_seconds), exe, args)
                log(describe(t))
                trials.append(t)
                if not t.ok:
                    failures.append(t)
                # Loss alone steers the search; verification failures are reported apart.
                if t.lost == 0 and t.sent_total >= int(rate * args.step_seconds):
                    passed = True
                    if best is None or t.send_rate > best.send_rate:
                        best = t
                    break
            if passed:
                lo = rate
            else:
                hi = rate
            rate = round((lo + hi) / 2, -3)
            if rate <= lo or rate >= hi:
                break
    cpu_per_m = flood.cpu / flood.kept * 1e6 if flood.kept else float("nan")
    user_per_m = flood.cpu_user / flood.kept * 1e6 if flood.kept else float("nan")
    return {
        "flood": flood_rate,
        "sent_rate": flood.send_rate,
        "flood_loss": flood.lost / flood.sent_total * 100 if flood.sent_total else 0.0,
        "zero_loss": best.send_rate if best else 0.0,
        "lowest_tried": min((t.rate for t in trials if t.rate), default=0.0),
        "sender_limited": flood.lost == 0,
        "cpu_per_m": cpu_per_m,
        "user_per_m": user_per_m,
        "searched": len(trials) > 1,
        "hwm_kb": max(t.hwm_kb or 0 for t in trials),
        "ok": all(t.ok for t in trials),
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build-dir", default=os.path.join(REPO, "build-bench"))
    ap.add_argument("--no-build", action="store_true", help="use the binaries already in --build-dir")
    ap.add_argument("--receivers", default="daemon,bare", help="comma list of daemon, bare")
    ap.add_argument("--sources", type=int, default=4, help="source addresses per sender")
    ap.add_argument("--senders", type=int, default=1, help="load generator processes")
    ap.add_argument("--scheme", choices=("host", "net"), default="host",
                    help="host: 127.0.0.(1+k), net: 127.0.(1+k).1")
    ap.add_argument("--size", type=int, default=100, help="payload bytes")
    ap.add_argument("--batch", type=int, default=32, help="datagrams per sendmmsg")
    ap.add_argument("--flood-seconds", type=float, default=3.0)
    ap.add_argument("--step-seconds", type=float, default=1.5)
    ap.add_argument("--steps", type=int, default=7, help="rates tried by the zero-loss search")
    ap.add_argument("--attempts", type=int, default=2, help="trials per rate before it counts as lossy")
    ap.add_argument("--daemon-arg", action="append", default=[],
                    help="extra daemon option, repeatable, e.g. --daemon-arg=--bufsize --daemon-arg=65536")
    ap.add_argument("--pin", action="store_true", help="receiver on cpu 1, senders on cpu 0")
    ap.add_argument("--keep", action="store_true", help="keep the temporary roots")
    args = ap.parse_args(joined_values(sys.argv[1:]))
    if not 18 <= args.size <= 8192:
        sys.exit("--size must be 18..8192")
    if args.sources * args.senders > (254 if args.scheme == "host" else 255):
        sys.exit("too many sources for the address scheme")
    if not (0 < args.flood_seconds <= 10 and 0 < args.step_seconds <= 5 and 0 <= args.steps <= 12
            and 1 <= args.attempts <= 3):
        sys.exit("flood <= 10 s, step <= 5 s, steps <= 12, attempts <= 3 keep a run short")

    exe = build(args)
    kinds = [k.strip() for k in args.receivers.split(",") if k.strip()]
    rmem_default = read_int("/proc/sys/net/core/rmem_default")
    rmem_max = read_int("/proc/sys/net/core/rmem_max")
    log("loopback, %d sender(s) x %d sources (%s scheme), payload %d bytes, sendmmsg batch %d, %d cpus"
        % (args.senders, args.sources, args.scheme, args.size, args.batch, os.cpu_count()))
    cap = queue_capacity(args.size)
    log("receive buffer: net.core.rmem_default=%s (rmem_max=%s); neither receiver sets SO_RCVBUF, "
        "system settings are left unchanged" % (rmem_default, rmem_max))
    log("that queue holds %d datagrams of %d bytes: at R dgram/s a receiver stall longer than %d/R s loses data"
        % (cap, args.size, cap))

    busy = cpu_busy()
    log("other work on the machine before the run: %.0f%% of all cpus%s" % (
        busy * 100, "  -- WARNING: figures will be low and noisy" if busy > 0.1 else ""))

    started = time.monotonic()
    failures = []
    results = {}
    for kind in kinds:
        results[kind] = measure(kind, exe, args, failures)

    names = {"daemon": "corvashenmir (split)", "bare": "bare receive loop"}
    log("")
    log("| receiver | flood: sent dgram/s | flood: kept dgram/s | flood loss | zero-loss rate dgram/s "
        "| CPU s / M dgrams (user) | peak RSS | verified |")
    log("|---|---:|---:|---:|---:|---:|---:|:---:|")
    for kind, r in results.items():
        zl = "%.0f" % r["zero_loss"]
        if not r["searched"] and not r["sender_limited"]:
            zl = "-"
        elif r["zero_loss"] == 0:
            zl = "< %.0f (none found)" % r["lowest_tried"]
        elif r["sender_limited"]:
            zl = ">= " + zl + " (sender-bound)"
        log("| %s | %.0f | %.0f | %.1f%% | %s | %.2f (%.2f) | %.1f MiB | %s |" % (
            names.get(kind, kind), r["sent_rate"], r["flood"], r["flood_loss"], zl, r["cpu_per_m"], r["user_per_m"],
            r["hwm_kb"] / 1024.0,
            "yes" if r["ok"] else "FAILED"))
    log("")
    log("%d-byte payloads, %d sender(s), %d source(s), rmem_default %s (%d datagrams), %d cpus%s, "
        "%.0f%% busy before; run took %.0f s"
        % (args.size, args.senders, args.sources * args.senders, rmem_default, cap, os.cpu_count(),
           ", pinned" if args.pin else "", busy * 100, time.monotonic() - started))
    return verdict(failures)


if __name__ == "__main__":
    sys.exit(main())
