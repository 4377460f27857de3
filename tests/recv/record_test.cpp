// SPDX-License-Identifier: BSD-2-Clause
#include "recv/record.h"
#include "recv/recv_test.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "dest/dest.h"
#include "recv_support.h"

using namespace std::string_literals;

namespace {

const char* const kAddr = "192.0.2.7";
const std::string kFile = "192.0.2.7/192.0.2.7-2024050607";

// a, TAB, b, LF, LF, c, NUL, d, CR, LF
const std::string kWorked = "a\tb\n\nc\0d\r\n"s;

// Written out rather than derived from a bit mask, to check the daemon's mask.
bool IsCtl(unsigned b) { return b <= 0x1F || (b >= 0x80 && b <= 0x9F); }

std::string Plain(const std::string& text) { return kStamp + " 192.0.2.7 " + text + "\n"; }

std::string Counted(unsigned count, const std::string& text) {
    return kStamp + " 192.0.2.7 " + std::to_string(count) + " " + text + "\n";
}

std::string Marker(int64_t cap) {
    return kStamp + " corvashenmir <44>Maximum file length (" + std::to_string(cap) + ") exceeded for 192.0.2.7\n";
}

struct Datagram {
    std::vector<char> buf;  // the receive buffer's share: min(n, 8192) + 1 bytes
    size_t n;               // the received length
};

// Sized exactly so that ASan reports any write past the byte after the text;
// that byte starts as a mark Record_Store has to replace by NUL.
Datagram MakeDatagram(const std::string& bytes, size_t n) {
    size_t len = std::min<size_t>(n, RECORD_MAXTEXT);
    Datagram g{std::vector<char>(len + 1, '#'), n};
    std::copy_n(bytes.begin(), std::min(len, bytes.size()), g.buf.begin());
    return g;
}

class RecvRecordTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetRecvState();
        ASSERT_EQ(mkdir(kAddr, 0700), 0);
    }
    void TearDown() override { Log_Close(); }

    // Stores the datagrams in order through one descriptor and returns the
    // whole file, which is removed so the next call starts empty.
    std::string StoreRaw(int32_t mode, std::vector<Datagram>& dgrams) {
        Settings.recvmode = mode;
        Dest d{};
        bool open = OpenSourceFile(&d, Ip(kAddr));
        EXPECT_TRUE(open) << "cannot open " << kFile;
        if (open) {
            for (Datagram& g : dgrams) Record_Store(&d, g.buf.data(), g.n);
        }
        Dest_Close(&d);
        std::string file = ReadFile(kFile);
        std::remove(kFile.c_str());
        return file;
    }

    std::string Store(int32_t mode, const std::vector<std::string>& texts) {
        std::vector<Datagram> dgrams;
        for (const std::string& t : texts) dgrams.push_back(MakeDatagram(t, t.size()));
        return StoreRaw(mode, dgrams);
    }

    InTempDir dir_;
};

std::string ModeName(int32_t mode) {
    switch (mode) {
    case RECVMODE_TRUNCATE: return "truncate";
    case RECVMODE_FLAT: return "flat";
    case RECVMODE_SPLIT: return "split";
    case RECVMODE_FORENSIC: return "forensic";
    case RECVMODE_FORENSICRAW: return "forensicraw";
    }
    return "other";
}

// --- The worked example: file and buffer after the call, every mode.

struct WorkedCase {
    int32_t mode;
    std::string file;
    std::string buffer;  // all 11 bytes, the terminating one included
};

void PrintTo(const WorkedCase& c, std::ostream* os) { *os << ModeName(c.mode); }

class RecvRecordWorkedExample : public RecvRecordTest, public ::testing::WithParamInterface<WorkedCase> {};

TEST_P(RecvRecordWorkedExample, WritesFileAndCleansBufferInPlace) {
    const WorkedCase& c = GetParam();
    std::vector<Datagram> dgrams{MakeDatagram(kWorked, 10)};
    EXPECT_EQ(StoreRaw(c.mode, dgrams), c.file);
    EXPECT_EQ(std::string(dgrams[0].buf.begin(), dgrams[0].buf.end()), c.buffer);
}

