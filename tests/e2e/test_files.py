# SPDX-License-Identifier: BSD-2-Clause
"""Per-source files and the daemon log on disk: names by hourly and daily key,
stamps in both styles and several zones, permissions from the umask, and the
size cap with its marker line."""

import os
import re
import stat

import harness

SRC = "127.0.6.1"


class NamesAndStampsTest(harness.DaemonTestCase):

    def test_keys_and_stamps(self):
        # The daemon's clock is stopped at a fixed local time (libfaketime).
        # (time, zone, options, stamp up to the minute, offset suffix, file key, daemon log date)
        cases = [
            ("2031-03-05 22:07:09", "XYZ3:30", [],
             b"2031-03-05T22:07:", b"-03:30", "2031030522", "20310305"),
            # East of UTC just after New Year: UTC is still in the old year.
            ("2027-01-01 02:00:00", "ABC-5:45", ["--split", "day"],
             b"2027-01-01T02:00:", b"+05:45", "20270101", "20270101"),
            ("2026-03-05 09:41:07", "UTC0", ["--oldtimestamp"],
             b"Mar  5 09:41:", b"", "2026030509", "20260305"),
            ("2026-11-15 23:10:00", "UTC0", ["--oldtimestamp", "--splitday"],
             b"Nov 15 23:10:", b"", "20261115", "20261115"),
        ]
        for start, tz, args, minute, suffix, key, logdate in cases:
            with self.subTest(start=start, tz=tz, args=args):
                d = self.daemon(args=args, sources=[SRC], tz=tz, clock=start).start()
                d.send(b"<13>stamp check", src=SRC)
                d.wait_drained()
                self.assertEqual(d.stop(), 0, "exit status of the daemon")

                old = "--oldtimestamp" in args
                stamp_re = re.escape(minute + start[-2:].encode()) + (b"" if old else rb"\.\d{6}") + \
                    re.escape(suffix)

                def check_stamp(stamp, what):
                    self.assertRegex(stamp.encode(), b"\\A" + stamp_re + b"\\Z", "stamp of " + what)

                self.assertEqual(sorted(d.source_files(SRC)), [key], "files of the source")
                stamps = self.assertRecords(d.source_files(SRC)[key],
                                            [harness.plain(SRC, b"<13>stamp check")], old=old)
                check_stamp(stamps[0], "the record")
                self.assertEqual(d.log_names(), ["corvashenmir-" + logdate], "daemon logs")
                lines = d.log_lines()
                self.assertEqual(lines[-1].text, harness.shutdown_line(d.pid), "the daemon log's last line")
                for line in lines:
                    check_stamp(line.stamp, repr(line.text))
                # Nothing else appears in the root: the daemon creates no directories.
                self.assertEqual(sorted(os.listdir(d.root)), sorted([SRC, "corvashenmir-" + logdate]),
                                 "what the root directory holds")

    def test_file_modes_follow_the_umask(self):
        for args, mode, umask_line in [([], 0o600, None),
                                       (["--umask", "022"], 0o644, "umask: 00000012"),
                                       (["--umask", "0"], 0o666, "umask: 00000000")]:
            with self.subTest(args=args):
                d = self.daemon(args=args, sources=[SRC]).start()
                d.send(b"mode check", src=SRC)
                d.wait_drained()
                # The pid file is always written under its own mask.
                self.assertEqual(stat.S_IMODE(os.stat(d.pidfile).st_mode), 0o600, "mode of the pid file")
                self.assertEqual(d.stop(), 0, "exit status of the daemon")
                (key,) = d.source_files(SRC)
                self.assertEqual(stat.S_IMODE(os.stat(d.source_path(SRC, key)).st_mode), mode,
                                 "mode of the per-source file")
                (log,) = d.log_names()
                self.assertEqual(stat.S_IMODE(os.stat(os.path.join(d.root, log)).st_mode), mode,
                                 "mode of the daemon log")
                if umask_line:
                    self.assertEqual(d.stdout_lines()[0], umask_line, "the first line on stdout")


