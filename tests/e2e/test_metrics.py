# SPDX-License-Identifier: BSD-2-Clause
"""The metrics file (--metrics): counters since start in the Prometheus text
exposition format, replaced whole by a rename.

One run mixes every fate a datagram can have and checks each version of the
file it writes: a strict parse, the identity

    received = stored + failed_source + open_rate + open_burst + size_cap

(kernel drops are never received), counters that only grow, and at chosen
points every value against a model of what the test sent; at the end the
counters against the daemon log's report lines and the files. Then readers
racing hangups, writes that fail and recover, and the file as promtool and
node_exporter's textfile collector take it.

The daemon's wall clock stands still unless the test moves it (libfaketime
reads the time from a file at every call), so the open gate's seconds, the
ten-second writes and the hour's rollover come exactly when the test says,
whatever the load on the machine."""

import calendar
import datetime
import errno
import http.client
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.request

import harness

PREFIX = "corvashenmir_"
REASONS = ("failed_source", "open_rate", "open_burst", "size_cap", "kernel_queue_full")


def dropped(reason):
    return 'dropped_datagrams_total{reason="%s"}' % reason


COUNTERS = ["received_datagrams_total", "received_bytes_total", "stored_datagrams_total"] + \
    [dropped(r) for r in REASONS] + \
    ["cut_datagrams_total", "lost_records_total", "file_opens_total", "file_evictions_total",
     "daemon_log_unwritten_lines_total"]
GAUGES = ["open_files", "failed_sources", "socket_receive_queue_bytes", "socket_receive_buffer_bytes",
          "last_datagram_timestamp_seconds", "start_time_seconds", 'build_info{version="%s"}' % harness.VERSION]
FAMILY_TYPES = {PREFIX + k.split("{")[0]: "counter" for k in COUNTERS}
FAMILY_TYPES.update({PREFIX + k.split("{")[0]: "gauge" for k in GAUGES})

# --- the text exposition format ------------------------------------------

