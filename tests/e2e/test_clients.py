# SPDX-License-Identifier: BSD-2-Clause
"""Records sent by real syslog clients: util-linux logger and Python's
SysLogHandler, both from 127.0.0.1, next to a plain sender on another
loopback address."""

import logging
import logging.handlers
import re
import shutil
import subprocess

import harness

CLIENT = "127.0.0.1"     # where logger and SysLogHandler send from
OTHER = "127.0.5.7"


class ClientTest(harness.DaemonTestCase):

    def logger(self, d, args, stdin=None):
        exe = shutil.which("logger")
        if not exe:
            self.skipTest("util-linux logger is not installed")
        subprocess.run([exe, "-n", "127.0.0.1", "-P", str(d.port), "-d"] + args,
                       input=stdin, check=True, timeout=20)

    def syslog_handler(self, d, facility=logging.handlers.SysLogHandler.LOG_USER):
        handler = logging.handlers.SysLogHandler(address=("127.0.0.1", d.port), facility=facility)
        log = logging.getLogger("corvashenmir-e2e-%d-%d" % (d.port, facility))
        log.propagate = False
        log.addHandler(handler)
        self.addCleanup(handler.close)
        return log

    def file_of(self, d, addr):
        files = d.source_files(addr)
        self.assertEqual(len(files), 1, "files of %s: %s" % (addr, sorted(files)))
        return files.popitem()[1]

    def test_logger_and_syslog_handler_in_split_mode(self):
        d = self.daemon(sources=[CLIENT, OTHER]).start()
        self.logger(d, ["--rfc3164", "-t", "e2etag", "-p", "local3.err", "hello from logger"])
        self.logger(d, ["-t", "e2etag", "structured hello"])             # RFC 5424, the default
        self.logger(d, ["--rfc3164", "-t", "e2etag"], stdin=b"line one\nline two\n")
        log = self.syslog_handler(d)
        log.warning("python says hi")
        log.error("first line\nsecond line")
        d.send(b"<30>own sender", src=OTHER)
        d.wait_drained()
        self.assertEqual(d.stop(), 0, "exit status of the daemon")

        host = rb"\S+"
        old = rb"[A-Z][a-z]{2} [ 123]\d \d\d:\d\d:\d\d"
        lines = self.file_of(d, CLIENT).split(b"\n")
        self.assertEqual(lines[-1], b"", "the end of the client's file: a line feed")
        texts = []
        for line in lines[:-1]:
            m = re.fullmatch(b"(" + harness.RFC_STAMP + rb") 127\.0\.0\.1 (.*)", line)
            self.assertTrue(m, "a line of the clients' file that is no record: %r" % line)
            texts.append(m.group(2))
        patterns = [
            b"<155>" + old + b" " + host + rb" e2etag: hello from logger",
            rb"<13>1 \S+ " + host + rb" e2etag - - \[timeQuality[^\]]*\] structured hello",
            b"<13>" + old + b" " + host + rb" e2etag: line one",
            b"<13>" + old + b" " + host + rb" e2etag: line two",
            # SysLogHandler ends each message with a NUL, stored as a space.
            rb"<12>python says hi ",
            rb"<11>first line",
            rb"second line ",
        ]
        self.assertEqual(len(texts), len(patterns), texts)
        for text, pattern in zip(texts, patterns):
            self.assertRegex(text, b"\\A" + pattern + b"\\Z", "a record of the clients")
        # The plain sender went to its own file.
        self.assertRecords(self.file_of(d, OTHER), [harness.plain(OTHER, b"<30>own sender")])

    def test_syslog_handler_in_forensic_mode(self):
        d = self.daemon(args=["--recvmode", "forensic"], sources=[CLIENT]).start()
        log = self.syslog_handler(d, logging.handlers.SysLogHandler.LOG_LOCAL0)
        log.critical("multi\nline\tmessage")
        d.wait_drained()
        self.assertEqual(d.stop(), 0, "exit status of the daemon")
        # <130> is local0.crit; the TAB and the closing NUL become spaces, the LF stays.
        self.assertRecords(self.file_of(d, CLIENT),
                           [harness.counted(CLIENT, b"<130>multi\nline message ")])


if __name__ == "__main__":
    harness.main()
