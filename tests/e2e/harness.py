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
/proc/<pid>/net/udp (or udp6) is empty and the daemon sits in its wait (poll)
as well: it waits only when a receive found nothing, after the last datagram
it took has been routed.  A SIGTERM then stores whatever is still queued before the
shutdown, and a SIGHUP is served before any later datagram, so "idle, then
SIGHUP" puts every record sent so far on disk.

Ports: each daemon gets a port outside the kernel's ephemeral range (which
the senders' own sockets take theirs from), free for IPv4 and IPv6 alike, and
locked for the life of the test process, so no other test process can take it
between runs or restarts.

Time: a daemon made with clock="YYYY-MM-DD hh:mm:ss" runs under libfaketime
with a wall clock frozen at that local time, read afresh from a file at each
call; set_clock() and advance() move it and return once the daemon has acted
on the new time. Nothing then depends on how fast the machine is.

Isolation: main() runs the test file in a private mount and PID namespace
when it may, so that whatever a test mounted or started, detached daemons
included, is gone when the file's run ends, even when it is killed.
"""

import ctypes
import datetime
import errno
import fcntl
import glob
import json
import os
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

VERSION = "1.02"
DATAGRAM_MAX = 8192
# System call numbers of the receive loop's wait (epoll_wait, epoll_pwait, and poll, ppoll), and of
# write and writev, as /proc/<pid>/syscall shows them.
POLL_SYSCALLS = {"x86_64": {"7", "271", "232", "281"}, "aarch64": {"73", "22"}}.get(
    os.uname().machine, {"7", "271", "73", "232", "281", "22"})
WRITE_SYSCALLS = {"x86_64": {"1", "20"}, "aarch64": {"64", "66"}}.get(os.uname().machine, {"1", "20", "64", "66"})
LIBFAKETIME_PATHS = (
    "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
    "/usr/lib/faketime/libfaketime.so.1",
)
# Lets an ASan build accept libfaketime in LD_PRELOAD; harmless for a plain build.
ASAN_OPTIONS = "verify_asan_link_order=0:detect_leaks=0"
# The absolute form libfaketime reads as a frozen local time.
CLOCK_FORMAT = "%Y-%m-%d %H:%M:%S"
# Every test process locks the ports it uses here, one byte per port.
PORT_LOCK_FILE = os.path.join(tempfile.gettempdir(), "corvashenmir-e2e-ports.lock")
# Exit status of a test file whose every test was skipped (CTest's SKIP_RETURN_CODE).
SKIP_STATUS = 77
ISOLATED_ENV = "CORVASHENMIR_E2E_ISOLATED"
UNSHARE = ["unshare", "--mount", "--pid", "--net", "--fork", "--kill-child", "--mount-proc",
           "--propagation", "private"]
PR_SET_CHILD_SUBREAPER = 36

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
# True in a network namespace of this file's own: its UDP counters count only the test's traffic.
_private_net = False


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


def namespaces_refused(*flags):
    """None when this process may make namespaces of the given unshare flags, else why not."""
    if os.geteuid() != 0:
        return "not root"
    if shutil.which("unshare") is None:
        return "unshare (util-linux) is not installed"
    r = subprocess.run(["unshare"] + list(flags) + ["true"], capture_output=True, text=True)
    if r.returncode != 0:
        return "unshare %s refused: %s" % (" ".join(flags), r.stderr.strip())
    return None


def _isolate():
    """Runs this file again as the first process of a private mount, PID and network
    namespace: when it ends, the kernel ends every process left in the namespace and drops
    every mount made in it, and no datagram of the host reaches its daemons. Falls back to
    the plain run, and says so, when that is refused."""
    global _private_net
    if os.environ.get(ISOLATED_ENV):
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        _private_net = True
        return
    why = namespaces_refused(*UNSHARE[1:])
    if why is None:
        env = dict(os.environ, **{ISOLATED_ENV: "1"})
        try:
            os.execvpe(UNSHARE[0], UNSHARE + [sys.executable] + sys.argv, env)
        except OSError as e:
            why = "exec of unshare failed: %s" % e
    print("e2e: running in the host's mount and PID namespaces (%s): a killed run may leave "
          "mounts and detached daemons behind" % why, file=sys.stderr)


def udp_read():
    """Datagrams of this network namespace that a socket read or had no room for
    (InDatagrams and RcvbufErrors of UDP and UDPv6)."""
    total = 0
    with open("/proc/net/snmp") as f:
        rows = [line.split() for line in f if line.startswith("Udp:")]
    names, values = rows[0], rows[1]
    total += int(values[names.index("InDatagrams")]) + int(values[names.index("RcvbufErrors")])
    with open("/proc/net/snmp6") as f:
        for line in f:
            name, value = line.split()
            if name in ("Udp6InDatagrams", "Udp6RcvbufErrors"):
                total += int(value)
    return total


def print_skip(what, reason):
    """The line test.sh collects to list every skip with its reason."""
    print("SKIPPED: %s: %s" % (what, reason), flush=True)


def test_name(test):
    """The test's id, under the file's name rather than __main__."""
    module = os.path.splitext(os.path.basename(sys.argv[0]))[0]
    return test.id().replace("__main__.", module + ".")


def skip_part(test, part, reason):
    """A part of a test that cannot run here: said on a line of its own, the rest runs."""
    print_skip("%s (%s)" % (test_name(test), part), reason)


def main():
    """unittest.main() that first takes the --bin PATH option off argv, runs the file in
    namespaces of its own when it may, and ends by listing the skipped tests."""
    global _binary
    argv = list(sys.argv)
    if "--bin" in argv:
        i = argv.index("--bin")
        if i + 1 >= len(argv):
            sys.exit("--bin needs a path")
        _binary = os.path.abspath(argv[i + 1])
        del argv[i:i + 2]
    _isolate()
    result = unittest.main(argv=argv, verbosity=2, exit=False).result
    # Skipped whole: run and skipped, not a subtest nor a class that never ran its tests.
    whole = 0
    for test, reason in result.skipped:
        print_skip(test_name(test), reason)
        whole += isinstance(test, unittest.TestCase) and getattr(test, "test_case", None) is None
    if not result.wasSuccessful():
        sys.exit(1)
    sys.exit(SKIP_STATUS if result.skipped and whole == result.testsRun else 0)


def libfaketime():
    for path in LIBFAKETIME_PATHS:
        if os.path.exists(path):
            return path
    raise AssertionError("libfaketime is needed for the scenarios on a controlled clock "
                         "(apt-get install -y faketime)")


_port_lock_fd = None
_ports_held = set()


def _ephemeral_range():
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low, high = (int(x) for x in f.read().split())
    except (OSError, ValueError):
        low, high = 32768, 60999
    return low, high


def _port_bindable(port):
    """Free on the wildcard address of IPv4 and, where the host has it, of IPv6 with
    IPV6_V6ONLY off: what a dual-stack daemon binds."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            s.bind(("0.0.0.0", port))
        except OSError:
            return False
    try:
        s6 = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    except OSError:
        return True
    with s6:
        s6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        try:
            s6.bind(("::", port))
        except OSError as e:
            # A host without IPv6 addresses cannot bind it at all; any port is as good.
            return e.errno == errno.EADDRNOTAVAIL
    return True


