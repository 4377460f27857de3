# SPDX-License-Identifier: BSD-2-Clause
"""IPv6 senders: the text of their addresses in records, files, directories and
daemon log lines, link-local sources with their zone, IPv4-mapped senders,
--ipv4only, and the fall-back to IPv4 on a host without IPv6.

IPv6 traffic stays inside network namespaces this test makes (csm6, eight
letters of its own, then -*; removed at the end of each scenario however it
ends, and those of an earlier run whose process is gone at the start); those
scenarios need root and ip and skip without them. The rest talks to the daemon over loopback. The host
without IPv6 is a preloaded library (CORVASHENMIR_NO_IPV6_LIB) that makes the
IPv6 socket's calls fail.
"""

import errno
import os
import re
import signal
import socket
import struct
import subprocess

import harness
import netns

PREFIX = "csm6"
IPV6_FREEBIND = 78
# Any address of the prefix is a source: it is routed locally on the namespace's lo.
GLOBAL_PREFIX = "fd00:6::/48"
WARNING = "warning: IPv6 is not available (%s): receiving IPv4 only"

# Addresses as a sender may write them, and the text the daemon must store.
TEXT_FORMS = [
    ("fd00:6:0:0:0:0:0:7", "fd00:6::7"),
    # Two zero runs of one length: the first one is shortened.
    ("fd00:6:0:0:1:0:0:7", "fd00:6::1:0:0:7"),
    # The longer run is shortened, wherever it is.
    ("fd00:6:0:1:0:0:0:7", "fd00:6:0:1::7"),
    ("fd00:6:0:0:1:0:0:0", "fd00:6:0:0:1::"),
    # A single zero group stays.
    ("fd00:6:0:1:0:1:0:1", "fd00:6:0:1:0:1:0:1"),
    ("fd00:6:1:2:3:4:5:6", "fd00:6:1:2:3:4:5:6"),
    # Lowercase, leading zeros dropped.
    ("FD00:0006:0000:0000:00AB:0CD0:0000:000F", "fd00:6::ab:cd0:0:f"),
    ("fd00:6::ffff:ffff:ffff:ffff", "fd00:6::ffff:ffff:ffff:ffff"),
    # Only the IPv4-mapped prefix is written dotted.
    ("fd00:6:0:0:0:ffff:102:304", "fd00:6::ffff:102:304"),
]


def setUpModule():
    if os.geteuid() == 0 and os.path.isdir("/run/netns"):
        netns.remove_leftovers(PREFIX)


def no_ipv6_lib():
    path = os.environ.get("CORVASHENMIR_NO_IPV6_LIB")
    if not path:
        guess = os.path.join(os.path.dirname(harness.binary()), "tests", "e2e", "libcorvashenmir_no_ipv6.so")
        path = guess if os.path.exists(guess) else None
    if not path:
        raise AssertionError("no seam library: set CORVASHENMIR_NO_IPV6_LIB to libcorvashenmir_no_ipv6.so")
    return os.path.abspath(path)


def ifindex(ns, name):
    with netns.InNetns(ns):
        return socket.if_nametoindex(name)


def wait_link_up(ns, name):
    harness.wait_for(lambda: "LOWER_UP" in netns.run(["ip", "-n", ns, "-o", "link", "show", "dev", name]).stdout,
                     10, "link %s in %s to come up" % (name, ns))


class AnySource6:
    """One IPv6 socket made in a namespace that sends from any address, chosen per datagram
    (IPV6_PKTINFO; IPV6_FREEBIND, since the addresses are routed, not configured)."""

    def __init__(self, test, ns, dest):
        with netns.InNetns(ns):
            self.sock = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
        test.addCleanup(self.sock.close)
        self.sock.setsockopt(socket.IPPROTO_IPV6, IPV6_FREEBIND, 1)
        self.dest = dest

    def send(self, data, src):
        info = struct.pack("=16sI", socket.inet_pton(socket.AF_INET6, src), 0)
        self.sock.sendmsg([data], [(socket.IPPROTO_IPV6, socket.IPV6_PKTINFO, info)], 0, self.dest)