class SizeCapTest(harness.DaemonTestCase):
    CAP = 1000000
    START = "2026-04-01 10:20:00"
    KEY = "2026040110"

    def test_cap_stops_the_file_with_a_marker(self):
        fresh, nearly, full = "127.0.6.11", "127.0.6.12", "127.0.6.13"
        d = self.daemon(args=["--maxfilesize", "1"], sources=[fresh, nearly, full],
                        clock=self.START)
        # Files of this hour already there: one just below the cap, one at it.
        nearly_old = (b"z" * 99 + b"\n") * 9999 + b"z" * 89 + b"\n"       # 999,990 bytes
        full_old = b"f" * (self.CAP - 1) + b"\n"
        for addr, data in ((nearly, nearly_old), (full, full_old)):
            with open(d.source_path(addr, self.KEY), "wb") as f:
                f.write(data)
        d.start()

        # Records of 32 + 1 + 10 + 1 + 7000 + 1 = 7045 bytes: the 142nd crosses the cap.
        texts = [b"%05d" % i + b"y" * 6995 for i in range(160)]
        for start in range(0, len(texts), 10):
            for t in texts[start:start + 10]:
                d.send(t, src=fresh)
            d.wait_drained()
        # The line that crosses the cap is written, the rest of the datagram is dropped.
        d.send(b"over the cap\nsecond line\nthird", src=nearly)
        d.send(b"dropped silently", src=nearly)
        d.send(b"nothing for a full file", src=full)
        d.sync()

        # Reopened after the hangups, the capped files take their length from disk
        # again and stay capped without a second marker.
        d.send(b"after reopen", src=fresh)
        d.send(b"after reopen", src=full)
        d.wait_drained()
        self.assertEqual(d.stop(), 0, "exit status of the daemon")

        n = -(-self.CAP // 7045)  # 142
        content = d.source_files(fresh)[self.KEY]
        self.assertRecords(content[:n * 7045], [harness.plain(fresh, t) for t in texts[:n]])
        self.assertRegex(content[n * 7045:], b"\\A" + harness.RFC_STAMP + b" " +
                         re.escape(harness.marker_line(fresh)) + b"\\Z",
                         "what follows the records that reach the cap in the fresh file")

        content = d.source_files(nearly)[self.KEY]
        self.assertEqual(content[:len(nearly_old)], nearly_old, "the nearly full file's earlier content")
        self.assertRegex(content[len(nearly_old):],
                         b"\\A" + harness.RFC_STAMP + b" " + re.escape(b"%s over the cap\n" % nearly.encode()) +
                         harness.RFC_STAMP + b" " + re.escape(harness.marker_line(nearly)) + b"\\Z",
                         "what the run added to the nearly full file")

        self.assertEqual(d.source_files(full)[self.KEY], full_old, "the full file after the run")

        texts_log = d.log_texts()
        self.assertEqual(texts_log.count(harness.cap_drop_line(fresh)), 1, "cap lines of the fresh file's source")
        self.assertEqual(texts_log.count(harness.cap_drop_line(nearly)), 1,
                         "cap lines of the nearly full file's source")
        self.assertEqual([t for t in texts_log if t.startswith("drop: maximum")],
                         [harness.cap_drop_line(fresh), harness.cap_drop_line(nearly)], "cap lines of the daemon log")
        # fresh and nearly opened once each before the hangups, fresh and full after them.
        nbytes = 160 * 7000 + len(b"over the cap\nsecond line\nthird") + len(b"dropped silently") + \
            len(b"nothing for a full file") + 2 * len(b"after reopen")
        # Datagrams past the cap are counted per file and reported when it closes, last
        # opened first: 18 of fresh's 160 texts, one each of nearly and full before the
        # hangup, and the two sent after it at shutdown, after the shutdown line.
        def discarded(addr, n):
            return "drop: discarded %d datagrams of %s after maximum file length (%d)" % (n, addr, self.CAP)
        self.assertEqual([t for t in texts_log if t.startswith("drop: discarded")],
                         [discarded(full, 1), discarded(nearly, 1), discarded(fresh, 160 - n),
                          discarded(full, 1), discarded(fresh, 1)], "discard lines of the daemon log")
        self.assertEqual(texts_log[-4:-2], [harness.statistics_line(5, nbytes), harness.shutdown_line(d.pid)],
                         "the shutdown's statistics and shutdown lines")

    def test_default_cap_is_2000_megabytes(self):
        # A sparse file a few bytes below 2,000,000,000 bytes takes no room on disk.
        default_cap = 2000000000
        d = self.daemon(sources=[SRC], clock=self.START)
        path = d.source_path(SRC, self.KEY)
        with open(path, "wb") as f:
            f.truncate(default_cap - 10)
        d.start()
        d.send(b"crosses the default cap", src=SRC)
        d.send(b"after the cap", src=SRC)
        d.wait_drained()
        self.assertEqual(d.stop(), 0, "exit status of the daemon")

        with open(path, "rb") as f:
            f.seek(default_cap - 10)
            added = f.read()
        self.assertRegex(added, b"\\A" + harness.RFC_STAMP + re.escape(b" %s crosses the default cap\n" % SRC.encode())
                         + harness.RFC_STAMP + b" " + re.escape(harness.marker_line(SRC, default_cap)) + b"\\Z",
                         "what the run added to the file")
        texts = d.log_texts()
        self.assertIn(harness.cap_drop_line(SRC, default_cap), texts, "daemon log lines")
        self.assertIn("drop: discarded 1 datagrams of %s after maximum file length (%d)" % (SRC, default_cap),
                      texts, "daemon log lines")


if __name__ == "__main__":
    harness.main()
