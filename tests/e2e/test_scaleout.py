# SPDX-License-Identifier: BSD-2-Clause
"""Several daemons behind the nftables balancer of deploy/scaleout.sh.

Needs root, `ip netns` and `nft`; skips with the reason otherwise. All
traffic stays inside network namespaces this test makes (names csmt and
eight letters of its own, then -*), removed at the end also when a scenario
fails; namespaces left by an earlier run that crashed are removed first.

hosts: three daemons in namespaces of their own behind a balancer namespace;
senders in a client namespace, from 300 IPv4 and 120 IPv6 source addresses
bound two sockets each, send sequence-numbered datagrams to the balancer's
addresses. Every source must end up in exactly one root, complete and in
order, at the daemon the seeded jhash of its 4 or 16 address bytes names,
and the daemons' statistics must add up to what they were sent. One daemon
is then stopped and started again: its sources come back to it, and what was
sent to it meanwhile is refused at its closed port (counted by its
namespace's UDP NoPorts counters).

ports: two daemons on two ports of one host (itself a namespace of this
test) behind redirect rules; the same checks on a smaller load.
"""

import glob
import os
import re
import shutil
import socket
import struct
import tempfile
import time
import unittest

import harness
import netns
from netns import run

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPT = os.path.join(REPO, "deploy", "scaleout.sh")
PREFIX = "csmt"
NAME = netns.claim(PREFIX)
SEED = 0x63736d31       # the script's default jhash seed
VIP = "192.0.2.1"       # the balancer's addresses, as the script sets it up
VIP6 = "fd00:98:ff::1"
PORT = 514
BASE_PREFIX = "corvashenmir-scaleout-"
RECORD_RE = re.compile(rb"(" + harness.RFC_STAMP + rb") (\S+) (.*)")
PAYLOAD_RE = re.compile(rb"scaleout (\S+) seq (\d+) [a-z]*")
STATS_RE = re.compile(r"statistics: opens=(\d+) recvd=(\d+)$")


# ---------------------------------------------------------------- the hash

def _rol32(x, k):
    return ((x << k) | (x >> (32 - k))) & 0xffffffff


def _word(k, i):
    """Bytes i..i+3 as the kernel reads them on a little-endian machine."""
    return k[i] | k[i + 1] << 8 | k[i + 2] << 16 | k[i + 3] << 24


def jhash_saddr(addr, seed):
    """The kernel's jhash (include/linux/jhash.h) of the 4 or 16 bytes of the source
    address, as nft's `jhash ip saddr` and `jhash ip6 saddr` compute it."""
    m = 0xffffffff
    k = packed(addr)
    a = b = c = (0xdeadbeef + len(k) + seed) & m
    if len(k) == 16:
        # The one whole 12-byte block, then the last four bytes as for an IPv4 address.
        a = (a + _word(k, 0)) & m
        b = (b + _word(k, 4)) & m
        c = (c + _word(k, 8)) & m
        a = (a - c) & m; a ^= _rol32(c, 4); c = (c + b) & m
        b = (b - a) & m; b ^= _rol32(a, 6); a = (a + c) & m
        c = (c - b) & m; c ^= _rol32(b, 8); b = (b + a) & m
        a = (a - c) & m; a ^= _rol32(c, 16); c = (c + b) & m
        b = (b - a) & m; b ^= _rol32(a, 19); a = (a + c) & m
        c = (c - b) & m; c ^= _rol32(b, 4); b = (b + a) & m
        k = k[12:]
    a = (a + _word(k, 0)) & m
    c ^= b; c = (c - _rol32(b, 14)) & m
    a ^= c; a = (a - _rol32(c, 11)) & m
    b ^= a; b = (b - _rol32(a, 25)) & m
    c ^= b; c = (c - _rol32(b, 16)) & m
    a ^= c; a = (a - _rol32(c, 4)) & m
    b ^= a; b = (b - _rol32(a, 14)) & m
    c ^= b; c = (c - _rol32(b, 24)) & m
    return c


def daemon_of(addr, n, seed=SEED):
    """`jhash ip saddr mod n`: nft scales the hash into 0..n-1 (hash * n >> 32)."""
    return (jhash_saddr(addr, seed) * n) >> 32


def is_v6(addr):
    return ":" in addr


def packed(addr):
    return socket.inet_pton(socket.AF_INET6 if is_v6(addr) else socket.AF_INET, addr)


# ---------------------------------------------------------------- namespaces

