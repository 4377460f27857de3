# SPDX-License-Identifier: BSD-2-Clause
"""Command line of the real binary: usage text, errors and the lines printed
while the options are parsed.  The unit tests walk the option table in
depth; these check the bytes a user sees and the exit statuses."""

import os
import re
import resource
import subprocess
import tempfile

import harness

USAGE = """\
%s 1.02 options:
  --daemon               run in background, as a daemon
  --rootdir <path>       where to store the logs (default: .)
  --maxopen <num>        max open files (default: 50, limit: %u)
  --port <num>           port number to use (default: 514)
  --ipv4only             receive IPv4 datagrams only (default: IPv4 and IPv6)
  --recvmode <mode>      see 'receive modes' below (default: split)
  --split <mode>         see 'splitting modes' below (default: hour)
  --oldtimestamp         use old-style syslog timestamps rather than rfc3339
  --pidfile <filename>   where to output the pid of corvashenmir
                         (default: /var/run/corvashenmir[-<port>].pid)
  --metrics <path>       write counters for Prometheus to <path> (default: none)
  --umask <mask>         umask to use when creating log files (default: 077)
  --maxopenspersec <num> max file open attempts/s (default: 200)
  --maxfilesize <mbytes> maximum output file size in megabytes (default: 2000)
  --bufsize <bytes>      output file buffer size (default: 16384)
  --rcvbuf <bytes>       socket receive buffer size (default: the system's)
  --verbose              verbose output (to stdout)

Log file splitting modes:
  hour        - split log files each hour (default)
  day         - split log files each day

Receive modes:
  truncate    - truncate the event at the first LF
  flat        - convert all LFs to spaces
  split       - split data on LFs and store as multiple events (default)
  forensic    - emit a byte count, followed by data (possibly with LFs)
  forensicraw - -"-, but without stripping control codes

  In all modes except forensicraw, ASCII codes 1-31 and 128-159
  are converted to spaces (32). NUL characters are always
  converted to spaces.
"""

SPLITDAY_WARNING = "warning: '--splitday' is deprecated. Use '--split day' instead."


def maxopen_limit(hard):
    """The daemon raises its soft open-file limit to the hard one first."""
    return min(hard - 5, 1000000)


