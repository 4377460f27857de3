# SPDX-License-Identifier: BSD-2-Clause
"""Signals: SIGHUP flushes and reopens while running, which rotates the
daemon log and the per-source files; SIGTERM or SIGINT during start-up is
remembered and ends in an orderly shutdown; a second stop signal ends the
process by the default action, in start-up or in the stop's drain."""

import os
import signal

import harness


class HangupTest(harness.DaemonTestCase):

    def test_hangup_puts_files_on_disk_and_goes_on(self):
        src, failing = "127.0.9.1", "127.0.9.9"
        d = self.daemon(args=["--verbose"], sources=[src]).start()
        first = [b"<14>before hangup one", b"<14>before hangup two"]
        for data in first:
            d.send(data, src=src)
        d.send(b"no directory", src=failing)
        d.sync()

        # While the daemon runs, the file is complete on disk.
        self.assertTrue(d.alive(), "the daemon ended at a hangup (state %s)" % d.state())
        files = d.source_files(src)
        self.assertEqual(len(files), 1, "files of the source: %s" % sorted(files))
        key, content = files.popitem()
        self.assertRecords(content, [harness.plain(src, t) for t in first])

        # Later datagrams reopen the same file and append to it.
        d.send(b"<14>after hangup", src=src)
        d.send(b"no directory again", src=failing)
        d.sync()
        self.assertRecords(d.source_files(src)[key],
                           [harness.plain(src, t) for t in first + [b"<14>after hangup"]])

        self.assertEqual(d.stop(), 0, "exit status of the daemon")
        texts = d.log_texts()
        # Each hangup logs its two lines one after the other; two hangups (two syncs).
        hup_at = [i for i, t in enumerate(texts) if t == harness.SIGHUP_LINES[0]]
        self.assertEqual(len(hup_at), 2, "hangup lines in the daemon log %r" % texts)
        for i in hup_at:
            self.assertEqual(texts[i + 1], harness.SIGHUP_LINES[1], "the line after a hangup's first")
        # A hangup leaves the statistics and the fail reports alone: they come at the end,
        # covering the whole run. The stored source opened its file twice; the source
        # without a directory never asked for an open.
        nbytes = sum(map(len, first)) + len(b"<14>after hangup") + len(b"no directory") + \
            len(b"no directory again")
        self.assertEqual(texts.count(harness.statistics_line(2, nbytes)), 1,
                         "statistics lines of the whole run in %r" % texts)
        self.assertEqual(texts[-3:], [harness.statistics_line(2, nbytes),
                                      harness.fail_line(failing, 2),
                                      harness.shutdown_line(d.pid)], "the daemon log's last lines")

        out = d.stdout_lines()
        self.assertEqual(out.count("sighandler: got SIGHUP"), 2, "hangup handler lines on stdout")
        self.assertEqual(out.count("sighandler: got SIGTERM/SIGINT"), 1, "stop handler lines on stdout")
        path = "%s/%s-%s" % (src, src, key)
        self.assertEqual(out.count("OPEN %s OK" % path), 2, "opens of the source's file on stdout")
        # A source without a directory takes no descriptor: no open, nothing to close.
        self.assertEqual([line for line in out if line.startswith("OPEN %s/" % failing)], [],
                         "opens tried for the source without a directory")
        # The fail report is made once per period, at the source's first failure.
        self.assertEqual(out.count("Adding new fail report for %s" % failing), 1, "fail reports made")
        # Closed at the hangup after each open; nothing at shutdown, since nothing was
        # open then.
        self.assertEqual(out.count("CLOSE %s" % src), 2, "closes of the source's file on stdout")
        self.assertEqual(out.count("CLOSE %s" % failing), 0, "closes of the source without a directory")
        for t in harness.SIGHUP_LINES:
            self.assertEqual(out.count("%s %s" % (d.argv[0], t)), 2, "echoes of %r on stdout" % t)

    def test_rotation_by_rename_then_hangup(self):
        # As a log rotation does it: rename the daemon log and a source's file, then hang up.
        src = "127.0.9.2"
        d = self.daemon(sources=[src], clock="2026-10-11 12:13:14").start()
        key = d.key()
        log = os.path.join(d.root, "corvashenmir-" + d.key("day"))
        for i in range(5):
            d.send(harness.numbered(i), src=src)
        d.wait_drained()
        os.rename(log, log + ".1")
        os.rename(d.source_path(src, key), d.source_path(src, key) + ".1")

        # Until the hangup the daemon writes on to the renamed files, a write-out included.
        for i in range(5, 10):
            d.send(harness.numbered(i), src=src)
        d.wait_drained()
        d.advance()
        files = d.source_files(src)
        self.assertEqual(sorted(files), [key + ".1"], "files of the source before the hangup")
        self.assertEqual(harness.numbered_in(files[key + ".1"], src), list(range(10)),
                         "records in the renamed file after a write-out")

        d.hup()
        # The renamed files are complete; new ones begin under the old names.
        with open(log + ".1", "rb") as f:
            rotated_log = f.read()
        self.assertEqual([l.text for l in harness.parse_log_lines(rotated_log)],
                         [harness.startup_line(d.pid), harness.settings_line(os.path.realpath(d.root), d.port),
                          harness.initialized_line(d.port), harness.SIGHUP_LINES[0]],
                         "lines of the renamed daemon log after the hangup")
        self.assertEqual(d.log_texts(os.path.basename(log)), [harness.SIGHUP_LINES[1]],
                         "lines of the new daemon log after the hangup")
        rotated = d.source_files(src)[key + ".1"]
        self.assertEqual(harness.numbered_in(rotated, src), list(range(10)),
                         "records in the renamed file after the hangup")

        for i in range(10, 15):
            d.send(harness.numbered(i), src=src)
        d.wait_drained()
        self.assertEqual(d.stop(), 0, "exit status of the daemon")
        files = d.source_files(src)
        self.assertEqual(sorted(files), [key, key + ".1"], "files of the source after the stop")
        self.assertEqual(files[key + ".1"], rotated, "the renamed file after the stop")
        self.assertEqual(harness.numbered_in(files[key], src), list(range(10, 15)),
                         "records in the file begun after the hangup")
        with open(log + ".1", "rb") as f:
            self.assertEqual(f.read(), rotated_log, "the renamed daemon log after the stop")
        # The file was opened twice in the period: at the first datagram and after the hangup.
        self.assertEqual(d.log_texts(os.path.basename(log)),
                         [harness.SIGHUP_LINES[1], harness.statistics_line(2, 15 * 100),
                          harness.shutdown_line(d.pid)], "lines of the new daemon log after the stop")


