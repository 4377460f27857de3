// SPDX-License-Identifier: BSD-2-Clause
#include "dest/dest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "dest_test_util.h"
#include "support/child.h"

namespace {

const std::string kAddr = "10.0.0.1";
const std::string kPath = SourcePath(kAddr);

std::string Plain(const std::string& stamp, const std::string& addr, const std::string& text) {
    return stamp + " " + addr + " " + text + "\n";
}

std::string Marker(const std::string& stamp, long long cap, const std::string& addr) {
    return stamp + " corvashenmir <44>Maximum file length (" + std::to_string(cap) + ") exceeded for " +
           addr + "\n";
}

std::string DropLine(const std::string& stamp, long long cap, const std::string& addr) {
    return stamp + " drop: maximum file length (" + std::to_string(cap) + ") exceeded for " + addr + "\n";
}

off_t SizeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

class DestFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDaemonState();
        mkdir(kAddr.c_str(), 0777);
    }

    // Descriptors live as long as the fixture, so TearDown can close what is left.
    Dest& NewDest() { return dests_.emplace_back(); }

    void TearDown() override {
        ReleaseDestinations(opened_);
    }

    bool Open(Dest* d, const std::string& addr) {
        opened_.push_back(d);
        return OpenDest(d, Ip(addr.c_str()));
    }

    void Put(Dest* d, const std::string& stamp, const std::string& text, bool counted = false) {
        PutRecord(d, stamp, text, counted);
    }

    // The whole record as the head and no text: the writer must not care where the split is.
    void PutAsHead(Dest* d, const std::string& line) {
        Dest_PutRecord(d, line.data(), line.size() - 1, "", 0);
    }

    // The daemon log of the test day, written by Log_Open in the temp dir.
    static std::string DaemonLog() { return ReadFile(TEST_LOG); }

    InTempDir dir_;
    std::deque<Dest> dests_;
    std::vector<Dest*> opened_;
};

TEST_F(DestFileTest, OpenBindsTheSourceToItsFileForTheCurrentKey) {
    const struct {
        const char* addr;
        int32_t split;
        const char* path;
    } cases[] = {
        {"10.0.0.1", SPLIT_HOUR, "10.0.0.1/10.0.0.1-2024050607"},
        {"192.168.100.200", SPLIT_HOUR, "192.168.100.200/192.168.100.200-2024050607"},
        {"10.0.0.1", SPLIT_DAY, "10.0.0.1/10.0.0.1-20240506"},
        {"0.0.0.0", SPLIT_HOUR, "0.0.0.0/0.0.0.0-2024050607"},
        {"255.255.255.254", SPLIT_DAY, "255.255.255.254/255.255.255.254-20240506"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        Settings.split = c.split;
        ClockFromSettings();
        Clock_UpdateAt(&Clock, TEST_SEC, TEST_USEC);
        mkdir(c.addr, 0777);
        Dest& d = NewDest();
        ASSERT_TRUE(Open(&d, c.addr));
        EXPECT_TRUE(FileExists(c.path));
        EXPECT_EQ(SizeOf(c.path), 0);
        EXPECT_STREQ(d.addrtext, c.addr);
        EXPECT_EQ(d.addr, Ip(c.addr));
        EXPECT_EQ(d.length, 0);
        EXPECT_TRUE(Dest_IsOpen(&d));
        EXPECT_NE(d.buffer, nullptr);
        EXPECT_EQ(DestHash_Find(d.addr), &d);

        CloseDest(&d);
        EXPECT_EQ(DestHash_Find(d.addr), nullptr);
        EXPECT_FALSE(Dest_IsOpen(&d));
        EXPECT_EQ(d.buffer, nullptr);
    }
}

TEST_F(DestFileTest, OpenSetsEveryFieldOfAReusedDescriptor) {
    Dest& d = NewDest();
    memset(&d, 0x5A, sizeof d);
    ASSERT_TRUE(Open(&d, kAddr));
    EXPECT_EQ(d.length, 0);
    EXPECT_STREQ(d.addrtext, "10.0.0.1");
    Put(&d, TEST_STAMP, "one");
    CloseDest(&d);
    EXPECT_EQ(ReadFile(kPath), Plain(TEST_STAMP, kAddr, "one"));
}

TEST_F(DestFileTest, VerboseTraceOfOpen) {
    const struct {
        int32_t verbose;
        const char* addr;
        const char* out;
    } cases[] = {
        {1, "10.0.0.1", "OPEN 10.0.0.1/10.0.0.1-2024050607 OK\n"},
        {1, "10.0.0.9", "OPEN 10.0.0.9/10.0.0.9-2024050607 FAILED!\n"},
        {0, "10.0.0.1", ""},
        {0, "10.0.0.9", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.addr) + (c.verbose ? " verbose" : " quiet"));
        ChildResult r = RunInChild([&] {
            Settings.verbose = c.verbose;
            Dest& d = NewDest();
            OpenDest(&d, Ip(c.addr));
            CloseDest(&d);
        });
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(DestFileTest, FailedOpenLeavesTheDescriptorInTheTableWithoutStream) {
    const struct {
        const char* name;
        const char* addr;
        const char* dir_to_make;  // null: none
    } cases[] = {
        {"directory missing", "10.0.0.9", nullptr},
        {"path names a directory", "10.0.0.7", "10.0.0.7/10.0.0.7-2024050607"},
    };
    Log_Open();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.dir_to_make != nullptr) {
            mkdir(c.addr, 0777);
            mkdir(c.dir_to_make, 0777);
        }
        Dest& d = NewDest();
        EXPECT_FALSE(Open(&d, c.addr));
        EXPECT_FALSE(Dest_IsOpen(&d));
        EXPECT_EQ(d.buffer, nullptr);
        EXPECT_STREQ(d.addrtext, c.addr);
        EXPECT_EQ(DestHash_Find(Ip(c.addr)), &d);
        if (c.dir_to_make == nullptr) {
            EXPECT_FALSE(FileExists(c.addr));
        }
        CloseDest(&d);
        EXPECT_EQ(DestHash_Find(Ip(c.addr)), nullptr);
    }
    // Failures are counted by the caller, not logged here.
    EXPECT_EQ(DaemonLog(), "");
}

