# SPDX-License-Identifier: BSD-2-Clause
"""When records reach the disk without a hangup or a stop: those of a quiet
source at the write-out of the next second, and a full buffer at once.

The daemon's clock is stopped and moved on by the test, so "the next
second" is a step the test takes, not a time the machine must keep."""

import harness

SRC = "127.0.22.1"
START = "2026-09-10 11:12:13"
# The write buffer of a file when --bufsize is not given.
DEFAULT_BUFSIZE = 16384


class WriteOutTest(harness.DaemonTestCase):

    def on_disk(self, d):
        files = d.source_files(SRC)
        self.assertEqual(sorted(files), [d.key()], "files of the source")
        return harness.numbered_in(files[d.key()], SRC)

    def test_quiet_source_is_on_disk_at_the_next_second(self):
        d = self.daemon(sources=[SRC], clock=START).start()
        for i in range(3):
            d.send(harness.numbered(i), src=SRC)
        d.wait_drained()
        # Records wait in the buffer for the rest of their second.
        self.assertEqual(self.on_disk(d), [], "records on disk in the second they came in")
        d.advance()
        self.assertEqual(self.on_disk(d), [0, 1, 2], "records on disk after the next second's write-out")

        # Records of the new second wait for the one after it; the earlier ones stay as they are.
        d.send(harness.numbered(3), src=SRC)
        d.wait_drained()
        self.assertEqual(self.on_disk(d), [0, 1, 2], "records on disk in the second of the fourth")
        d.advance(5)
        self.assertEqual(self.on_disk(d), [0, 1, 2, 3], "records on disk after a later second's write-out")
        self.assertEqual(d.stop(), 0, "exit status of the daemon")
        self.assertEqual(self.on_disk(d), [0, 1, 2, 3], "records on disk after the stop")

    def test_full_buffer_is_written_at_once(self):
        # Within one second: the record that does not fit the default buffer beside
        # what it holds makes it written out, and then waits in it itself.
        d = self.daemon(sources=[SRC], clock=START).start()
        d.send(harness.numbered(0), src=SRC)
        d.wait_drained()
        d.hup()
        (stamp,) = self.assertRecords(d.source_files(SRC)[d.key()], [harness.plain(SRC, harness.numbered(0))])
        record = len(stamp) + 1 + len(SRC) + 1 + len(harness.numbered(0)) + 1
        fit = DEFAULT_BUFSIZE // record
        for i in range(1, fit + 1):
            d.send(harness.numbered(i), src=SRC)
        d.wait_drained()
        self.assertEqual(self.on_disk(d), [0], "records on disk with the buffer full to %d of %d bytes"
                         % (fit * record, DEFAULT_BUFSIZE))
        d.send(harness.numbered(fit + 1), src=SRC)
        d.wait_drained()
        self.assertEqual(self.on_disk(d), list(range(fit + 1)),
                         "records on disk once one more did not fit the buffer")
        self.assertEqual(d.stop(), 0, "exit status of the daemon")
        self.assertEqual(self.on_disk(d), list(range(fit + 2)), "records on disk after the stop")


if __name__ == "__main__":
    harness.main()