def socket_families(d):
    """The tables of the daemon's namespace that hold its socket: "udp" for an IPv4 socket,
    "udp6" for an IPv6 one (dual stack or not)."""
    suffix = ":%04X" % d.port
    found = []
    for table in ("udp", "udp6"):
        with open("/proc/%d/net/%s" % (d.pid, table)) as f:
            next(f)
            if any(line.split()[1].endswith(suffix) for line in f):
                found.append(table)
    return found


def stdout_has(d, text):
    return "%s %s" % (harness.binary(), text) in d.stdout_lines()


class Ipv6TestCase(harness.DaemonTestCase):

    def namespaces(self):
        reason = netns.why_unusable()
        if reason:
            self.skipTest(reason)
        return netns.Namespaces(self, PREFIX)

    def daemon_in(self, ns, **kw):
        d = self.daemon(**kw)
        d.argv = ["ip", "netns", "exec", ns] + d.argv
        return d

    def global_sources(self):
        """A namespace whose lo holds the prefix; its senders send to ::1."""
        ns = self.namespaces().add("g")
        prefix_address = GLOBAL_PREFIX.replace("::/", "::1/")
        netns.run(["ip", "-n", ns, "-6", "addr", "add", prefix_address, "dev", "lo", "nodad"])
        netns.run(["ip", "-n", ns, "-6", "route", "add", "local", GLOBAL_PREFIX, "dev", "lo"])
        return ns

    def wait_read(self, d, ns, count):
        """Waits until the sockets of namespace ns have read count datagrams, so that none is
        still on a link or waiting for its neighbour to be found, and then until the daemon
        has routed them."""
        def read():
            counters = netns.snmp(ns)
            return counters["Udp.InDatagrams"] + counters["Udp6InDatagrams"] >= count
        harness.wait_for(read, 10, "%d datagrams read in %s" % (count, ns))
        d.wait_drained()

    def assertOnlySources(self, d, texts):
        """The root holds no directory or file but the given sources' and the daemon log."""
        names = set(os.listdir(d.root)) - set(d.log_names())
        self.assertEqual(names, set(texts))


