# SPDX-License-Identifier: BSD-2-Clause
"""Sources without a directory below the root: not stored, counted per source
and reported at shutdown, ten sources one by one and the rest as one sum.
They never open a file or take a descriptor: the directory is looked up
first."""

import os

import harness

STORED = "127.0.10.1"
FAILING = ["127.0.10.%d" % (101 + i) for i in range(12)]


class FailReportTest(harness.DaemonTestCase):

    def test_failed_sources_are_reported_at_shutdown(self):
        d = self.daemon(args=["--verbose"], sources=[STORED]).start()
        f = FAILING
        # F1 three times, F2..F10 once, then with the table full F11 five times and
        # F12 twice (the sum), and F1 once more, still counted on its own.
        order = [f[0], STORED, f[0]] + f[1:10] + [f[10]] * 5 + [f[0], f[11], f[11]] + [STORED]
        for i, src in enumerate(order):
            d.send(b"datagram %d" % i, src=src)
        d.wait_drained()
        self.assertEqual(d.stop(), 0, "exit status of the daemon")

        nbytes = sum(len(b"datagram %d" % i) for i in range(len(order)))
        texts = d.log_texts()
        self.assertEqual(texts[3:], [harness.statistics_line(1, nbytes),
                                     harness.fail_line(f[0], 3)] +
                         [harness.fail_line(a, 1) for a in f[1:10]] +
                         ["drop: failed * 7 times",
                          harness.shutdown_line(d.pid)], "daemon log lines after start-up")

        (key,) = d.source_files(STORED)
        self.assertRecords(d.source_files(STORED)[key],
                           [harness.plain(STORED, b"datagram 1"),
                            harness.plain(STORED, b"datagram %d" % (len(order) - 1))])
        self.assertEqual(sorted(os.listdir(d.root)), sorted([STORED, "corvashenmir-" + key[:8]]),
                         "what the root directory holds")

        out = d.stdout_lines()
        for i, addr in enumerate(f):
            # No open is tried for a source without a directory.
            self.assertEqual([line for line in out if line.startswith("OPEN %s/" % addr)], [],
                             "opens tried for " + addr)
            self.assertEqual(out.count("Adding new fail report for %s" % addr), 1 if i < 10 else 0,
                             "fail reports made for " + addr)
        adding = [line for line in out if line.startswith("Adding new fail report for ")]
        self.assertEqual(adding, ["Adding new fail report for %s" % a for a in f[:10]], "fail reports made, in order")
        self.assertEqual(out.count("OPEN %s/%s-%s OK" % (STORED, STORED, key)), 1,
                         "opens of the stored source's file on stdout")
        # Under --verbose the fail lines are echoed too.
        self.assertIn("%s drop: failed * 7 times" % d.argv[0], out, "lines on stdout")


if __name__ == "__main__":
    harness.main()
