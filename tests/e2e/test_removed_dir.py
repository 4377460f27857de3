# SPDX-License-Identifier: BSD-2-Clause
"""A per-source directory removed and made again while the daemon runs: the
records that follow land in the new file, and nothing that went to the
unlinked one is lost without a "drop: lost" count."""

import os
import shutil

import harness

SRC = "127.0.21.1"


class RemovedDirectoryTest(harness.DaemonTestCase):

    def test_records_follow_the_new_directory(self):
        d = self.daemon(sources=[SRC]).start()
        sent = 0
        for _ in range(20):
            d.send(harness.numbered(sent), src=SRC)
            sent += 1
        d.wait_drained()
        shutil.rmtree(os.path.join(d.root, SRC))
        d.make_source_dir(SRC)
        first_new = sent
        for _ in range(20):
            d.send(harness.numbered(sent), src=SRC)
            sent += 1
        d.wait_drained()
        self.assertEqual(d.stop(), 0, "exit status of the daemon")

        files = d.source_files(SRC)
        self.assertEqual(len(files), 1, files.keys())
        (content,) = files.values()
        stored = harness.numbered_in(content, SRC)
        self.assertEqual(len(stored), len(set(stored)), "records stored twice: %s" % stored)
        # Every record sent after the directory came back is in the new file.
        missing = sorted(set(range(first_new, sent)) - set(stored))
        self.assertEqual(missing, [], "records sent after the directory came back, missing from the file")
        self.assertEqual(stored, sorted(stored), "records stored, by number: in order")
        # The directory came back, so what was still buffered had a file to go to.
        self.assertEqual(harness.lost_counts(d.log_texts()), {}, "records counted lost")


if __name__ == "__main__":
    harness.main()
