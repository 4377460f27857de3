# SPDX-License-Identifier: BSD-2-Clause
"""Change of the local date (and year), on a stopped clock (libfaketime) that
the test moves from the last second of a year to the first of the next: a new
day's daemon log is started, the last hour's statistics and fail reports go
into it, and per-source files move to the new day's key."""

import os

import harness

STORED = "127.0.21.1"
FAILING = "127.0.21.9"


LAST_SECOND = "2026-12-31 23:59:59"
FIRST_SECOND = "2027-01-01 00:00:00"


class DateChangeTest(harness.DaemonTestCase):

    def run_over_midnight(self, args, tz):
        d = self.daemon(args=args, sources=[STORED], tz=tz, clock=LAST_SECOND).start()
        d.send(b"<13>last of the year", src=STORED)
        d.send(b"lost", src=FAILING)
        d.wait_drained()
        d.set_clock(FIRST_SECOND)
        d.send(b"<13>first of the year", src=STORED)
        d.wait_drained()
        self.assertEqual(d.stop(), 0, "exit status of the daemon")
        return d

    def check_logs(self, d, offset_suffix):
        self.assertEqual(d.log_names(), ["corvashenmir-20261231", "corvashenmir-20270101"], "daemon logs")
        old = d.log_lines("corvashenmir-20261231")
        self.assertEqual([l.text for l in old], [harness.startup_line(d.pid),
                                                 d.log_texts()[1],
                                                 harness.initialized_line(d.port)], "lines of the old day's log")
        for line in old:
            self.assertRegex(line.stamp, r"\A2026-12-31T23:59:59\.\d{6}%s\Z" % offset_suffix,
                             "stamp of %r" % line.text)
        new = d.log_lines("corvashenmir-20270101")
        self.assertEqual([l.text for l in new], [
            harness.statistics_line(1, len(b"<13>last of the year") + len(b"lost")),
            harness.fail_line(FAILING, 1),
            harness.statistics_line(1, len(b"<13>first of the year")),
            harness.shutdown_line(d.pid)], "lines of the new day's log")
        for line in new:
            self.assertRegex(line.stamp, r"\A2027-01-01T00:00:00\.\d{6}%s\Z" % offset_suffix,
                             "stamp of %r" % line.text)

    def test_date_change_with_daily_files(self):
        d = self.run_over_midnight(["--split", "day"], "ABC-5:45")
        self.check_logs(d, r"\+05:45")
        files = d.source_files(STORED)
        self.assertEqual(sorted(files), ["20261231", "20270101"], "files of the source")
        self.assertRecords(files["20261231"], [harness.plain(STORED, b"<13>last of the year")])
        self.assertRecords(files["20270101"], [harness.plain(STORED, b"<13>first of the year")])

    def test_date_change_with_hourly_files(self):
        d = self.run_over_midnight([], "XYZ3:30")
        self.check_logs(d, "-03:30")
        files = d.source_files(STORED)
        self.assertEqual(sorted(files), ["2026123123", "2027010100"], "files of the source")
        self.assertRecords(files["2026123123"], [harness.plain(STORED, b"<13>last of the year")])
        self.assertRecords(files["2027010100"], [harness.plain(STORED, b"<13>first of the year")])

    def test_new_daemon_log_that_cannot_be_opened_is_fatal_and_loses_no_record(self):
        # A directory where the new day's daemon log should go makes the reopen at
        # midnight fail. The exit must still write out what the old hour's file buffered.
        d = self.daemon(sources=[STORED], clock=LAST_SECOND,
                        expect_fatal=[r"could not open local daemon log file: Is a directory"])
        os.mkdir(os.path.join(d.root, "corvashenmir-20270101"))
        d.start()
        d.send(b"<13>buffered before midnight", src=STORED)
        d.wait_drained()
        # The daemon ends at the turn: nothing to wait for but its exit.
        d.set_clock(FIRST_SECOND, wait=False)
        self.assertEqual(d.wait_exit(20), 1, "exit status of the daemon")
        # The log was closed for the reopen, so the line went to stderr, its echo to stdout.
        self.assertRegex(d.stderr(), rb"\A2027-01-01T00:00:00\.\d{6}\+00:00 fatal: could not open local "
                         rb"daemon log file: Is a directory\n\Z", "what the daemon wrote on stderr")
        self.assertIn("%s fatal: could not open local daemon log file: Is a directory" % d.argv[0],
                      d.stdout_lines(), "lines the daemon wrote on stdout")
        self.assertRecords(d.source_files(STORED)["2026123123"],
                           [harness.plain(STORED, b"<13>buffered before midnight")])

if __name__ == "__main__":
    harness.main()
