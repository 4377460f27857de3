# SPDX-License-Identifier: BSD-2-Clause
"""Signals: SIGHUP flushes and reopens while running; SIGTERM or SIGINT during
start-up is remembered and ends in an orderly shutdown; a second stop signal
ends the process by the default action."""

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
        self.assertTrue(d.alive())
        files = d.source_files(src)
        self.assertEqual(len(files), 1)
        key, content = files.popitem()
        self.assertRecords(content, [harness.plain(src, t) for t in first])

        # Later datagrams reopen the same file and append to it.
        d.send(b"<14>after hangup", src=src)
        d.send(b"no directory again", src=failing)
        d.sync()
        self.assertRecords(d.source_files(src)[key],
                           [harness.plain(src, t) for t in first + [b"<14>after hangup"]])

        self.assertEqual(d.stop(), 0)
        texts = d.log_texts()
        # Each hangup logs its two lines one after the other; two hangups (two syncs).
        hup_at = [i for i, t in enumerate(texts) if t == harness.SIGHUP_LINES[0]]
        self.assertEqual(len(hup_at), 2)
        for i in hup_at:
            self.assertEqual(texts[i + 1], harness.SIGHUP_LINES[1])
        # A hangup leaves the statistics and the fail reports alone: they come at the end,
        # covering the whole run. The stored source opened its file twice; the source
        # without a directory never asked for an open.
        nbytes = sum(map(len, first)) + len(b"<14>after hangup") + len(b"no directory") + \
            len(b"no directory again")
        self.assertEqual(texts.count(harness.statistics_line(2, nbytes)), 1)
        self.assertEqual(texts[-3:], [harness.statistics_line(2, nbytes),
                                      harness.fail_line(failing, 2),
                                      harness.shutdown_line(d.pid)])

        out = d.stdout_lines()
        self.assertEqual(out.count("sighandler: got SIGHUP"), 2)
        self.assertEqual(out.count("sighandler: got SIGTERM/SIGINT"), 1)
        path = "%s/%s-%s" % (src, src, key)
        self.assertEqual(out.count("OPEN %s OK" % path), 2)
        # A source without a directory takes no descriptor: no open, nothing to close.
        self.assertFalse([line for line in out if line.startswith("OPEN %s/" % failing)])
        # The fail report is made once per period, at the source's first failure.
        self.assertEqual(out.count("Adding new fail report for %s" % failing), 1)
        # Closed at the hangup after each open; nothing at shutdown, since nothing was
        # open then.
        self.assertEqual(out.count("CLOSE %s" % src), 2)
        self.assertEqual(out.count("CLOSE %s" % failing), 0)
        for t in harness.SIGHUP_LINES:
            self.assertEqual(out.count("%s %s" % (d.argv[0], t)), 2)


class StopSignalTest(harness.DaemonTestCase):
    """The pid file is made a FIFO, so the daemon blocks when it opens it (to write its
    pid at start-up, or to wipe it at shutdown) until a reader comes. That holds it in
    start-up or shutdown long enough to deliver signals there."""

    def blocked_daemon(self):
        return self.daemon(args=["--verbose"]).launch_held()

    def handler_seen(self, d, count):
        try:
            harness.wait_for(lambda: d.stdout_lines().count("sighandler: got SIGTERM/SIGINT") >= count,
                             5, "the handler's line")
        except AssertionError:
            pass  # the line itself is checked elsewhere; the signal has surely arrived by now

    def test_second_stop_signal_ends_the_process_at_once(self):
        for first, second in [(signal.SIGTERM, signal.SIGTERM), (signal.SIGINT, signal.SIGTERM),
                              (signal.SIGTERM, signal.SIGINT)]:
            with self.subTest(first=first.name, second=second.name):
                d = self.blocked_daemon()
                d.send_signal(first)
                self.handler_seen(d, 1)
                self.assertTrue(d.alive(), "the first stop signal must not end a blocked daemon")
                d.send_signal(second)
                self.assertEqual(d.wait_exit(10), -second)

    def test_stop_during_startup_finishes_startup_then_shuts_down(self):
        d = self.blocked_daemon()
        d.send_signal(signal.SIGTERM)
        self.handler_seen(d, 1)
        fd = d.release()
        try:
            self.assertEqual(d.wait_exit(20), 0)
        finally:
            os.close(fd)
        texts = d.log_texts()
        # Start-up ran to its end, then the loop was skipped: nothing was counted.
        self.assertEqual(texts[0], harness.startup_line(d.pid))
        self.assertEqual(texts[-3:], [harness.initialized_line(d.port),
                                      harness.statistics_line(0, 0),
                                      harness.shutdown_line(d.pid)])
        self.assertNotIn(harness.SIGHUP_LINES[0], texts)


if __name__ == "__main__":
    harness.main()
