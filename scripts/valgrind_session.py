# SPDX-License-Identifier: BSD-2-Clause
"""A short session of the daemon under valgrind memcheck, once per receive mode.

Each run starts the daemon on a free port in a temporary root, with options
that take it through eviction, the open gate, a failed source, the size cap,
the old stamps, the daily split or the verbose trace; sends datagrams from
several 127.0.0.x sources (control bytes, line feeds, NULs, one longer than
8192 bytes), hangs up, sends again and stops it with SIGTERM. A run passes
when the daemon exits 0 and memcheck reports no error.

    python3 scripts/valgrind_session.py --bin PATH
"""

import os
import re
import signal
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402

ERROR_EXIT = 97  # memcheck's exit status when it found an error
SLOW = 120       # seconds for anything the daemon does under valgrind

SOURCES = ["127.0.0.%d" % i for i in range(1, 8)]
NO_DIR = "127.0.0.9"  # a source without a directory: a failed open
DATAGRAMS = [
    b"a\tb\n\nc\x00d\r\n",
    b"\n",
    b"<13>host tag: one\r\ntwo\r\n",
    b"x\x7f\xa0\xff\x80\x9f\x1by",
    b"L" * 8192 + b"tail beyond the cut",
]

RUNS = {
    "truncate": ["--maxopen", "5"],
    "flat": ["--oldtimestamp"],
    "split": ["--verbose", "--bufsize", "1024"],
    "forensic": ["--split", "day", "--maxopenspersec", "5"],
    "forensicraw": ["--maxfilesize", "1"],
}


class ValgrindSession(harness.DaemonTestCase):

    def session(self, mode):
        d = self.daemon(args=["--recvmode", mode] + RUNS[mode], sources=SOURCES)
        log = os.path.join(d.base, "valgrind.log")
        d.argv = ["valgrind", "--tool=memcheck", "--error-exitcode=%d" % ERROR_EXIT,
                  "--leak-check=full", "--log-file=" + log] + d.argv
        d.start(timeout=SLOW)
        rounds = 3 if mode != "forensicraw" else 130  # enough to pass the 1 MB cap
        for turn in range(2):
            for src in SOURCES + [NO_DIR]:
                for _ in range(rounds if src == SOURCES[0] else 1):
                    for data in DATAGRAMS:
                        d.send(data, src)
                    # Taken before more is sent: a slow daemon's queue must not overflow.
                    d.wait_drained(timeout=SLOW)
            if turn == 0:
                d.hup(timeout=SLOW)
        status = d.stop(signal.SIGTERM, timeout=SLOW)
        with open(log, encoding="utf-8", errors="replace") as f:
            report = f.read()
        summary = re.findall(r"ERROR SUMMARY: .*", report)
        print("\n%s: %s" % (mode, summary[-1] if summary else "no summary"), file=sys.stderr)
        self.assertEqual(status, 0, "daemon or memcheck failed:\n" + report[-6000:])
        self.assertTrue(summary and summary[-1].startswith("ERROR SUMMARY: 0 errors"), report[-6000:])
        for src in SOURCES:
            self.assertTrue(any(d.source_files(src).values()), "nothing stored for " + src)

    def test_truncate(self):
        self.session("truncate")

    def test_flat(self):
        self.session("flat")

    def test_split(self):
        self.session("split")

    def test_forensic(self):
        self.session("forensic")

    def test_forensicraw(self):
        self.session("forensicraw")


if __name__ == "__main__":
    harness.main()
