# SPDX-License-Identifier: BSD-2-Clause
"""A FIFO and a symbolic link at a per-source path are failed opens: the
daemon neither blocks in the open nor writes through the link, counts the
source's datagrams as failures and keeps serving hangups and the stop."""

import os
import signal
import stat

import harness

FIFO_SRC = "127.0.20.1"
LINK_SRC = "127.0.20.2"
STORED = "127.0.20.3"


class UnsafePathTest(harness.DaemonTestCase):

    def test_fifo_and_link_are_failed_opens(self):
        # A stopped clock: the hour whose paths are prepared is the daemon's hour throughout.
        d = self.daemon(sources=[FIFO_SRC, LINK_SRC, STORED], clock="2026-05-06 07:08:09")
        key = d.key()
        target = os.path.join(d.base, "target")
        with open(target, "wb") as f:
            f.write(b"not for the daemon\n")
        os.mkfifo(d.source_path(FIFO_SRC, key))
        os.symlink(target, d.source_path(LINK_SRC, key))
        d.start()

        for i in range(3):
            d.send(b"to fifo %d" % i, src=FIFO_SRC)
            d.send(b"to link %d" % i, src=LINK_SRC)
        d.send(b"stored", src=STORED)
        d.wait_drained()
        # Still responsive: a blocked open would never serve these.
        d.hup()
        d.send(b"to fifo again", src=FIFO_SRC)
        d.wait_drained()
        self.assertEqual(d.stop(signal.SIGTERM, timeout=10), 0, "exit status of the daemon")

        texts = d.log_texts()
        # The hangup closed the failed descriptor; the next datagram tried the open again.
        self.assertIn(harness.fail_line(FIFO_SRC, 4), texts, "fail report of the FIFO's source")
        self.assertIn(harness.fail_line(LINK_SRC, 3), texts, "fail report of the link's source")
        with open(target, "rb") as f:
            self.assertEqual(f.read(), b"not for the daemon\n", "the link's target after the run")
        self.assertTrue(os.path.islink(d.source_path(LINK_SRC, key)),
                        "the symbolic link is no longer one: %s" % os.listdir(os.path.join(d.root, LINK_SRC)))
        self.assertTrue(stat.S_ISFIFO(os.lstat(d.source_path(FIFO_SRC, key)).st_mode),
                        "the FIFO is no longer one")
        self.assertEqual(sorted(d.source_files(STORED)), [key], "files of the stored source")
        self.assertRecords(d.source_files(STORED)[key], [harness.plain(STORED, b"stored")])

if __name__ == "__main__":
    harness.main()