class GlobalSourcesTest(Ipv6TestCase):

    def test_text_form_in_records_files_and_directories(self):
        ns = self.global_sources()
        texts = [t for _, t in TEXT_FORMS]
        d = self.daemon_in(ns, args=["--verbose"], sources=texts).start()
        sender = AnySource6(self, ns, ("::1", d.port))
        for given, text in TEXT_FORMS:
            sender.send(b"<13>first from " + given.encode(), given)
            sender.send(b"<13>second\nthird", given)
        self.wait_read(d, ns, 2 * len(TEXT_FORMS))
        self.assertEqual(d.stop(), 0)

        opened = {}
        for given, text in TEXT_FORMS:
            files = d.source_files(text)
            self.assertEqual(len(files), 1, "files of %s: %r" % (text, sorted(files)))
            key, content = files.popitem()
            self.assertRegex(key, r"^\d{10}$")
            self.assertRecords(content, [harness.plain(text, b"<13>first from " + given.encode()),
                                         harness.plain(text, b"<13>second"), harness.plain(text, b"third")])
            opened[text] = "OPEN %s/%s-%s OK" % (text, text, key)
        self.assertOnlySources(d, texts)
        self.assertEqual(sorted(l for l in d.stdout_lines() if l.startswith("OPEN ")), sorted(opened.values()))
        logged = d.log_texts()
        self.assertEqual([t for t in logged if t.startswith(("drop", "warning"))], [])
        self.assertIn(harness.statistics_line(len(texts), sum(
            len(b"<13>first from " + g.encode()) + len(b"<13>second\nthird") for g, _ in TEXT_FORMS)), logged)

    def test_hundred_sources_through_a_small_pool(self):
        ns = self.global_sources()
        # Of every shape: zero runs at the start, middle or end of the host part, or none.
        def address(i):
            groups = [0 if (i % 31) >> k & 1 else i * 8 + k + 1 for k in range(5)]
            return socket.inet_ntop(socket.AF_INET6, struct.pack("!8H", 0xfd00, 6, 0, *groups))
        texts = [address(i) for i in range(100)]
        self.assertEqual(len(set(texts)), 100)
        d = self.daemon_in(ns, args=["--verbose", "--maxopen", "5", "--maxopenspersec", "1000000"],
                           sources=texts).start()
        sender = AnySource6(self, ns, ("::1", d.port))
        rounds = 3
        for n in range(rounds):
            for i, text in enumerate(texts):
                sender.send(b"<13>round %d of %s" % (n, text.encode()), text)
                if i % 50 == 49:
                    d.wait_drained()
        self.wait_read(d, ns, rounds * len(texts))
        self.assertEqual(d.stop(), 0)

        for text in texts:
            files = list(d.source_files(text).values())
            self.assertEqual(len(files), 1, text)
            self.assertRecords(files[0], [harness.plain(text, b"<13>round %d of %s" % (n, text.encode()))
                                          for n in range(rounds)])
        out = d.stdout_lines()
        opens = [l for l in out if l.startswith("OPEN ")]
        evicted = [l[len("FORCECLOSE "):] for l in out if l.startswith("FORCECLOSE ")]
        closed = [l[len("CLOSE "):] for l in out if l.startswith("CLOSE ")]
        opened = set(re.fullmatch(r"OPEN (\S+)/\1-\d{10} OK", l).group(1) for l in opens)
        self.assertEqual(opened, set(texts))
        # Once five are open, every open evicts one; the last five are closed at the stop.
        self.assertGreaterEqual(len(opens), len(texts) * rounds - 5)
        self.assertEqual(len(evicted), len(opens) - 5)
        self.assertLessEqual(set(evicted), set(texts))
        self.assertEqual(len(closed), 5)
        self.assertLessEqual(set(closed), set(texts))
        self.assertIn(harness.statistics_line(len(opens), sum(
            len(b"<13>round %d of %s" % (n, t.encode())) for t in texts for n in range(rounds))), d.log_texts())

    def test_fail_reports_name_ipv6_sources(self):
        ns = self.global_sources()
        known = "fd00:6::1:2"
        unknown = {"fd00:6::dead": 1, "fd00:6:0:0:1::": 2, "fd00:6:a:b:c:d:e:f": 3}
        d = self.daemon_in(ns, args=["--verbose"], sources=[known]).start()
        sender = AnySource6(self, ns, ("::1", d.port))
        for count in range(1, 4):
            sender.send(b"<13>known", known)
            for text, times in unknown.items():
                if count <= times:
                    sender.send(b"<13>unknown", text)
        self.wait_read(d, ns, 3 + sum(unknown.values()))
        self.assertEqual(d.stop(), 0)

        out = d.stdout_lines()
        self.assertEqual([l for l in out if l.startswith("Adding new fail report")],
                         ["Adding new fail report for %s" % t for t in unknown])
        # A source without its directory takes no descriptor: it is never opened.
        self.assertEqual([l.split("/")[0] for l in out if l.startswith("OPEN ")], ["OPEN " + known])
        logged = d.log_texts()
        self.assertEqual([t for t in logged if t.startswith("drop")],
                         [harness.fail_line(t, n) for t, n in unknown.items()])
        self.assertIn(harness.statistics_line(1, 3 * 9 + 6 * 11), logged)
        self.assertOnlySources(d, [known])

    def test_size_cap_marker_and_drop_line(self):
        ns = self.global_sources()
        text = "fd00:6::c:a:9"
        size = 8000
        d = self.daemon_in(ns, args=["--maxfilesize", "1"], sources=[text]).start()
        sender = AnySource6(self, ns, ("::1", d.port))
        # Stamp, space, address, space, text, LF: the record that reaches the cap is the last.
        record = len("2031-03-05T22:07:09.000042+00:00") + len(text) + size + 3
        stored = -(-1000000 // record)
        after = 3
        for i in range(stored + after):
            sender.send(harness.numbered(i, size), text)
            if i % 10 == 9:
                d.wait_drained()
        self.wait_read(d, ns, stored + after)
        self.assertEqual(d.stop(), 0)

        content, = d.source_files(text).values()
        self.assertEqual(harness.numbered_in(content, text, size), list(range(stored)))
        self.assertTrue(content.endswith(harness.marker_line(text)), content[-200:])
        self.assertEqual(len(content), stored * record + len(
            "2031-03-05T22:07:09.000042+00:00 ") + len(harness.marker_line(text)))
        logged = d.log_texts()
        self.assertEqual([t for t in logged if t.startswith("drop")], [
            harness.cap_drop_line(text),
            "drop: discarded %d datagrams of %s after maximum file length (1000000)" % (after, text)])


class LinkLocalTest(Ipv6TestCase):
    """The daemon's namespace and a sender's, joined by two veth pairs (x0-y0 and x1-y1),
    each with fe80::7 on the sender's end: one address on two links."""

    def test_zone_in_text_and_path_and_one_address_on_two_links(self):
        spaces = self.namespaces()
        here, there = spaces.add("ll"), spaces.add("ls")
        for k in (0, 1):
            netns.run(["ip", "-n", here, "link", "add", "x%d" % k, "type", "veth", "peer", "name", "y%d" % k,
                       "netns", there])
            netns.run(["ip", "-n", here, "addr", "add", "fe80::1/64", "dev", "x%d" % k, "nodad"])
            netns.run(["ip", "-n", there, "addr", "add", "fe80::7/64", "dev", "y%d" % k, "nodad"])
            netns.run(["ip", "-n", there, "addr", "add", "fe80::9/64", "dev", "y%d" % k, "nodad"])
            netns.run(["ip", "-n", here, "link", "set", "x%d" % k, "up"])
            netns.run(["ip", "-n", there, "link", "set", "y%d" % k, "up"])
        for k in (0, 1):
            wait_link_up(here, "x%d" % k)
            wait_link_up(there, "y%d" % k)
        gone_index = ifindex(here, "x1")
        # Without the zone the directory is another source's: it stays empty.
        texts = ["fe80::7%x0", "fe80::7%x1", "fe80::7"]
        d = self.daemon_in(here, args=["--verbose"], sources=texts).start()

        socks = {}
        with netns.InNetns(there):
            for src in ("fe80::7", "fe80::9"):
                for k in (0, 1):
                    s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
                    self.addCleanup(s.close)
                    scope = socket.if_nametoindex("y%d" % k)
                    s.bind((src, 0, 0, scope))
                    s.connect(("fe80::1", d.port, 0, scope))
                    socks[src, k] = s
        socks["fe80::7", 0].send(b"<13>on link 0")
        socks["fe80::7", 1].send(b"<13>on link 1")
        socks["fe80::7", 0].send(b"<13>again on link 0")
        # No directory for fe80::9 on link 1: a failure, reported after that link has gone.
        socks["fe80::9", 1].send(b"<13>no directory")
        self.wait_read(d, here, 4)
        netns.run(["ip", "-n", there, "link", "del", "y1"])
        self.assertEqual(d.stop(), 0)

        (key0, link0), = d.source_files("fe80::7%x0").items()
        (key1, link1), = d.source_files("fe80::7%x1").items()
        self.assertRecords(link0, [harness.plain("fe80::7%x0", b"<13>on link 0"),
                                   harness.plain("fe80::7%x0", b"<13>again on link 0")])
        self.assertRecords(link1, [harness.plain("fe80::7%x1", b"<13>on link 1")])
        self.assertEqual(os.listdir(os.path.join(d.root, "fe80::7")), [])
        self.assertOnlySources(d, texts)
        out = d.stdout_lines()
        self.assertEqual(sorted(l for l in out if l.startswith("OPEN ")),
                         ["OPEN fe80::7%%x0/fe80::7%%x0-%s OK" % key0, "OPEN fe80::7%%x1/fe80::7%%x1-%s OK" % key1])
        self.assertIn("Adding new fail report for fe80::9%x1", out)
        # A link without a name any more is told by its index.
        self.assertEqual([t for t in d.log_texts() if t.startswith("drop")],
                         [harness.fail_line("fe80::9%%%d" % gone_index, 1)])


class MappedTest(Ipv6TestCase):

    def test_mapped_sender_is_stored_as_its_ipv4_source(self):
        for args in ([], ["--ipv4only"]):
            with self.subTest(args=args):
                # A directory in the mapped form is no source's: it stays empty.
                d = self.daemon(args=["--verbose"] + args,
                                sources=["127.0.0.5", "127.0.0.6", "::ffff:127.0.0.5"]).start()
                with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as s:
                    s.bind(("::ffff:127.0.0.5", 0))
                    s.sendto(b"<13>mapped", ("::ffff:127.0.0.1", d.port))
                d.send(b"<13>plain", "127.0.0.5")
                d.send(b"<13>plain", "127.0.0.6")
                d.wait_drained()
                self.assertEqual(d.stop(), 0)

                (key, mapped), = d.source_files("127.0.0.5").items()
                self.assertRecords(mapped, [harness.plain("127.0.0.5", b"<13>mapped"),
                                            harness.plain("127.0.0.5", b"<13>plain")])
                (_, plain), = d.source_files("127.0.0.6").items()
                self.assertRecords(plain, [harness.plain("127.0.0.6", b"<13>plain")])
                self.assertEqual(os.listdir(os.path.join(d.root, "::ffff:127.0.0.5")), [])
                # One source, one open, for both senders of 127.0.0.5.
                self.assertEqual(sorted(l for l in d.stdout_lines() if l.startswith("OPEN ")),
                                 ["OPEN 127.0.0.5/127.0.0.5-%s OK" % key, "OPEN 127.0.0.6/127.0.0.6-%s OK" % key])
                self.assertIn(harness.statistics_line(2, len(b"<13>mapped") + 2 * len(b"<13>plain")), d.log_texts())


class Ipv4OnlyTest(Ipv6TestCase):

    def test_ipv6_datagram_is_refused_and_ipv4_stored(self):
        ns = self.namespaces().add("o")
        d = self.daemon_in(ns, args=["--ipv4only"], sources=["::1", "127.0.0.1"]).start()
        self.assertEqual(socket_families(d), ["udp"])
        before = netns.snmp(ns)
        with netns.InNetns(ns):
            v6 = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
            v4 = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(v6.close)
        self.addCleanup(v4.close)
        v6.settimeout(10)
        v6.connect(("::1", d.port))
        v4.connect(("127.0.0.1", d.port))
        sent6 = 3
        for _ in range(sent6):
            v6.send(b"<13>over IPv6")
            # The port unreachable comes back to the connected socket as a refusal.
            with self.assertRaises(ConnectionRefusedError):
                v6.recv(100)
        v4.send(b"<13>over IPv4")
        self.wait_read(d, ns, 1)
        after = netns.snmp(ns)
        self.assertEqual(d.stop(), 0)

        self.assertEqual(after["Udp6NoPorts"] - before["Udp6NoPorts"], sent6)
        self.assertEqual(after["Udp6InDatagrams"] - before["Udp6InDatagrams"], 0)
        self.assertEqual(after["Icmp6OutDestUnreachs"] - before["Icmp6OutDestUnreachs"], sent6)
        self.assertEqual(os.listdir(os.path.join(d.root, "::1")), [])
        (_, content), = d.source_files("127.0.0.1").items()
        self.assertRecords(content, [harness.plain("127.0.0.1", b"<13>over IPv4")])
        logged = d.log_texts()
        self.assertIn(harness.statistics_line(1, len(b"<13>over IPv4")), logged)
        self.assertEqual([t for t in logged if t.startswith(("drop", "warning"))], [])


class NoIpv6Test(Ipv6TestCase):

    # The failing call on the IPv6 socket, its error, and whether the daemon goes on with IPv4.
    CASES = [
        ("socket", errno.EAFNOSUPPORT, True),
        ("socket", errno.EPROTONOSUPPORT, True),
        ("bind", errno.EADDRNOTAVAIL, True),
        ("setsockopt", errno.ENOPROTOOPT, True),
        # Errors that are the process's or the port's, not a missing IPv6.
        ("socket", errno.EMFILE, False),
        ("bind", errno.EACCES, False),
    ]

    def test_without_ipv6_the_daemon_receives_ipv4(self):
        lib = no_ipv6_lib()
        for call, err, falls_back in self.CASES:
            with self.subTest(call=call, error=errno.errorcode[err]):
                fatal = "%s: %s" % (call, os.strerror(err))
                d = self.daemon(sources=["127.0.0.1"], expect_fatal=[] if falls_back else [re.escape(fatal)])
                d.env["LD_PRELOAD"] = lib
                d.env["CORVASHENMIR_NO_IPV6"] = "%s %d" % (call, err)
                if not falls_back:
                    d.launch()
                    self.assertEqual(d.wait_exit(), 1)
                    self.assertIn("fatal: " + fatal, d.log_texts())
                    self.assertIn("%s fatal: %s" % (harness.binary(), fatal), d.stderr().decode().splitlines())
                    self.assertFalse([t for t in d.log_texts() if t.startswith("warning")])
                    continue
                d.start()
                self.assertEqual(socket_families(d), ["udp"])
                warning = WARNING % os.strerror(err)
                self.assertIn(warning, d.log_texts())
                self.assertTrue(stdout_has(d, warning), d.stdout_lines())
                d.send(b"<13>still stored")
                d.wait_drained()
                self.assertEqual(d.stop(), 0)
                (_, content), = d.source_files("127.0.0.1").items()
                self.assertRecords(content, [harness.plain("127.0.0.1", b"<13>still stored")])

    def test_seam_unset_fails_the_ipv6_socket_alone(self):
        d = self.daemon(sources=["127.0.0.1"])
        d.env["LD_PRELOAD"] = no_ipv6_lib()
        d.start()
        self.assertEqual(socket_families(d), ["udp"])
        self.assertIn(WARNING % os.strerror(errno.EAFNOSUPPORT), d.log_texts())
        self.assertEqual(d.stop(), 0)

    def test_namespace_with_ipv6_disabled(self):
        ns = self.namespaces().add("x", sysctls=["net.ipv6.conf.all.disable_ipv6=1",
                                                 "net.ipv6.conf.default.disable_ipv6=1"])
        with netns.InNetns(ns):
            with open("/proc/net/if_inet6") as f:
                self.assertEqual(f.read(), "", "the namespace has no IPv6 address")
            v6 = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
            v4 = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(v6.close)
        self.addCleanup(v4.close)
        d = self.daemon_in(ns, sources=["127.0.0.1"]).start()
        # The dual-stack socket binds all the same, and IPv4 comes in on it.
        self.assertEqual(socket_families(d), ["udp6"])
        with self.assertRaises(OSError):
            v6.sendto(b"<13>over IPv6", ("::1", d.port))
        v4.sendto(b"<13>over IPv4", ("127.0.0.1", d.port))
        self.wait_read(d, ns, 1)
        self.assertEqual(d.stop(), 0)
        (_, content), = d.source_files("127.0.0.1").items()
        self.assertRecords(content, [harness.plain("127.0.0.1", b"<13>over IPv4")])
        logged = d.log_texts()
        self.assertEqual([t for t in logged if t.startswith(("drop", "warning"))], [])
        self.assertFalse([l for l in d.stdout_lines() if "warning" in l])


if __name__ == "__main__":
    harness.main()
