# SPDX-License-Identifier: BSD-2-Clause
"""Where every datagram went: one run that mixes the ways a datagram can fail
to be stored, then checks that each datagram sent is either a record in its
source's file or in exactly one count of the daemon log's report lines:

    sent = stored records + "drop: failed" + "drops: ignored" + "drops: kernel
           dropped" + "drop: lost" + "drop: discarded"

The run has churn through a pool of five files, open-gate refusals (the last
of them in the second the stop arrives in), sources without a directory, a
file that reaches its size cap, a socket queue overfilled while the daemon is
held with SIGSTOP, and, where a small tmpfs can be mounted, a source whose
disk is full for a while and then gets space back. Every line of every file
must be a whole record or the cap's marker line: nothing torn.
"""

import errno
import os
import re
import signal
import subprocess

import harness

CHURN = ["127.0.41.%d" % (i + 1) for i in range(12)]
NODIR = ["127.0.43.%d" % (i + 1) for i in range(3)]
CAPPED = "127.0.42.1"
DISK = "127.0.40.1"
FLOOD = "127.0.44.1"
LAST = ["127.0.45.%d" % (i + 1) for i in range(30)]

RECORD = re.compile(rb"(\S+) (\d+\.\d+\.\d+\.\d+) <13>acct (\S+) (\d+) x*")
MARKER = re.compile(rb"\S+ corvashenmir <44>Maximum file length \(1000000\) exceeded for (\S+)")

COUNTS = [
    re.compile(r"drop: failed \S+ (\d+) times"),
    re.compile(r"drops: ignored (\d+) file open attempts\. .*"),
    re.compile(r"drops: kernel dropped (\d+) datagrams \(socket receive queue full\)"),
    re.compile(r"drop: lost (\d+) records of \S+: .*"),
    re.compile(r"drop: discarded (\d+) datagrams of \S+ after maximum file length \(1000000\)"),
]


def mount_tmpfs(path, size):
    """Mounts a tmpfs of size at path; None when that works, else the reason it does not."""
    if os.geteuid() != 0:
        return "not root"
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s" % size, "tmpfs", path],
                       capture_output=True, text=True)
    return None if r.returncode == 0 else "mount failed: " + r.stderr.strip()


def fill(path):
    """Writes a file at path until the file system is full."""
    with open(path, "wb", buffering=0) as f:
        block = b"f" * 4096
        try:
            while True:
                f.write(block)
        except OSError as e:
            if e.errno != errno.ENOSPC:
                raise


