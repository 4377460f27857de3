# SPDX-License-Identifier: BSD-2-Clause
"""A FIFO and a symbolic link at a per-source path are failed opens: the
daemon neither blocks in the open nor writes through the link, counts the
source's datagrams as failures and keeps serving hangups and the stop."""

import os
import signal

import harness

FIFO_SRC = "127.0.20.1"
LINK_SRC = "127.0.20.2"
STORED = "127.0.20.3"


class UnsafePathTest(harness.DaemonTestCase):

    def test_fifo_and_link_are_failed_opens(self):
        d = self.daemon(sources=[FIFO_SRC, LINK_SRC, STORED])
        key = harness.hour_key(harness.datetime.datetime.now(harness.datetime.timezone.utc))
        target = os.path.join(d.base, "target")
        with open(target, "wb") as f:
            f.write(b"not for the daemon\n")
        os.mkfifo(d.source_path(FIFO_SRC, key))
        os.symlink(target, d.source_path(LINK_SRC, key))
        d.start()
        self.assertEqual(key, harness.hour_key(harness.datetime.datetime.now(harness.datetime.timezone.utc)),
                         "the hour changed during start-up")

        for i in range(3):
            d.send(b"to fifo %d" % i, src=FIFO_SRC)
            d.send(b"to link %d" % i, src=LINK_SRC)
        d.send(b"stored", src=STORED)
        d.wait_drained()
        # Still responsive: a blocked open would never serve these.
        d.hup()
        d.send(b"to fifo again", src=FIFO_SRC)
        d.wait_drained()
        self.assertEqual(d.stop(signal.SIGTERM, timeout=10), 0)

        texts = d.log_texts()
        # The hangup closed the failed descriptor; the next datagram tried the open again.
        self.assertIn(harness.fail_line(FIFO_SRC, 4), texts)
        self.assertIn(harness.fail_line(LINK_SRC, 3), texts)
        with open(target, "rb") as f:
            self.assertEqual(f.read(), b"not for the daemon\n")
        self.assertTrue(os.path.islink(d.source_path(LINK_SRC, key)))
        self.assertRecords(d.source_files(STORED)[key], [harness.plain(STORED, b"stored")])


if __name__ == "__main__":
    harness.main()