def reserve_port():
    """A UDP port outside the ephemeral range, free for both families, that no other
    test process can get: its byte of PORT_LOCK_FILE stays locked until this process ends."""
    global _port_lock_fd
    if _port_lock_fd is None:
        fd = os.open(PORT_LOCK_FILE, os.O_RDWR | os.O_CREAT, 0o666)
        try:
            os.fchmod(fd, 0o666)
        except OSError:
            pass  # made by another user, who left it usable
        _port_lock_fd = fd
    low, high = _ephemeral_range()
    candidates = [p for p in range(1024, 65536) if not low <= p <= high]
    first = random.randrange(len(candidates))
    for i in range(len(candidates)):
        port = candidates[(first + i) % len(candidates)]
        if port in _ports_held:
            continue
        try:
            fcntl.lockf(_port_lock_fd, fcntl.LOCK_EX | fcntl.LOCK_NB, 1, port)
        except OSError:
            continue
        if _port_bindable(port):
            _ports_held.add(port)
            return port
        fcntl.lockf(_port_lock_fd, fcntl.LOCK_UN, 1, port)
    raise AssertionError("no UDP port outside the ephemeral range %d-%d is free" % (low, high))


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
        BASE/clock      the daemon's frozen local time, with clock=
    """

    def __init__(self, test, args=(), sources=(), tz="UTC0", clock=None,
                 rootdir_arg=None, pidfile_arg=None, expect_fatal=None):
        self.proc = None
        self.daemon_pid = None
        self._stdout = self._stderr = None
        # Datagrams send() sent, and what the namespace had read before.
        self.sent = 0
        self.udp_base = udp_read()
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
        self.port = reserve_port()
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
        for name in list(self.env):
            if name == "LD_PRELOAD" or name.startswith("FAKETIME"):
                del self.env[name]
        self.clock_file = os.path.join(self.base, "clock")
        self.now = None
        if clock is not None:
            self.held_clock(clock)

    def held_clock(self, when):
        """Gives the daemon a stopped clock at when (a datetime or CLOCK_FORMAT text), which
        set_clock moves; before the start."""
        # An absolute time without '@' is a stopped clock; the file is read at every
        # call. The steady clock stays real, as the bound of the stop's drain needs.
        self.env["LD_PRELOAD"] = libfaketime()
        self.env["FAKETIME_TIMESTAMP_FILE"] = self.clock_file
        self.env["FAKETIME_NO_CACHE"] = "1"
        self.env["FAKETIME_DONT_FAKE_MONOTONIC"] = "1"
        # File times are not the daemon's business, and each faked stat would read the clock.
        self.env["NO_FAKE_STAT"] = "1"
        self.set_clock(when, wait=False)

    # --- setup ---------------------------------------------------------

    def make_source_dir(self, addr):
        os.makedirs(os.path.join(self.root, addr), exist_ok=True)

    def drop_option(self, name):
        """Takes an option the harness gives (--port, --pidfile, --rootdir) and its value off argv."""
        i = self.argv.index(name)
        del self.argv[i:i + 2]

    # --- the daemon's clock (with clock=) --------------------------------

    def set_clock(self, when, wait=True, allow_drops=False):
        """Sets the daemon's frozen local time (a datetime or CLOCK_FORMAT text).

        With wait, returns once the daemon has acted on it: the daemon reads the clock
        in every turn of its loop, after each receive, so an empty datagram sent after
        the change (never counted nor routed) that it has taken, with the daemon waiting
        again, means the turn of the new time is over, its rollover, open-gate report
        and write-out done."""
        if isinstance(when, str):
            when = datetime.datetime.strptime(when, CLOCK_FORMAT)
        self.now = when
        # Renamed into place, so that no read finds the file empty or half written.
        new = self.clock_file + ".new"
        with open(new, "w") as f:
            f.write(when.strftime(CLOCK_FORMAT) + "\n")
        os.replace(new, self.clock_file)
        if wait:
            self.send(b"")
            self.wait_drained(allow_drops=allow_drops)

    def advance(self, seconds=1, **kw):
        """Moves the frozen clock on and waits until the daemon has acted on it."""
        self.set_clock(self.now + datetime.timedelta(seconds=seconds), **kw)

    def key(self, split="hour"):
        """The per-source file key of the frozen local time."""
        return self.now.strftime("%Y%m%d%H" if split == "hour" else "%Y%m%d")

    # --- running -------------------------------------------------------

    def launch(self):
        """Starts the process without waiting for anything.

        On the real clock, a run that would come close to the top of a local hour
        waits past it first, so that no scenario sees an unplanned rollover.
        """
        if self.now is None:
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
        return self.proc

    def start(self, timeout=20):
        """Starts the daemon and waits until it logs that it is listening.

        On a stopped clock it also waits for the loop's first turn, which starts the
        first period and the first second's open allowance: a clock moved on before
        that would merge the start's second with the next."""
        self.launch()
        self.wait_initialized(timeout)
        if self.now is not None:
            self.send(b"")
            self.wait_drained(timeout)
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
                raise AssertionError("daemon did not exit within %ss (state %s, in system call %s)"
                                     % (timeout, self.state(), (self._syscall() or ["?"])[0]))
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
        self.sent += 1

    def socket_queue(self):
        """(rx_queue bytes, kernel drops) of the daemon's socket, or None when it is not bound.

        Read in the daemon's own network namespace, from its IPv4 or its IPv6 (dual-stack)
        wildcard socket, whichever it has."""
        found = None
        for table, wildcard in (("udp", "00000000"), ("udp6", "0" * 32)):
            try:
                with open("/proc/%d/net/%s" % (self.pid, table)) as f:
                    lines = f.read().splitlines()[1:]
            except OSError:
                continue
            for line in lines:
                fields = line.split()
                if fields[1] == "%s:%04X" % (wildcard, self.port):
                    rx = int(fields[4].split(":")[1], 16)
                    drops = int(fields[12])
                    found = (rx + found[0], drops + found[1]) if found else (rx, drops)
        return found

    def _syscall(self):
        try:
            with open("/proc/%d/syscall" % self.pid) as f:
                return f.read().split()
        except (FileNotFoundError, ProcessLookupError):
            return []

    def waiting(self):
        """True while the daemon is blocked in its wait for datagrams."""
        fields = self._syscall()
        return bool(fields) and fields[0] in POLL_SYSCALLS

    def writing_to(self, path):
        """True while the daemon is in a write call to its descriptor of path."""
        fields = self._syscall()
        if len(fields) < 2 or fields[0] not in WRITE_SYSCALLS:
            return False
        try:
            return os.readlink("/proc/%d/fd/%d" % (self.pid, int(fields[1], 16))) == path
        except OSError:
            return False

    def state(self):
        """The process state letter from /proc (S sleeping, T stopped, ...), None when gone."""
        try:
            with open("/proc/%d/stat" % self.pid) as f:
                return f.read().rsplit(")", 1)[1].split()[0]
        except (FileNotFoundError, ProcessLookupError, IndexError):
            return None

    def wait_drained(self, timeout=20, allow_drops=False):
        """Waits until the daemon has read every datagram sent so far (or its socket had
        no room for it), as the namespace's own counters tell, and routed it: a loaded
        machine may hold a loopback datagram back while the queue looks empty."""
        if _private_net:
            wait_for(lambda: udp_read() - self.udp_base >= self.sent, timeout,
                     "the %d datagrams sent to be read" % self.sent, interval=0.01)

        def drained():
            q = self.socket_queue()
            if q is None:
                raise AssertionError("the daemon's socket on port %d is gone (daemon state %s)"
                                     % (self.port, self.state()))
            q2 = self.waiting() and self.socket_queue()
            return q[0] == 0 and q2 and q2[0] == 0
        wait_for(drained, timeout, "the daemon to route every datagram", interval=0.01)
        q = self.socket_queue()
        if q and q[1] and not allow_drops:
            raise AssertionError("the kernel dropped %d datagrams on the daemon's socket: "
                                 "the scenario sent too fast" % q[1])

    def write_calls(self):
        """The write system calls the daemon has made so far (syscw of /proc/<pid>/io)."""
        with open("/proc/%d/io" % self.pid) as f:
            for line in f:
                if line.startswith("syscw:"):
                    return int(line.split()[1])
        raise AssertionError("no syscw line in /proc/%d/io" % self.pid)

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


