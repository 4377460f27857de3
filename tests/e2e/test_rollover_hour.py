# SPDX-License-Identifier: BSD-2-Clause
"""Hourly rollover, on a stopped clock (libfaketime) that the test moves from
the last second of a local hour to the first of the next: the old hour's file
is complete, later datagrams go to the new hour's file, and the old hour's
statistics and fail reports are written at the turn."""

import re

import harness

STORED = "127.0.20.1"
FAILING = "127.0.20.9"
CAPPED = "127.0.20.5"


class HourRolloverTest(harness.DaemonTestCase):

    def test_hour_rollover(self):
        d = self.daemon(sources=[STORED], tz="XYZ3:30", clock="2026-03-05 21:59:59").start()
        self.assertRegex(d.log_lines()[0].stamp, r"\A2026-03-05T21:59:59\.\d{6}-03:30\Z", "stamp of the first line")
        before = [b"<13>old hour one", b"<13>old hour two"]
        for data in before:
            d.send(data, src=STORED)
        d.send(b"lost before", src=FAILING)
        d.send(b"lost before", src=FAILING)
        d.wait_drained()

        d.set_clock("2026-03-05 22:00:00")
        # Closed at the turn: the old hour's file is complete while the daemon runs on.
        old = d.source_files(STORED)
        self.assertEqual(sorted(old), ["2026030521"], "files of the source after the turn")
        for stamp in self.assertRecords(old["2026030521"], [harness.plain(STORED, t) for t in before]):
            self.assertRegex(stamp, r"\A2026-03-05T21:59:59\.\d{6}-03:30\Z", "stamp of an old hour's record")

        d.send(b"<13>new hour", src=STORED)
        d.send(b"lost after", src=FAILING)
        d.wait_drained()
        self.assertEqual(d.stop(), 0, "exit status of the daemon")

        files = d.source_files(STORED)
        self.assertEqual(sorted(files), ["2026030521", "2026030522"], "files of the source after the stop")
        self.assertEqual(files["2026030521"], old["2026030521"], "the old hour's file after the stop")
        for stamp in self.assertRecords(files["2026030522"], [harness.plain(STORED, b"<13>new hour")]):
            self.assertRegex(stamp, r"\A2026-03-05T22:00:00\.\d{6}-03:30\Z", "stamp of the new hour's record")

        self.assertEqual(d.log_names(), ["corvashenmir-20260305"], "daemon logs")
        lines = d.log_lines()
        texts = [l.text for l in lines]
        first = sum(map(len, before)) + 2 * len(b"lost before")
        self.assertEqual(texts[3:], [
            # Only the stored source opens a file; the one without a directory asks for none.
            harness.statistics_line(1, first),
            harness.fail_line(FAILING, 2),
            harness.statistics_line(1, len(b"<13>new hour") + len(b"lost after")),
            harness.fail_line(FAILING, 1),
            harness.shutdown_line(d.pid)], "daemon log lines after start-up")
        # The turn happens in the first second of the new hour.
        for line in lines[3:5]:
            self.assertRegex(line.stamp, r"\A2026-03-05T22:00:00\.\d{6}-03:30\Z", "stamp of %r" % line.text)

    def test_daily_files_are_reopened_every_hour(self):
        d = self.daemon(args=["--split", "day", "--maxfilesize", "1", "--verbose"],
                        sources=[STORED, CAPPED], clock="2026-03-05 21:59:59")
        # A daily file just below the cap: the first record fills it.
        nearly_old = b"n" * 999989 + b"\n"
        with open(d.source_path(CAPPED, "20260305"), "wb") as f:
            f.write(nearly_old)
        d.start()
        d.send(b"<13>before the turn", src=STORED)
        d.send(b"<13>fills the file", src=CAPPED)
        d.wait_drained()
        d.set_clock("2026-03-05 22:00:00")
        d.send(b"<13>after the turn", src=STORED)
        d.send(b"<13>still capped", src=CAPPED)
        d.wait_drained()
        self.assertEqual(d.stop(), 0, "exit status of the daemon")

        files = d.source_files(STORED)
        self.assertEqual(sorted(files), ["20260305"], "files of the source")
        stamps = self.assertRecords(files["20260305"], [harness.plain(STORED, b"<13>before the turn"),
                                                        harness.plain(STORED, b"<13>after the turn")])
        self.assertRegex(stamps[0], r"\A2026-03-05T21:59:59\.\d{6}\+00:00\Z", "stamp of the record before the turn")
        self.assertRegex(stamps[1], r"\A2026-03-05T22:00:00\.\d{6}\+00:00\Z", "stamp of the record after the turn")

        # Reopened at the next hour, the capped daily file stays capped without a second marker.
        capped = d.source_files(CAPPED)["20260305"]
        self.assertEqual(capped[:len(nearly_old)], nearly_old, "the capped file's earlier content")
        self.assertRegex(capped[len(nearly_old):],
                         b"\\A" + harness.RFC_STAMP + re.escape(b" %s <13>fills the file\n" % CAPPED.encode())
                         + harness.RFC_STAMP + b" " + re.escape(harness.marker_line(CAPPED)) + b"\\Z",
                         "what the run added to the capped file")
        texts = d.log_texts()
        self.assertEqual(texts.count(harness.cap_drop_line(CAPPED)), 1, "cap lines of the capped source")
        self.assertEqual([t for t in texts if t.startswith("statistics:")], [
            harness.statistics_line(2, len(b"<13>before the turn") + len(b"<13>fills the file")),
            harness.statistics_line(2, len(b"<13>after the turn") + len(b"<13>still capped"))],
            "statistics lines")

        out = d.stdout_lines()
        self.assertEqual(out.count("OPEN %s/%s-20260305 OK" % (STORED, STORED)), 2, "opens of the source's file")
        self.assertEqual(out.count("CLOSE %s" % STORED), 2, "closes of the source's file")

if __name__ == "__main__":
    harness.main()