def remove_leftovers():
    """Namespaces and base directories of earlier runs of this test whose process is gone."""
    netns.remove_leftovers(PREFIX)
    for path in glob.glob(os.path.join(tempfile.gettempdir(), BASE_PREFIX + "*")):
        if netns.leftover_name(PREFIX, os.path.basename(path)[len(BASE_PREFIX):]):
            shutil.rmtree(path, ignore_errors=True)


def why_not_runnable():
    """None when root, ip netns and nft's jhash dnat of both families work here; else the reason."""
    if os.geteuid() != 0:
        return "needs root for network namespaces and nftables"
    for tool in ("ip", "nft"):
        if not shutil.which(tool):
            return "%s is not installed (Debian: %s)" % (tool, "iproute2" if tool == "ip" else "nftables")
    probe = "%s-probe" % NAME
    p = run(["ip", "netns", "add", probe], check=False)
    if p.returncode != 0:
        return "ip netns add failed: %s" % p.stdout.strip()
    try:
        rule = ("table ip probe { chain p { type nat hook prerouting priority dstnat; "
                "udp dport 9 dnat to jhash ip saddr mod 2 map { 0 : 10.0.0.1, 1 : 10.0.0.2 }; }; }\n"
                "table ip6 probe { chain p { type nat hook prerouting priority dstnat; "
                "udp dport 9 dnat to jhash ip6 saddr mod 2 map { 0 : fd00::1, 1 : fd00::2 }; }; }")
        p = run(["ip", "netns", "exec", probe, "nft", "-f", "-"], check=False, timeout=30, input=rule)
        if p.returncode != 0:
            return "nftables cannot load a jhash dnat rule here: %s" % p.stdout.strip()
    finally:
        netns.remove(probe)
    return None


def both(counters, v4, v6):
    """An IPv4 counter and its IPv6 twin, added: a dual-stack socket counts each datagram
    under its own family."""
    return counters[v4] + counters[v6]


def udp_socket(pid, port):
    """(rx_queue bytes, drops) of the UDP socket on port of the daemon pid, seen in its namespace:
    a wildcard socket of either family."""
    suffix = ":%04X" % port
    for table in ("udp6", "udp"):
        try:
            with open("/proc/%d/net/%s" % (pid, table)) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    local = fields[1]
                    if local.endswith(suffix) and set(local[:-len(suffix)]) == {"0"}:
                        return int(fields[4].split(":")[1], 16), int(fields[12])
        except FileNotFoundError:
            pass
    return None


# ---------------------------------------------------------------- the scenario