class _IoVec(ctypes.Structure):
    _fields_ = [("iov_base", ctypes.c_void_p), ("iov_len", ctypes.c_size_t)]


class _MsgHdr(ctypes.Structure):
    _fields_ = [("msg_name", ctypes.c_void_p), ("msg_namelen", ctypes.c_uint32),
                ("msg_iov", ctypes.POINTER(_IoVec)), ("msg_iovlen", ctypes.c_size_t),
                ("msg_control", ctypes.c_void_p), ("msg_controllen", ctypes.c_size_t),
                ("msg_flags", ctypes.c_int)]


class _MMsgHdr(ctypes.Structure):
    _fields_ = [("msg_hdr", _MsgHdr), ("msg_len", ctypes.c_uint)]


class _Helper(threading.Thread):
    """A thread beside the scenario that stop() ends, reporting what failed in it."""

    def __init__(self, what):
        super().__init__(daemon=True)
        self.what = what
        self.error = None
        self._halt = threading.Event()

    def stop(self, timeout=10):
        self._halt.set()
        self.join(timeout)
        if self.is_alive():
            raise AssertionError("%s did not stop within %ss" % (self.what, timeout))
        if self.error is not None:
            raise AssertionError("%s failed: %r" % (self.what, self.error))


class Flood(_Helper):
    """Sends one fixed datagram to the daemon from src, in sendmmsg batches as fast as
    it can, until it has sent count, or seconds have passed, or the daemon's socket is
    gone (the connected socket is refused), or stop()."""
    BATCH = 64

    def __init__(self, d, src, payload, count=5000000, seconds=30.0):
        super().__init__("the flood sender")
        self.d, self.src, self.payload = d, src, payload
        self.count, self.seconds = count, seconds
        self.sent = 0
        self.ended = None   # why the flood ended

    def run(self):
        try:
            libc = ctypes.CDLL(None, use_errno=True)
            buf = ctypes.create_string_buffer(self.payload, len(self.payload))
            iov = _IoVec(ctypes.cast(buf, ctypes.c_void_p), len(self.payload))
            msgs = (_MMsgHdr * self.BATCH)()
            for m in msgs:
                m.msg_hdr.msg_iov = ctypes.pointer(iov)
                m.msg_hdr.msg_iovlen = 1
            deadline = time.monotonic() + self.seconds
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.bind((self.src, 0))
                s.connect(("127.0.0.1", self.d.port))
                while True:
                    if self._halt.is_set():
                        self.ended = "stopped"
                        return
                    if self.sent >= self.count:
                        self.ended = "count"
                        return
                    if time.monotonic() > deadline:
                        self.ended = "time"
                        return
                    n = libc.sendmmsg(s.fileno(), msgs, min(self.BATCH, self.count - self.sent), 0)
                    if n < 0:
                        err = ctypes.get_errno()
                        if err == errno.ECONNREFUSED:
                            self.ended = "refused"
                            return
                        if err not in (errno.EAGAIN, errno.ENOBUFS, errno.EINTR):
                            raise OSError(err, os.strerror(err))
                        continue
                    self.sent += n
        except BaseException as e:
            self.error = e
            self.ended = "error"


