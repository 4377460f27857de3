# SPDX-License-Identifier: BSD-2-Clause
"""A large network: thousands of sources through as many files at once, a
hangup that closes them all in between, and a socket receive buffer of its
own (--rcvbuf), granted in full to root and capped, with a warning, without
CAP_NET_ADMIN."""

import os
import resource
import shutil
import subprocess
import unittest

import harness
from test_ipv6 import no_ipv6_lib

SOURCES = 15000
RCVBUF = 67108864
# A held clock: the rounds take long under the sanitizers, and must not meet a rollover.
CLOCK = "2026-03-05 10:00:00"
CAP_LINE = ("warning: socket receive buffer capped at %u bytes (asked for %u): raise "
            "net.core.rmem_max or grant CAP_NET_ADMIN")


def source(i):
    return "127.%d.%d.%d" % (100 + i // 65536, (i // 256) % 256, i % 256)


def receive_buffer(port):
    """The rb figure that ss shows for the socket bound to port."""
    out = subprocess.run(["ss", "-u", "-a", "-m", "-n", "sport = :%d" % port],
                         capture_output=True, text=True, check=True).stdout
    for field in out.replace("(", ",").replace(")", ",").split(","):
        if field.startswith("rb") and field[2:].isdigit():
            return int(field[2:])
    raise AssertionError("no receive buffer for port %d in ss output: %r" % (port, out))


class LargeNetworkTest(harness.DaemonTestCase):

    def test_every_source_of_a_large_network_is_stored(self):
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        if hard != resource.RLIM_INFINITY and hard < SOURCES + 5:
            raise unittest.SkipTest("the hard open-file limit %d is below %d" % (hard, SOURCES + 5))
        addrs = [source(i) for i in range(SOURCES)]
        # The gate counts a second's attempts across a hangup in it, so the end of
        # one round and the start of the next may share a second: the limit takes both.
        d = self.daemon(args=["--maxopen", str(SOURCES), "--maxopenspersec", str(2 * SOURCES),
                              "--rcvbuf", str(RCVBUF)], sources=addrs, clock=CLOCK).start()
        sender = harness.AnySourceSender(self, d.port)

        def round_of(n):
            for i, a in enumerate(addrs):
                sender.send(b"<13>round %d of %s" % (n, a.encode()), a)
                if i % 5000 == 4999:
                    d.wait_drained(timeout=60)
            d.wait_drained(timeout=60)

        round_of(1)
        d.advance(1)
        d.hup(timeout=60)
        round_of(2)
        self.assertEqual(d.stop(timeout=60), 0)

        missing = []
        for a in addrs:
            files = list(d.source_files(a).values())
            want = [harness.plain(a, b"<13>round %d of %s" % (n, a.encode())) for n in (1, 2)]
            if len(files) != 1 or not harness.records_regex(want).fullmatch(files[0]):
                missing.append((a, files))
        self.assertEqual(missing[:5], [], "%d of %d sources not stored whole" % (len(missing), SOURCES))
        texts = d.log_texts()
        self.assertEqual([t for t in texts if t.startswith(("drop", "warning"))], [])
        # Every file opened twice, once before and once after the hangup; nothing evicted.
        self.assertEqual([t.split()[1] for t in texts if t.startswith("statistics:")], ["opens=%d" % (2 * SOURCES)])
        self.assertEqual(d.stdout_lines().count("%s startup: socket receive buffer %u bytes" % (d.argv[0], 2 * RCVBUF)), 1)

    def test_receive_buffer_is_read_back_and_a_cap_is_told(self):
        if os.geteuid() != 0:
            self.skipTest("a buffer beyond net.core.rmem_max is granted to root (CAP_NET_ADMIN) only")
        # Root passes net.core.rmem_max: the kernel grants twice what is asked.
        d = self.daemon(args=["--rcvbuf", str(RCVBUF)], clock=CLOCK).start()
        self.assertEqual(receive_buffer(d.port), 2 * RCVBUF)
        self.assertIn("startup: socket receive buffer %u bytes" % (2 * RCVBUF), d.log_texts())
        self.assertFalse([t for t in d.log_texts() if t.startswith("warning:")])
        self.assertEqual(d.stop(), 0)

        # Without CAP_NET_ADMIN, net.core.rmem_max caps it.
        setpriv = shutil.which("setpriv")
        if os.geteuid() != 0 or setpriv is None:
            self.skipTest("the capped case needs root and setpriv to drop CAP_NET_ADMIN")
        with open("/proc/sys/net/core/rmem_max") as f:
            rmem_max = int(f.read())
        if 2 * rmem_max >= 2 * RCVBUF:
            self.skipTest("net.core.rmem_max (%d) does not cap %d" % (rmem_max, RCVBUF))
        d = self.daemon(args=["--rcvbuf", str(RCVBUF)], clock=CLOCK)
        d.argv = [setpriv, "--bounding-set=-net_admin", "--inh-caps=-net_admin", "--"] + d.argv
        d.start()
        got = receive_buffer(d.port)
        self.assertEqual(got, 2 * rmem_max)
        texts = d.log_texts()
        self.assertIn("startup: socket receive buffer %u bytes" % got, texts)
        self.assertIn(CAP_LINE % (got, RCVBUF), texts)
        # Console level: on stdout too.
        self.assertIn("%s %s" % (d.argv[4], CAP_LINE % (got, RCVBUF)), d.stdout_lines())
        self.assertEqual(d.stop(), 0)

        # Without the option the socket keeps the system's size and nothing is said.
        d = self.daemon(clock=CLOCK).start()
        with open("/proc/sys/net/core/rmem_default") as f:
            self.assertEqual(receive_buffer(d.port), int(f.read()))
        self.assertFalse([t for t in d.log_texts() if "receive buffer" in t])
        self.assertEqual(d.stop(), 0)

    def test_receive_buffer_on_every_kind_of_socket(self):
        if os.geteuid() != 0:
            self.skipTest("a buffer beyond net.core.rmem_max is granted to root (CAP_NET_ADMIN) only")
        # The largest asked for: the kernel doubles at most INT_MAX / 2, so 2147483646 is all of it.
        cases = [("the largest, dual stack", ["--rcvbuf", "1073741824"], {}, 2147483646),
                 ("IPv4 only", ["--rcvbuf", str(RCVBUF), "--ipv4only"], {}, 2 * RCVBUF),
                 ("after the fall-back to IPv4", ["--rcvbuf", str(RCVBUF)], {"no_ipv6": True}, 2 * RCVBUF)]
        for what, args, kw, granted in cases:
            with self.subTest(what):
                d = self.daemon(args=args, clock=CLOCK)
                if kw.get("no_ipv6"):
                    d.env["LD_PRELOAD"] = d.env["LD_PRELOAD"] + " " + no_ipv6_lib()
                d.start()
                self.assertEqual(receive_buffer(d.port), granted)
                texts = d.log_texts()
                self.assertIn("startup: socket receive buffer %u bytes" % granted, texts)
                warnings = [t for t in texts if t.startswith("warning:")]
                if kw.get("no_ipv6"):
                    self.assertEqual(len(warnings), 1, warnings)
                    self.assertTrue(warnings[0].startswith("warning: IPv6 is not available"), warnings)
                else:
                    self.assertEqual(warnings, [])
                self.assertEqual(d.stop(), 0)


if __name__ == "__main__":
    harness.main()
