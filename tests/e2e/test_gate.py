# SPDX-License-Identifier: BSD-2-Clause
"""The open gate: new sources in one second beyond --maxopenspersec are
refused and summed in one "drops:" line at the next second; the first
second after a hangup admits up to --maxopen.

The daemon's clock is stopped and moved on by the test, one second at a
time, so every burst falls in the second it is meant for, however slow the
machine."""

import harness

MOPS_LINE = "drops: ignored %u file open attempts. maxopenspersec (%u) exceeded."
MAXOPEN_LINE = "drops: ignored %u file open attempts. maxopen (%u) exceeded during a single second."
START = "2026-07-08 09:10:11"


def sources(prefix, n):
    return ["127.0.%d.%d" % (prefix, i + 1) for i in range(n)]


def text(addr):
    return b"<13>open attempt from " + addr.encode()


class OpenGateTest(harness.DaemonTestCase):

    def drops_lines(self, d):
        return [t for t in d.log_texts() if t.startswith("drops:")]

    def gated_daemon(self, maxopenspersec, maxopen, addrs):
        """A daemon past its first second, which is a burst second like the one after a hangup."""
        d = self.daemon(args=["--maxopenspersec", str(maxopenspersec), "--maxopen", str(maxopen)],
                        sources=addrs, clock=START).start()
        d.advance()
        return d

    def burst(self, d, addrs):
        for a in addrs:
            d.send(text(a), src=a)
        d.wait_drained()

    def assertDrops(self, d, expected, when):
        self.assertEqual(self.drops_lines(d), expected, "drops lines of the daemon log " + when)

    def assertStored(self, d, stored, refused):
        for a in stored:
            files = d.source_files(a)
            self.assertEqual(sorted(files), [d.key()], "files of admitted source %s" % a)
            self.assertRecords(files[d.key()], [harness.plain(a, text(a))])
        for a in refused:
            self.assertEqual(d.source_files(a), {}, "files of refused source %s" % a)

    def test_refusals_beyond_maxopenspersec(self):
        addrs = sources(11, 12)
        d = self.gated_daemon(5, 5, addrs)
        self.burst(d, addrs)
        self.assertDrops(d, [], "within the burst's second")
        d.advance()
        self.assertDrops(d, [MOPS_LINE % (7, 5)], "once the burst's second is over")
        self.assertEqual(d.stop(), 0, "exit status of the daemon")
        self.assertStored(d, addrs[:5], addrs[5:])
        # Refused datagrams are counted as received all the same.
        nbytes = sum(len(text(a)) for a in addrs)
        self.assertEqual(d.log_texts()[-2], harness.statistics_line(5, nbytes), "the shutdown's statistics")

    def test_hangup_opens_a_burst_allowance(self):
        t, u, v, w = sources(12, 25), sources(13, 5), sources(14, 8), sources(16, 12)
        d = self.gated_daemon(5, 20, t + u + v + w)

        # The second after a hangup allows up to maxopen (20) new files: the hangup comes
        # in one second and the sources arrive in the next.
        d.hup()
        d.advance()
        self.burst(d, t)
        d.advance()
        self.assertDrops(d, [MAXOPEN_LINE % (5, 20)], "after the second after the hangup")

        # Two seconds on, the allowance is maxopenspersec again: exactly 5 pass without a
        # line, then 8 more in the next second give a line for 3.
        self.burst(d, u)
        d.advance()
        self.assertDrops(d, [MAXOPEN_LINE % (5, 20)], "after five new sources in a plain second")
        self.burst(d, v)
        d.advance()
        self.assertDrops(d, [MAXOPEN_LINE % (5, 20), MOPS_LINE % (3, 5)],
                         "after eight new sources in a plain second")

        # The rest of the second of a hangup allows a burst too: 12 new sources, no line.
        d.hup()
        self.burst(d, w)
        d.advance()
        d.advance()
        self.assertDrops(d, [MAXOPEN_LINE % (5, 20), MOPS_LINE % (3, 5)],
                         "after twelve new sources right after a hangup")

        self.assertEqual(d.stop(), 0, "exit status of the daemon")
        self.assertStored(d, t[:20] + u + v[:5] + w, t[20:] + v[5:])
        self.assertEqual(d.log_texts()[-2].split()[1], "opens=42", "the shutdown's statistics")

    def test_refusals_of_the_last_second_are_reported_at_stop(self):
        addrs = sources(17, 30)
        d = self.gated_daemon(5, 5, addrs)
        for a in addrs:
            d.send(text(a), src=a)
        # No wait: the stop itself stores what is queued, and reports the second it ends in.
        self.assertEqual(d.stop(), 0, "exit status of the daemon")
        self.assertStored(d, addrs[:5], addrs[5:])
        texts = d.log_texts()
        nbytes = sum(len(text(a)) for a in addrs)
        self.assertEqual(texts[-3:], [MOPS_LINE % (25, 5), harness.statistics_line(5, nbytes),
                                      harness.shutdown_line(d.pid)], "the last lines of the daemon log")

    def test_hangup_mid_second_changes_the_limit_from_then_on(self):
        # m = 5, M = 100: of 10 new sources before the hangup 5 are refused by
        # maxopenspersec; the 50 after it fall in the hangup's burst allowance.
        before, after = sources(18, 10), sources(19, 50)
        d = self.gated_daemon(5, 100, before + after)
        self.burst(d, before)
        d.hup()
        self.burst(d, after)
        d.advance()
        self.assertDrops(d, [MOPS_LINE % (5, 5)], "after the second of the hangup")
        d.advance()
        self.assertDrops(d, [MOPS_LINE % (5, 5)], "a second later")
        self.assertEqual(d.stop(), 0, "exit status of the daemon")
        self.assertStored(d, before[:5] + after, before[5:])


if __name__ == "__main__":
    harness.main()
