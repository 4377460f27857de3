# SPDX-License-Identifier: BSD-2-Clause
"""Descriptor pool: with more active sources than --maxopen, files are closed
at random to make room and reopened later, and no stored record is lost."""

import harness

ROUNDS = 4
MAXOPEN = 5


class EvictionTest(harness.DaemonTestCase):

    def test_every_record_survives_eviction(self):
        addrs = ["127.0.15.%d" % (i + 1) for i in range(12)]
        failing = "127.0.15.200"
        d = self.daemon(args=["--maxopen", str(MAXOPEN), "--verbose"], sources=addrs).start()
        for r in range(ROUNDS):
            for a in addrs:
                d.send(b"<13>round %d from %s" % (r, a.encode()), src=a)
            d.send(b"no directory", src=failing)
        d.wait_drained()
        self.assertEqual(d.stop(), 0, "exit status of the daemon")

        for a in addrs:
            files = d.source_files(a)
            self.assertEqual(len(files), 1, "files of %s: %s" % (a, sorted(files)))
            key, content = files.popitem()
            self.assertRecords(content, [harness.plain(a, b"<13>round %d from %s" % (r, a.encode()))
                                         for r in range(ROUNDS)])

        out = d.stdout_lines()
        opens = [line for line in out if line.startswith("OPEN ")]
        ok = [line for line in opens if line.endswith(" OK")]
        failed = [line for line in opens if line.endswith(" FAILED!")]
        self.assertEqual(len(ok) + len(failed), len(opens), opens)
        for line in ok:
            addr = line.split()[1].split("/")[0]
            self.assertIn(addr, addrs, "source of an open on stdout")
            self.assertEqual(line, "OPEN %s/%s-%s OK" % (addr, addr, key), "an open on stdout")
        forced = [line for line in out if line.startswith("FORCECLOSE ")]
        closed = [line for line in out if line.startswith("CLOSE ")]
        # After the first round only five sources can hold a file, so each later round
        # reopens at least seven.
        self.assertGreaterEqual(len(ok), len(addrs) + (len(addrs) - MAXOPEN) * (ROUNDS - 1),
                                "opens on stdout: at least the first round's and the reopens of each later one")
        # Every open file is closed exactly once: evicted (traced FORCECLOSE) or closed
        # at shutdown (CLOSE, with nothing but the failed source otherwise closed).
        ok_closed = [line for line in closed if line != "CLOSE " + failing]
        self.assertEqual(len(forced) + len(ok_closed), len(ok),
                         "evictions and closes at shutdown against opens: each open file closed once")
        self.assertLessEqual(len(closed), MAXOPEN, "files closed at shutdown")
        self.assertEqual(len(d.log_texts()), 6, "daemon log lines: %r" % d.log_texts())
        nbytes = sum(len(b"<13>round %d from %s" % (r, a.encode())) for r in range(ROUNDS) for a in addrs) \
            + ROUNDS * len(b"no directory")
        self.assertEqual(d.log_texts()[3], harness.statistics_line(len(opens), nbytes), "the shutdown's statistics")
        # The failed source keeps failing without new attempts while its descriptor lives;
        # an eviction may take it, and then it is tried again.
        self.assertEqual(d.log_texts()[4], harness.fail_line(failing, ROUNDS), "fail report of the failed source")


if __name__ == "__main__":
    harness.main()