class Cluster:
    """N daemons set up by deploy/scaleout.sh below a temporary base directory."""

    def __init__(self, test, n, topology, sources, listed=None, script_ns=None, extra=()):
        """sources: the addresses as the daemon writes them; listed: as the sources file gives
        them (the same by default)."""
        self.test, self.n, self.topology = test, n, topology
        self.sources = sources
        self.script_ns = script_ns
        self.base = tempfile.mkdtemp(prefix="%s%s-" % (BASE_PREFIX, NAME))
        test.addCleanup(self._remove_base)
        with open(os.path.join(self.base, "sources"), "w") as f:
            f.write("".join(a + "\n" for a in listed or sources))
        self.extra = list(extra)
        self.sent = {a: [] for a in sources}   # addr -> sequence numbers sent
        self.bytes_sent = {}                   # daemon index -> bytes sent to it while it was up
        self.dgrams_sent = {}                  # daemon index -> datagrams sent to it while it was up
        self.socks = {}

    def script(self, command, *args, check=True):
        cmd = [SCRIPT, command, "--base", self.base] + list(args)
        if self.script_ns:
            cmd = ["ip", "netns", "exec", self.script_ns] + cmd
        return run(cmd, check=check)

    def up(self, *options):
        self.test.addCleanup(self.script, "down", check=False)
        p = self.script("up", "--daemons", str(self.n), "--name", NAME, "--topology", self.topology,
                        "--sources", os.path.join(self.base, "sources"), "--bin", harness.binary(),
                        *options, "--", *self.extra)
        print(p.stdout.rstrip())

    def pid(self, k):
        with open(os.path.join(self.base, "d%d" % k, "pid")) as f:
            text = f.read().strip()
        return int(text) if text else None

    def root(self, k):
        return os.path.join(self.base, "d%d" % k, "root")

    def open_senders(self, ns):
        """Two sockets per source address (two flows, two source ports), made in the client
        namespace and bound there: the mapping must follow the address, not the flow."""
        with netns.InNetns(ns):
            for a in self.sources:
                self.socks[a] = []
                for _ in range(2):
                    s = socket.socket(socket.AF_INET6 if is_v6(a) else socket.AF_INET, socket.SOCK_DGRAM)
                    self.test.addCleanup(s.close)
                    s.bind((a, 0))
                    self.socks[a].append(s)

    def netns_of(self, k):
        return "%s-h%d" % (NAME, k) if self.topology == "hosts" else self.script_ns

    def wait_taken(self, ports, up, timeout=20):
        """Waits until the running daemons have read every datagram sent to them, so that none is
        still on its way through the links: the InDatagrams counters of a namespace count the
        datagrams its sockets have read. Fails at once on a drop at a daemon's socket."""
        want = {}
        for k in range(self.n):
            ns = self.netns_of(k)
            want[ns] = want.get(ns, 0) + self.dgrams_sent.get(k, 0)
        deadline = time.monotonic() + timeout
        for ns, count in want.items():
            while True:
                got = both(netns.snmp(ns), "Udp.InDatagrams", "Udp6InDatagrams")
                if got == count:
                    break
                if got > count:
                    raise AssertionError("namespace %s: %d datagrams read, %d sent there" % (ns, got, count))
                for k in up:
                    q = udp_socket(self.pid(k), ports[k]) if self.netns_of(k) == ns else None
                    if q and q[1]:
                        raise AssertionError("the kernel dropped %d datagrams at daemon %d: sent too fast"
                                             % (q[1], k))
                if time.monotonic() > deadline:
                    raise AssertionError("namespace %s: %d of %d datagrams read after %ss"
                                         % (ns, got, count, timeout))
                time.sleep(0.005)

    def send_rounds(self, first, rounds, vips, ports, up, chunk=60):
        """Each source sends one datagram per round, sequence numbers first..first+rounds-1,
        from its two sockets in turn, to the balancer's address of its family (vips: IPv4, IPv6).

        Waits for the daemons after every chunk and at the end, so that no socket queue overruns
        and nothing is left on its way;
        returns how many went to a daemon that was not up (by the predicted mapping)."""
        to_down = 0
        deadline = time.monotonic() + 60
        n = 0
        for seq in range(first, first + rounds):
            for a in self.sources:
                data = b"scaleout %s seq %d %s" % (a.encode(), seq, b"abcdefghij"[:seq % 11])
                self.socks[a][seq % 2].sendto(data, (vips[is_v6(a)], PORT))
                self.sent[a].append(seq)
                k = daemon_of(a, self.n)
                if k in up:
                    self.bytes_sent[k] = self.bytes_sent.get(k, 0) + len(data)
                    self.dgrams_sent[k] = self.dgrams_sent.get(k, 0) + 1
                else:
                    to_down += 1
                n += 1
                if n % chunk == 0:
                    self.wait_taken(ports, up)
                    if time.monotonic() > deadline:
                        raise AssertionError("sending took more than 60 s")
        self.wait_taken(ports, up)
        return to_down

    # --- reading the roots ---

    def records(self):
        """{addr: {daemon index: [sequence numbers in file order]}} over every root."""
        found = {}
        for k in range(self.n):
            for path in sorted(glob.glob(os.path.join(self.root(k), "*", "*-*"))):
                addr = os.path.basename(os.path.dirname(path))
                with open(path, "rb") as f:
                    content = f.read()
                self.test.assertTrue(content.endswith(b"\n"), path)
                seqs = found.setdefault(addr, {}).setdefault(k, [])
                for line in content[:-1].split(b"\n"):
                    m = RECORD_RE.fullmatch(line)
                    self.test.assertTrue(m, "not a record in %s: %r" % (path, line))
                    self.test.assertEqual(m.group(2).decode(), addr, path)
                    p = PAYLOAD_RE.fullmatch(m.group(3))
                    self.test.assertTrue(p, "not a payload of this test in %s: %r" % (path, line))
                    self.test.assertEqual(p.group(1).decode(), addr, "a record of another source in %s" % path)
                    seqs.append(int(p.group(2)))
        return found

    def statistics(self, k):
        """Sum of (opens, recvd bytes) over daemon k's statistics lines, and the daemon log texts."""
        texts = []
        for path in sorted(glob.glob(os.path.join(self.root(k), "corvashenmir-*"))):
            with open(path, "rb") as f:
                texts += [l.text for l in harness.parse_log_lines(f.read(), file=path)]
        opens = nbytes = 0
        for t in texts:
            m = STATS_RE.match(t)
            if m:
                opens += int(m.group(1))
                nbytes += int(m.group(2))
        return opens, nbytes, texts

    def _remove_base(self):
        if not os.environ.get("CORVASHENMIR_E2E_KEEP"):
            shutil.rmtree(self.base, ignore_errors=True)


