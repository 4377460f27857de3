# SPDX-License-Identifier: BSD-2-Clause
"""The open gate: new sources in one second beyond --maxopenspersec are
refused and summed in one "drops:" line at the next second; the first
second after a hangup admits up to --maxopen.

The daemon runs on the real clock here, so each burst of new sources is sent
right after a second has begun and is taken well within that second."""

import time

import harness

MOPS_LINE = "drops: ignored %u file open attempts. maxopenspersec (%u) exceeded."
MAXOPEN_LINE = "drops: ignored %u file open attempts. maxopen (%u) exceeded during a single second."


def sources(prefix, n):
    return ["127.0.%d.%d" % (prefix, i + 1) for i in range(n)]


class OpenGateTest(harness.DaemonTestCase):

    def drops_lines(self, d):
        return [t for t in d.log_texts() if t.startswith("drops:")]

    def wait_drops(self, d, count):
        # The report comes at the start of the next second.
        harness.wait_for(lambda: len(self.drops_lines(d)) >= count, 5, "the drops line")

    def past_first_second(self, d):
        """Waits until the daemon's burst second after start has ended, then for a fresh second."""
        while time.time() < int(d.t_ready) + 1:
            time.sleep(0.05)
        harness.wait_second_start()

    def burst(self, d, addrs):
        for a in addrs:
            d.send(b"<13>open attempt from " + a.encode(), src=a)
        d.wait_drained()

    def assertStored(self, d, stored, refused):
        for a in stored:
            files = d.source_files(a)
            self.assertEqual(len(files), 1, a)
            self.assertRecords(list(files.values())[0], [harness.plain(a, b"<13>open attempt from " + a.encode())])
        for a in refused:
            self.assertEqual(d.source_files(a), {}, a)

    def test_refusals_beyond_maxopenspersec(self):
        addrs = sources(11, 12)
        d = self.daemon(args=["--maxopenspersec", "5", "--maxopen", "5"], sources=addrs).start()
        self.past_first_second(d)
        self.burst(d, addrs)
        self.wait_drops(d, 1)
        self.assertEqual(self.drops_lines(d), [MOPS_LINE % (7, 5)])
        self.assertEqual(d.stop(), 0)
        self.assertStored(d, addrs[:5], addrs[5:])
        # Refused datagrams are counted as received all the same.
        nbytes = sum(len(b"<13>open attempt from " + a.encode()) for a in addrs)
        self.assertEqual(d.log_texts()[-2], harness.statistics_line(5, nbytes))

    def test_hangup_opens_a_burst_allowance(self):
        t, u, v, w = sources(12, 25), sources(13, 5), sources(14, 8), sources(16, 12)
        d = self.daemon(args=["--maxopenspersec", "5", "--maxopen", "20"],
                        sources=t + u + v + w).start()
        self.past_first_second(d)

        # The whole second after a hangup allows up to maxopen (20) new files: the hangup
        # comes late in one second and the sources arrive in the next.
        time.sleep(0.75)
        d.hup()
        harness.wait_second_start()
        self.burst(d, t)
        self.wait_drops(d, 1)
        self.assertEqual(self.drops_lines(d), [MAXOPEN_LINE % (5, 20)])

        # Two seconds on, the allowance is maxopenspersec again: exactly 5 pass without a
        # line, then 8 more in the next second give a line for 3.
        harness.wait_second_start()
        harness.wait_second_start()
        self.burst(d, u)
        harness.wait_second_start()
        self.burst(d, v)
        self.wait_drops(d, 2)
        self.assertEqual(self.drops_lines(d), [MAXOPEN_LINE % (5, 20), MOPS_LINE % (3, 5)])

        # The rest of the second of a hangup allows a burst too: 12 new sources, no line.
        harness.wait_second_start()
        d.hup()
        self.burst(d, w)
        harness.wait_second_start()
        harness.wait_second_start()
        self.assertEqual(len(self.drops_lines(d)), 2)

        self.assertEqual(d.stop(), 0)
        self.assertStored(d, t[:20] + u + v[:5] + w, t[20:] + v[5:])
        self.assertEqual(d.log_texts()[-2].split()[1], "opens=42")

    def ignored(self, d):
        """The refusals the drops lines report, summed."""
        return sum(int(t.split()[2]) for t in self.drops_lines(d))

    def stored(self, d, addrs):
        return [a for a in addrs if d.source_files(a)]

    def test_refusals_of_the_last_second_are_reported_at_stop(self):
        addrs = sources(17, 30)
        d = self.daemon(args=["--maxopenspersec", "5", "--maxopen", "5"], sources=addrs).start()
        self.past_first_second(d)
        for a in addrs:
            d.send(b"<13>open attempt from " + a.encode(), src=a)
        # No wait: the stop itself stores what is queued, and reports the second it ends in.
        self.assertEqual(d.stop(), 0)
        stored = self.stored(d, addrs)
        self.assertEqual(stored, addrs[:len(stored)])
        self.assertEqual(len(stored) + self.ignored(d), len(addrs))
        texts = d.log_texts()
        stats = [i for i, t in enumerate(texts) if t.startswith("statistics:")]
        self.assertEqual(len(stats), 1)
        self.assertTrue(texts[stats[0] - 1].startswith("drops: ignored"), texts[-4:])

    def test_hangup_mid_second_changes_the_limit_from_then_on(self):
        # m = 5, M = 100: of 10 new sources before the hangup 5 are refused by
        # maxopenspersec; the 50 after it fall in the hangup's burst allowance.
        before, after = sources(18, 10), sources(19, 50)
        d = self.daemon(args=["--maxopenspersec", "5", "--maxopen", "100"],
                        sources=before + after).start()
        self.past_first_second(d)
        self.burst(d, before)
        d.hup()
        self.burst(d, after)
        self.wait_drops(d, 1)
        harness.wait_second_start()
        self.assertEqual(self.drops_lines(d), [MOPS_LINE % (5, 5)])
        self.assertEqual(d.stop(), 0)
        self.assertStored(d, before[:5] + after, before[5:])


if __name__ == "__main__":
    harness.main()