class CommandLineTest(harness.DaemonTestCase):

    def setUp(self):
        self.cwd = tempfile.mkdtemp(prefix="corvashenmir-e2e-cli-")
        self.addCleanup(harness._rmtree, self.cwd)
        self.prog = harness.binary()

    def run_bin(self, args, nofile=None):
        """Runs the binary; nofile is (soft, hard) open-file limits to start it under."""
        def limit():
            if nofile is not None:
                resource.setrlimit(resource.RLIMIT_NOFILE, nofile)
        env = dict(os.environ, TZ="UTC0", ASAN_OPTIONS=harness.ASAN_OPTIONS)
        r = subprocess.run([self.prog] + args, cwd=self.cwd, env=env, stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=30, preexec_fn=limit)
        # Parsing the command line never creates a file.
        self.assertEqual(os.listdir(self.cwd), [], "files created by %r" % args)
        return r

    def usage(self, nofile=None):
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1] if nofile is None else nofile[1]
        return (USAGE % (self.prog, maxopen_limit(hard))).encode()

    def test_help_prints_usage_on_stdout(self):
        cases = [
            (["--help"], None),
            (["--HELP"], None),
            # Options before --help are applied and checked, those after it are not looked at.
            (["--port", "600", "--recvmode", "FLAT", "--help", "--port", "0", "--bogus"], None),
            # The limit follows the hard open-file limit, to which the soft one is raised.
            (["--help"], (500, 500)),
            (["--help"], (64, 512)),
            (["--maxopen", "507", "--help"], (64, 512)),
        ]
        for args, nofile in cases:
            with self.subTest(args=args, nofile=nofile):
                r = self.run_bin(args, nofile)
                self.assertEqual(r.returncode, 0, "exit status")
                self.assertEqual(r.stdout, self.usage(nofile), "what was written on stdout")
                self.assertEqual(r.stderr, b"", "what was written on stderr")

    def test_errors_print_message_and_usage_on_stderr(self):
        long_arg = "--" + "x" * 3000
        cases = [
            (["--bogus"], "unrecognized option '--bogus'", None),
            (["-h"], "unrecognized option '-h'", None),
            (["--port=600"], "unrecognized option '--port=600'", None),
            (["verbose"], "unrecognized option 'verbose'", None),
            ([long_arg], ("unrecognized option '%s'" % long_arg)[:1023], None),
            (["--port", "0"], "bad argument to '--port': must be 1..65535", None),
            (["--port", "65536"], "bad argument to '--port': must be 1..65535", None),
            (["--port", "0", "--help"], "bad argument to '--port': must be 1..65535", None),
            (["--maxopen", "4"], "bad argument to '--maxopen': must be 5..4091", (1024, 4096)),
            (["--maxopen", "508"], "bad argument to '--maxopen': must be 5..507", (64, 512)),
            (["--rcvbuf", "4095"], "bad argument to '--rcvbuf': must be 4096..1073741824", None),
            (["--metrics"], "missing argument to '--metrics'", None),
            (["--maxopenspersec", "1000001"],
             "bad argument to '--maxopenspersec': must be 5..1000000", None),
            (["--bufsize", "1000"],
             "bad argument to '--bufsize': must be 1024..131072, preferably a power of 2", None),
            (["--maxfilesize", "2001"],
             "bad argument to '--maxfilesize': must be 1..2000 (megabytes)", None),
            (["--recvmode", "raw"], "bad argument to '--recvmode'", None),
            (["--split", "week"], "bad argument to '--split'", None),
            (["--umask", "8"], "bad argument to --umask. expected octal number.", None),
            (["--umask", "100"],
             "bad argument to --umask. expected octal number between 000 and 077.", None),
            (["--split"], "missing argument to '--split'", None),
            (["--port", "600", "--pidfile"], "missing argument to '--pidfile'", None),
        ]
        for args, msg, nofile in cases:
            with self.subTest(args=args[:3] if args[0] != long_arg else ["<long>"]):
                r = self.run_bin(args, nofile)
                self.assertEqual(r.returncode, 1, "exit status")
                self.assertEqual(r.stdout, b"", "what was written on stdout")
                self.assertEqual(r.stderr, ("%s: %s\n\n" % (self.prog, msg)).encode() + self.usage(nofile),
                                 "what was written on stderr")

    def test_soft_open_file_limit_is_raised_to_the_hard_one(self):
        # Under prlimit, as an operator would start it: the usage text shows the
        # limit of the hard limit, and a running daemon holds the raised soft limit.
        r = subprocess.run(["prlimit", "--nofile=64:512", self.prog, "--help"], cwd=self.cwd,
                           env=dict(os.environ, ASAN_OPTIONS=harness.ASAN_OPTIONS),
                           capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b"--maxopen <num>        max open files (default: 50, limit: 507)\n", r.stdout,
                      "the usage text under a hard open-file limit of 512")

        d = self.daemon(args=["--maxopen", "507"])
        d.argv = ["prlimit", "--nofile=64:512"] + d.argv
        d.start()
        with open("/proc/%d/limits" % d.pid) as f:
            line = next(l for l in f if l.startswith("Max open files"))
        self.assertEqual(line.split()[3:5], ["512", "512"], line)
        self.assertEqual(d.stop(), 0, "exit status of the daemon")

    def test_lines_printed_while_parsing(self):
        # --umask prints its line at once; --splitday logs its warning on the standard
        # streams (no daemon log yet): the stamped line on stderr, the echo on stdout.
        r = self.run_bin(["--umask", "022", "--umask", "", "--help"])
        self.assertEqual(r.returncode, 0, "exit status")
        self.assertEqual(r.stdout, b"umask: 00000012\numask: 00000000\n" + self.usage(), "what was written on stdout")
        self.assertEqual(r.stderr, b"", "what was written on stderr")

        for args, stamp in [(["--splitday", "--help"], harness.RFC_STAMP),
                            (["--oldtimestamp", "--splitday", "--help"], harness.OLD_STAMP)]:
            with self.subTest(args=args):
                r = self.run_bin(args)
                self.assertEqual(r.returncode, 0, "exit status")
                self.assertEqual(r.stdout, ("%s %s\n" % (self.prog, SPLITDAY_WARNING)).encode()
                                 + self.usage(), "what was written on stdout")
                self.assertRegex(r.stderr, b"\\A" + stamp + b" " + re.escape(SPLITDAY_WARNING.encode())
                                 + b"\n\\Z", "what was written on stderr")

        # The warning has been written when a later option is refused.
        r = self.run_bin(["--splitday", "--umask", "9"])
        self.assertEqual(r.returncode, 1, "exit status")
        self.assertEqual(r.stdout, ("%s %s\n" % (self.prog, SPLITDAY_WARNING)).encode(), "what was written on stdout")
        self.assertRegex(r.stderr, b"\\A" + harness.RFC_STAMP + b" " + re.escape(SPLITDAY_WARNING.encode())
                         + b"\n" + re.escape(("%s: bad argument to --umask. expected octal number.\n\n"
                                              % self.prog).encode() + self.usage()) + b"\\Z",
                         "what was written on stderr")


if __name__ == "__main__":
    harness.main()
