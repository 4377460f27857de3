# SPDX-License-Identifier: BSD-2-Clause
"""Records of a quiet source reach its file within two seconds, without a
hangup, a full buffer or a stop."""

import harness

SRC = "127.0.22.1"


class WriteOutTest(harness.DaemonTestCase):

    def test_quiet_source_is_on_disk_within_two_seconds(self):
        d = self.daemon(sources=[SRC]).start()
        key = None
        for i in range(3):
            d.send(harness.numbered(i), src=SRC)
        sent_at = harness.time.monotonic()
        d.wait_drained()

        def on_disk():
            files = d.source_files(SRC)
            return len(files) == 1 and harness.numbered_in(next(iter(files.values())), SRC) == [0, 1, 2]

        harness.wait_for(on_disk, 2.0 - (harness.time.monotonic() - sent_at),
                         "the quiet source's records on disk")
        (key,) = d.source_files(SRC)
        self.assertEqual(d.stop(), 0)
        self.assertEqual(harness.numbered_in(d.source_files(SRC)[key], SRC), [0, 1, 2])


if __name__ == "__main__":
    harness.main()
