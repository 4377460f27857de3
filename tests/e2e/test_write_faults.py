# SPDX-License-Identifier: BSD-2-Clause
"""Write faults end to end: a file-size limit, a full disk that gets space
back, a capped file and a daemon log that cannot be written. The daemon
survives each, no file holds a torn record, and every datagram sent is
stored or counted in a daemon log line."""

import os
import signal
import subprocess

import harness

SRC = "127.0.23.1"
FULL_SOURCES = ["127.0.23.%d" % i for i in (11, 12, 13)]


class WriteFaultTest(harness.DaemonTestCase):

    def stored_and_lost(self, d, addr, size=100):
        files = d.source_files(addr)
        content = b"".join(files.values())
        stored = harness.numbered_in(content, addr, size)
        self.assertEqual(len(stored), len(set(stored)), "records of %s stored twice: %s" % (addr, stored))
        return stored, harness.lost_counts(d.log_texts()).get(addr, 0)

    def test_file_size_limit(self):
        d = self.daemon(sources=[SRC], args=["--bufsize", "1024"]).start()
        harness.set_file_size_limit(d.pid, 3000)
        for i in range(60):
            d.send(harness.numbered(i), src=SRC)
        d.wait_drained()
        # Killed by SIGXFSZ it would not end with status 0.
        self.assertEqual(d.stop(), 0, "exit status of the daemon")

        stored, lost = self.stored_and_lost(d, SRC)
        self.assertEqual(len(stored) + lost, 60, "records stored and counted lost against sent")
        self.assertGreater(lost, 0, "records counted lost to the file-size limit")
        self.assertIn("drop: lost %d records of %s: File too large" % (lost, SRC), d.log_texts(), "daemon log lines")
        (path,) = [d.source_path(SRC, k) for k in d.source_files(SRC)]
        self.assertLessEqual(os.path.getsize(path), 3000, "size of the file under a file-size limit of 3000 bytes")

    def test_full_disk_then_space_again(self):
        if os.geteuid() != 0:
            self.skipTest("mounting a small tmpfs needs root")
        d = self.daemon(args=["--bufsize", "1024"])
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", d.root],
                           capture_output=True, text=True)
        if r.returncode != 0:
            self.skipTest("cannot mount a tmpfs here: %s" % r.stderr.strip())
        # Lazy, so it also detaches while a failed run's daemon still sits inside.
        self.addCleanup(subprocess.run, ["umount", "-l", d.root], check=False)
        for addr in FULL_SOURCES:
            d.make_source_dir(addr)
        d.start()

        filler = os.path.join(d.root, "filler")
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT, 0o600)
        try:
            for _ in range(1024):
                os.write(fd, b"\0" * 4096)
        except OSError:
            pass
        finally:
            os.close(fd)
        sent = 0
        for _ in range(30):
            for addr in FULL_SOURCES:
                d.send(harness.numbered(sent), src=addr)
            sent += 1
        d.wait_drained()
        os.unlink(filler)
        for _ in range(10):
            for addr in FULL_SOURCES:
                d.send(harness.numbered(sent), src=addr)
            sent += 1
        d.wait_drained()
        self.assertEqual(d.stop(), 0, "exit status of the daemon")

        total_lost = 0
        for addr in FULL_SOURCES:
            stored, lost = self.stored_and_lost(d, addr)
            self.assertEqual(len(stored) + lost, sent, "records of %s stored and counted lost against sent" % addr)
            # Space came back: the last records found room.
            self.assertIn(sent - 1, stored, "the last record of %s, sent once space came back" % addr)
            total_lost += lost
        self.assertGreater(total_lost, 0, "the disk was never full for the daemon")

    def test_datagrams_after_the_cap_are_counted(self):
        d = self.daemon(sources=[SRC], args=["--maxfilesize", "1"]).start()
        size, sent = 8000, 140
        for i in range(sent):
            d.send(harness.numbered(i, size), src=SRC)
            if i % 10 == 9:
                d.wait_drained()
        d.wait_drained()
        self.assertEqual(d.stop(), 0, "exit status of the daemon")

        (content,) = d.source_files(SRC).values()
        stored = harness.numbered_in(content, SRC, size)
        self.assertEqual(stored, list(range(len(stored))), "records stored, by number: the first ones, in order")
        self.assertTrue(content.endswith(harness.marker_line(SRC)),
                        "the end of the capped file: its marker line: %r" % content[-200:])
        discarded = sent - len(stored)
        self.assertGreater(discarded, 0, "datagrams sent past the cap")
        self.assertIn("drop: discarded %d datagrams of %s after maximum file length (1000000)"
                      % (discarded, SRC), d.log_texts(), "daemon log lines")

    def test_daemon_log_that_cannot_be_written(self):
        d = self.daemon().start()
        (name,) = d.log_names()
        harness.set_file_size_limit(d.pid, os.path.getsize(os.path.join(d.root, name)) + 60)
        d.send_signal(signal.SIGHUP)
        back = harness.SIGHUP_LINES[1].encode()
        harness.wait_for(lambda: back in d.stderr(), 10, "the refused lines on stderr")
        harness.set_file_size_limit(d.pid, None)
        d.hup()
        self.assertEqual(d.stop(), 0, "exit status of the daemon")

        refused = harness.parse_log_lines(d.stderr())
        self.assertEqual([l.text for l in refused], harness.SIGHUP_LINES, "the lines that went to stderr")
        # Parsing fails on a torn or glued line; the warning comes first once the log takes lines.
        texts = d.log_texts()
        i = texts.index("warning: 2 daemon log lines could not be written: File too large")
        self.assertEqual(texts[i + 1:i + 3], harness.SIGHUP_LINES, "the lines after the warning")
        self.assertEqual(texts.count(harness.SIGHUP_LINES[0]), 1, "hangup lines in the daemon log")


if __name__ == "__main__":
    harness.main()