class StopSignalTest(harness.DaemonTestCase):
    """The pid file is made a FIFO, so the daemon blocks when it opens it (to write its
    pid at start-up, or to wipe it at shutdown) until a reader comes. That holds it in
    start-up or shutdown long enough to deliver signals there."""

    def blocked_daemon(self):
        return self.daemon(args=["--verbose"]).launch_held()

    def handler_seen(self, d, count):
        harness.wait_for(lambda: d.stdout_lines().count("sighandler: got SIGTERM/SIGINT") >= count,
                         20, "the stop signal handler's line on stdout")

    def test_second_stop_signal_ends_the_process_at_once(self):
        for first, second in [(signal.SIGTERM, signal.SIGTERM), (signal.SIGINT, signal.SIGTERM),
                              (signal.SIGTERM, signal.SIGINT)]:
            with self.subTest(first=first.name, second=second.name):
                d = self.blocked_daemon()
                d.send_signal(first)
                self.handler_seen(d, 1)
                self.assertTrue(d.alive(), "the first stop signal must not end a blocked daemon")
                d.send_signal(second)
                self.assertEqual(d.wait_exit(20), -second,
                                 "exit status after the second stop signal: its default action")

    def test_second_stop_signal_in_the_drain_ends_the_process_at_once(self):
        # The daemon is held in its stop's drain: its log is made a FIFO that is kept
        # full, and a datagram queued behind others fills a capped file, so the drain
        # blocks writing the cap's line until the second stop signal ends it.
        src = "127.0.9.4"
        cap = 1000000
        for first in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(first=first.name):
                d = self.daemon(args=["--maxfilesize", "1"], sources=[src], clock="2026-10-11 12:13:14")
                # Records of 32 + 1 + len(src) + 1 + 100 + 1 bytes: the seventh reaches the cap.
                record = 35 + len(src) + 100
                with open(d.source_path(src, d.key()), "wb") as f:
                    f.write(b"p" * (cap - 7 * record - 1) + b"\n")
                d.start()

                log = os.path.join(d.root, "corvashenmir-" + d.key("day"))
                os.rename(log, log + ".old")
                os.mkfifo(log)
                reader = os.open(log, os.O_RDONLY | os.O_NONBLOCK)
                self.addCleanup(os.close, reader)
                d.send_signal(signal.SIGHUP)
                got = []

                def back():
                    try:
                        got.append(os.read(reader, 65536))
                    except BlockingIOError:
                        pass
                    return harness.SIGHUP_LINES[1].encode() in b"".join(got)

                harness.wait_for(back, 20, "the hangup's line in the daemon log, now a FIFO")
                writer = os.open(log, os.O_WRONLY | os.O_NONBLOCK)
                self.addCleanup(os.close, writer)
                for size in (65536, 1):
                    try:
                        while True:
                            os.write(writer, b"f" * size)
                    except BlockingIOError:
                        pass

                d.send_signal(signal.SIGSTOP)
                try:
                    harness.wait_for(lambda: d.state() == "T", 20, "the daemon to stop")
                    for i in range(20):
                        d.send(harness.numbered(i), src=src)
                    d.send_signal(first)
                finally:
                    d.send_signal(signal.SIGCONT)
                # At most one datagram is routed before the loop sees the stop; the seventh
                # is routed in the drain.
                harness.wait_for(lambda: d.writing_to(log), 20,
                                 "the daemon to block writing the cap's line to its full log")
                self.assertEqual(d.read_pidfile(), b"%d\n" % d.pid, "pid file while the drain is held")
                d.send_signal(signal.SIGTERM)
                self.assertEqual(d.wait_exit(20), -signal.SIGTERM,
                                 "exit status after the second stop signal: its default action")
                self.assertEqual(d.read_pidfile(), b"%d\n" % d.pid, "pid file after the process ended")

    def test_stop_during_startup_finishes_startup_then_shuts_down(self):
        d = self.blocked_daemon()
        d.send_signal(signal.SIGTERM)
        self.handler_seen(d, 1)
        fd = d.release()
        try:
            self.assertEqual(d.wait_exit(20), 0, "exit status of the daemon")
        finally:
            os.close(fd)
        texts = d.log_texts()
        # Start-up ran to its end, then the loop was skipped: nothing was counted.
        self.assertEqual(texts[0], harness.startup_line(d.pid), "the daemon log's first line")
        self.assertEqual(texts[-3:], [harness.initialized_line(d.port),
                                      harness.statistics_line(0, 0),
                                      harness.shutdown_line(d.pid)], "the daemon log's last lines")
        self.assertNotIn(harness.SIGHUP_LINES[0], texts, "daemon log lines")


if __name__ == "__main__":
    harness.main()