NAME = r"[a-zA-Z_:][a-zA-Z0-9_:]*"
HELP_LINE = re.compile(r"# HELP (%s) ((?:[^\\\n]|\\[\\n])*)" % NAME)
TYPE_LINE = re.compile(r"# TYPE (%s) (counter|gauge|histogram|summary|untyped)" % NAME)
SAMPLE_LINE = re.compile(r"(%s)(?:\{(.*)\})? (\S+)(?: (-?\d+))?" % NAME)
LABEL_PAIR = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\[\\"n])*)"(,?)')
VALUE = re.compile(r"[+-]?(?:\d+\.?\d*(?:[eE][+-]?\d+)?|\.\d+(?:[eE][+-]?\d+)?|Inf)|NaN")
SUFFIXES = {"summary": ("", "_sum", "_count"), "histogram": ("_bucket", "_sum", "_count")}


def parse_exposition(text):
    """({series: value}, {family: type}) of a whole text exposition, series
    written name{label="value",...} with the labels sorted. Fails on a line the
    format does not allow, on an empty file or a last line without its LF, on a
    sample whose family has not had its HELP and TYPE lines, on a family whose
    lines are not together, and on a series given twice."""
    if not text.endswith("\n"):
        raise AssertionError("exposition is empty or ends without a line feed: %r" % text[-80:])
    families, kinds, series = {}, {}, {}
    current, closed = None, set()
    for line in text[:-1].split("\n"):
        m = HELP_LINE.fullmatch(line) or TYPE_LINE.fullmatch(line)
        if line.startswith("#"):
            if m is None:
                raise AssertionError("neither a HELP nor a TYPE line: %r" % line)
            name, what = m.group(1), line.split()[1]
            if name in closed or (name == current and families[name]["samples"]):
                raise AssertionError("%s of %s after its samples: %r" % (what, name, line))
            if name != current:
                if current is not None:
                    closed.add(current)
                current = name
                families[name] = {"HELP": None, "TYPE": None, "samples": 0}
            if families[name][what] is not None:
                raise AssertionError("second %s line of %s" % (what, name))
            families[name][what] = m.group(2)
            continue
        m = SAMPLE_LINE.fullmatch(line)
        if m is None:
            raise AssertionError("not a sample line: %r" % line)
        name, labels, value = m.group(1), m.group(2), m.group(3)
        fam = families.get(current)
        kind = fam["TYPE"] if fam else None
        if fam is None or fam["HELP"] is None or kind is None or \
                name not in [current + s for s in SUFFIXES.get(kind, ("",))]:
            raise AssertionError("sample %r without the HELP and TYPE lines of its family before it" % line)
        pairs = []
        if labels is not None:
            pos = 0
            while pos < len(labels):
                lm = LABEL_PAIR.match(labels, pos)
                if lm is None or (lm.group(3) == "" and lm.end() != len(labels)):
                    raise AssertionError("bad labels in %r" % line)
                pairs.append((lm.group(1), lm.group(2)))
                pos = lm.end()
            if not pairs or len({k for k, _ in pairs}) != len(pairs):
                raise AssertionError("empty or repeated labels in %r" % line)
        if not VALUE.fullmatch(value):
            raise AssertionError("bad value in %r" % line)
        key = name + ("{%s}" % ",".join('%s="%s"' % p for p in sorted(pairs)) if pairs else "")
        if key in series:
            raise AssertionError("series %s given twice" % key)
        series[key] = float(value)
        fam["samples"] += 1
    for name, fam in families.items():
        if fam["HELP"] is None or fam["TYPE"] is None or fam["samples"] == 0:
            raise AssertionError("family %s lacks its HELP, its TYPE or a sample" % name)
        kinds[name] = fam["TYPE"]
    return series, kinds


def daemon_values(series):
    """The daemon's series, its prefix taken off."""
    return {k[len(PREFIX):]: v for k, v in series.items() if k.startswith(PREFIX)}


def check_metrics(text):
    """The values of one version of the metrics file, after the checks every
    version must pass: the format, exactly the daemon's families and series,
    whole counts and the identity."""
    series, kinds = parse_exposition(text)
    if kinds != FAMILY_TYPES:
        raise AssertionError("families differ: %r" % kinds)
    values = daemon_values(series)
    if sorted(values) != sorted(COUNTERS + GAUGES):
        raise AssertionError("series differ: %r" % sorted(values))
    for k in COUNTERS + GAUGES[:4]:
        if values[k] < 0 or values[k] != int(values[k]):
            raise AssertionError("%s is no count: %r" % (k, values[k]))
    drops = sum(values[dropped(r)] for r in REASONS if r != "kernel_queue_full")
    if values["received_datagrams_total"] != values["stored_datagrams_total"] + drops:
        raise AssertionError("received is not stored plus dropped: %r" % values)
    return values


def check_versions(test, versions):
    """Every version seen passes check_metrics and no counter goes down."""
    test.assertTrue(versions, "no version of the metrics file was seen")
    last = None
    for i, text in enumerate(versions):
        values = check_metrics(text)
        if last is not None:
            for k in COUNTERS:
                test.assertGreaterEqual(values[k], last[k], "%s went down at version %d" % (k, i))
            test.assertEqual(values["start_time_seconds"], last["start_time_seconds"])
        last = values
    return last


# --- helpers -------------------------------------------------------------

class FakeClock:
    """The harness's held clock of one daemon (TZ=UTC0), set in seconds since the epoch."""

    def __init__(self, d, start):
        self.d = d
        self.now = start
        d.held_clock(self.at(start))

    @staticmethod
    def at(t):
        return datetime.datetime.fromtimestamp(t, datetime.timezone.utc).replace(tzinfo=None)

    def set(self, t):
        """The daemon reads t from its next clock reading on."""
        self.now = t
        self.d.set_clock(self.at(t), wait=False)


def read_version(path):
    """(inode, content) of the file at path, read through one descriptor; None when missing."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except FileNotFoundError:
        return None
    try:
        chunks = []
        while True:
            b = os.read(fd, 65536)
            if not b:
                break
            chunks.append(b)
        return os.fstat(fd).st_ino, b"".join(chunks).decode()
    finally:
        os.close(fd)


class Watcher:
    """Reads the metrics file over and over in a thread and keeps every
    version it sees: a write is a new file, so a new inode or new content."""

    def __init__(self, test, path):
        self.path = path
        self.versions = []
        self.reads = 0
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()
        test.addCleanup(self.stop)

    def run(self):
        last = None
        while not self.stopping.is_set():
            v = read_version(self.path)
            if v is not None:
                self.reads += 1
                if v != last:
                    self.versions.append(v[1])
                    last = v
            self.stopping.wait(0.002)

    def stop(self):
        self.stopping.set()
        self.thread.join()
        return self.versions


def file_mark(path):
    """What changes with every write of the file at path, be it renamed over or
    (wrongly) written in place; None when there is none."""
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return None
    return st.st_ino, st.st_mtime_ns, st.st_size


def wait_write(path, before, what):
    """Waits until the file at path is written after file_mark gave before."""
    harness.wait_for(lambda: file_mark(path) not in (None, before), 20, "the metrics file to be written " + what,
                     interval=0.002)


def sums(texts, pattern):
    """The first group of every daemon log text that matches pattern, summed."""
    p = re.compile(pattern)
    return sum(int(m.group(1)) for m in map(p.fullmatch, texts) if m)


RECORD = re.compile(rb"(?:" + harness.RFC_STAMP + rb") (\S+) .*")


def count_records(test, d, addr):
    """Records of addr in all its files; fails on a line of another source."""
    n = 0
    for content in d.source_files(addr).values():
        test.assertTrue(content.endswith(b"\n"), addr)
        for line in content.splitlines():
            if re.fullmatch(rb"(?:" + harness.RFC_STAMP + rb") " + re.escape(harness.marker_line(addr)[:-1]),
                            line):
                continue
            m = RECORD.fullmatch(line)
            test.assertTrue(m and m.group(1) == addr.encode(), "not a record of %s: %r" % (addr, line[:100]))
            n += 1
    return n


# --- one run with every fate of a datagram -----------------------------------

T0 = calendar.timegm((2031, 3, 5, 10, 59, 31))
KEYS = ("2031030510", "2031030511")
STORED = ["127.0.51.%d" % (i + 1) for i in range(3)]
NODIR = ["127.0.52.%d" % (i + 1) for i in range(4)]
FIFO_SRC, DIR_SRC = "127.0.53.1", "127.0.53.2"
RATE = ["127.0.54.%d" % (i + 1) for i in range(8)]
BURST = ["127.0.55.%d" % (i + 1) for i in range(25)]
EVICT = ["127.0.59.%d" % (i + 1) for i in range(5)]
CAPPED, FLOOD, LOSSY = "127.0.56.1", "127.0.57.1", "127.0.58.1"
MAXOPEN, MAXOPENSPERSEC = 20, 5
CAP = 1000000
STAMP_LEN = 32  # 2031-03-05T10:59:31.000000+00:00


# Each counter with the daemon log lines whose numbers add up to it.
LOG_SUMS = [
    ("file_opens_total", r"statistics: opens=(\d+) recvd=\d+"),
    ("received_bytes_total", r"statistics: opens=\d+ recvd=(\d+)"),
    (dropped("failed_source"), r"drop: failed \S+ (\d+) times"),
    (dropped("open_rate"), r"drops: ignored (\d+) file open attempts\. maxopenspersec \(5\) exceeded\."),
    (dropped("open_burst"),
     r"drops: ignored (\d+) file open attempts\. maxopen \(20\) exceeded during a single second\."),
    (dropped("size_cap"), r"drop: discarded (\d+) datagrams of \S+ after maximum file length \(1000000\)"),
    (dropped("kernel_queue_full"), r"drops: kernel dropped (\d+) datagrams \(socket receive queue full\)"),
    ("cut_datagrams_total", r"drops: cut (\d+) datagrams to 8192 bytes"),
    ("lost_records_total", r"drop: lost (\d+) records of \S+: .*"),
    ("daemon_log_unwritten_lines_total", r"warning: (\d+) daemon log lines could not be written: .*"),
]


class MetricsAccountingTest(harness.DaemonTestCase):

    def setUp(self):
        self.m = {k: 0 for k in COUNTERS + GAUGES}
        self.m['build_info{version="%s"}' % harness.VERSION] = 1
        self.records = {}
        self.seq = 0

    # Every datagram goes through here with the fate the test expects for it.
    def send(self, src, fate, size=60, opens=False):
        head = b"<13>metrics %s %d " % (src.encode(), self.seq)
        self.seq += 1
        data = head + b"m" * max(0, size - len(head)) if size <= harness.DATAGRAM_MAX else b"y" * size
        self.d.send(data, src=src)
        self.count(src, fate, len(data), opens)

    def count(self, src, fate, length, opens=False):
        m = self.m
        m["received_datagrams_total"] += 1
        m["received_bytes_total"] += min(length, harness.DATAGRAM_MAX)
        m["cut_datagrams_total"] += length > harness.DATAGRAM_MAX
        m["file_opens_total"] += opens
        m["last_datagram_timestamp_seconds"] = float(self.clock.now)
        if fate == "stored":
            m["stored_datagrams_total"] += 1
            self.records[src] = self.records.get(src, 0) + 1
        else:
            m[dropped(fate)] += 1

    def drained(self):
        self.d.wait_drained(allow_drops=True)
        self.assertEqual(self.d.socket_queue()[1], self.m[dropped("kernel_queue_full")],
                         "the kernel dropped datagrams the test did not mean it to")

    def step(self, t, probe):
        """Moves the clock to t, and has the daemon read it with a datagram of
        probe, an open source."""
        self.clock.set(t)
        self.send(probe, "stored")
        self.drained()

    def expect(self, text, what, queued_up_to=None):
        """The version of the file is exactly the model; with queued_up_to, the
        socket queue holds more than nothing and at most that many bytes."""
        values = check_metrics(text)
        want = dict(self.m)
        if queued_up_to is not None:
            queued = values["socket_receive_queue_bytes"]
            self.assertTrue(0 < queued <= queued_up_to, "queue bytes %r at %s" % (queued, what))
            want["socket_receive_queue_bytes"] = queued
        self.assertEqual(values, want, what)

    def written(self, action, what):
        """Runs action, waits for the write it causes and the daemon to be idle
        again, and returns the file's content."""
        before = file_mark(self.path)
        action()
        wait_write(self.path, before, what)
        self.drained()
        return read_version(self.path)[1]

    def test_every_datagram_is_counted_once_and_the_log_agrees(self):
        dirs = STORED + [FIFO_SRC, DIR_SRC] + RATE + BURST + EVICT + [CAPPED, FLOOD, LOSSY]
        d = self.d = self.daemon(args=["--maxopen", str(MAXOPEN), "--maxopenspersec", str(MAXOPENSPERSEC),
                                       "--maxfilesize", "1", "--rcvbuf", "65536", "--verbose",
                                       "--metrics", "corvashenmir.prom"], sources=dirs)
        self.clock = FakeClock(d, T0)
        for key in KEYS:
            os.mkfifo(d.source_path(FIFO_SRC, key))
            os.mkdir(d.source_path(DIR_SRC, key))
        self.path = os.path.join(d.root, "corvashenmir.prom")
        d.start()
        watcher = Watcher(self, self.path)
        m = self.m
        m["start_time_seconds"] = float(T0)
        # The kernel grants twice what is asked: forced past rmem_max as root, else within it.
        with open("/proc/sys/net/core/rmem_max") as f:
            rmem_max = int(f.read())
        m["socket_receive_buffer_bytes"] = 2 * 65536 if os.geteuid() == 0 else 2 * min(65536, rmem_max)
        self.assertIn("startup: socket receive buffer %d bytes" % m["socket_receive_buffer_bytes"], d.log_texts())
        # Written once the socket is bound, before any datagram.
        self.expect(read_version(self.path)[1], "at start")

        # The first second admits up to maxopen opens. Sources without a
        # directory fail without an open attempt or a descriptor; a FIFO or a
        # directory at the file's path is a failed open that keeps its
        # descriptor as a failed mark.
        for src in STORED:
            self.send(src, "stored", opens=True)
            self.send(src, "stored")
        self.send(STORED[1], "stored", size=9000)
        for src in (FIFO_SRC, DIR_SRC):
            self.send(src, "failed_source", opens=True)
            self.send(src, "failed_source")
        for src in NODIR:
            for _ in range(3):
                self.send(src, "failed_source")
        self.drained()
        m["open_files"], m["failed_sources"] = 3, 2
        self.expect(self.written(lambda: self.clock.set(T0 + 9), "at a tenth second"), "at :40")

        # Rate limited: five opens a second, the rest refused.
        for i, src in enumerate(RATE):
            self.send(src, "stored" if i < MAXOPENSPERSEC else "open_rate", opens=i < MAXOPENSPERSEC)
        self.drained()
        m["open_files"] += MAXOPENSPERSEC
        self.step(T0 + 10, STORED[0])

        # A hangup closes everything and allows a burst of maxopen opens.
        m["open_files"] = m["failed_sources"] = 0
        self.expect(self.written(d.hup, "after a hangup"), "after the first hangup")
        for i, src in enumerate(BURST):
            self.send(src, "stored" if i < MAXOPEN else "open_burst", opens=i < MAXOPEN)
        self.drained()
        m["open_files"] = MAXOPEN
        self.step(T0 + 11, BURST[0])
        self.step(T0 + 12, BURST[1])

        # With the pool full, sources without a directory take no descriptor
        # and evict nothing; new sources with one each evict an open file.
        for src in NODIR:
            self.send(src, "failed_source")
        for src in EVICT:
            self.send(src, "stored", opens=True)
        self.drained()
        m["file_evictions_total"] += len(EVICT)
        self.expect(self.written(lambda: self.clock.set(T0 + 19), "at a tenth second"), "after evictions")

        # A file that reaches its cap; the datagrams after it are dropped.
        m["open_files"] = 0
        self.expect(self.written(d.hup, "after a hangup"), "after the second hangup")
        record = STAMP_LEN + 1 + len(CAPPED) + 1 + 8000 + 1
        admitted = (CAP - 1) // record + 1
        for i in range(admitted + 5):
            self.send(CAPPED, "stored" if i < admitted else "size_cap", size=8000, opens=i == 0)
            if i % 4 == 3:
                self.drained()
        self.send(FLOOD, "stored", opens=True)
        self.drained()
        m["open_files"] = 2

        # More datagrams than the socket holds, queued while the daemon is
        # held; a hangup waits among them, so a write sees the queue full.
        flood = m["socket_receive_buffer_bytes"] // 500 + 1000
        if flood > 100000:
            raise unittest.SkipTest("the receive buffer (%d) is too large to overfill quickly" % m["socket_receive_buffer_bytes"])
        before = file_mark(self.path)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind((FLOOD, 0))
            d.send_signal(signal.SIGSTOP)
            try:
                harness.wait_for(lambda: d.state() == "T", 5, "the daemon to stop")
                for i in range(flood):
                    s.sendto(b"<13>flood %06d " % i + b"f" * 83, ("127.0.0.1", d.port))
                d.send_signal(signal.SIGHUP)
            finally:
                d.send_signal(signal.SIGCONT)
        wait_write(self.path, before, "after a hangup among queued datagrams")
        kernel = d.socket_queue()[1]
        self.assertGreater(kernel, 0, "the socket queue held all %d datagrams" % flood)
        m[dropped("kernel_queue_full")] = kernel
        m["open_files"] = 0
        # The hangup comes before the queued datagrams are routed.
        self.expect(read_version(self.path)[1], "with the queue full", queued_up_to=2 * m["socket_receive_buffer_bytes"])
        for i in range(flood - kernel):
            self.count(FLOOD, "stored", 100, opens=i == 0)
        self.drained()
        m["open_files"] = 1

        # Records that cannot be written (the file is beyond the process's
        # file-size limit) are lost when their file is closed.
        for i in range(16):
            self.send(LOSSY, "stored", size=8000, opens=i == 0)
            if i % 4 == 3:
                self.drained()
        self.drained()
        m["open_files"] = 2
        self.step(T0 + 20, FLOOD)
        lossy = d.source_path(LOSSY, KEYS[0])
        self.assertEqual(os.path.getsize(lossy), 16 * record)
        others = [d.source_path(FLOOD, KEYS[0]), os.path.join(d.root, d.log_names()[0]), self.path,
                  os.path.join(d.base, "stdout"), os.path.join(d.base, "stderr")]
        self.assertLess(max(map(os.path.getsize, others)) + 4096, 16 * record)
        harness.set_file_size_limit(d.pid, 16 * record - 1)
        try:
            for _ in range(10):
                self.send(LOSSY, "stored", size=100)
            self.drained()
            m["lost_records_total"] += 10
            m["open_files"] = 0
            self.expect(self.written(d.hup, "after a hangup"), "after lost records")
        finally:
            harness.set_file_size_limit(d.pid, None)

        # Daemon log lines that cannot be written: the two of a hangup, and the
        # warning about the metrics file, which cannot be written either.
        limit = os.path.getsize(os.path.join(d.base, "stderr")) + 512
        self.assertLess(limit, min(os.path.getsize(os.path.join(d.root, d.log_names()[0])),
                                   os.path.getsize(self.path)))
        warning = "warning: metrics file corvashenmir.prom could not be written: %s" % os.strerror(errno.EFBIG)
        harness.set_file_size_limit(d.pid, limit)
        try:
            d.send_signal(signal.SIGHUP)
            harness.wait_for(lambda: warning.encode() in d.stderr(), 10, "the metrics warning on stderr")
            self.drained()
        finally:
            harness.set_file_size_limit(d.pid, None)
        self.assertNotIn(warning, d.log_texts())
        m["daemon_log_unwritten_lines_total"] += 3
        self.expect(self.written(d.hup, "after the log took lines again"), "after unwritten log lines")
        self.assertIn("warning: 3 daemon log lines could not be written: %s" % os.strerror(errno.EFBIG),
                      d.log_texts())

        # The hour's rollover writes the file; then the next hour's datagrams.
        self.expect(self.written(lambda: self.clock.set(T0 + 29), "at the rollover"), "at the rollover")
        self.send(STORED[0], "stored", opens=True)
        self.send(STORED[0], "stored")
        self.send(STORED[2], "stored", size=9000, opens=True)
        self.send(FIFO_SRC, "failed_source", opens=True)
        self.send(DIR_SRC, "failed_source", opens=True)
        self.send(NODIR[0], "failed_source")
        self.send(NODIR[0], "failed_source")
        self.drained()

        # The last write comes after the files are closed, and stays.
        before = file_mark(self.path)
        self.assertEqual(d.stop(), 0)
        self.assertNotEqual(file_mark(self.path), before)
        self.expect(read_version(self.path)[1], "after shutdown")
        self.assertFalse(os.path.exists(self.path + ".tmp"))
        final = read_version(self.path)[1]
        harness.wait_for(lambda: watcher.versions[-1] == final, 10, "the watcher to read the last version")
        versions = watcher.stop()
        self.assertGreaterEqual(len(versions), 5)
        self.assertEqual(check_versions(self, versions), check_metrics(final))

        self.check_log(check_metrics(final))
        self.check_files(dirs)

    def check_log(self, final):
        """The counters equal the sums of their daemon log lines, and the model."""
        d, m = self.d, self.m
        texts = d.log_texts()
        self.assertEqual(len([t for t in texts if t.startswith("statistics:")]), 2)
        logged = {key: sums(texts, pattern) for key, pattern in LOG_SUMS}
        self.assertEqual({k: final[k] for k in logged}, logged)
        self.assertEqual(logged, {k: m[k] for k in logged})
        self.assertEqual(sum(1 for line in d.stdout_lines() if line.startswith("FORCECLOSE ")),
                         m["file_evictions_total"])
        self.assertEqual(sum(1 for line in d.stdout_lines() if line.startswith("OPEN ")), m["file_opens_total"])
        self.assertEqual(final["cut_datagrams_total"], 2)
        self.assertEqual((final[dropped("open_rate")], final[dropped("open_burst")], final[dropped("size_cap")]),
                         (3, 5, 5))

    def check_files(self, dirs):
        """Every record stored is in its source's file, but the lost ones."""
        d = self.d
        # The FIFO and the directory are still all there is of their sources.
        for src, kind in ((FIFO_SRC, stat.S_ISFIFO), (DIR_SRC, stat.S_ISDIR)):
            self.assertEqual(sorted(os.listdir(os.path.join(d.root, src))), ["%s-%s" % (src, k) for k in KEYS])
            self.assertTrue(all(kind(os.stat(d.source_path(src, k)).st_mode) for k in KEYS))
        kept = [src for src in dirs if src not in (FIFO_SRC, DIR_SRC)]
        on_disk = {src: count_records(self, d, src) for src in kept}
        want = {src: self.records.get(src, 0) for src in kept}
        want[LOSSY] -= 10
        self.assertEqual(on_disk, want)
        self.assertEqual(sum(on_disk.values()) + self.m["lost_records_total"], self.m["stored_datagrams_total"])


# --- readers and failed writes ------------------------------------------------

class ZeroLengthTest(harness.DaemonTestCase):

    def test_zero_length_datagrams_are_neither_counted_nor_stored(self):
        src, unknown = "127.0.63.1", "127.0.63.2"
        d = self.daemon(args=["--metrics", "m.prom"], sources=[src], clock="2026-03-05 10:00:01").start()
        d.send(b"", src=src)
        d.send(b"<13>one", src=src)
        d.send(b"", src=unknown)
        d.wait_drained()
        d.set_clock("2026-03-05 10:00:10")
        values = check_metrics(read_version(os.path.join(d.root, "m.prom"))[1])
        self.assertEqual((values["received_datagrams_total"], values["received_bytes_total"],
                          values["stored_datagrams_total"], values[dropped("failed_source")]), (1, 7, 1, 0))
        self.assertEqual(d.stop(), 0)
        (content,) = d.source_files(src).values()
        self.assertRecords(content, [harness.plain(src, b"<13>one")])
        self.assertEqual([t for t in d.log_texts() if t.startswith("drop")], [])


class MetricsReplaceTest(harness.DaemonTestCase):

    def start(self, **kw):
        d = self.daemon(args=["--metrics", "m/corvashenmir.prom"], sources=["127.0.61.1"], **kw)
        self.clock = FakeClock(d, T0)
        os.mkdir(os.path.join(d.root, "m"))
        self.path = os.path.join(d.root, "m", "corvashenmir.prom")
        self.tmp = self.path + ".tmp"
        return d

    def test_readers_see_only_whole_files(self):
        d = self.start().start()
        reads, seen, errors = [0], set(), []
        stopping = threading.Event()

        def reader():
            while not stopping.is_set():
                try:
                    with open(self.path) as f:
                        ino, text = os.fstat(f.fileno()).st_ino, f.read()
                    reads[0] += 1
                    check_metrics(text)
                    seen.add((ino, text))
                except Exception as e:  # reported by the test's thread
                    errors.append(repr(e))
                    return

        thread = threading.Thread(target=reader, daemon=True)
        thread.start()
        self.addCleanup(thread.join)
        self.addCleanup(stopping.set)
        deadline = time.monotonic() + 120
        hups = 0
        # Hangups force writes, each after a datagram that changes the counts.
        while (reads[0] < 3000 or hups < 200) and hups < 5000 and time.monotonic() < deadline and not errors:
            before = file_mark(self.path)
            d.send(b"<13>reader %d" % hups, src="127.0.61.1")
            d.send_signal(signal.SIGHUP)
            wait_write(self.path, before, "after hangup %d" % hups)
            hups += 1
            # The rename has happened, and nothing else writes the file meanwhile.
            self.assertFalse(os.path.exists(self.tmp), "the temporary file is there after a write")
        stopping.set()
        thread.join()
        self.assertEqual(errors, [])
        self.assertGreaterEqual(reads[0], 3000)
        self.assertGreaterEqual(len(seen), 50, "the reader saw too few versions")
        d.wait_drained()
        self.assertFalse(os.path.exists(self.tmp))
        self.assertEqual(os.stat(self.path).st_mode & 0o777, 0o644, "collectors must be able to read it")
        self.assertEqual(d.stop(), 0)
        self.assertFalse(os.path.exists(self.tmp))
        self.assertEqual(check_metrics(read_version(self.path)[1])["received_datagrams_total"], hups)

    def read_only_dir(self):
        """(make unwritable, make writable, errno) for the file's directory, or the reason
        that cannot be done here."""
        mdir = os.path.dirname(self.path)
        if os.geteuid() != 0:
            self.addCleanup(os.chmod, mdir, 0o755)
            return (lambda: os.chmod(mdir, 0o555)), (lambda: os.chmod(mdir, 0o755)), errno.EACCES
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,mode=0755", "tmpfs", mdir],
                           capture_output=True, text=True)
        if r.returncode != 0:
            return "cannot mount a tmpfs: %s" % r.stderr.strip()
        self.addCleanup(subprocess.run, ["umount", "-l", mdir], check=False)

        def remount(mode):
            subprocess.run(["mount", "-o", "remount,%s" % mode, mdir], check=True)
        return (lambda: remount("ro")), (lambda: remount("rw")), errno.EROFS

    def test_a_failed_write_warns_once_until_one_succeeds(self):
        d = self.start()
        ro = self.read_only_dir()
        d.start()
        src = "127.0.61.1"
        target = os.path.join(d.base, "not-to-be-written")

        def dir_at_path():
            os.unlink(self.path)
            os.mkdir(self.path)

        cases = [("a directory at the file's path", dir_at_path, lambda: os.rmdir(self.path), errno.EISDIR),
                 ("a symbolic link at the temporary path", lambda: os.symlink(target, self.tmp),
                  lambda: os.unlink(self.tmp), errno.ELOOP)]
        if isinstance(ro, str):
            harness.skip_part(self, "a read-only directory", ro)
        else:
            cases.insert(0, ("a read-only directory",) + ro)
        sent = 0
        for what, fail, mend, err in cases:
            with self.subTest(what):
                warning = "warning: metrics file m/corvashenmir.prom could not be written: %s" % os.strerror(err)
                warned = d.log_texts().count(warning)
                old = read_version(self.path)
                fail()
                for i in range(3):
                    d.send(b"<13>while failing %d" % i, src=src)
                    sent += 1
                    d.wait_drained()
                    d.hup()
                    d.wait_drained()
                # Warned once; the daemon goes on storing; no temporary file
                # stays, and no link is followed.
                self.assertEqual(d.log_texts().count(warning), warned + 1, what)
                self.assertEqual(d.stderr().decode().count(warning), warned + 1, what)
                self.assertEqual(count_records(self, d, src), sent)
                self.assertEqual(os.path.islink(self.tmp), err == errno.ELOOP, what)
                self.assertFalse(os.path.lexists(target), what)
                if err != errno.EISDIR:
                    self.assertEqual(read_version(self.path), old, what)
                mend()
                before = file_mark(self.path)
                d.send_signal(signal.SIGHUP)
                wait_write(self.path, before, "once it can be")
                d.wait_drained()
                self.assertEqual(check_metrics(read_version(self.path)[1])["received_datagrams_total"], sent)
                self.assertFalse(os.path.lexists(self.tmp))
                self.assertEqual(d.log_texts().count(warning), warned + 1, what)
        self.assertEqual(d.stop(), 0)
        self.assertEqual(check_metrics(read_version(self.path)[1])["stored_datagrams_total"], sent)


