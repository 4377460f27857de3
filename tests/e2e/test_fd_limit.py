# SPDX-License-Identifier: BSD-2-Clause
"""At the open-file limit (64 soft and hard, --maxopen 59 as the usage text
offers it): the pool holds nearly every descriptor, yet a source whose file a
retention script removed is reopened, the metrics file is rewritten, and new
sources come through the full pool, with no record lost and no warning. A
link-local source, whose text needs the name of its interface, is stored the
same way (in network namespaces this test makes; skipped without them)."""

import os
import re
import socket
import time

import harness
import netns
from test_ipv6 import Ipv6TestCase, wait_link_up

LIMIT = 64
MAXOPEN = LIMIT - 5


def limited(d):
    d.argv = ["prlimit", "--nofile=%d:%d" % (LIMIT, LIMIT)] + d.argv
    return d


class FdLimitChecks:

    def assertNothingLost(self, d):
        texts = d.log_texts()
        self.assertEqual([t for t in texts if t.startswith(("drop", "warning"))], [],
                         "drop and warning lines at the limit")

    def metrics_received(self, path):
        with open(path) as f:
            m = re.search(r"^corvashenmir_received_datagrams_total (\d+)$", f.read(), re.M)
        return int(m.group(1))


class FdLimitTest(harness.DaemonTestCase, FdLimitChecks):
    """On the real clock: at the limit libfaketime could not read the file that
    holds its time. Each step waits for what the daemon writes."""

    def test_reopen_metrics_and_new_sources_at_the_limit(self):
        harness.avoid_hour_edge(0, margin=90)
        first = ["127.0.90.%d" % (i + 1) for i in range(MAXOPEN)]
        later = ["127.0.91.%d" % (i + 1) for i in range(70 - MAXOPEN)]
        d = self.daemon(sources=first + later)
        metrics = os.path.join(d.base, "m.prom")
        d.argv += ["--maxopen", str(MAXOPEN), "--metrics", metrics, "--maxopenspersec", "1000"]
        limited(d).start()
        with open("/proc/%d/limits" % d.pid) as f:
            line = next(l for l in f if l.startswith("Max open files"))
        self.assertEqual(line.split()[3:5], [str(LIMIT), str(LIMIT)], line)
        key = time.strftime("%Y%m%d%H", time.gmtime())
        sent = {a: [] for a in first + later}

        def round_of(addrs, n):
            for i, a in enumerate(addrs):
                data = b"<13>round %d of %s" % (n, a.encode())
                d.send(data, src=a)
                sent[a].append(data)
                if i % 20 == 19:
                    d.wait_drained()
            d.wait_drained()

        def written(a):
            """Every record sent so far from a is in its file."""
            try:
                with open(d.source_path(a, key), "rb") as f:
                    return f.read().count(b"\n") >= len(sent[a]) > 0
            except FileNotFoundError:
                return False

        # The pool fills; within about a second every file is written out.
        round_of(first, 0)
        harness.wait_for(lambda: all(written(a) for a in first), 10, "the first round written out")
        # A retention script takes one source's current file away; its next
        # write-out opens the file anew while the pool is full.
        victim = first[-1]
        os.unlink(d.source_path(victim, key))
        sent[victim] = []
        round_of(first, 1)
        harness.wait_for(lambda: written(victim), 10, "the removed file made anew")
        self.assertRecords(d.source_files(victim)[key], [harness.plain(victim, r) for r in sent[victim]])
        # Seventy sources through the pool, each new one at the limit.
        round_of(later + first, 2)
        total = sum(len(v) for v in sent.values()) + 1  # and the removed file's record
        harness.wait_for(lambda: self.metrics_received(metrics) == total, 25, "the metrics file rewritten")
        round_of(later, 3)
        harness.wait_for(lambda: self.metrics_received(metrics) == total + len(later), 25,
                         "the metrics file rewritten again")
        self.assertEqual(d.stop(), 0, "exit status of the daemon")

        for a, records in sent.items():
            files = d.source_files(a)
            self.assertEqual(sorted(files), [key], "files of %s" % a)
            self.assertRecords(files[key], [harness.plain(a, r) for r in records])
        self.assertNothingLost(d)


class FdLimitLinkLocalTest(Ipv6TestCase, FdLimitChecks):

    def test_link_local_source_at_the_limit(self):
        spaces = self.namespaces()
        here, there = spaces.add("fl"), spaces.add("fs")
        netns.run(["ip", "-n", here, "link", "add", "x0", "type", "veth", "peer", "name", "y0", "netns", there])
        netns.run(["ip", "-n", here, "addr", "add", "fe80::1/64", "dev", "x0", "nodad"])
        netns.run(["ip", "-n", there, "addr", "add", "fe80::7/64", "dev", "y0", "nodad"])
        netns.run(["ip", "-n", here, "link", "set", "x0", "up"])
        netns.run(["ip", "-n", there, "link", "set", "y0", "up"])
        netns.run(["ip", "-n", here, "link", "set", "lo", "up"])
        wait_link_up(here, "x0")
        wait_link_up(there, "y0")
        fillers = ["127.0.92.%d" % (i + 1) for i in range(MAXOPEN)]
        linklocal = "fe80::7%x0"
        d = self.daemon_in(here, sources=fillers + [linklocal],
                           args=["--maxopen", str(MAXOPEN), "--maxopenspersec", "1000"])
        d.argv = d.argv[:4] + ["prlimit", "--nofile=%d:%d" % (LIMIT, LIMIT)] + d.argv[4:]
        d.start()
        with netns.InNetns(here):
            for i, a in enumerate(fillers):
                s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                s.bind((a, 0))
                s.sendto(b"<13>filler %d" % i, ("127.0.0.1", d.port))
                s.close()
        self.wait_read(d, here, len(fillers))
        with netns.InNetns(there):
            s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
            self.addCleanup(s.close)
            scope = socket.if_nametoindex("y0")
            s.bind(("fe80::7", 0, 0, scope))
            s.sendto(b"<13>over the link", ("fe80::1", d.port, 0, scope))
        self.wait_read(d, here, len(fillers) + 1)
        self.assertEqual(d.stop(), 0)

        (key, content), = d.source_files(linklocal).items()
        self.assertRecords(content, [harness.plain(linklocal, b"<13>over the link")])
        for i, a in enumerate(fillers):
            self.assertRecords(d.source_files(a)[key], [harness.plain(a, b"<13>filler %d" % i)])
        self.assertNothingLost(d)


if __name__ == "__main__":
    harness.main()