def source_addresses(count):
    """count addresses 10.77.0.1 onwards, skipping .0 and .255."""
    out = []
    i = 1
    while len(out) < count:
        if i % 256 not in (0, 255):
            out.append("10.77.%d.%d" % (i // 256, i % 256))
        i += 1
    return out


def source_addresses6(count):
    """count addresses of fd00:77::/64 with zero runs of every length and place, as the daemon
    writes them, and as a sources file may give them: every third one in full and uppercase."""
    texts, listed = [], []
    for i in range(1, count + 1):
        groups = [0xfd00, 0x77, 0, 0] + [0 if (i % 15) >> k & 1 else i * 4 + k for k in range(4)]
        raw = struct.pack("!8H", *groups)
        texts.append(socket.inet_ntop(socket.AF_INET6, raw))
        listed.append(":".join("%04X" % g for g in groups) if i % 3 == 0 else texts[-1])
    return texts, listed


class ScaleOutTest(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        remove_leftovers()
        reason = why_not_runnable()
        if reason:
            print("skipped: " + reason)
            raise unittest.SkipTest(reason)

    def check_placement(self, c, found, expect_missing=None):
        """Every source in exactly one root, the one the hash names, its records complete and in
        order. Returns the sources per daemon of each family."""
        expect_missing = expect_missing or {}
        self.assertEqual(sorted(found), sorted(c.sources), "sources with records")
        per_daemon = {"IPv4": [0] * c.n, "IPv6": [0] * c.n}
        for a in c.sources:
            roots = sorted(found[a])
            self.assertEqual(len(roots), 1, "source %s is stored by daemons %s" % (a, roots))
            self.assertEqual(roots[0], daemon_of(a, c.n),
                             "source %s is at daemon %d, the hash names %d" % (a, roots[0], daemon_of(a, c.n)))
            missing = expect_missing.get(roots[0], set())
            want = [s for s in c.sent[a] if s not in missing]
            self.assertEqual(found[a][roots[0]], want, "records of %s" % a)
            per_daemon["IPv6" if is_v6(a) else "IPv4"][roots[0]] += 1
        for family, counts in per_daemon.items():
            self.assertTrue(all(counts), "every daemon serves some %s sources: %s" % (family, counts))
        return per_daemon

    def check_statistics(self, c, restarts=()):
        total = 0
        for k in range(c.n):
            opens, nbytes, texts = c.statistics(k)
            self.assertEqual(nbytes, c.bytes_sent.get(k, 0), "daemon %d's statistics" % k)
            self.assertFalse([t for t in texts if t.startswith(("drop", "fatal", "warning"))],
                             "daemon %d dropped, failed or warned" % k)
            starts = sum(1 for t in texts if t.startswith("startup: corvashenmir initialized"))
            self.assertEqual(starts, 2 if k in restarts else 1, "daemon %d starts" % k)
            total += nbytes
        return total

    def test_hosts_behind_a_balancer_namespace(self):
        netns.Namespaces(self, PREFIX)
        n, victim = 3, 1
        texts6, listed6 = source_addresses6(120)
        sources = source_addresses(300) + texts6
        c = Cluster(self, n, "hosts", sources, listed=source_addresses(300) + listed6,
                    extra=["--maxopen", "300", "--maxopenspersec", "1000"])
        c.up("--port", str(PORT), "--listen", VIP, "--listen6", VIP6)
        ports = {k: PORT for k in range(n)}
        c.open_senders(NAME + "-cl")
        everyone = set(range(n))
        vips = (VIP, VIP6)

        self.assertEqual(c.send_rounds(0, 10, vips, ports, everyone), 0, "datagrams missing after the first rounds")

        # One daemon stops: what the balancer sends it meanwhile meets a closed port.
        victim_ns = "%s-h%d" % (NAME, victim)
        before = netns.snmp(victim_ns)
        c.script("stop", "--index", str(victim))
        self.assertIsNone(c.pid(victim), "pid file emptied at the stop")
        lost = c.send_rounds(10, 5, vips, ports, everyone - {victim})

        def refused():
            return both(netns.snmp(victim_ns), "Udp.NoPorts", "Udp6NoPorts") - both(before, "Udp.NoPorts",
                                                                                    "Udp6NoPorts")
        # The last of them may still be on the links: wait for the count to settle.
        harness.wait_for(lambda: refused() >= lost, 10, "the refusals at the stopped daemon's port")
        time.sleep(0.2)
        after = netns.snmp(victim_ns)
        icmp = (both(after, "Icmp.OutDestUnreachs", "Icmp6OutDestUnreachs")
                - both(before, "Icmp.OutDestUnreachs", "Icmp6OutDestUnreachs"))
        print("while daemon %d was down: %d datagrams sent to its sources, %d refused at its closed "
              "port (ICMP port unreachable sent back for %d of them, the rest held back by the "
              "kernel's ICMP rate limit)" % (victim, lost, refused(), icmp))
        self.assertGreater(lost, 0, "datagrams sent to the stopped daemon's sources")
        self.assertEqual(refused(), lost,
                         "datagrams refused at the stopped daemon's port against those sent to its sources")
        self.assertGreater(icmp, 0, "ICMP port unreachable messages sent back")
        self.assertLessEqual(icmp, lost, "ICMP port unreachable messages against refusals")

        # Started again, the daemon gets its own sources back: the hash does not know who is up.
        print(c.script("start", "--index", str(victim)).stdout.rstrip())
        self.assertEqual(c.send_rounds(15, 10, vips, ports, everyone), 0, "datagrams missing after the restart")
        c.script("down")
        self.assertEqual([ns for ns in netns.names() if ns.startswith(NAME + "-")], [], "namespaces left after down")

        found = c.records()
        per_daemon = self.check_placement(c, found, {victim: set(range(10, 15))})
        print("sources per daemon: %s, each at the daemon the seeded jhash names; daemon %d's "
              "sources are back at it after its restart, and what they sent while it was down "
              "is in no root" % (per_daemon, victim))
        total = self.check_statistics(c, restarts={victim})
        sent_bytes = sum(c.bytes_sent.values())
        print("datagrams sent %d, stored %d, lost while down %d; statistics %d bytes of %d sent to running daemons"
              % (sum(len(s) for s in c.sent.values()), sum(len(v) for f in found.values() for v in f.values()),
                 lost, total, sent_bytes))
        self.assertEqual(total, sent_bytes, "bytes in the statistics lines against bytes sent to running daemons")

    def test_ports_of_one_host(self):
        spaces = netns.Namespaces(self, PREFIX)
        host, client = spaces.add("p"), spaces.add("q")
        vip6, client6 = "fd00:97::1", "fd00:97::2"
        run(["ip", "-n", host, "link", "add", "q", "type", "veth", "peer", "name", "p", "netns", client])
        run(["ip", "-n", host, "addr", "add", VIP + "/24", "dev", "q"])
        run(["ip", "-n", host, "addr", "add", vip6 + "/64", "dev", "q", "nodad"])
        run(["ip", "-n", host, "link", "set", "q", "up"])
        run(["ip", "-n", client, "addr", "add", "192.0.2.2/24", "dev", "p"])
        run(["ip", "-n", client, "addr", "add", client6 + "/64", "dev", "p", "nodad"])
        run(["ip", "-n", client, "link", "set", "p", "up"])
        run(["ip", "-n", client, "route", "add", "default", "via", VIP])
        run(["ip", "-n", client, "-6", "route", "add", "default", "via", vip6])
        run(["ip", "-n", host, "route", "add", "default", "via", "192.0.2.2"])
        run(["ip", "-n", host, "-6", "route", "add", "default", "via", client6])
        n = 2
        texts6, _ = source_addresses6(40)
        sources = source_addresses(60) + texts6
        batch = "".join("address add %s/%d dev p%s\n" % (a, 128 if is_v6(a) else 32, " nodad" if is_v6(a) else "")
                        for a in sources)
        run(["ip", "-n", client, "-batch", "-"], timeout=30, input=batch)

        c = Cluster(self, n, "ports", sources, script_ns=host)
        c.up("--port", str(PORT), "--first-port", "6000", "--listen", VIP, "--listen6", vip6)
        ports = {k: 6000 + k for k in range(n)}
        c.open_senders(client)
        self.assertEqual(c.send_rounds(0, 8, (VIP, vip6), ports, set(range(n))), 0, "datagrams missing")
        c.script("down")
        with netns.InNetns(host):
            tables = run(["nft", "list", "tables"]).stdout
        self.assertNotIn("corvashenmir", tables, "down removes both tables")

        found = c.records()
        print("sources per daemon: %s" % self.check_placement(c, found))
        self.check_statistics(c)


if __name__ == "__main__":
    harness.main()