class ClockTurnstile(_Helper):
    """Makes the clock file of a daemon on a stopped clock a FIFO, for the rest of its
    run, and serves it: every clock read of the daemon, one or so per turn of its loop,
    waits until the turnstile lets it through, one every interval seconds. So the
    daemon takes its datagrams no faster than that, however fast the machine."""

    def __init__(self, d, interval):
        super().__init__("the clock turnstile")
        self.d, self.interval = d, interval
        self.reads = 0
        fifo = d.clock_file + ".fifo"
        os.mkfifo(fifo)
        os.replace(fifo, d.clock_file)

    def run(self):
        text = (self.d.now.strftime(CLOCK_FORMAT) + "\n").encode()
        try:
            while not self._halt.is_set():
                try:
                    fd = os.open(self.d.clock_file, os.O_WRONLY | os.O_NONBLOCK)
                except OSError as e:
                    if e.errno != errno.ENXIO:
                        raise
                    time.sleep(0.001)  # no reader yet
                    continue
                try:
                    os.write(fd, text)
                except BrokenPipeError:
                    # The reader this open found was the last one, done with its read
                    # and closing; the next one waits in its open for the next turn.
                    continue
                finally:
                    os.close(fd)
                self.reads += 1
                self._halt.wait(self.interval)
        except BaseException as e:
            self.error = e


