# SPDX-License-Identifier: BSD-2-Clause
"""The socket queue: datagrams already queued when a stop is requested are
stored before the shutdown, and datagrams the kernel dropped because the queue
was full are counted in the daemon log with the statistics.

The daemon is held with SIGSTOP while the datagrams queue up, so the queue's
content does not depend on how fast the daemon is."""

import signal
import unittest

import harness

SRC = "127.0.20.1"


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
        self.assertEqual(len(files), 1)
        content = list(files.values())[0]
        return [int(line.split(b" ")[2]) for line in content.splitlines()]

    def test_stop_stores_what_is_queued(self):
        d = self.daemon(sources=[SRC]).start()
        self.queue_while_stopped(d, 200)
        self.assertEqual(d.socket_queue()[1], 0)
        d.send_signal(signal.SIGTERM)
        d.send_signal(signal.SIGCONT)
        self.assertEqual(d.wait_exit(), 0)
        self.assertEqual(self.stored_sequence(d), list(range(200)))
        self.assertEqual(d.log_texts()[-2], harness.statistics_line(1, 200 * 100))

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
        self.assertEqual(d.stop(), 0)
        stored = self.stored_sequence(d)
        # The queue keeps the first datagrams; the ones that found it full are gone.
        self.assertEqual(stored, list(range(len(stored))))
        self.assertEqual(len(stored) + dropped, sent)
        texts = d.log_texts()
        self.assertEqual(texts[-3:-1], [harness.statistics_line(1, len(stored) * 100),
                                        harness.kernel_drop_line(dropped)])


if __name__ == "__main__":
    harness.main()