const std::string S = kStamp;

INSTANTIATE_TEST_SUITE_P(
    Modes, RecvRecordWorkedExample,
    ::testing::Values(
        // Only the bytes before the first LF are examined; the rest stays as received.
        WorkedCase{RECVMODE_TRUNCATE, S + " 192.0.2.7 a b\n", "a b\0\nc\0d\r\n\0"s},
        WorkedCase{RECVMODE_FLAT, S + " 192.0.2.7 a b  c d  \n", "a b  c d  \0"s},
        WorkedCase{RECVMODE_SPLIT, S + " 192.0.2.7 a b\n" + S + " 192.0.2.7 \n" + S + " 192.0.2.7 c d \n",
                   "a b\0\0c d \0\0"s},
        WorkedCase{RECVMODE_FORENSIC, S + " 192.0.2.7 10 a b\n\nc d \n\n", "a b\n\nc d \n\0"s},
        WorkedCase{RECVMODE_FORENSICRAW, S + " 192.0.2.7 10 a\tb\n\nc d\r\n\n", "a\tb\n\nc d\r\n\0"s}),
    [](const auto& p) { return ModeName(p.param.mode); });

// --- Every byte value between two letters, every mode.

struct ByteRule {
    int32_t mode;
    std::string (*expect)(unsigned char b);  // the file for the datagram "x" b "y"
};

std::string Cleaned(unsigned char b) { return std::string(1, IsCtl(b) ? ' ' : static_cast<char>(b)); }

void PrintTo(const ByteRule& r, std::ostream* os) { *os << ModeName(r.mode); }

class RecvRecordEveryByte : public RecvRecordTest, public ::testing::WithParamInterface<ByteRule> {};

