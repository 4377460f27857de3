# SPDX-License-Identifier: BSD-2-Clause
"""Start-up and orderly shutdown of the daemon: the lines it logs and echoes,
the pid file, the defaults of port, pid file and root directory, the fatal
start-up failures, and detaching with --daemon."""

import os
import re
import signal
import socket
import subprocess
import sys

import harness

# Sends one datagram from 127.0.0.1 to a port, in whatever network namespace it runs.
SEND_ONE = ("import socket, sys\n"
            "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
            "s.bind(('127.0.0.1', 0))\n"
            "s.sendto(sys.argv[2].encode(), ('127.0.0.1', int(sys.argv[1])))\n")


class StartupShutdownTest(harness.DaemonTestCase):

    def test_startup_and_settings_lines(self):
        # (extra arguments, rootdir given relative to the working directory?,
        #  expected settings fields, old-style stamps?)
        cases = [
            ([], False, dict(), False),
            (["--maxopen", "7", "--maxopenspersec", "9", "--Split", "DAY", "--recvmode", "ForensicRaw"],
             False, dict(maxopen=7, maxopenspersec=9, split="day", recvmode="forensicraw"), False),
            (["--recvmode", "truncate", "--oldtimestamp", "--bufsize", "3000", "--maxfilesize", "5"],
             True, dict(recvmode="truncate"), True),
            (["--recvmode", "forensic", "--split", "hour", "--recvmode", "flat"],
             True, dict(recvmode="flat"), False),
        ]
        for args, relative, fields, old in cases:
            with self.subTest(args=args, relative=relative):
                # With a relative root directory the pid file is given relative too:
                # it is written below the root directory.
                d = self.daemon(args=args, rootdir_arg="root" if relative else None,
                                pidfile_arg="daemon.pid" if relative else None)
                d.start()
                pid = d.proc.pid
                lines = d.log_lines()
                stamp = harness.OLD_STAMP if old else harness.RFC_STAMP
                for line in lines:
                    self.assertRegex(line.stamp.encode(), b"\\A" + stamp + b"\\Z", "stamp of %r" % line.text)
                expected = [harness.startup_line(pid),
                            harness.settings_line(os.path.realpath(d.root), d.port, **fields),
                            harness.initialized_line(d.port)]
                self.assertEqual([l.text for l in lines], expected, "daemon log lines after start-up")
                self.assertEqual(d.read_pidfile(), b"%d\n" % pid, "the pid file while running")

                self.assertEqual(d.stop(signal.SIGTERM), 0, "exit status of the daemon")
                expected += [harness.statistics_line(0, 0), harness.shutdown_line(pid)]
                self.assertEqual(d.log_texts(), expected, "daemon log lines after the stop")
                # Level 1 lines are echoed on stdout behind the program name; level 0 is not.
                self.assertEqual(d.stdout_lines(),
                                 ["%s %s" % (d.argv[0], t) for t in expected if not t.startswith("statistics:")],
                                 "lines on stdout")
                self.assertEqual(d.stderr(), b"", "what was written on stderr")
                self.assertEqual(d.read_pidfile(), b"", "the pid file after the stop")

    def test_default_port_and_pid_file(self):
        # Port 514 and the pid files under /var/run belong to the host: the daemon runs in
        # a network namespace and a mount namespace (a tmpfs on /var/run) of its own.
        why = harness.namespaces_refused("--mount", "--net")
        if why:
            self.skipTest("a private network and mount namespace is needed: " + why)
        other = harness.reserve_port()
        for port_args, port, pidfile in [([], 514, "/var/run/corvashenmir.pid"),
                                         (["--port", str(other)], other, "/var/run/corvashenmir-%d.pid" % other)]:
            with self.subTest(port=port):
                d = self.daemon(args=["--verbose"], sources=["127.0.0.1"])
                d.drop_option("--port")
                d.drop_option("--pidfile")
                d.port = port
                d.argv = ["unshare", "--mount", "--net", "--propagation", "private", "sh", "-c",
                          'mount -t tmpfs tmpfs /var/run && ip link set lo up && exec "$@"', "sh"] + \
                    d.argv + port_args
                d.start()
                self.assertEqual(d.log_texts()[1], harness.settings_line(os.path.realpath(d.root), port),
                                 "the settings line")
                self.assertIn("Writing '%d' to pidfile '%s'..." % (d.pid, pidfile), d.stdout_lines(),
                              "lines on stdout")
                # Through the daemon's root, with /var/run's own link taken first: a link
                # met after /proc/<pid>/root would be followed in this process's namespace.
                inside = os.path.join(os.path.realpath(os.path.dirname(pidfile)), os.path.basename(pidfile))
                with open("/proc/%d/root%s" % (d.pid, inside), "rb") as f:
                    self.assertEqual(f.read(), b"%d\n" % d.pid, "the pid file in the daemon's namespace")
                subprocess.run(["nsenter", "--net=/proc/%d/ns/net" % d.pid, sys.executable, "-c", SEND_ONE,
                                str(port), "on the default port"], check=True, timeout=30)
                d.wait_drained()
                self.assertEqual(d.stop(), 0, "exit status of the daemon")
                self.assertIn("Wiping pidfile '%s'..." % pidfile, d.stdout_lines(), "lines on stdout")
                files = d.source_files("127.0.0.1")
                self.assertEqual(len(files), 1, "files of the sender: %s" % sorted(files))
                self.assertRecords(list(files.values())[0], [harness.plain("127.0.0.1", b"on the default port")])

    def test_default_root_directory_is_the_working_directory(self):
        src = "127.0.7.40"
        d = self.daemon(sources=[src])
        d.drop_option("--rootdir")
        d.cwd = d.root
        d.start()
        self.assertEqual(d.log_texts()[1], harness.settings_line(os.path.realpath(d.root), d.port),
                         "the settings line")
        d.send(b"<13>stored below the working directory", src=src)
        d.wait_drained()
        self.assertEqual(d.stop(), 0, "exit status of the daemon")
        files = d.source_files(src)
        self.assertEqual(len(files), 1, "files of the source: %s" % sorted(files))
        self.assertRecords(list(files.values())[0], [harness.plain(src, b"<13>stored below the working directory")])

    def test_stop_signals_shut_down_in_order(self):
        stored, failing = "127.0.7.1", "127.0.7.9"
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(sig=sig.name):
                d = self.daemon(sources=[stored]).start()
                sent = [b"<13>first record", b"<13>second\nrecord"]
                for data in sent:
                    d.send(data, src=stored)
                for i in range(3):
                    d.send(b"lost %d" % i, src=failing)
                d.wait_drained()
                self.assertEqual(d.read_pidfile(), b"%d\n" % d.pid, "the pid file while running")

                self.assertEqual(d.stop(sig), 0, "exit status of the daemon")
                nbytes = sum(len(x) for x in sent) + 3 * len(b"lost 0")
                texts = d.log_texts()
                # The last lines: statistics (one open: the source without a directory
                # asks for none), the fail report of the period, then the shutdown line.
                self.assertEqual(texts[3:], [harness.statistics_line(1, nbytes),
                                             harness.fail_line(failing, 3),
                                             harness.shutdown_line(d.pid)], "daemon log lines after start-up")
                self.assertEqual(d.read_pidfile(), b"", "the pid file after the stop")
                files = d.source_files(stored)
                self.assertEqual(len(files), 1, "files of the stored source: %s" % sorted(files))
                self.assertRecords(list(files.values())[0],
                                   [harness.plain(stored, b"<13>first record"),
                                    harness.plain(stored, b"<13>second"),
                                    harness.plain(stored, b"record")])
                self.assertFalse(os.path.exists(os.path.join(d.root, failing)),
                                 "the daemon must not create source directories")

    def test_datagram_waiting_at_start_is_stored_and_counted(self):
        # Sent while start-up is held after the bind, so the loop's very first turn,
        # the initial rollover, takes it: it must show in the first period's statistics.
        src = "127.0.7.30"
        d = self.daemon(sources=[src]).launch_held()
        d.send(b"<13>early bird", src=src)
        fd = d.release()
        try:
            d.wait_initialized()
            d.wait_drained()
            self.assertEqual(d.stop(), 0, "exit status of the daemon")
        finally:
            os.close(fd)
        self.assertIn(harness.statistics_line(1, len(b"<13>early bird")), d.log_texts(), "daemon log lines")
        files = d.source_files(src)
        self.assertEqual(len(files), 1, "files of the source: %s" % sorted(files))
        self.assertRecords(list(files.values())[0], [harness.plain(src, b"<13>early bird")])

    def test_restart_appends_to_daemon_log_and_files(self):
        src = "127.0.7.20"
        d = self.daemon(sources=[src], clock="2026-06-07 08:09:10")
        runs = []
        for n in range(2):
            d.start()
            runs.append(d.proc.pid)
            d.send(b"run %d" % n, src=src)
            d.wait_drained()
            self.assertEqual(d.stop(), 0, "exit status of the daemon")
        self.assertEqual(d.log_names(), ["corvashenmir-20260607"], "daemon logs")
        per_run = lambda pid, n: [harness.startup_line(pid),
                                  harness.settings_line(os.path.realpath(d.root), d.port),
                                  harness.initialized_line(d.port),
                                  harness.statistics_line(1, len(b"run %d" % n)),
                                  harness.shutdown_line(pid)]
        self.assertEqual(d.log_texts(), per_run(runs[0], 0) + per_run(runs[1], 1), "daemon log lines of both runs")
        self.assertEqual(sorted(d.source_files(src)), ["2026060708"], "files of the source")
        self.assertRecords(d.source_files(src)["2026060708"],
                           [harness.plain(src, b"run 0"), harness.plain(src, b"run 1")])

    def test_unwritable_pid_file_is_a_warning(self):
        d = self.daemon(pidfile_arg="/nonexistent-dir-for-corvashenmir/x.pid")
        d.start()
        self.assertEqual(d.stop(), 0, "exit status of the daemon")
        warning = "warning: failed to write to pidfile '/nonexistent-dir-for-corvashenmir/x.pid': No such file or directory"
        self.assertEqual(d.log_texts(), [harness.startup_line(d.pid),
                                         harness.settings_line(os.path.realpath(d.root), d.port),
                                         warning,
                                         harness.initialized_line(d.port),
                                         harness.statistics_line(0, 0),
                                         harness.shutdown_line(d.pid),
                                         warning], "daemon log lines")
        # Level 2 with the daemon log open: echoed on stderr, at start-up and at shutdown.
        self.assertEqual(d.stderr(), ("%s %s\n" % (d.argv[0], warning)).encode() * 2, "what was written on stderr")

    def test_missing_root_directory_is_fatal(self):
        d = self.daemon(expect_fatal=[r'chdir ".*": No such file or directory'])
        missing = os.path.join(d.base, "no-such-root")
        d.argv[d.argv.index("--rootdir") + 1] = missing
        before = sorted(os.listdir(d.base))
        d.launch()
        self.assertEqual(d.wait_exit(), 1, "exit status of the daemon")
        msg = 'fatal: chdir "%s": No such file or directory' % missing
        # No daemon log yet: the stamped line goes to stderr and its echo to stdout.
        self.assertRegex(d.stderr(), b"\\A" + harness.RFC_STAMP + b" " + re.escape(msg.encode()) + b"\n\\Z",
                         "what was written on stderr")
        self.assertEqual(d.stdout(), ("%s %s\n" % (d.argv[0], msg)).encode(), "what was written on stdout")
        self.assertEqual(sorted(os.listdir(d.base)), sorted(before + ["stderr", "stdout"]),
                         "what the scenario's directory holds")
        self.assertEqual(os.listdir(d.root), [], "what the root directory holds")
        self.assertEqual(os.listdir(os.path.join(d.base, "run")), [], "what the pid file's directory holds")

    def test_port_in_use_is_fatal(self):
        d = self.daemon(expect_fatal=[r"bind: Address already in use"])
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as blocker:
            blocker.bind(("0.0.0.0", d.port))
            d.launch()
            self.assertEqual(d.wait_exit(), 1, "exit status of the daemon")
        pid = d.proc.pid
        self.assertEqual(d.log_texts(), [harness.startup_line(pid),
                                         harness.settings_line(os.path.realpath(d.root), d.port),
                                         "fatal: bind: Address already in use"], "daemon log lines")
        # Level 2 with the daemon log open: the echo goes to stderr.
        self.assertEqual(d.stderr(), ("%s fatal: bind: Address already in use\n" % d.argv[0]).encode(),
                         "what was written on stderr")
        self.assertEqual(d.stdout_lines(), ["%s %s" % (d.argv[0], t) for t in d.log_texts()[:2]], "lines on stdout")
        self.assertFalse(os.path.exists(d.pidfile), "the pid file is written after the bind")


