# SPDX-License-Identifier: BSD-2-Clause
"""A console whose reader has gone (stdout through a pipe closed after the
first line) does not end the daemon: it goes on storing and stops cleanly."""

import signal
import subprocess

import harness

SRC = "127.0.24.1"


class SigpipeTest(harness.DaemonTestCase):

    def test_gone_console_reader(self):
        d = self.daemon(sources=[SRC])
        d._initialized_before = 0
        d.proc = subprocess.Popen(d.argv + ["--verbose"], cwd=d.cwd, env=d.env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL)
        d.proc.stdout.readline()
        d.proc.stdout.close()
        d.wait_initialized()
        # Under --verbose every new source and every datagram writes to the console.
        for i in range(5):
            d.send(harness.numbered(i), src=SRC)
        d.wait_drained()
        self.assertTrue(d.alive(), "the daemon ended once its console reader was gone (state %s)" % d.state())
        self.assertEqual(d.stop(signal.SIGTERM), 0, "exit status of the daemon")
        (content,) = d.source_files(SRC).values()
        self.assertEqual(harness.numbered_in(content, SRC), list(range(5)), "records stored, by number")


if __name__ == "__main__":
    harness.main()