TEST_P(RecvRecordEveryByte, BetweenTwoLetters) {
    for (unsigned b = 0; b < 256; b++) {
        SCOPED_TRACE(testing::Message() << "byte 0x" << std::hex << b);
        std::string dgram = "x" + std::string(1, static_cast<char>(b)) + "y";
        EXPECT_EQ(Store(GetParam().mode, {dgram}), GetParam().expect(static_cast<unsigned char>(b)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, RecvRecordEveryByte,
    ::testing::Values(
        ByteRule{RECVMODE_TRUNCATE,
                 [](unsigned char b) { return b == '\n' ? Plain("x") : Plain("x" + Cleaned(b) + "y"); }},
        ByteRule{RECVMODE_FLAT, [](unsigned char b) { return Plain("x" + Cleaned(b) + "y"); }},
        ByteRule{RECVMODE_SPLIT,
                 [](unsigned char b) {
                     return b == '\n' ? Plain("x") + Plain("y") : Plain("x" + Cleaned(b) + "y");
                 }},
        ByteRule{RECVMODE_FORENSIC,
                 [](unsigned char b) { return Counted(3, "x" + (b == '\n' ? "\n"s : Cleaned(b)) + "y"); }},
        ByteRule{RECVMODE_FORENSICRAW,
                 [](unsigned char b) {
                     return Counted(3, "x" + (b == 0 ? " "s : std::string(1, static_cast<char>(b))) + "y");
                 }}),
    [](const auto& p) { return ModeName(p.param.mode); });

// --- Texts long enough to be cleaned sixteen bytes at a time: every kind of
// byte at every place, the last partial block included. LF is left out, so
// every mode stores one record of the whole text.

class RecvRecordBlocks : public RecvRecordTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(RecvRecordBlocks, EveryPlaceOfEveryLength) {
    const int32_t mode = GetParam();
    const unsigned char kinds[] = {0x00, 0x01, 0x1f, 0x20, 0x41, 0x7f, 0x80, 0x9f, 0xa0, 0xff};
    for (size_t len : {15, 16, 17, 31, 32, 33, 47, 200}) {
        for (size_t at = 0; at < len; at++) {
            for (unsigned char b : kinds) {
                SCOPED_TRACE(testing::Message() << "length " << len << " place " << at << " byte 0x" << std::hex
                                                << unsigned{b});
                std::string text(len, 'q');
                text[at] = static_cast<char>(b);
                // A second byte of the same kind at the end, inside the overlapping last block.
                text[len - 1] = static_cast<char>(b);
                std::string want = text;
                for (char& c : want) {
                    auto u = static_cast<unsigned char>(c);
                    if (mode == RECVMODE_FORENSICRAW ? u == 0 : IsCtl(u)) c = ' ';
                }
                bool counted = mode == RECVMODE_FORENSIC || mode == RECVMODE_FORENSICRAW;
                ASSERT_EQ(Store(mode, {text}), counted ? Counted(static_cast<unsigned>(len), want) : Plain(want));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, RecvRecordBlocks,
                         ::testing::Values(RECVMODE_TRUNCATE, RECVMODE_FLAT, RECVMODE_SPLIT, RECVMODE_FORENSIC,
                                           RECVMODE_FORENSICRAW),
                         [](const auto& p) { return ModeName(p.param); });

// --- The control scan, in both its builds: it may stop short of the first
// byte to change, but never past it and never a whole 64-byte step short;
// a clean text of a block or more is passed whole (a shorter one is left to
// the cleaning byte by byte). Each text ends its own allocation, so a read
// beyond it shows under ASan.

TEST(RecvRecordScan, BothBuildsStopAtOrJustBeforeTheFirstControlByte) {
    struct Build {
        const char* name;
        size_t (*scan)(const char*, size_t);
    };
    const Build builds[] = {{"running", Record_ControlFree}, {"portable", Record_ControlFreePortable}};
    const unsigned char kinds[] = {0x00, 0x0a, 0x1f, 0x7f, 0x80, 0x9f};
    for (const Build& build : builds) {
        for (size_t len = 0; len <= 200; len++) {
            for (size_t at = 0; at <= len; at++) {
                for (unsigned char b : kinds) {
                    std::vector<char> text(len, 'q');
                    // at == len: a clean text; 0x7f is not a control byte.
                    if (at < len) text[at] = static_cast<char>(b);
                    bool clean = at == len || !IsCtl(b);
                    size_t got = build.scan(text.data(), len);
                    if (clean) {
                        ASSERT_EQ(got, len < 16 ? 0 : len) << build.name << " length " << len;
                    } else {
                        ASSERT_LE(got, at) << build.name << " length " << len << " place " << at;
                        ASSERT_LT(at - got, 64u) << build.name << " length " << len << " place " << at;
                    }
                    if (at == len) break;
                }
            }
        }
    }
}

// --- Line ends, NULs and short datagrams.

struct ShapeCase {
    const char* name;
    int32_t mode;
    std::string dgram;
    std::string file;
};

void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.name; }

class RecvRecordShapes : public RecvRecordTest, public ::testing::WithParamInterface<ShapeCase> {};

TEST_P(RecvRecordShapes, FileHoldsExactlyTheseRecords) {
    EXPECT_EQ(Store(GetParam().mode, {GetParam().dgram}), GetParam().file);
}

INSTANTIATE_TEST_SUITE_P(
    Datagrams, RecvRecordShapes,
    ::testing::Values(
        ShapeCase{"LfOnlyTruncate", RECVMODE_TRUNCATE, "\n", Plain("")},
        ShapeCase{"LfOnlyFlat", RECVMODE_FLAT, "\n", Plain(" ")},
        ShapeCase{"LfOnlySplit", RECVMODE_SPLIT, "\n", Plain("")},
        ShapeCase{"LfOnlyForensic", RECVMODE_FORENSIC, "\n", S + " 192.0.2.7 1 \n\n"},
        ShapeCase{"LfOnlyForensicraw", RECVMODE_FORENSICRAW, "\n", S + " 192.0.2.7 1 \n\n"},
        ShapeCase{"LfLfTruncate", RECVMODE_TRUNCATE, "\n\n", Plain("")},
        ShapeCase{"LfLfFlat", RECVMODE_FLAT, "\n\n", Plain("  ")},
        ShapeCase{"LfLfSplit", RECVMODE_SPLIT, "\n\n", Plain("") + Plain("")},
        ShapeCase{"LfLfForensic", RECVMODE_FORENSIC, "\n\n", Counted(2, "\n\n")},
        ShapeCase{"LeadingLfTruncate", RECVMODE_TRUNCATE, "\nrest\x01", Plain("")},
        ShapeCase{"LeadingLfFlat", RECVMODE_FLAT, "\nrest\x01", Plain(" rest ")},
        ShapeCase{"LeadingLfSplit", RECVMODE_SPLIT, "\nrest\x01", Plain("") + Plain("rest ")},
        ShapeCase{"LeadingLfForensicraw", RECVMODE_FORENSICRAW, "\nrest\x01", Counted(6, "\nrest\x01")},
        ShapeCase{"BlankLineInsideSplit", RECVMODE_SPLIT, "a\n\nb\n", Plain("a") + Plain("") + Plain("b")},
        ShapeCase{"CrLfTruncate", RECVMODE_TRUNCATE, "one\r\ntwo\r\n", Plain("one ")},
        ShapeCase{"CrLfFlat", RECVMODE_FLAT, "one\r\ntwo\r\n", Plain("one  two  ")},
        ShapeCase{"CrLfSplit", RECVMODE_SPLIT, "one\r\ntwo\r\n", Plain("one ") + Plain("two ")},
        ShapeCase{"CrLfForensic", RECVMODE_FORENSIC, "one\r\ntwo\r\n", Counted(10, "one \ntwo \n")},
        ShapeCase{"CrLfForensicraw", RECVMODE_FORENSICRAW, "one\r\ntwo\r\n", Counted(10, "one\r\ntwo\r\n")},
        ShapeCase{"NoLfTruncate", RECVMODE_TRUNCATE, "abc", Plain("abc")},
        ShapeCase{"NoLfFlat", RECVMODE_FLAT, "abc", Plain("abc")},
        ShapeCase{"NoLfSplit", RECVMODE_SPLIT, "abc", Plain("abc")},
        ShapeCase{"NoLfForensic", RECVMODE_FORENSIC, "abc", S + " 192.0.2.7 3 abc\n"},
        ShapeCase{"NoLfForensicraw", RECVMODE_FORENSICRAW, "abc", S + " 192.0.2.7 3 abc\n"},
        // A NUL never ends the text early, wherever it sits.
        ShapeCase{"InnerNulsTruncate", RECVMODE_TRUNCATE, "a\0\0b"s, Plain("a  b")},
        ShapeCase{"InnerNulsFlat", RECVMODE_FLAT, "a\0\0b"s, Plain("a  b")},
        ShapeCase{"InnerNulsSplit", RECVMODE_SPLIT, "a\0\0b"s, Plain("a  b")},
        ShapeCase{"InnerNulsForensic", RECVMODE_FORENSIC, "a\0\0b"s, Counted(4, "a  b")},
        ShapeCase{"InnerNulsForensicraw", RECVMODE_FORENSICRAW, "a\0\0b"s, Counted(4, "a  b")},
        ShapeCase{"LeadingNulSplit", RECVMODE_SPLIT, "\0ab"s, Plain(" ab")},
        ShapeCase{"TrailingNulTruncate", RECVMODE_TRUNCATE, "ab\0"s, Plain("ab ")},
        ShapeCase{"TrailingNulForensicraw", RECVMODE_FORENSICRAW, "ab\0"s, Counted(3, "ab ")},
        ShapeCase{"NulOnlyFlat", RECVMODE_FLAT, "\0"s, Plain(" ")},
        // In truncate nothing after the first LF is looked at or stored.
        ShapeCase{"NulAfterLfTruncate", RECVMODE_TRUNCATE, "a\n\0b"s, Plain("a")},
        ShapeCase{"NulAfterLfFlat", RECVMODE_FLAT, "a\n\0b"s, Plain("a  b")},
        ShapeCase{"NulAfterLfSplit", RECVMODE_SPLIT, "a\n\0b"s, Plain("a") + Plain(" b")},
        ShapeCase{"NulAfterLfForensic", RECVMODE_FORENSIC, "a\n\0b"s, Counted(4, "a\n b")},
        ShapeCase{"NulAfterLfForensicraw", RECVMODE_FORENSICRAW, "a\n\0b"s, Counted(4, "a\n b")}),
    [](const auto& p) { return std::string(p.param.name); });

// --- Counted records read back by their counts alone.

// Splits a file of counted records the way a reader must: by the count, not by LFs.
std::vector<std::string> ReadCounted(const std::string& file) {
    std::vector<std::string> texts;
    const std::string head = kStamp + " 192.0.2.7 ";
    size_t pos = 0;
    while (pos < file.size()) {
        if (file.compare(pos, head.size(), head) != 0) {
            ADD_FAILURE() << "no record head at offset " << pos;
            break;
        }
        pos += head.size();
        size_t digits = file.find(' ', pos);
        if (digits == std::string::npos || digits == pos) {
            ADD_FAILURE() << "no count at offset " << pos;
            break;
        }
        size_t count = std::stoul(file.substr(pos, digits - pos));
        pos = digits + 1;
        if (pos + count >= file.size() || file[pos + count] != '\n') {
            ADD_FAILURE() << "count " << count << " at offset " << pos << " does not end at an LF";
            break;
        }
        texts.push_back(file.substr(pos, count));
        pos += count + 1;
    }
    return texts;
}

TEST_F(RecvRecordTest, CountedRecordsHoldExactlyTheirCount) {
    std::string all(256, '\0');
    for (unsigned b = 0; b < 256; b++) all[b] = static_cast<char>(b);
    // Written as a C string, this text would end at its first NUL.
    std::vector<std::string> dgrams{all, "\0\n\0\n"s, "z"};

    std::string forensic(256, ' ');
    std::string raw = all;
    for (unsigned b = 0; b < 256; b++) {
        if (b == '\n' || !IsCtl(b)) forensic[b] = static_cast<char>(b);
    }
    raw[0] = ' ';

    struct {
        int32_t mode;
        std::vector<std::string> texts;
    } cases[] = {
        {RECVMODE_FORENSIC, {forensic, " \n \n", "z"}},
        {RECVMODE_FORENSICRAW, {raw, " \n \n", "z"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ModeName(c.mode));
        std::vector<std::string> texts = ReadCounted(Store(c.mode, dgrams));
        EXPECT_EQ(texts, c.texts);
        for (const std::string& t : texts) EXPECT_EQ(t.find('\0'), std::string::npos);
    }
}

// --- Datagrams at and above the 8192-byte limit.

struct LargeRule {
    int32_t mode;
    bool counted;
    bool keepsTab;
};

void PrintTo(const LargeRule& r, std::ostream* os) { *os << ModeName(r.mode); }

class RecvRecordLarge : public RecvRecordTest, public ::testing::WithParamInterface<LargeRule> {};

// A small stream buffer makes the big record bypass it; the small ones around
// it must still come out in order.
TEST_P(RecvRecordLarge, StoresTheFirst8192Bytes) {
    const LargeRule& r = GetParam();
    Settings.bufsize = 1024;
    std::string text(RECORD_MAXTEXT, ' ');
    for (size_t i = 0; i < text.size(); i++) text[i] = static_cast<char>('A' + i % 26);
    text.back() = '\t';  // the last byte is cleaned like any other
    std::string stored = text;
    if (!r.keepsTab) stored.back() = ' ';
    auto rec = [&](const std::string& t) { return r.counted ? Counted(static_cast<unsigned>(t.size()), t) : Plain(t); };

    for (size_t n : {size_t{8192}, size_t{9000}}) {
        SCOPED_TRACE(testing::Message() << "n = " << n);
        Datagram big = MakeDatagram(text, n);
        ASSERT_EQ(big.buf.size(), RECORD_MAXTEXT + 1);
        big.buf.back() = 'Z';  // whatever the loop left there must not be stored
        std::vector<Datagram> dgrams{MakeDatagram("s1", 2), big, MakeDatagram("s2", 2)};
        std::string file = StoreRaw(r.mode, dgrams);
        EXPECT_EQ(dgrams[1].buf.back(), '\0');
        EXPECT_EQ(file.size(), rec("s1").size() + rec(stored).size() + rec("s2").size());
        EXPECT_TRUE(file == rec("s1") + rec(stored) + rec("s2")) << "file differs, " << file.size() << " bytes";
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, RecvRecordLarge,
                         ::testing::Values(LargeRule{RECVMODE_TRUNCATE, false, false},
                                           LargeRule{RECVMODE_FLAT, false, false},
                                           LargeRule{RECVMODE_SPLIT, false, false},
                                           LargeRule{RECVMODE_FORENSIC, true, false},
                                           LargeRule{RECVMODE_FORENSICRAW, true, true}),
                         [](const auto& p) { return ModeName(p.param.mode); });

// --- The size cap reached within and across split datagrams.

struct CapCase {
    const char* name;
    int64_t cap;
    std::string records;  // what precedes the marker
    bool capped;
    int discarded;  // whole datagrams that came after the cap
};

void PrintTo(const CapCase& c, std::ostream* os) { *os << c.name; }

class RecvRecordCap : public RecvRecordTest, public ::testing::WithParamInterface<CapCase> {};

// Records of 47, 47 and 49 bytes in one datagram, then one of 48 in the next.
TEST_P(RecvRecordCap, LineCrossingTheCapIsWrittenThenTheRestDropped) {
    const CapCase& c = GetParam();
    Settings.maxfilesize = c.cap;
    Log_Open();
    std::string file = Store(RECVMODE_SPLIT, {"one\ntwo\nthree\n", "four", "five"});
    EXPECT_EQ(file, c.records + (c.capped ? Marker(c.cap) : ""));
    std::vector<std::string> expectLog;
    const std::string cap = std::to_string(c.cap);
    if (c.capped) expectLog.push_back("drop: maximum file length (" + cap + ") exceeded for 192.0.2.7");
    // A datagram cut short by the cap is not counted; only those that found the file capped.
    if (c.discarded > 0)
        expectLog.push_back("drop: discarded " + std::to_string(c.discarded) +
                            " datagrams of 192.0.2.7 after maximum file length (" + cap + ")");
    EXPECT_EQ(LogMessages(ReadFile(kDaemonLog)), expectLog);
}

INSTANTIATE_TEST_SUITE_P(
    Caps, RecvRecordCap,
    ::testing::Values(CapCase{"FirstLine", 47, Plain("one"), true, 2},
                      CapCase{"SecondLineCrosses", 60, Plain("one") + Plain("two"), true, 2},
                      CapCase{"SecondLineEndsOnCap", 94, Plain("one") + Plain("two"), true, 2},
                      CapCase{"ThirdLine", 95, Plain("one") + Plain("two") + Plain("three"), true, 2},
                      CapCase{"NextDatagram", 150, Plain("one") + Plain("two") + Plain("three") + Plain("four"), true, 1},
                      CapCase{"NotReached", 1000,
                              Plain("one") + Plain("two") + Plain("three") + Plain("four") + Plain("five"), false, 0}),
    [](const auto& p) { return std::string(p.param.name); });

// --- Stamps and unknown modes.

TEST_F(RecvRecordTest, OldStyleStampBeginsEveryRecord) {
    Settings.oldtimestamp = 1;
    SetClock();
    EXPECT_EQ(Store(RECVMODE_SPLIT, {"a\tb\nc"}), "May  6 07:08:09 192.0.2.7 a b\nMay  6 07:08:09 192.0.2.7 c\n");
    EXPECT_EQ(Store(RECVMODE_FORENSIC, {"a\tb\nc"}), "May  6 07:08:09 192.0.2.7 5 a b\nc\n");
}

class RecvRecordUnknownMode : public RecvRecordTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(RecvRecordUnknownMode, BehavesAsSplit) {
    EXPECT_EQ(Store(GetParam(), {kWorked, "x\x85y\n"}),
              Plain("a b") + Plain("") + Plain("c d ") + Plain("x y"));
}

INSTANTIATE_TEST_SUITE_P(Values, RecvRecordUnknownMode, ::testing::Values(5, 7, -1, INT32_MIN, INT32_MAX),
                         [](const auto& p) {
                             return p.param < 0 ? "minus" + std::to_string(-static_cast<int64_t>(p.param))
                                                   : std::to_string(p.param);
                         });

}  // namespace
