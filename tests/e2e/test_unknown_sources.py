# SPDX-License-Identifier: BSD-2-Clause
"""Sources without a directory cost nothing but their count: the directory is
looked up before the open gate, so a flood of forged source addresses takes
no admission and no descriptor, and the real sources are stored right after a
hangup; a directory made while the daemon runs counts from the source's next
datagram, and a directory removed while it runs frees the source's
descriptor."""

import os
import shutil

import harness

REAL = ["127.0.50.%d" % (i + 1) for i in range(20)]
# A held clock: no scenario here may meet a rollover it did not plan.
CLOCK = "2026-03-05 10:00:00"


def held_root_lib():
    """The preload library that holds the root directory's stamps still, beside the binary."""
    path = os.path.join(os.path.dirname(harness.binary()), "tests", "e2e", "libcorvashenmir_held_root.so")
    if not os.path.exists(path):
        raise AssertionError("no seam library at %s" % path)
    return path


def forged(i):
    """The i-th forged source: 127.60.0.0 and up, none of them with a directory."""
    return "127.%d.%d.%d" % (60 + i // 65536, (i // 256) % 256, i % 256)


class ForgedFloodTest(harness.DaemonTestCase):

    def test_forged_sources_do_not_keep_real_ones_out(self):
        # The default gate (200 opens a second, a burst of 50) and pool (50 files).
        d = self.daemon(args=["--rcvbuf", "33554432"], sources=REAL, clock=CLOCK).start()
        sender = harness.AnySourceSender(self, d.port)
        sent = {a: [] for a in REAL}
        nforged = 0

        def phase(count):
            # Real datagrams spread through the forged ones, in chunks the socket queue holds.
            nonlocal nforged
            for chunk in range(count // 2000):
                for i in range(2000):
                    if i % 100 == 0:
                        src = REAL[(i // 100) % len(REAL)]
                        data = b"<13>real %s %d" % (src.encode(), len(sent[src]))
                        sent[src].append(data)
                        sender.send(data, src)
                    sender.send(b"<13>forged", forged(nforged))
                    nforged += 1
                d.wait_drained()

        phase(20000)
        # The hangup closes every file, as every rollover does: before the directory
        # came first, the forged sources then took every admission of the gate.
        d.hup()
        phase(20000)
        self.assertEqual(d.stop(), 0)

        texts = d.log_texts()
        for src in REAL:
            files = d.source_files(src)
            self.assertEqual(len(files), 1, "files of %s: %r" % (src, sorted(files)))
            self.assertRecords(list(files.values())[0], [harness.plain(src, t) for t in sent[src]])
        # Every forged datagram is counted as a failure; none asked the gate, none was stored.
        self.assertEqual(sum(harness.failed_counts(texts).values()), nforged, texts[-15:])
        self.assertEqual([t for t in texts if t.startswith("drops:")], [])
        stats = [t for t in texts if t.startswith("statistics:")]
        self.assertEqual(stats[-1].split()[1], "opens=%d" % (2 * len(REAL)), stats)
        self.assertEqual(sorted(os.listdir(d.root)), sorted(REAL + d.log_names()))


class DirectoryChangesTest(harness.DaemonTestCase):

    def test_directory_made_while_running_counts_at_once(self):
        src = "127.0.51.1"
        d = self.daemon(args=["--verbose"], clock=CLOCK).start()
        for i in range(3):
            d.send(b"before %d" % i, src=src)
        d.wait_drained()
        d.make_source_dir(src)
        for i in range(2):
            d.send(b"after %d" % i, src=src)
        d.wait_drained()
        self.assertEqual(d.stop(), 0)

        (content,) = d.source_files(src).values()
        self.assertRecords(content, [harness.plain(src, b"after 0"), harness.plain(src, b"after 1")])
        texts = d.log_texts()
        self.assertEqual(harness.failed_counts(texts), {src: 3})
        self.assertEqual(d.stdout_lines().count("Adding new fail report for %s" % src), 1)

    def test_directory_renamed_within_the_tick_is_found_two_seconds_later(self):
        # The root's stamps are held still, as a rename within the tick of the coarse
        # file clock that stamped the last change leaves them: only the read two
        # seconds after the last one finds the new name.
        old, new = "127.0.53.1", "127.0.53.2"
        d = self.daemon(sources=[old], clock=CLOCK)
        d.env["LD_PRELOAD"] = held_root_lib() + " " + d.env["LD_PRELOAD"]
        d.start()
        os.rename(os.path.join(d.root, old), os.path.join(d.root, new))
        d.send(b"<13>before the read", src=new)
        d.wait_drained()
        d.advance(1)
        d.advance(1)
        d.send(b"<13>after the read", src=new)
        d.wait_drained()
        self.assertEqual(d.stop(), 0)

        (content,) = d.source_files(new).values()
        self.assertRecords(content, [harness.plain(new, b"<13>after the read")])
        self.assertEqual(harness.failed_counts(d.log_texts()), {new: 1})

    def test_removed_directory_frees_the_descriptor(self):
        src = "127.0.52.1"
        d = self.daemon(args=["--verbose"], sources=[src], clock=CLOCK).start()
        d.send(b"first", src=src)
        d.sync()
        # Its file reopens and holds a waiting record when file and directory go.
        d.send(b"second", src=src)
        d.wait_drained()
        shutil.rmtree(os.path.join(d.root, src))
        # The next write-out finds the name gone and no directory to reopen it in.
        d.advance(1)
        harness.wait_for(lambda: any(t.startswith("drop: lost ") and (" of %s: " % src) in t
                                     for t in d.log_texts()), 10, "the lost line of %s" % src)
        d.send(b"while gone", src=src)
        d.wait_drained()
        d.make_source_dir(src)
        d.send(b"back", src=src)
        d.wait_drained()
        self.assertEqual(d.stop(), 0)

        (content,) = d.source_files(src).values()
        self.assertRecords(content, [harness.plain(src, b"back")])
        texts = d.log_texts()
        self.assertIn("drop: lost 1 records of %s: No such file or directory" % src, texts)
        # Once freed, the source is an unknown one: counted, with no open tried for it.
        self.assertEqual(harness.failed_counts(texts), {src: 1})
        out = d.stdout_lines()
        opens = [l for l in out if l.startswith("OPEN %s/" % src)]
        self.assertEqual([l.rsplit(" ", 1)[1] for l in opens], ["OK", "OK", "OK"], opens)
        self.assertEqual(out.count("CLOSE %s" % src), 3)


if __name__ == "__main__":
    harness.main()