def run_reaped(argv, cwd, env, stdout, stderr, timeout=20):
    """Runs argv from a child of this process that is the subreaper of everything argv
    starts, so that processes which detach still end as its children. Returns
    [(pid, exit status), ...] of every process that ended, the one started first first
    (a status below 0 is a signal); fails, after killing them, when they are not all
    gone within timeout."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.close(r)
            libc = ctypes.CDLL(None, use_errno=True)
            if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
                raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")
            # Spawned bare: a Popen object would reap the first process itself.
            os.chdir(cwd)
            first = os.posix_spawnp(argv[0], argv, env, file_actions=[
                (os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
                (os.POSIX_SPAWN_OPEN, 1, stdout, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
                (os.POSIX_SPAWN_OPEN, 2, stderr, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)])
            ended = []
            deadline = time.monotonic() + timeout
            while time.monotonic() < deadline:
                try:
                    p, status = os.waitpid(-1, os.WNOHANG)
                except ChildProcessError:
                    break
                if p == 0:
                    time.sleep(0.02)
                    continue
                ended.append((p, os.waitstatus_to_exitcode(status)))
            ended.sort(key=lambda e: e[0] != first)
            with open("/proc/self/task/%d/children" % os.getpid()) as f:
                left = [int(p) for p in f.read().split()]
            for p in left:
                os.kill(p, signal.SIGKILL)
            os.write(w, json.dumps({"ended": ended, "left": left}).encode())
            code = 0
        except BaseException as e:
            os.write(w, json.dumps({"error": repr(e)}).encode())
        finally:
            os._exit(code)
    os.close(w)
    chunks = []
    with os.fdopen(r, "rb") as f:
        for chunk in iter(lambda: f.read(65536), b""):
            chunks.append(chunk)
    os.waitpid(pid, 0)
    report = json.loads(b"".join(chunks) or b'{"error": "the reaper died"}')
    if "error" in report:
        raise AssertionError("running %r as a subreaper failed: %s" % (argv, report["error"]))
    if report["left"]:
        raise AssertionError("processes %s of %r still ran after %ss" % (report["left"], argv, timeout))
    return [tuple(e) for e in report["ended"]]


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


def _summed(texts, pattern):
    """{addr: n} summed over the daemon log texts that match pattern, whose groups
    name the address and the count."""
    counts = {}
    for t in texts:
        m = re.fullmatch(pattern, t)
        if m:
            counts[m.group("addr")] = counts.get(m.group("addr"), 0) + int(m.group("n"))
    return counts


def lost_counts(texts):
    """{addr: records} summed over the "drop: lost" lines of daemon log texts."""
    return _summed(texts, r"drop: lost (?P<n>\d+) records of (?P<addr>\S+): .*")


def failed_counts(texts):
    """{addr, or '*' for the sum of the rest: datagrams} over the "drop: failed" lines."""
    return _summed(texts, r"drop: failed (?P<addr>\S+) (?P<n>\d+) times")


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
