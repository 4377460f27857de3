# SPDX-License-Identifier: BSD-2-Clause
"""Network namespaces for the end-to-end tests that need links and addresses
of their own.

Names are a test's prefix and eight random letters, held by a lock for as
long as the test process lives: two runs never share one, also when each
runs as pid 1 of a PID namespace of its own, and the namespaces of a run that
was killed (its lock is free) are removed by the next run. Python enters a
namespace with setns(2): a socket made inside stays in it after the thread
has left.
"""

import atexit
import ctypes
import fcntl
import glob
import os
import re
import secrets
import shutil
import signal
import string
import subprocess
import tempfile

import harness

CLONE_NEWNET = 0x40000000
# On a file system that every mount namespace shares.
LOCK_DIR = "/run/lock"
LOCK_HEAD, LOCK_TAIL = "corvashenmir-netns-", ".lock"

_libc = ctypes.CDLL(None, use_errno=True)


def run(cmd, check=True, timeout=60, input=None):
    """Runs a command (the daemon may be among what it starts); its output, stderr folded in."""
    env = dict(os.environ, ASAN_OPTIONS=harness.ASAN_OPTIONS)
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=timeout,
                       env=env, input=input)
    if check and p.returncode != 0:
        raise AssertionError("%s failed with status %d:\n%s" % (" ".join(cmd), p.returncode, p.stdout))
    return p


def names():
    try:
        return sorted(os.listdir("/run/netns"))
    except FileNotFoundError:
        return []


def remove(ns):
    """Ends every process in namespace ns (daemons of ours) and deletes it."""
    for pid in run(["ip", "netns", "pids", ns], check=False).stdout.split():
        try:
            os.kill(int(pid), signal.SIGKILL)
        except (ValueError, ProcessLookupError):
            pass
    run(["ip", "netns", "del", ns], check=False)


def _lock_path(name):
    where = LOCK_DIR if os.access(LOCK_DIR, os.W_OK) else tempfile.gettempdir()
    return os.path.join(where, LOCK_HEAD + name + LOCK_TAIL)


def _letters():
    return "".join(secrets.choice(string.ascii_lowercase) for _ in range(8))


_claimed = {}


def claim(prefix):
    """This process's name for its namespaces of that prefix, locked until it ends."""
    if prefix not in _claimed:
        name = prefix + _letters()
        fd = os.open(_lock_path(name), os.O_CREAT | os.O_RDWR | os.O_CLOEXEC, 0o600)
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        _claimed[prefix] = (name, fd)
        atexit.register(_release, name, fd)
    return _claimed[prefix][0]


def _release(name, fd):
    try:
        os.unlink(_lock_path(name))
    except FileNotFoundError:
        pass
    os.close(fd)


def in_use(name):
    """Whether a living process holds the name; the lock of a dead one is removed."""
    path = _lock_path(name)
    try:
        fd = os.open(path, os.O_RDWR | os.O_CLOEXEC)
    except FileNotFoundError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    finally:
        os.close(fd)
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
    return False


def leftover_name(prefix, text):
    """The claimed name that text (a namespace or directory name) starts with, when that
    name's process is gone; else None."""
    m = re.match(r"(%s[a-z]{8})-" % re.escape(prefix), text)
    return m.group(1) if m and not in_use(m.group(1)) else None


def remove_leftovers(prefix):
    """The namespaces of earlier runs with this prefix whose process is gone, and their locks."""
    for ns in names():
        if leftover_name(prefix, ns):
            remove(ns)
    for path in glob.glob(_lock_path(prefix + "*")):
        leftover_name(prefix, os.path.basename(path)[len(LOCK_HEAD):-len(LOCK_TAIL)] + "-")


def why_unusable():
    """None when this process can make network namespaces; else the reason."""
    if os.geteuid() != 0:
        return "needs root for network namespaces"
    if not shutil.which("ip"):
        return "ip is not installed (Debian: iproute2)"
    probe = "csmprobe" + _letters()
    p = run(["ip", "netns", "add", probe], check=False)
    if p.returncode != 0:
        return "ip netns add failed: %s" % p.stdout.strip()
    remove(probe)
    return None


class InNetns:
    """`with InNetns(name):` runs the block in that network namespace; sockets made there stay in it."""

    def __init__(self, ns):
        self.ns = ns

    def __enter__(self):
        self.home = os.open("/proc/self/ns/net", os.O_RDONLY)
        fd = os.open("/run/netns/" + self.ns, os.O_RDONLY)
        try:
            if _libc.setns(fd, CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns %s" % self.ns)
        finally:
            os.close(fd)

    def __exit__(self, *exc):
        try:
            if _libc.setns(self.home, CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), "setns back")
        finally:
            os.close(self.home)


def snmp(ns):
    """The counters of namespace ns: IPv4's as "Udp.NoPorts", "Icmp.OutDestUnreachs"...,
    IPv6's under their own names ("Udp6NoPorts", "Icmp6OutDestUnreachs"...)."""
    with InNetns(ns):
        with open("/proc/net/snmp") as f:
            lines = [line.split() for line in f]
        with open("/proc/net/snmp6") as f:
            lines6 = [line.split() for line in f]
    counters = {}
    for head, values in zip(lines[0::2], lines[1::2]):
        proto = head[0].rstrip(":")
        for k, v in zip(head[1:], values[1:]):
            counters[proto + "." + k] = int(v)
    for fields in lines6:
        if len(fields) == 2:
            counters[fields[0]] = int(fields[1])
    return counters


class Namespaces:
    """The namespaces of one scenario, NAME-<suffix> with NAME the process's claimed name;
    all of them, with their links and whatever runs in them, are gone when the scenario
    ends, however it ends. Make it before the daemons, so its cleanup runs after theirs."""

    def __init__(self, test, prefix):
        self.name = claim(prefix)
        test.addCleanup(self.sweep)

    def sweep(self):
        for ns in names():
            if ns.startswith(self.name + "-"):
                remove(ns)

    def add(self, suffix, sysctls=()):
        """A new namespace with its loopback up, after the sysctls ("key=value") are set."""
        ns = "%s-%s" % (self.name, suffix)
        run(["ip", "netns", "add", ns])
        for setting in sysctls:
            run(["ip", "netns", "exec", ns, "sysctl", "-qw", setting])
        run(["ip", "-n", ns, "link", "set", "lo", "up"])
        return ns
