# SPDX-License-Identifier: BSD-2-Clause
"""Hourly rollover, with the daemon started a few seconds before the top of a
local hour (libfaketime): the old hour's file is complete, later datagrams go
to the new hour's file, and the old hour's statistics and fail reports are
written at the turn."""

import re

import harness

STORED = "127.0.20.1"
FAILING = "127.0.20.9"
CAPPED = "127.0.20.5"


class HourRolloverTest(harness.DaemonTestCase):

    def wait_rollover(self, d, timeout=15):
        """Waits for the first statistics line, which the rollover writes."""
        return harness.wait_for(
            lambda: [l for l in d.log_lines() if l.text.startswith("statistics:")], timeout,
            "the hourly rollover")

    def test_hour_rollover(self):
        d = self.daemon(sources=[STORED], tz="XYZ3:30", faketime="2026-03-05 21:59:55").start()
        self.assertRegex(d.log_lines()[0].stamp, r"\A2026-03-05T21:59:5\d\.\d{6}-03:30\Z")
        before = [b"<13>old hour one", b"<13>old hour two"]
        for data in before:
            d.send(data, src=STORED)
        d.send(b"lost before", src=FAILING)
        d.send(b"lost before", src=FAILING)
        d.wait_drained()

        self.wait_rollover(d)
        # Closed at the turn: the old hour's file is complete while the daemon runs on.
        old = d.source_files(STORED)
        self.assertEqual(sorted(old), ["2026030521"])
        for stamp in self.assertRecords(old["2026030521"], [harness.plain(STORED, t) for t in before]):
            self.assertRegex(stamp, r"\A2026-03-05T21:59:5\d\.\d{6}-03:30\Z")

        d.send(b"<13>new hour", src=STORED)
        d.send(b"lost after", src=FAILING)
        d.wait_drained()
        self.assertEqual(d.stop(), 0)

        files = d.source_files(STORED)
        self.assertEqual(sorted(files), ["2026030521", "2026030522"])
        self.assertEqual(files["2026030521"], old["2026030521"])
        for stamp in self.assertRecords(files["2026030522"], [harness.plain(STORED, b"<13>new hour")]):
            self.assertRegex(stamp, r"\A2026-03-05T22:00:\d\d\.\d{6}-03:30\Z")

        self.assertEqual(d.log_names(), ["corvashenmir-20260305"])
        lines = d.log_lines()
        texts = [l.text for l in lines]
        first = sum(map(len, before)) + 2 * len(b"lost before")
        self.assertEqual(texts[3:], [
            # Only the stored source opens a file; the one without a directory asks for none.
            harness.statistics_line(1, first),
            harness.fail_line(FAILING, 2),
            harness.statistics_line(1, len(b"<13>new hour") + len(b"lost after")),
            harness.fail_line(FAILING, 1),
            harness.shutdown_line(d.pid)])
        # The turn happens in the first second of the new hour.
        for line in lines[3:5]:
            self.assertRegex(line.stamp, r"\A2026-03-05T22:00:00\.\d{6}-03:30\Z")

    def test_daily_files_are_reopened_every_hour(self):
        d = self.daemon(args=["--split", "day", "--maxfilesize", "1", "--verbose"],
                        sources=[STORED, CAPPED], faketime="2026-03-05 21:59:55")
        # A daily file just below the cap: the first record fills it.
        nearly_old = b"n" * 999989 + b"\n"
        with open(d.source_path(CAPPED, "20260305"), "wb") as f:
            f.write(nearly_old)
        d.start()
        d.send(b"<13>before the turn", src=STORED)
        d.send(b"<13>fills the file", src=CAPPED)
        d.wait_drained()
        self.wait_rollover(d)
        d.send(b"<13>after the turn", src=STORED)
        d.send(b"<13>still capped", src=CAPPED)
        d.wait_drained()
        self.assertEqual(d.stop(), 0)

        files = d.source_files(STORED)
        self.assertEqual(sorted(files), ["20260305"])
        stamps = self.assertRecords(files["20260305"], [harness.plain(STORED, b"<13>before the turn"),
                                                        harness.plain(STORED, b"<13>after the turn")])
        self.assertRegex(stamps[0], r"\A2026-03-05T21:59:5\d\.\d{6}\+00:00\Z")
        self.assertRegex(stamps[1], r"\A2026-03-05T22:00:\d\d\.\d{6}\+00:00\Z")

        # Reopened at the next hour, the capped daily file stays capped without a second marker.
        capped = d.source_files(CAPPED)["20260305"]
        self.assertEqual(capped[:len(nearly_old)], nearly_old)
        self.assertRegex(capped[len(nearly_old):],
                         b"\\A" + harness.RFC_STAMP + re.escape(b" %s <13>fills the file\n" % CAPPED.encode())
                         + harness.RFC_STAMP + b" " + re.escape(harness.marker_line(CAPPED)) + b"\\Z")
        texts = d.log_texts()
        self.assertEqual(texts.count(harness.cap_drop_line(CAPPED)), 1)
        self.assertEqual([t for t in texts if t.startswith("statistics:")], [
            harness.statistics_line(2, len(b"<13>before the turn") + len(b"<13>fills the file")),
            harness.statistics_line(2, len(b"<13>after the turn") + len(b"<13>still capped"))])

        out = d.stdout_lines()
        self.assertEqual(out.count("OPEN %s/%s-20260305 OK" % (STORED, STORED)), 2)
        self.assertEqual(out.count("CLOSE %s" % STORED), 2)


if __name__ == "__main__":
    harness.main()
