# SPDX-License-Identifier: BSD-2-Clause
"""Receive modes: the exact bytes each mode writes for crafted datagrams with
control bytes, LFs, NULs, CR LF line ends, high bytes and oversized data."""

import time

import harness

SRC = "127.0.4.2"
EMPTY = "127.0.4.3"
TZ = "XYZ3:30"

# Each case: the datagram, then what each mode writes for it: plain records as a
# list of texts, counted records as ("count", text).
LONG = b"B" * 8192 + b"C" * 808            # cut to 8192 bytes by the receive
FULL = b"x" * 8191 + b"\x07"               # exactly 8192 bytes, no LF
CASES = [
    (b"a\tb\n\nc\x00d\r\n", {
        "truncate": [b"a b"],
        "flat": [b"a b  c d  "],
        "split": [b"a b", b"", b"c d "],
        "forensic": ("count", b"a b\n\nc d \n"),
        "forensicraw": ("count", b"a\tb\n\nc d\r\n"),
    }),
    (b"\n", {
        "truncate": [b""],
        "flat": [b" "],
        "split": [b""],
        "forensic": ("count", b"\n"),
        "forensicraw": ("count", b"\n"),
    }),
    (b"\n\n", {
        "truncate": [b""],
        "flat": [b"  "],
        "split": [b"", b""],
        "forensic": ("count", b"\n\n"),
        "forensicraw": ("count", b"\n\n"),
    }),
    (b"abc", {
        "truncate": [b"abc"],
        "flat": [b"abc"],
        "split": [b"abc"],
        "forensic": ("count", b"abc"),
        "forensicraw": ("count", b"abc"),
    }),
    (b"x\x7f\xa0\xff\x80\x9f\x1by", {
        "truncate": [b"x\x7f\xa0\xff   y"],
        "flat": [b"x\x7f\xa0\xff   y"],
        "split": [b"x\x7f\xa0\xff   y"],
        "forensic": ("count", b"x\x7f\xa0\xff   y"),
        "forensicraw": ("count", b"x\x7f\xa0\xff\x80\x9f\x1by"),
    }),
    (b"<13>host tag: one\r\ntwo\r\n", {
        "truncate": [b"<13>host tag: one "],
        "flat": [b"<13>host tag: one  two  "],
        "split": [b"<13>host tag: one ", b"two "],
        "forensic": ("count", b"<13>host tag: one \ntwo \n"),
        "forensicraw": ("count", b"<13>host tag: one\r\ntwo\r\n"),
    }),
    (b"\x00lead\x00", {
        "truncate": [b" lead "],
        "flat": [b" lead "],
        "split": [b" lead "],
        "forensic": ("count", b" lead "),
        "forensicraw": ("count", b" lead "),
    }),
    (b"a\nb\x00c", {
        "truncate": [b"a"],
        "flat": [b"a b c"],
        "split": [b"a", b"b c"],
        "forensic": ("count", b"a\nb c"),
        "forensicraw": ("count", b"a\nb c"),
    }),
    (b"\nlost\x01", {
        "truncate": [b""],
        "flat": [b" lost "],
        "split": [b"", b"lost "],
        "forensic": ("count", b"\nlost "),
        "forensicraw": ("count", b"\nlost\x01"),
    }),
    (b"a\n\nb\n", {
        "truncate": [b"a"],
        "flat": [b"a  b "],
        "split": [b"a", b"", b"b"],
        "forensic": ("count", b"a\n\nb\n"),
        "forensicraw": ("count", b"a\n\nb\n"),
    }),
    (LONG, {
        "truncate": [b"B" * 8192],
        "flat": [b"B" * 8192],
        "split": [b"B" * 8192],
        "forensic": ("count", b"B" * 8192),
        "forensicraw": ("count", b"B" * 8192),
    }),
    (FULL, {
        "truncate": [b"x" * 8191 + b" "],
        "flat": [b"x" * 8191 + b" "],
        "split": [b"x" * 8191 + b" "],
        "forensic": ("count", b"x" * 8191 + b" "),
        "forensicraw": ("count", FULL),
    }),
]


class ReceiveModeTest(harness.DaemonTestCase):

    def test_each_mode_writes_exact_records(self):
        offset = harness.ZONES[TZ]
        for mode in ("truncate", "flat", "split", "forensic", "forensicraw"):
            with self.subTest(mode=mode):
                d = self.daemon(args=["--recvmode", mode], sources=[SRC, EMPTY], tz=TZ).start()
                t0 = time.time()
                # An empty datagram is neither counted nor routed: no open, no file.
                d.send(b"", src=EMPTY)
                expected, groups = [], []
                for data, by_mode in CASES:
                    d.send(data, src=SRC)
                    want = by_mode[mode]
                    if isinstance(want, tuple):
                        records = [harness.counted(SRC, want[1])]
                    else:
                        records = [harness.plain(SRC, t) for t in want]
                    groups.append((len(expected), len(records)))
                    expected += records
                d.wait_drained()
                t1 = time.time()
                self.assertEqual(d.stop(), 0, "exit status of the daemon")

                files = d.source_files(SRC)
                self.assertEqual(len(files), 1, "files of the source: %s" % sorted(files))
                key, content = files.popitem()
                stamps = self.assertRecords(content, expected)
                for stamp in stamps:
                    self.assertStamp(stamp, t0, t1, offset)
                # The key is the local date and hour of the stamps.
                self.assertEqual(key, harness.hour_key(harness.parse_rfc_stamp(stamps[0])),
                                 "the file's key against its first stamp")
                # The records of one datagram carry the same stamp.
                for first, n in groups:
                    self.assertEqual(len(set(stamps[first:first + n])), 1, "stamps of the records of one datagram")

                self.assertEqual(d.source_files(EMPTY), {}, "files of the source of an empty datagram")
                nbytes = sum(harness.stored_len(data) for data, _ in CASES)
                cut = sum(len(data) > harness.DATAGRAM_MAX for data, _ in CASES)
                self.assertGreater(cut, 0, "datagrams longer than 8192 bytes among the cases")
                # The longer datagram is stored cut, and the cut is counted with the statistics.
                self.assertEqual(d.log_texts()[-3:-1], [harness.statistics_line(1, nbytes),
                                                        harness.cut_line(cut)],
                                 "the shutdown's statistics and cut lines")
                self.assertEqual(d.log_texts()[1].split()[-1], "recvmode=" + mode, "the settings line's receive mode")


if __name__ == "__main__":
    harness.main()