TEST_F(DestFileTest, UnobtainableLengthWarnsAndFails) {
    ASSERT_EQ(mkfifo(kPath.c_str(), 0666), 0);
    // A reader lets the open for writing proceed; a pipe has no position.
    int reader = open(kPath.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    Log_Open();
    Dest& d = NewDest();
    EXPECT_FALSE(Open(&d, kAddr));
    EXPECT_FALSE(Dest_IsOpen(&d));
    EXPECT_EQ(d.buffer, nullptr);
    EXPECT_EQ(DestHash_Find(d.addr), &d);
    EXPECT_EQ(DaemonLog(), std::string(TEST_STAMP) + " warning: could not get length of " + kPath + ": " +
                               strerror(ESPIPE) + "\n");
    // End of file on the reader: the daemon kept no writer open.
    char c;
    EXPECT_EQ(read(reader, &c, 1), 0);
    close(reader);
}

TEST_F(DestFileTest, NewFileModeIs0666LessTheUmask) {
    const struct {
        mode_t mask;
        mode_t mode;
    } cases[] = {{077, 0600}, {022, 0644}, {027, 0640}, {0, 0666}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mask);
        unlink(kPath.c_str());
        mode_t previous = umask(c.mask);
        Dest& d = NewDest();
        bool ok = Open(&d, kAddr);
        umask(previous);
        ASSERT_TRUE(ok);
        CloseDest(&d);
        struct stat st;
        ASSERT_EQ(stat(kPath.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.mode);
    }
}

TEST_F(DestFileTest, ExistingFileIsAppendedToAndItsSizeCounted) {
    const std::string old = "an earlier line\n";
    WriteFile(kPath, old);
    Dest& d = NewDest();
    ASSERT_TRUE(Open(&d, kAddr));
    EXPECT_EQ(d.length, static_cast<int64_t>(old.size()));
    const std::string rec = Plain(TEST_STAMP, kAddr, "hello");
    Put(&d, TEST_STAMP, "hello");
    EXPECT_EQ(d.length, static_cast<int64_t>(old.size() + rec.size()));
    CloseDest(&d);
    EXPECT_EQ(ReadFile(kPath), old + rec);
}

TEST_F(DestFileTest, RecordFormats) {
    std::string every_byte;
    for (int b = 1; b < 256; b++) every_byte += static_cast<char>(b);
    const std::string old_stamp = "May  6 07:00:00";
    const struct {
        const char* name;
        std::string stamp;
        std::string text;
        bool counted;
        std::string expected;
    } cases[] = {
        {"plain", TEST_STAMP, "hello world", false, std::string(TEST_STAMP) + " 10.0.0.1 hello world\n"},
        {"plain empty", TEST_STAMP, "", false, std::string(TEST_STAMP) + " 10.0.0.1 \n"},
        {"plain, old stamp", old_stamp, "x", false, "May  6 07:00:00 10.0.0.1 x\n"},
        {"counted empty", TEST_STAMP, "", true, std::string(TEST_STAMP) + " 10.0.0.1 0 \n"},
        {"counted with line ends", TEST_STAMP, "a\nb\r\n", true, std::string(TEST_STAMP) + " 10.0.0.1 5 a\nb\r\n\n"},
        {"counted, every byte but NUL", TEST_STAMP, every_byte, true,
         std::string(TEST_STAMP) + " 10.0.0.1 255 " + every_byte + "\n"},
        {"counted, 8192 bytes", TEST_STAMP, std::string(8192, 'x'), true,
         std::string(TEST_STAMP) + " 10.0.0.1 8192 " + std::string(8192, 'x') + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(kPath.c_str());
        Dest& d = NewDest();
        ASSERT_TRUE(Open(&d, kAddr));
        Put(&d, c.stamp, c.text, c.counted);
        EXPECT_EQ(d.length, static_cast<int64_t>(c.expected.size()));
        CloseDest(&d);
        EXPECT_EQ(ReadFile(kPath), c.expected);
    }
}

// Four records of 50 bytes each against a cap, through either writer.
struct CapCase {
    const char* name;
    size_t existing;  // bytes already in the file
    int64_t cap;
    int written;  // records that reach the file
    bool marker;
};

const CapCase kCapCases[] = {
    {"far below the cap", 0, 1000, 4, false},
    {"second record reaches the cap exactly", 0, 100, 2, true},
    {"third record crosses the cap", 0, 101, 3, true},
    {"existing size counts", 60, 100, 1, true},
    {"one byte below the cap", 99, 100, 1, true},
    {"file at the cap", 100, 100, 0, false},
    {"file above the cap", 150, 100, 0, false},
};

struct CapOutcome {
    std::string file;
    int64_t length;
    std::string log;
};

class DestCapTest : public DestFileTest {
protected:
    // Records carry the stamp they were given; the marker and the drop line take
    // a fresh one, which the clock has moved on from.
    CapOutcome Run(const CapCase& c, bool as_head) {
        unlink(kPath.c_str());
        unlink(TEST_LOG);
        WriteFile(kPath, std::string(c.existing, '#'));
        Settings.maxfilesize = c.cap;
        Log_Open();
        Dest& d = NewDest();
        EXPECT_TRUE(Open(&d, kAddr));
        Clock_UpdateAt(&Clock, TEST_SEC, 777);
        for (int i = 1; i <= 4; i++) {
            std::string text = "record" + std::to_string(i);
            if (as_head)
                PutAsHead(&d, Plain(TEST_STAMP, kAddr, text));
            else
                Put(&d, TEST_STAMP, text);
        }
        CapOutcome out{"", d.length, ""};
        CloseDest(&d);
        Log_Close();
        out.file = ReadFile(kPath);
        out.log = DaemonLog();
        return out;
    }
};

TEST_F(DestCapTest, RecordReachingTheCapIsWrittenWholeThenMarkerOnceThenSilence) {
    const std::string later = "2024-05-06T07:00:00.000777+00:00";
    for (const auto& c : kCapCases) {
        SCOPED_TRACE(c.name);
        std::string expected(c.existing, '#');
        for (int i = 1; i <= c.written; i++) expected += Plain(TEST_STAMP, kAddr, "record" + std::to_string(i));
        const auto length = static_cast<int64_t>(expected.size());
        if (c.marker) expected += Marker(later, c.cap, kAddr);

        CapOutcome out = Run(c, false);
        EXPECT_EQ(out.file, expected);
        // The marker is not counted.
        EXPECT_EQ(out.length, length);
        EXPECT_EQ(out.log, c.marker ? DropLine(later, c.cap, kAddr) : "");
    }
}

TEST_F(DestCapTest, RecordsAreCountedAndCappedAlikeWhereverHeadAndTextSplit) {
    for (const auto& c : kCapCases) {
        SCOPED_TRACE(c.name);
        CapOutcome rec = Run(c, false);
        CapOutcome whole = Run(c, true);
        EXPECT_EQ(whole.file, rec.file);
        EXPECT_EQ(whole.length, rec.length);
        EXPECT_EQ(whole.log, rec.log);
    }
}

TEST_F(DestFileTest, CapAtTwoBillionPrintsInFull) {
    Settings.maxfilesize = 2000000000;
    Log_Open();
    Dest& d = NewDest();
    ASSERT_TRUE(Open(&d, kAddr));
    // Counted from the open: pretend the file is just below the cap.
    d.length = 2000000000 - 10;
    Put(&d, TEST_STAMP, "x");
    CloseDest(&d);
    EXPECT_EQ(ReadFile(kPath), Plain(TEST_STAMP, kAddr, "x") + Marker(TEST_STAMP, 2000000000, kAddr));
    EXPECT_EQ(DaemonLog(), DropLine(TEST_STAMP, 2000000000, kAddr));
}

TEST_F(DestFileTest, ReopenTakesTheLengthFromTheFileAgain) {
    Settings.maxfilesize = 100;
    Log_Open();
    Dest& d = NewDest();
    ASSERT_TRUE(Open(&d, kAddr));
    for (int i = 0; i < 3; i++) Put(&d, TEST_STAMP, "record1");
    CloseDest(&d);
    const std::string capped = ReadFile(kPath);
    const std::string log = DaemonLog();
    ASSERT_EQ(log, DropLine(TEST_STAMP, 100, kAddr));

    // Same file again (daily split, or a hangup): still capped, no second marker.
    ASSERT_TRUE(Open(&d, kAddr));
    EXPECT_EQ(d.length, static_cast<int64_t>(capped.size()));
    Put(&d, TEST_STAMP, "record2");
    CloseDest(&d);
    EXPECT_EQ(ReadFile(kPath), capped);
    EXPECT_EQ(DaemonLog(), log);

    // The next hour's file starts from its own size.
    Clock_UpdateAt(&Clock, TEST_SEC + 3600, 0);
    const std::string next = kAddr + "/" + kAddr + "-2024050608";
    ASSERT_TRUE(Open(&d, kAddr));
    EXPECT_EQ(d.length, 0);
    Put(&d, "S", "record3");
    CloseDest(&d);
    EXPECT_EQ(ReadFile(next), Plain("S", kAddr, "record3"));
    EXPECT_EQ(ReadFile(kPath), capped);
}

// A write above 65599 characters still reaches the file whole; it only goes uncounted.
TEST_F(DestFileTest, LongWritesAreWrittenWholeButCountedOnlyUpTo65599) {
    const size_t head = Plain(TEST_STAMP, kAddr, "").size();
    const struct {
        const char* name;
        bool as_head;
        size_t total;  // characters of the one write
        bool counted;
    } cases[] = {
        {"record of 65599", false, 65599, true},  {"record of 65600", false, 65600, false},
        {"record of 70000", false, 70000, false}, {"head of 65599", true, 65599, true},
        {"head of 65600", true, 65600, false},    {"head of 70000", true, 70000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(kPath.c_str());
        Dest& d = NewDest();
        ASSERT_TRUE(Open(&d, kAddr));
        const std::string expected = Plain(TEST_STAMP, kAddr, std::string(c.total - head, 'r'));
        if (c.as_head)
            PutAsHead(&d, expected);
        else
            Put(&d, TEST_STAMP, std::string(c.total - head, 'r'));
        ASSERT_EQ(expected.size(), c.total);
        EXPECT_EQ(d.length, c.counted ? static_cast<int64_t>(c.total) : 0);
        CloseDest(&d);
        const std::string file = ReadFile(kPath);
        EXPECT_EQ(file.size(), c.total);
        EXPECT_TRUE(file == expected);
    }
}

TEST_F(DestFileTest, FailedWriteAddsNothingAndIsCountedLost) {
    Settings.bufsize = 1024;
    Log_Open();
    Dest& d = NewDest();
    ASSERT_TRUE(Open(&d, kAddr));
    const int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    ASSERT_EQ(dup2(full, d.fd), d.fd);
    close(full);
    // Larger than the buffer, so it goes to the device at once and fails.
    Put(&d, TEST_STAMP, std::string(2000, 'x'));
    EXPECT_EQ(d.length, 0);
    CloseDest(&d);
    EXPECT_EQ(DaemonLog(), std::string(TEST_STAMP) + " drop: lost 1 records of 10.0.0.1: " + strerror(ENOSPC) + "\n");
}

TEST_F(DestFileTest, RecordsWaitInTheBufferUntilItWouldOverflow) {
    const std::string rec = Plain(TEST_STAMP, kAddr, "record1");
    ASSERT_EQ(rec.size(), 50u);
    for (int32_t bufsize : {1024, 1500, 16384, 131072}) {
        SCOPED_TRACE(bufsize);
        unlink(kPath.c_str());
        Settings.bufsize = bufsize;
        Dest& d = NewDest();
        ASSERT_TRUE(Open(&d, kAddr));
        const size_t fit = static_cast<size_t>(bufsize) / rec.size();
        for (size_t i = 0; i < fit; i++) Put(&d, TEST_STAMP, "record1");
        EXPECT_EQ(SizeOf(kPath), 0);
        // The next one does not fit: the earlier ones go out, it waits.
        Put(&d, TEST_STAMP, "record1");
        EXPECT_EQ(SizeOf(kPath), static_cast<off_t>(fit * rec.size()));
        CloseDest(&d);
        EXPECT_EQ(SizeOf(kPath), static_cast<off_t>((fit + 1) * rec.size()));
    }
}

TEST_F(DestFileTest, RecordLargerThanTheBufferIsWrittenWholeAndInOrder) {
    Settings.bufsize = 1024;
    Dest& d = NewDest();
    ASSERT_TRUE(Open(&d, kAddr));
    std::string expected;
    for (const char* t : {"first", "second", "third"}) {
        Put(&d, TEST_STAMP, t);
        expected += Plain(TEST_STAMP, kAddr, t);
    }
    EXPECT_EQ(ReadFile(kPath), "");
    const std::string big(3000, 'B');
    Put(&d, TEST_STAMP, big, true);
    expected += std::string(TEST_STAMP) + " 10.0.0.1 3000 " + big + "\n";
    EXPECT_EQ(ReadFile(kPath), expected);
    Put(&d, TEST_STAMP, "after");
    EXPECT_EQ(ReadFile(kPath), expected);
    CloseDest(&d);
    EXPECT_EQ(ReadFile(kPath), expected + Plain(TEST_STAMP, kAddr, "after"));
}

TEST_F(DestFileTest, FlushWritesOutAndKeepsTheFileOpen) {
    Dest& d = NewDest();
    ASSERT_TRUE(Open(&d, kAddr));
    Put(&d, TEST_STAMP, "one");
    EXPECT_EQ(ReadFile(kPath), "");
    Dest_Flush(&d);
    EXPECT_EQ(ReadFile(kPath), Plain(TEST_STAMP, kAddr, "one"));
    EXPECT_TRUE(Dest_IsOpen(&d));
    Put(&d, TEST_STAMP, "two");
    EXPECT_EQ(d.length, static_cast<int64_t>(2 * Plain(TEST_STAMP, kAddr, "one").size()));
    CloseDest(&d);
    EXPECT_EQ(ReadFile(kPath), Plain(TEST_STAMP, kAddr, "one") + Plain(TEST_STAMP, kAddr, "two"));
}

TEST_F(DestFileTest, WriteOutWritesEveryOpenFileOfThePool) {
    Dest* a = nullptr;
    Dest* b = nullptr;
    ASSERT_TRUE(TakeTwoOpenOneFailed(&a, &b));
    Put(a, TEST_STAMP, "for a");
    Put(b, TEST_STAMP, "for b");
    EXPECT_EQ(ReadFile(kPath), "");
    DestPool_WriteOut();
    EXPECT_EQ(ReadFile(kPath), Plain(TEST_STAMP, "10.0.0.1", "for a"));
    EXPECT_EQ(ReadFile(SourcePath("10.0.0.2")), Plain(TEST_STAMP, "10.0.0.2", "for b"));
    EXPECT_TRUE(Dest_IsOpen(a));
    DestPool_CloseAll();
    EXPECT_EQ(ReadFile(kPath), Plain(TEST_STAMP, "10.0.0.1", "for a"));
}

TEST_F(DestFileTest, FatalExitWritesOutBufferedRecords) {
    mkdir("10.0.0.2", 0777);
    ChildResult r = RunInChild([] {
        Dest* a = DestPool_Take();
        Dest* b = DestPool_Take();
        OpenDest(a, Ip("10.0.0.1"));
        OpenDest(b, Ip("10.0.0.2"));
        PutRecord(a, TEST_STAMP, "kept");
        PutRecord(b, TEST_STAMP, "kept too");
        Fatal("x");
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string(TEST_STAMP) + " fatal: x\n");
    EXPECT_EQ(ReadFile(kPath), Plain(TEST_STAMP, "10.0.0.1", "kept"));
    EXPECT_EQ(ReadFile(SourcePath("10.0.0.2")), Plain(TEST_STAMP, "10.0.0.2", "kept too"));
}

}  // namespace