class DaemonModeTest(harness.DaemonTestCase):

    def test_daemon_detaches_serves_and_stops(self):
        src = "127.0.8.1"
        d = self.daemon(args=["--daemon"], sources=[src])
        d.launch()
        # The invoking process returns at once with status 0.
        self.assertEqual(d.proc.wait(15), 0, "exit status of the invoking process")
        caller = d.proc.pid
        pidtext = harness.wait_for(lambda: os.path.exists(d.pidfile) and d.read_pidfile(), 15,
                                   "the detached daemon to write its pid file")
        self.assertRegex(pidtext, rb"\A[1-9][0-9]*\n\Z", "the pid file of the detached daemon")
        d.daemon_pid = int(pidtext)
        self.assertNotEqual(d.daemon_pid, caller, "pid of the detached daemon against the invoking process's")
        self.assertTrue(d.alive(), "the detached daemon ended (state %s)" % d.state())
        d.wait_initialized()

        # The invoking process printed the start-up lines and the backgrounding line, once each.
        root = os.path.realpath(d.root)
        self.assertEqual(d.stdout_lines(), ["%s %s" % (d.argv[0], t) for t in [
            harness.startup_line(caller),
            harness.settings_line(root, d.port),
            "startup: backgrounding (daemonizing)"]], "lines on stdout")
        self.assertEqual(d.stderr(), b"", "what was written on stderr")

        d.send(b"served in the background", src=src)
        d.wait_drained()
        d.stop(signal.SIGTERM)
        self.assertEqual(d.log_texts(), [
            harness.startup_line(caller),
            harness.settings_line(root, d.port),
            "startup: backgrounding (daemonizing)",
            harness.initialized_line(d.port),
            harness.statistics_line(1, len(b"served in the background")),
            harness.shutdown_line(d.daemon_pid)], "daemon log lines")
        self.assertEqual(d.read_pidfile(), b"", "the pid file after the stop")
        files = d.source_files(src)
        self.assertEqual(len(files), 1, "files of the source: %s" % sorted(files))
        self.assertRecords(list(files.values())[0], [harness.plain(src, b"served in the background")])
        # Nothing more reached the caller's streams after it returned.
        self.assertEqual(len(d.stdout_lines()), 3, "lines on stdout after the invoking process returned")

    def test_detached_bind_failure_is_only_in_the_daemon_log(self):
        d = self.daemon(args=["--daemon"], expect_fatal=[r"bind: Address already in use"])
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as blocker:
            blocker.bind(("0.0.0.0", d.port))
            d.launch()
            self.assertEqual(d.proc.wait(15), 0, "exit status of the invoking process")
            harness.wait_for(lambda: "fatal: bind: Address already in use" in d.log_texts(), 15,
                             "the detached daemon's bind failure")
        self.assertEqual(d.log_texts(), [harness.startup_line(d.proc.pid),
                                         harness.settings_line(os.path.realpath(d.root), d.port),
                                         "startup: backgrounding (daemonizing)",
                                         "fatal: bind: Address already in use"], "daemon log lines")
        self.assertEqual(d.stderr(), b"", "what was written on stderr")
        self.assertEqual(len(d.stdout_lines()), 3, "lines on stdout")
        self.assertFalse(os.path.exists(d.pidfile), "a pid file was written")

    def test_detached_daemon_without_dev_null_exits_2(self):
        # In a mount namespace of its own /dev is a directory whose "null" is a directory
        # too, so the detached daemon cannot open it on descriptor 0. A subreaper sees the
        # exit status of the detached process, which no longer has the caller as parent.
        why = harness.namespaces_refused("--mount")
        if why:
            self.skipTest("a private mount namespace is needed to take /dev/null away: " + why)
        d = self.daemon(args=["--daemon"])
        fakedev = os.path.join(d.base, "dev")
        os.makedirs(os.path.join(fakedev, "null"))
        argv = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                'mount --bind "$0" /dev && exec "$@"', fakedev] + d.argv
        ended = harness.run_reaped(argv, d.cwd, d.env, os.path.join(d.base, "stdout"),
                                   os.path.join(d.base, "stderr"))
        caller = ended[0][0]
        self.assertEqual(ended[0][1], 0, "exit status of the invoking process")
        # The first child exits once it has forked the daemon; the daemon exits with 2.
        self.assertEqual(sorted(status for _, status in ended[1:]), [0, 2],
                         "exit statuses of the detaching processes, %r" % ended)
        root = os.path.realpath(d.root)
        self.assertEqual(d.log_texts(), [harness.startup_line(caller), harness.settings_line(root, d.port),
                                         "startup: backgrounding (daemonizing)"], "lines of the daemon log")
        self.assertEqual(d.stdout_lines(), ["%s %s" % (d.argv[0], t) for t in d.log_texts()], "lines on stdout")
        self.assertEqual(d.stderr(), b"", "what was written on stderr")
        self.assertFalse(os.path.exists(d.pidfile), "a pid file was written: %r" % d.read_pidfile()
                         if os.path.exists(d.pidfile) else "")

    def test_daemon_with_verbose_stays_in_foreground(self):
        d = self.daemon(args=["--daemon", "--verbose"]).start()
        self.assertTrue(d.alive(), "the daemon ended (state %s)" % d.state())
        self.assertIsNone(d.proc.poll(), "exit status of a daemon that should run in the foreground")
        self.assertEqual(d.read_pidfile(), b"%d\n" % d.proc.pid, "the pid file while running")
        self.assertEqual(d.stop(signal.SIGINT), 0, "exit status of the daemon")
        out = d.stdout_lines()
        self.assertIn("Binding port %d/udp" % d.port, out, "lines on stdout")
        self.assertNotIn("startup: backgrounding (daemonizing)", d.log_texts(), "daemon log lines")
        self.assertIn("Writing '%d' to pidfile '%s'..." % (d.proc.pid, d.pidfile), out, "lines on stdout")
        self.assertIn("Wiping pidfile '%s'..." % d.pidfile, out, "lines on stdout")
        self.assertIn("sighandler: got SIGTERM/SIGINT", out, "lines on stdout")
        # Under --verbose level 0 lines are echoed too.
        self.assertIn("%s %s" % (d.argv[0], harness.statistics_line(0, 0)), out, "lines on stdout")


if __name__ == "__main__":
    harness.main()