# --- promtool and node_exporter --------------------------------------------

TOOLS = {"promtool": "prometheus", "prometheus-node-exporter": "prometheus-node-exporter"}


def missing_tools():
    """None when promtool and node_exporter are there (./test.sh installs them), else
    what is missing."""
    missing = [pkg for tool, pkg in TOOLS.items() if shutil.which(tool) is None]
    return "not installed: %s (./test.sh installs them)" % " ".join(missing) if missing else None


def listening(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


def free_tcp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


SOURCE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def guide_rules():
    """The alert rules of the operator's guide: its indented block that starts with "groups:"."""
    with open(os.path.join(SOURCE_DIR, "doc", "operations.md")) as f:
        lines = f.read().split("\n")
    i = lines.index("    groups:")
    block = []
    while i < len(lines) and lines[i].startswith("    "):
        block.append(lines[i][4:])
        i += 1
    return "\n".join(block) + "\n"


def manpage_rules():
    """The alert rules of the manual page, as text: its example that starts with "groups:"."""
    with open(os.path.join(SOURCE_DIR, "doc", "corvashenmir.8")) as f:
        lines = f.read().split("\n")
    i = lines.index("groups:")
    block = lines[i:lines.index(".EE", i)]
    return "\n".join(line.replace("\\-", "-").replace("\\e", "\\") for line in block) + "\n"


def without_annotations(rules):
    """The rules less their annotations, which promtool's unit tests would have to repeat."""
    out, inside = [], None
    for line in rules.split("\n"):
        indent = len(line) - len(line.lstrip())
        if inside is not None and line.strip() and indent > inside:
            continue
        inside = indent if line.strip() == "annotations:" else None
        if inside is None:
            out.append(line)
    return "\n".join(out)


# promtool's unit tests of the guide's alert rules: each fires on the series
# that should raise it and not before (the kernel drops' also stops when the
# drops do, the failed sources' stays after the gauge fell back to 0).
RULE_TESTS = """\
rule_files:
  - rules.yml
evaluation_interval: 1m
tests:
  - interval: 1m
    input_series:
      - series: 'corvashenmir_dropped_datagrams_total{reason="kernel_queue_full",instance="h"}'
        values: '0x5 10 20x12'
      - series: 'corvashenmir_dropped_datagrams_total{reason="open_rate",instance="h"}'
        values: '0x18'
      - series: 'corvashenmir_dropped_datagrams_total{reason="open_burst",instance="h"}'
        values: '0x3 5x15'
      - series: 'corvashenmir_failed_sources{instance="h"}'
        values: '0 0 1 0x15'
      - series: 'corvashenmir_lost_records_total{instance="h"}'
        values: '0x5 3x13'
      - series: 'corvashenmir_last_datagram_timestamp_seconds{instance="h"}'
        values: '0 60 120 180x15'
      - series: 'node_textfile_mtime_seconds{file="/var/lib/prometheus/node-exporter/corvashenmir.prom",instance="h"}'
        values: '0 60 120 180 240 300x13'
    alert_rule_test:
      - eval_time: 5m
        alertname: CorvashenmirKernelDrops
        exp_alerts: []
      - eval_time: 7m
        alertname: CorvashenmirKernelDrops
        exp_alerts:
          - exp_labels: {severity: warning, instance: h, reason: kernel_queue_full}
      - eval_time: 18m
        alertname: CorvashenmirKernelDrops
        exp_alerts: []
      - eval_time: 3m
        alertname: CorvashenmirOpenRefusals
        exp_alerts: []
      - eval_time: 4m
        alertname: CorvashenmirOpenRefusals
        exp_alerts:
          - exp_labels: {severity: warning, instance: h, reason: open_burst}
      - eval_time: 1m
        alertname: CorvashenmirFailedSources
        exp_alerts: []
      - eval_time: 3m
        alertname: CorvashenmirFailedSources
        exp_alerts:
          - exp_labels: {severity: warning, instance: h}
      - eval_time: 5m
        alertname: CorvashenmirLostRecords
        exp_alerts: []
      - eval_time: 6m
        alertname: CorvashenmirLostRecords
        exp_alerts:
          - exp_labels: {severity: critical, instance: h}
      - eval_time: 17m
        alertname: CorvashenmirNoDatagrams
        exp_alerts: []
      - eval_time: 19m
        alertname: CorvashenmirNoDatagrams
        exp_alerts:
          - exp_labels: {severity: warning, instance: h}
      - eval_time: 6m
        alertname: CorvashenmirMetricsStale
        exp_alerts: []
      - eval_time: 8m
        alertname: CorvashenmirMetricsStale
        exp_alerts:
          - exp_labels: {severity: warning, instance: h, file: /var/lib/prometheus/node-exporter/corvashenmir.prom}
"""


class PrometheusToolsTest(harness.DaemonTestCase):

    @classmethod
    def setUpClass(cls):
        why = missing_tools()
        if why:
            raise unittest.SkipTest(why)

    def test_promtool_and_node_exporter_take_the_file(self):
        d = self.daemon(args=["--metrics", "textfile/corvashenmir.prom"], sources=["127.0.62.1"])
        os.mkdir(os.path.join(d.root, "textfile"))
        path = os.path.join(d.root, "textfile", "corvashenmir.prom")
        d.start()
        d.send(b"<13>one", src="127.0.62.1")
        d.send(b"<13>no directory", src="127.0.62.2")
        d.send(b"z" * 9000, src="127.0.62.1")
        d.sync()
        d.wait_drained()
        with open(path) as f:
            r = subprocess.run(["promtool", "check", "metrics"], stdin=f, capture_output=True, text=True)
        self.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""))

        log = open(os.path.join(d.base, "node_exporter.log"), "w")
        self.addCleanup(log.close)
        exporter = None

        def stop_exporter():
            if exporter is not None and exporter.poll() is None:
                exporter.terminate()
                try:
                    exporter.wait(10)
                except subprocess.TimeoutExpired:
                    exporter.kill()
                    exporter.wait()
        self.addCleanup(stop_exporter)

        # Another process may take the free port before the exporter binds it: then another.
        for _ in range(5):
            port = free_tcp_port()
            exporter = subprocess.Popen(["prometheus-node-exporter", "--web.listen-address=127.0.0.1:%d" % port,
                                         "--collector.disable-defaults", "--collector.textfile",
                                         "--collector.textfile.directory=" + os.path.dirname(path)],
                                        stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            harness.wait_for(lambda: exporter.poll() is not None or listening(port), 20,
                             "node_exporter to listen or end")
            if exporter.poll() is None:
                break
            with open(log.name) as f:
                if "address already in use" not in f.read():
                    break

        def scrape():
            if exporter.poll() is not None:
                with open(log.name) as f:
                    raise AssertionError("node_exporter exited with status %s: %s"
                                         % (exporter.returncode, f.read()))
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=5) as resp:
                    text = resp.read().decode()
            except (OSError, http.client.HTTPException):
                return None
            return parse_exposition(text)[0]

        def scraped_as_file():
            series = scrape()
            if not series:
                return None
            mine = check_metrics(read_version(path)[1])
            got = daemon_values(series)
            return (series, mine) if got == mine else None

        series, mine = harness.wait_for(scraped_as_file, 30, "node_exporter to show the daemon's values")
        self.assertEqual(series["node_textfile_scrape_error"], 0)
        mtimes = [k for k in series if k.startswith("node_textfile_mtime_seconds{")]
        self.assertEqual(len(mtimes), 1, mtimes)
        self.assertIn("corvashenmir.prom", mtimes[0])
        self.assertEqual((mine["received_datagrams_total"], mine["cut_datagrams_total"],
                          mine[dropped("failed_source")]), (3, 1, 1))

        # A later version reaches the scrape as well.
        d.send(b"<13>two", src="127.0.62.1")
        d.sync()
        series, mine = harness.wait_for(scraped_as_file, 30, "node_exporter to show the next version")
        self.assertEqual(mine["stored_datagrams_total"], 3)
        self.assertEqual(series["node_textfile_scrape_error"], 0)
        self.assertEqual(d.stop(), 0)

    def test_alert_rules_of_the_guide_check_and_fire(self):
        work = tempfile.mkdtemp(prefix="corvashenmir-rules-")
        self.addCleanup(shutil.rmtree, work, True)
        rules = guide_rules()
        self.assertEqual(manpage_rules(), rules, "the manual page and the operator's guide give other rules")
        with open(os.path.join(work, "guide.yml"), "w") as f:
            f.write(rules)
        r = subprocess.run(["promtool", "check", "rules", "guide.yml"], cwd=work, capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertIn("SUCCESS: 6 rules found", r.stdout)
        with open(os.path.join(work, "rules.yml"), "w") as f:
            f.write(without_annotations(rules))
        with open(os.path.join(work, "rules_test.yml"), "w") as f:
            f.write(RULE_TESTS)
        r = subprocess.run(["promtool", "test", "rules", "rules_test.yml"], cwd=work, capture_output=True,
                           text=True)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)


if __name__ == "__main__":
    harness.main()
