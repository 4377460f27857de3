# SPDX-License-Identifier: BSD-2-Clause
"""The socket queue: datagrams already queued when a stop is requested are
stored before the shutdown, and datagrams the kernel dropped because the queue
was full are counted in the daemon log with the statistics. A flood cannot
hold a stop off, even with the wall clock stopped.

The daemon is held with SIGSTOP while the datagrams queue up, so the queue's
content does not depend on how fast the daemon is."""

import re
import signal
import time
import unittest

import harness

SRC = "127.0.20.1"
FLOOD_SRC = "127.0.20.2"
# From the stop signal to the end of the process under a flood: the drain's bound
# of one second on the steady clock, and room for the shutdown on a busy machine.
STOP_BOUND = 3.0


class SocketQueueTest(harness.DaemonTestCase):

    def queue_while_stopped(self, d, count, size=100):
        d.send_signal(signal.SIGSTOP)
        try:
            harness.wait_for(lambda: d.state() == "T", 5, "the daemon to stop")
            for i in range(count):
                d.send(b"%06d " % i + b"x" * (size - 7), src=SRC)
        except BaseException:
            d.send_signal(signal.SIGCONT)
            raise

    def stored_sequence(self, d):
        files = d.source_files(SRC)
        self.assertEqual(len(files), 1, "files of the source: %s" % sorted(files))
        content = list(files.values())[0]
        return [int(line.split(b" ")[2]) for line in content.splitlines()]

    def test_stop_stores_what_is_queued(self):
        d = self.daemon(sources=[SRC]).start()
        self.queue_while_stopped(d, 200)
        self.assertEqual(d.socket_queue()[1], 0, "datagrams the kernel dropped on the socket")
        d.send_signal(signal.SIGTERM)
        d.send_signal(signal.SIGCONT)
        self.assertEqual(d.wait_exit(), 0, "exit status of the daemon")
        self.assertEqual(self.stored_sequence(d), list(range(200)), "records stored, by number")
        self.assertEqual(d.log_texts()[-2], harness.statistics_line(1, 200 * 100), "the shutdown's statistics")

    def test_kernel_drops_are_counted(self):
        # Enough 100-byte datagrams to overfill the default queue, each taking
        # well over 500 bytes of it.
        with open("/proc/sys/net/core/rmem_default") as f:
            sent = int(f.read()) // 500 + 1000
        if sent > 100000:
            raise unittest.SkipTest("net.core.rmem_default is too large to fill the queue in a short test")
        d = self.daemon(sources=[SRC]).start()
        self.queue_while_stopped(d, sent)
        dropped = d.socket_queue()[1]
        self.assertGreater(dropped, 0, "the socket queue held every datagram")
        d.send_signal(signal.SIGCONT)
        d.wait_drained(allow_drops=True)
        self.assertEqual(d.stop(), 0, "exit status of the daemon")
        stored = self.stored_sequence(d)
        # The queue keeps the first datagrams; the ones that found it full are gone.
        self.assertEqual(stored, list(range(len(stored))), "records stored, by number: the first ones, in order")
        self.assertEqual(len(stored) + dropped, sent, "records stored and dropped by the kernel against sent")
        texts = d.log_texts()
        self.assertEqual(texts[-3:-1], [harness.statistics_line(1, len(stored) * 100),
                                        harness.kernel_drop_line(dropped)],
                         "the shutdown's statistics and kernel drop lines")


    def test_stop_under_a_flood_is_bounded_on_the_steady_clock(self):
        # The wall clock is stopped, so only the steady clock can end the stop's drain; and
        # the daemon is held to one turn of its loop per clock read let through every 2 ms,
        # so the flood keeps its queue from ever running dry to end the drain.
        size = 100
        payload = b"<13>flood " + b"x" * (size - 10)
        d = self.daemon(sources=[FLOOD_SRC], clock="2026-11-12 13:14:15").start()
        flood = harness.Flood(d, FLOOD_SRC, payload, count=50000000, seconds=30.0)
        flood.start()
        self.addCleanup(flood.stop)
        turnstile = harness.ClockTurnstile(d, 0.002)
        turnstile.start()
        self.addCleanup(turnstile.stop)
        with open("/proc/sys/net/core/rmem_default") as f:
            backlog = min(int(f.read()) // 2, 1 << 20)
        harness.wait_for(lambda: (d.socket_queue() or (0, 0))[0] >= backlog, 20,
                         "a backlog of %d bytes on the daemon's socket" % backlog)
        t0 = time.monotonic()
        d.send_signal(signal.SIGTERM)
        status = d.wait_exit(60)
        took = time.monotonic() - t0
        flood.stop()
        turnstile.stop()
        self.assertEqual(status, 0, "exit status of the daemon")
        self.assertLessEqual(took, STOP_BOUND, "seconds from SIGTERM to the end of the daemon under a flood "
                             "(%d clock reads let through)" % turnstile.reads)
        self.assertIn(flood.ended, ("refused", "stopped"),
                      "why the flood ended (it must outlast the daemon), after %d datagrams" % flood.sent)

        # Every datagram taken from the kernel is stored: the shutdown's statistics count
        # their bytes, and every record, of one stopped second, is the same line.
        texts = d.log_texts()
        stats = [t for t in texts if t.startswith("statistics:")]
        self.assertEqual(len(stats), 1, "statistics lines in %r" % texts)
        m = re.fullmatch(r"statistics: opens=1 recvd=(\d+)", stats[0])
        self.assertTrue(m, "the shutdown's statistics line: %r" % stats[0])
        recvd = int(m.group(1))
        files = d.source_files(FLOOD_SRC)
        self.assertEqual(sorted(files), [d.key()], "files of the flood's source")
        content = files[d.key()]
        record = content[:content.find(b"\n") + 1]
        self.assertRegex(record, b"\\A" + harness.RFC_STAMP + b" " + re.escape(FLOOD_SRC.encode() + b" " + payload)
                         + b"\n\\Z", "the first record")
        stored = content.count(record)
        self.assertEqual(stored * len(record), len(content), "the file holds other lines than the flood's")
        self.assertGreater(stored, 0, "records stored")
        self.assertEqual(recvd, stored * size, "bytes received against %d records stored of %d bytes each"
                         % (stored, size))
        self.assertEqual([t for t in texts if t.startswith("drop:")], [], "loss lines of the daemon log")


if __name__ == "__main__":
    harness.main()
