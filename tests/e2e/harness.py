# SPDX-License-Identifier: BSD-2-Clause
"""Shared helpers for the end-to-end tests of corvashenmir.

Every scenario starts the real binary in the foreground on a free UDP port,
with a temporary root directory and an explicit pid file, sends real
datagrams to 127.0.0.1 from chosen 127.x.y.z source addresses, stops the
daemon with a signal and reads what it left on disk.

The binary comes from the environment variable CORVASHENMIR_BIN, or from the
option --bin PATH given to the test file itself (python3 test_x.py --bin ...).

Waiting for the daemon: it takes datagrams from its socket in batches and
routes them one per turn of its loop, so an empty socket queue alone does not
mean every datagram has been routed.  A test waits until the queue in
/proc/net/udp is empty and the daemon sits in its wait (poll) as well: it
waits only when a receive found nothing, after the last datagram it took has
been routed.  A SIGTERM then stores whatever is still queued before the
shutdown, and a SIGHUP is served before any later datagram, so "idle, then
SIGHUP" puts every record sent so far on disk.
"""

import datetime
import glob
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

VERSION = "1.02"
DATAGRAM_MAX = 8192
# System call numbers of poll and ppoll, as /proc/<pid>/syscall shows them.
POLL_SYSCALLS = {"x86_64": {"7", "271"}, "aarch64": {"73"}}.get(os.uname().machine, {"7", "271", "73"})
LIBFAKETIME_PATHS = (
    "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
    "/usr/lib/faketime/libfaketime.so.1",
)
# Lets an ASan build accept libfaketime in LD_PRELOAD; harmless for a plain build.
ASAN_OPTIONS = "verify_asan_link_order=0:detect_leaks=0"

# POSIX zone strings used by the tests, with their offset from UTC in minutes
# (positive east of UTC), so expected stamps and keys can be computed.
ZONES = {
    "UTC0": 0,
    "XYZ3:30": -210,
    "ABC-5:45": 345,
}

RFC_STAMP = rb"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}[+-]\d\d:\d\d"
OLD_STAMP = rb"(?:Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123]\d \d\d:\d\d:\d\d"

_binary = None


def binary():
    """Absolute path of the daemon under test."""
    global _binary
    if _binary is None:
        path = os.environ.get("CORVASHENMIR_BIN")
        if not path:
            raise AssertionError("no daemon binary: set CORVASHENMIR_BIN or pass --bin PATH")
        _binary = os.path.abspath(path)
    if not os.access(_binary, os.X_OK):
        raise AssertionError("daemon binary is not executable: %s" % _binary)
    return _binary


def main():
    """unittest.main() that first takes the --bin PATH option off argv."""
    global _binary
    argv = list(sys.argv)
    if "--bin" in argv:
        i = argv.index("--bin")
        if i + 1 >= len(argv):
            sys.exit("--bin needs a path")
        _binary = os.path.abspath(argv[i + 1])
        del argv[i:i + 2]
    unittest.main(argv=argv, verbosity=2)


def libfaketime():
    for path in LIBFAKETIME_PATHS:
        if os.path.exists(path):
            return path
    raise AssertionError("libfaketime is needed for the rollover scenarios "
                         "(apt-get install -y faketime)")


def free_port():
    """A UDP port that is free on the wildcard address right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("0.0.0.0", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout, what, interval=0.02):
    """Polls predicate until it returns a true value; fails after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out after %.1fs waiting for %s" % (timeout, what))
        time.sleep(interval)