class AccountingTest(harness.DaemonTestCase):

    def setUp(self):
        self.sent = {}

    def send(self, d, src, size=80):
        seq = self.sent.get(src, 0)
        self.sent[src] = seq + 1
        head = b"<13>acct %s %d " % (src.encode(), seq)
        d.send(head + b"x" * max(0, size - len(head)), src=src)

    def test_every_datagram_is_stored_or_counted(self):
        # The clock is stopped and moved on by the test, so each phase has the seconds
        # it is meant to have.
        d = self.daemon(args=["--maxopen", "5", "--maxopenspersec", "20", "--maxfilesize", "1"],
                        sources=CHURN + [CAPPED, DISK, FLOOD] + LAST, clock="2026-08-09 10:11:12")

        disk_dir = os.path.join(d.root, DISK)
        why = mount_tmpfs(disk_dir, "64k")
        if why is None:
            self.addCleanup(subprocess.run, ["umount", "-l", disk_dir])
            filler = os.path.join(disk_dir, "filler")
            fill(filler)
        else:
            harness.skip_part(self, "full disk", why)
        d.start()

        # Churn: fifteen sources through five files, faster than the gate admits, two
        # rounds a second.
        for turn in range(8):
            for src in CHURN + NODIR:
                self.send(d, src)
            d.wait_drained()
            if turn % 2:
                d.advance()

        # A file that reaches its cap: 1,000,000 bytes in records of about 8 kB.
        # Each of these phases starts in a fresh second, so the gate admits its source.
        d.advance()
        for _ in range(16):
            for _ in range(10):
                self.send(d, CAPPED, size=8000)
            d.wait_drained()

        # A full disk, then space again.
        if why is None:
            # More than a file's buffer holds: once it is full of what could not be
            # written, further records are lost.
            d.advance()
            for _ in range(6):
                for _ in range(50):
                    self.send(d, DISK, size=100)
                d.wait_drained()
            # The next second's write-out tries the buffer again, and fails: a write
            # call is made, and neither the file nor the daemon log grows.
            disk_file = d.source_path(DISK, d.key())
            calls, size, logged = d.write_calls(), os.path.getsize(disk_file), self.log_size(d)
            d.advance()
            self.assertGreater(d.write_calls(), calls, "write calls of the daemon at the write-out "
                               "of a buffer on the full disk")
            self.assertEqual(os.path.getsize(disk_file), size, "size of the file on the full disk "
                             "after the write-out")
            self.assertEqual(self.log_size(d), logged, "size of the daemon log after the write-out "
                             "(a write call that was not the buffer's)")
            os.unlink(filler)
            for _ in range(40):
                self.send(d, DISK)
            d.wait_drained()

        # More datagrams than the socket queue holds while the daemon is held.
        with open("/proc/sys/net/core/rmem_default") as f:
            flood = int(f.read()) // 500 + 1000
        overfilled = flood <= 100000
        if overfilled:
            d.send_signal(signal.SIGSTOP)
            try:
                harness.wait_for(lambda: d.state() == "T", 5, "the daemon to stop")
                for _ in range(flood):
                    self.send(d, FLOOD)
            finally:
                d.send_signal(signal.SIGCONT)
            d.wait_drained(allow_drops=True)
        else:
            harness.skip_part(self, "kernel drops", "net.core.rmem_default is too large to overfill "
                              "the socket queue in a short test")

        # New sources beyond the gate, and the stop in the same second.
        d.advance(allow_drops=True)
        for src in LAST:
            self.send(d, src)
        self.assertEqual(d.stop(), 0, "exit status of the daemon")

        stored = self.stored_records(d)
        texts = d.log_texts()
        counted = {p.pattern: 0 for p in COUNTS}
        for t in texts:
            for p in COUNTS:
                m = p.fullmatch(t)
                if m:
                    counted[p.pattern] += int(m.group(1))
        sent = sum(self.sent.values())
        self.assertEqual(sum(stored.values()) + sum(counted.values()), sent,
                         "datagrams sent against records stored (%d) and counted %r"
                         % (sum(stored.values()), counted))
        # Every way of loss actually happened in the run.
        for p in COUNTS:
            if ("lost" in p.pattern and why is not None) or ("kernel" in p.pattern and not overfilled):
                continue
            self.assertGreater(counted[p.pattern], 0, "datagrams counted by lines like %r" % p.pattern)
        # The last second's refusals come before the statistics line at shutdown.
        stats = max(i for i, t in enumerate(texts) if t.startswith("statistics:"))
        self.assertTrue(texts[stats - 1].startswith("drops: ignored"),
                        "the line before the shutdown's statistics is no open-gate report: %r"
                        % texts[stats - 3:stats + 1])
        if why is None:
            self.assertTrue(any(t.startswith("drop: lost ") and t.endswith(": No space left on device")
                                for t in texts), "no line of records lost to the full disk in %r" % texts)
            self.assertGreater(stored.get(DISK, 0), 0, "records stored once space came back")

    def log_size(self, d):
        return sum(os.path.getsize(os.path.join(d.root, n)) for n in d.log_names())

    def stored_records(self, d):
        """{source: records} over every per-source file; fails on any line that is not
        a whole record of that source, in order, or the cap's marker."""
        stored = {}
        for src in self.sent:
            last = -1
            for key, content in sorted(d.source_files(src).items()):
                self.assertTrue(content == b"" or content.endswith(b"\n"),
                                "file %s-%s ends in a torn record: %r" % (src, key, content[-100:]))
                for line in content.splitlines():
                    m = RECORD.fullmatch(line)
                    if m is None:
                        mk = MARKER.fullmatch(line)
                        self.assertTrue(mk and mk.group(1).decode() == src,
                                        "line of %s neither a record nor its marker: %r" % (src, line[:200]))
                        continue
                    self.assertEqual(m.group(2).decode(), src, "address of a record in the file of " + src)
                    self.assertEqual(m.group(3).decode(), src, "sender named in a record in the file of " + src)
                    seq = int(m.group(4))
                    self.assertGreater(seq, last, "record number in the file of %s: out of order or twice" % src)
                    last = seq
                    stored[src] = stored.get(src, 0) + 1
        return stored


if __name__ == "__main__":
    harness.main()