def recvd_text(nbytes):
    """The recvd= figure of a statistics line: millions, then the rest in six digits."""
    return "%u%06u" % (nbytes // 1000000, nbytes % 1000000)


def stored_len(datagram):
    return min(len(datagram), DATAGRAM_MAX)


def ids_text():
    return "uid=%u gid=%u euid=%u egid=%u" % (os.getuid(), os.getgid(), os.geteuid(), os.getegid())


def startup_line(pid):
    return 'startup: version="%s" pid=%u %s' % (VERSION, pid, ids_text())


def shutdown_line(pid):
    return 'shutdown: version="%s" pid=%u %s' % (VERSION, pid, ids_text())


def initialized_line(port):
    return "startup: corvashenmir initialized. listening on %u/udp" % port


def settings_line(rootdir, port, maxopen=50, maxopenspersec=200, split="hour", recvmode="split"):
    return 'settings: rootdir="%s" maxopen=%u port=%u maxopenspersec=%u split=%s recvmode=%s' % (
        rootdir, maxopen, port, maxopenspersec, split, recvmode)


def statistics_line(opens, nbytes):
    return "statistics: opens=%u recvd=%s" % (opens, recvd_text(nbytes))


def cut_line(count):
    return "drops: cut %d datagrams to %d bytes" % (count, DATAGRAM_MAX)


def kernel_drop_line(count):
    return "drops: kernel dropped %d datagrams (socket receive queue full)" % count


def fail_line(addr, count):
    return "drop: failed %s %d times" % (addr, count)


def cap_drop_line(addr, cap=1000000):
    return "drop: maximum file length (%u) exceeded for %s" % (cap, addr)


SIGHUP_LINES = [
    "signal: got SIGHUP - flushing and closing all open files",
    "signal: back from SIGHUP - all files including local daemon log were closed",
]


def parse_rfc_stamp(stamp):
    """The instant of an RFC 3339 stamp as an aware datetime."""
    if isinstance(stamp, bytes):
        stamp = stamp.decode("ascii")
    return datetime.datetime.fromisoformat(stamp)


def hour_key(dt):
    return dt.strftime("%Y%m%d%H")


def seconds_to_next_local_hour(offset_minutes, now=None):
    now = time.time() if now is None else now
    local = now + offset_minutes * 60
    return 3600 - (local % 3600)


def avoid_hour_edge(offset_minutes, margin=15.0):
    """Waits past the next top of a local hour when it is less than margin seconds away,
    so that a scenario running on the real clock stays within one hour."""
    left = seconds_to_next_local_hour(offset_minutes)
    if left < margin:
        time.sleep(left + 1.5)


def wait_second_start(offset=0.05):
    """Sleeps until just after the start of the next wall clock second."""
    now = time.time()
    time.sleep(1.0 - (now % 1.0) + offset)


class LogLine:
    __slots__ = ("stamp", "text", "file")

    def __init__(self, stamp, text, file):
        self.stamp, self.text, self.file = stamp, text, file

    def __repr__(self):
        return "LogLine(%r, %r, %r)" % (self.stamp, self.text, self.file)


def parse_log_lines(data, old=False, file=None):
    """Splits daemon log text into (stamp, text) pairs; fails on a line without a stamp."""
    pattern = re.compile(rb"(" + (OLD_STAMP if old else RFC_STAMP) + rb") (.*)")
    lines = []
    raws = data.split(b"\n")
    if raws[-1] == b"":
        raws.pop()
    for raw in raws:
        m = pattern.fullmatch(raw)
        if not m:
            raise AssertionError("daemon log line without a stamp in %s: %r" % (file, raw))
        lines.append(LogLine(m.group(1).decode(), m.group(2).decode("utf-8", "replace"), file))
    return lines


def plain(addr, text):
    """An expected plain record: address and text (bytes)."""
    return (addr, text, None)


def counted(addr, text):
    """An expected counted record: address, text (bytes); the count is its length."""
    return (addr, text, len(text))


def records_regex(records, old=False):
    """Regex for a whole file made of the given records, each stamp captured."""
    stamp = OLD_STAMP if old else RFC_STAMP
    parts = []
    for addr, text, count in records:
        body = addr.encode() + b" "
        if count is not None:
            body += b"%d " % count
        body += text + b"\n"
        parts.append(b"(" + stamp + b") " + re.escape(body))
    return re.compile(b"".join(parts), re.S)


def marker_line(addr, cap=1000000):
    return b"corvashenmir <44>Maximum file length (%d) exceeded for %s\n" % (cap, addr.encode())


class Daemon:
    """One run of the daemon under test, with its own temporary directory:

        BASE/root       the root directory (--rootdir), per-source directories made here
        BASE/run/pid    the pid file (--pidfile)
        BASE/stdout, BASE/stderr   what the process printed
    """

    def __init__(self, test, args=(), sources=(), tz="UTC0", faketime=None,
                 rootdir_arg=None, pidfile_arg=None, expect_fatal=None):
        self.proc = None
        self.daemon_pid = None
        self._stdout = self._stderr = None
        # Fatal lines the scenario expects, as regexes on the text after "fatal: ".
        self.expect_fatal = [re.compile(p) for p in (expect_fatal or ())]
        self.base = tempfile.mkdtemp(prefix="corvashenmir-e2e-")
        self.root = os.path.join(self.base, "root")
        test.addCleanup(self._cleanup)
        os.mkdir(self.root)
        os.mkdir(os.path.join(self.base, "run"))
        for addr in sources:
            self.make_source_dir(addr)
        if pidfile_arg is None:
            pidfile_arg = os.path.join(self.base, "run", "pid")
        # A relative pid file path is taken below the root directory.
        self.pidfile = os.path.join(self.root, pidfile_arg)
        self.port = free_port()
        self.tz = tz
        self.old = "--oldtimestamp" in [a.lower() for a in args]
        self.argv = [binary(),
                     "--port", str(self.port),
                     "--rootdir", self.root if rootdir_arg is None else rootdir_arg,
                     "--pidfile", pidfile_arg] + list(args)
        self.cwd = self.base
        self.env = dict(os.environ)
        self.env["TZ"] = tz
        self.env["ASAN_OPTIONS"] = ASAN_OPTIONS
        self.env.pop("LD_PRELOAD", None)
        self.env.pop("FAKETIME", None)
        if faketime:
            self.env["LD_PRELOAD"] = libfaketime()
            self.env["FAKETIME"] = "@" + faketime
            self.env["FAKETIME_DONT_FAKE_MONOTONIC"] = "1"

    # --- setup ---------------------------------------------------------

    def make_source_dir(self, addr):
        os.makedirs(os.path.join(self.root, addr), exist_ok=True)

    # --- running -------------------------------------------------------

    def launch(self):
        """Starts the process without waiting for anything.

        On the real clock, a run that would come close to the top of a local hour
        waits past it first, so that no scenario sees an unplanned rollover.
        """
        if "FAKETIME" not in self.env:
            avoid_hour_edge(ZONES.get(self.tz, 0), margin=30.0)
        for f in (self._stdout, self._stderr):
            if f:
                f.close()
        self._stdout = open(os.path.join(self.base, "stdout"), "wb")
        self._stderr = open(os.path.join(self.base, "stderr"), "wb")
        # A restart appends to the same daemon log: only a new "initialized" line counts.
        self._initialized_before = self.count_lines(initialized_line(self.port))
        self.proc = subprocess.Popen(self.argv, cwd=self.cwd, env=self.env,
                                     stdin=subprocess.DEVNULL,
                                     stdout=self._stdout, stderr=self._stderr)
        self.t_start = time.time()
        return self.proc

    def start(self, timeout=20):
        """Starts the daemon and waits until it logs that it is listening."""
        self.launch()
        self.wait_initialized(timeout)
        return self

    def launch_held(self):
        """Starts the daemon with its pid file made a FIFO: it binds its socket, then
        blocks opening the pid file (to write its pid, and again at shutdown to wipe
        it) until release() opens the reading end. Holds it in start-up or shutdown."""
        os.mkfifo(self.pidfile)
        self.launch()
        # The socket is bound right before the pid file is opened.
        wait_for(lambda: self.socket_queue() is not None, 20, "the daemon to bind its socket")
        return self

    def release(self):
        """Lets every open of the FIFO pid file through; returns the descriptor to close."""
        return os.open(self.pidfile, os.O_RDONLY | os.O_NONBLOCK)

    def wait_initialized(self, timeout=20):
        want = initialized_line(self.port)

        def ready():
            if self.proc is not None and self.proc.poll() is not None and self.daemon_pid is None:
                raise AssertionError("daemon exited with status %s before it was listening\n"
                                     "stdout: %r\nstderr: %r" % (self.proc.returncode,
                                                                 self.stdout(), self.stderr()))
            return self.count_lines(want) > self._initialized_before

        wait_for(ready, timeout, "the daemon to log %r" % want)
        self.t_ready = time.time()

    @property
    def pid(self):
        return self.daemon_pid if self.daemon_pid is not None else self.proc.pid

    def alive(self):
        if self.daemon_pid is None:
            return self.proc.poll() is None
        try:
            with open("/proc/%d/stat" % self.daemon_pid) as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except (FileNotFoundError, ProcessLookupError, IndexError):
            return False
        return state not in ("Z", "X")

    def send_signal(self, sig):
        os.kill(self.pid, sig)

    def wait_exit(self, timeout=20):
        """Waits for the process to end; returns its exit status (negative: killed by a signal)."""
        if self.daemon_pid is None:
            try:
                return self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                raise AssertionError("daemon did not exit within %ss" % timeout)
        wait_for(lambda: not self.alive(), timeout, "the detached daemon to exit")
        return None

    def stop(self, sig=signal.SIGTERM, timeout=20):
        self.send_signal(sig)
        return self.wait_exit(timeout)

    def send(self, data, src="127.0.0.1"):
        if isinstance(data, str):
            data = data.encode()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind((src, 0))
            s.sendto(data, ("127.0.0.1", self.port))

    def socket_queue(self):
        """(rx_queue bytes, kernel drops) of the daemon's socket, or None when it is not bound.
        Read from the daemon's own view, so a daemon in another network namespace is found."""
        suffix = ":%04X" % self.port
        proc = "/proc/%d/net" % self.pid if self.proc is not None else "/proc/net"
        for table in (proc + "/udp6", proc + "/udp"):
            try:
                f = open(table)
            except FileNotFoundError:
                continue
            with f:
                next(f)
                for line in f:
                    fields = line.split()
                    local = fields[1]
                    if local.endswith(suffix) and set(local[:-len(suffix)]) == {"0"}:
                        rx = int(fields[4].split(":")[1], 16)
                        drops = int(fields[12])
                        return rx, drops
        return None

    def waiting(self):
        """True while the daemon is blocked in its wait for datagrams."""
        try:
            with open("/proc/%d/syscall" % self.pid) as f:
                fields = f.read().split()
        except (FileNotFoundError, ProcessLookupError):
            return False
        return bool(fields) and fields[0] in POLL_SYSCALLS

    def state(self):
        """The process state letter from /proc (S sleeping, T stopped, ...), None when gone."""
        try:
            with open("/proc/%d/stat" % self.pid) as f:
                return f.read().rsplit(")", 1)[1].split()[0]
        except (FileNotFoundError, ProcessLookupError, IndexError):
            return None

    def wait_drained(self, timeout=20, allow_drops=False):
        """Waits until the daemon has routed every datagram sent so far."""
        def drained():
            q = self.socket_queue()
            if q is None:
                raise AssertionError("the daemon's socket on port %d is gone" % self.port)
            return q[0] == 0 and self.waiting() and self.socket_queue()[0] == 0
        wait_for(drained, timeout, "the daemon to route every datagram", interval=0.01)
        q = self.socket_queue()
        if q and q[1] and not allow_drops:
            raise AssertionError("the kernel dropped %d datagrams on the daemon's socket: "
                                 "the scenario sent too fast" % q[1])

    def hup(self, timeout=10):
        """Sends SIGHUP and waits for the daemon to log that it is back."""
        count = self.count_lines(SIGHUP_LINES[1])
        self.send_signal(signal.SIGHUP)
        wait_for(lambda: self.count_lines(SIGHUP_LINES[1]) > count, timeout,
                 "the daemon to serve SIGHUP")

    def sync(self):
        """Every datagram sent so far is stored and on disk when this returns."""
        self.wait_drained()
        self.hup()

    # --- reading -------------------------------------------------------

    def stdout(self):
        with open(os.path.join(self.base, "stdout"), "rb") as f:
            return f.read()

    def stderr(self):
        with open(os.path.join(self.base, "stderr"), "rb") as f:
            return f.read()

    def stdout_lines(self):
        return self.stdout().decode("utf-8", "replace").splitlines()

    def log_names(self):
        return sorted(os.path.basename(p) for p in glob.glob(os.path.join(self.root, "corvashenmir-*"))
                      if os.path.isfile(p))

    def log_bytes(self, name):
        with open(os.path.join(self.root, name), "rb") as f:
            return f.read()

    def log_lines(self, name=None):
        """Lines of one daemon log, or of all of them in date order."""
        names = [name] if name else self.log_names()
        lines = []
        for n in names:
            data = self.log_bytes(n)
            # A line being written may not be complete yet; leave it for the next look.
            if not data.endswith(b"\n"):
                data = data[:data.rfind(b"\n") + 1]
            lines += parse_log_lines(data, self.old, n)
        return lines

    def log_texts(self, name=None):
        return [line.text for line in self.log_lines(name)]

    def count_lines(self, text):
        return sum(1 for t in self.log_texts() if t == text)

    def source_path(self, addr, key):
        return os.path.join(self.root, addr, "%s-%s" % (addr, key))

    def source_files(self, addr):
        """{key: content} of the per-source files of addr."""
        files = {}
        for p in glob.glob(os.path.join(self.root, addr, addr + "-*")):
            with open(p, "rb") as f:
                files[os.path.basename(p)[len(addr) + 1:]] = f.read()
        return files

    def read_pidfile(self):
        with open(self.pidfile, "rb") as f:
            return f.read()

    # --- end of scenario -------------------------------------------------

    def unexpected_fatal_lines(self):
        bad = []
        if not os.path.isdir(self.root):
            return bad
        for name in self.log_names():
            for raw in self.log_bytes(name).split(b"\n"):
                text = raw.decode("utf-8", "replace")
                i = text.find(" fatal: ")
                if i < 0:
                    continue
                rest = text[i + len(" fatal: "):]
                if not any(p.fullmatch(rest) for p in self.expect_fatal):
                    bad.append(text)
        return bad

    def _adopt_detached(self):
        """Finds a detached daemon of this run by its pid file, so cleanup can end it."""
        try:
            pid = int(self.read_pidfile())
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                cmdline = f.read().split(b"\0")
        except (OSError, ValueError):
            return
        if str(self.port).encode() in cmdline and self.root.encode() in cmdline:
            self.daemon_pid = pid

    def _cleanup(self):
        try:
            if self.proc is not None and self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait(10)
            if self.daemon_pid is None and "--daemon" in getattr(self, "argv", ()):
                self._adopt_detached()
            if self.daemon_pid is not None and self.alive():
                os.kill(self.daemon_pid, signal.SIGKILL)
            for f in (self._stdout, self._stderr):
                if f:
                    f.close()
            bad = self.unexpected_fatal_lines()
            if bad:
                raise AssertionError("daemon log holds unexpected fatal lines: %r" % bad)
        finally:
            if not os.environ.get("CORVASHENMIR_E2E_KEEP"):
                _rmtree(self.base)


def _rmtree(path):
    shutil.rmtree(path, ignore_errors=True)


class DaemonTestCase(unittest.TestCase):
    maxDiff = None

    def daemon(self, **kw):
        return Daemon(self, **kw)

    def assertStamp(self, stamp, low, high, offset_minutes, slack=2.0):
        """An RFC 3339 stamp with the expected UTC offset, within [low, high] real time."""
        dt = parse_rfc_stamp(stamp)
        self.assertEqual(dt.utcoffset(), datetime.timedelta(minutes=offset_minutes), stamp)
        self.assertTrue(low - slack <= dt.timestamp() <= high + slack,
                        "stamp %s is outside the run (%s .. %s)" % (stamp, low, high))
        return dt

    def assertRecords(self, content, records, old=False):
        """content is exactly the given records, each behind a stamp; returns the stamps."""
        m = records_regex(records, old).fullmatch(content)
        if not m:
            expected = b"".join(b"<STAMP> " + a.encode() + b" " +
                                (b"%d " % c if c is not None else b"") + t + b"\n"
                                for a, t, c in records)
            self.fail("file content differs from the expected records\nexpected: %r\nactual:   %r"
                      % (expected[:3000], content[:3000]))
        return [g.decode() for g in m.groups()]


def set_file_size_limit(pid, limit):
    """Sets the soft file-size limit of a running process; None lifts it up to the hard limit."""
    value = "unlimited" if limit is None else str(limit)
    subprocess.run(["prlimit", "--pid", str(pid), "--fsize=%s:" % value], check=True,
                   stdout=subprocess.DEVNULL)


def numbered(i, size=100):
    """Datagram text "rec NNNNN" padded with x to size bytes, to find it again in a file."""
    head = b"rec %05d " % i
    return head + b"x" * (size - len(head))


def numbered_in(content, addr, size=100):
    """The numbers of the numbered records of a per-source file, in file order. Fails on any
    line that is not one whole such record (a torn or glued record), the size-cap marker aside."""
    pattern = re.compile(rb"(?:" + RFC_STAMP + rb") " + re.escape(addr.encode()) +
                         rb" rec (\d{5}) x{%d}" % (size - 10))
    marker = re.compile(rb"(?:" + RFC_STAMP + rb") " + re.escape(marker_line(addr).rstrip(b"\n")))
    if content and not content.endswith(b"\n"):
        raise AssertionError("file of %s ends in a partial record: %r" % (addr, content[-200:]))
    numbers = []
    for line in content.split(b"\n")[:-1]:
        m = pattern.fullmatch(line)
        if m:
            numbers.append(int(m.group(1)))
        elif not marker.fullmatch(line):
            raise AssertionError("not a whole record in the file of %s: %r" % (addr, line[:300]))
    return numbers


def lost_counts(texts):
    """{addr: records} summed over the "drop: lost" lines of daemon log texts."""
    counts = {}
    for t in texts:
        m = re.fullmatch(r"drop: lost (\d+) records of ([\d.]+): .*", t)
        if m:
            counts[m.group(2)] = counts.get(m.group(2), 0) + int(m.group(1))
    return counts


class AnySourceSender:
    """One IPv4 socket that sends from any 127.x.y.z address, chosen per
    datagram (IP_PKTINFO), for scenarios with thousands of sources."""

    IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)

    def __init__(self, test, port):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        test.addCleanup(self.sock.close)
        self.dest = ("127.0.0.1", port)

    def send(self, data, src):
        info = struct.pack("=I4s4s", 0, socket.inet_aton(src), socket.inet_aton("0.0.0.0"))
        self.sock.sendmsg([data], [(socket.IPPROTO_IP, self.IP_PKTINFO, info)], 0, self.dest)
