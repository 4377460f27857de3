// SPDX-License-Identifier: BSD-2-Clause
// Write faults, removed files and refused opens: nothing torn, nothing lost
// without a count, and the one-second write-out of waiting records.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "dest/dest_dirs.h"
#include "dest/dest_test.h"
#include "dest_test_util.h"
#include "support/child.h"

namespace {

const std::string kAddr = "10.0.0.1";
const std::string kPath = SourcePath(kAddr);

// 50 bytes each with the test stamp and address.
std::string Rec(int i) { return std::string(TEST_STAMP) + " " + kAddr + " record" + std::to_string(i) + "\n"; }

std::string LostLine(int n, int err) {
    return std::string(TEST_STAMP) + " drop: lost " + std::to_string(n) + " records of " + kAddr + ": " +
           strerror(err) + "\n";
}

void PutRec(Dest* d, int i) { PutRecord(d, TEST_STAMP, "record" + std::to_string(i)); }

// Puts fd in place of d's descriptor, so writes meet the fault fd has.
void Substitute(Dest* d, int fd) {
    ASSERT_GE(fd, 0);
    ASSERT_EQ(dup2(fd, d->fd), d->fd);
    close(fd);
}

class DestFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDaemonState();
        Settings.bufsize = 1024;
        mkdir(kAddr.c_str(), 0777);
        ASSERT_EQ(Rec(1).size(), 50u);
    }
    void TearDown() override { ReleaseDestinations(); }

    InTempDir dir_;
};

TEST_F(DestFaultTest, ShortWriteKeepsTheRestBufferedAndCompletesTheRecordLater) {
    ChildResult r = RunInChild([] {
        Dest* d = DestPool_Take();
        if (!OpenDest(d, Ip(kAddr.c_str()))) _exit(97);
        for (int i = 1; i <= 3; i++) PutRec(d, i);
        LimitFileSize(120);
        Dest_Flush(d);
        printf("fill=%u records=%d torn=%u\n", d->fill, d->records, d->torn);
        LimitFileSize(RLIM_INFINITY);
        Dest_Flush(d);
        printf("fill=%u\n", d->fill);
        PutRec(d, 4);
        CloseDest(d);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "fill=30 records=1 torn=20\nfill=0\n");
    EXPECT_EQ(ReadFile(kPath), Rec(1) + Rec(2) + Rec(3) + Rec(4));
    EXPECT_FALSE(FileExists(TEST_LOG));
}

// Buffered, the third record is torn by the limit and cut off at the close;
// unbuffered (its allocation failed), it is cut off at once.
TEST_F(DestFaultTest, CloseUnderAFileSizeLimitLeavesOnlyWholeRecords) {
    for (bool buffered : {true, false}) {
        SCOPED_TRACE(buffered ? "buffered" : "unbuffered");
        unlink(kPath.c_str());
        unlink(TEST_LOG);
        ChildResult r = RunInChild([&] {
            Log_Open();
            Dest* d = DestPool_Take();
            if (!OpenDest(d, Ip(kAddr.c_str()))) _exit(97);
            if (!buffered) {
                free(d->buffer);
                d->buffer = nullptr;
                d->ends = nullptr;
                d->room = 0;
                d->endsmax = 0;
            }
            LimitFileSize(120);
            for (int i = 1; i <= 4; i++) PutRec(d, i);
            CloseDest(d);
        });
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(ReadFile(kPath), Rec(1) + Rec(2));
        EXPECT_EQ(ReadFile(TEST_LOG), LostLine(2, EFBIG));
    }
}

TEST_F(DestFaultTest, RecordsThatCannotBeWrittenAreCountedLostWithTheLastError) {
    const struct {
        const char* name;
        int records;
        std::function<int()> fault;  // a descriptor that fails every write
        int err;
    } cases[] = {
        {"full device, records waiting at the close", 3, [] { return open("/dev/full", O_WRONLY); }, ENOSPC},
        // 20 records fill the buffer; the 21st finds it still holding them.
        {"full device, buffer full of unwritten records", 21, [] { return open("/dev/full", O_WRONLY); }, ENOSPC},
        {"descriptor open for reading", 2, [] { return open(kPath.c_str(), O_RDONLY); }, EBADF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unlink(kPath.c_str());
        unlink(TEST_LOG);
        Log_Open();
        Dest* d = DestPool_Take();
        ASSERT_TRUE(OpenDest(d, Ip(kAddr.c_str())));
        Substitute(d, c.fault());
        for (int i = 1; i <= c.records; i++) PutRec(d, i);
        DestPool_CloseAll();
        Log_Close();
        EXPECT_EQ(ReadFile(kPath), "");
        EXPECT_EQ(ReadFile(TEST_LOG), LostLine(c.records, c.err));
    }
}

TEST_F(DestFaultTest, WaitingRecordsReachTheFileWhenSpaceReturns) {
    Log_Open();
    Dest* d = DestPool_Take();
    ASSERT_TRUE(OpenDest(d, Ip(kAddr.c_str())));
    const int file = dup(d->fd);
    Substitute(d, open("/dev/full", O_WRONLY));
    for (int i = 1; i <= 3; i++) PutRec(d, i);
    Dest_Flush(d);
    EXPECT_EQ(d->fill, 150u);
    Substitute(d, file);
    PutRec(d, 4);
    Dest_Flush(d);
    EXPECT_EQ(d->fill, 0u);
    CloseDest(d);
    EXPECT_EQ(ReadFile(kPath), Rec(1) + Rec(2) + Rec(3) + Rec(4));
    EXPECT_EQ(ReadFile(TEST_LOG), "");
}

TEST_F(DestFaultTest, WriteOutBeforeTakesFilesWhoseOldestRecordIsFromAnEarlierSecond) {
    Dest* a = nullptr;
    Dest* b = nullptr;
    ASSERT_TRUE(TakeTwoOpenOneFailed(&a, &b));
    const std::string pb = SourcePath("10.0.0.2");
    PutRecord(a, "S", "a1");
    Clock_UpdateAt(&Clock, TEST_SEC + 1, 5);
    PutRecord(a, "S", "a2");
    PutRecord(b, "S", "b1");

    DestPool_WriteOutBefore(TEST_SEC);
    EXPECT_EQ(ReadFile(kPath), "");
    EXPECT_EQ(ReadFile(pb), "");
    // a's oldest record is from the earlier second: all of a goes out, b waits.
    DestPool_WriteOutBefore(TEST_SEC + 1);
    EXPECT_EQ(ReadFile(kPath), "S 10.0.0.1 a1\nS 10.0.0.1 a2\n");
    EXPECT_EQ(ReadFile(pb), "");
    // a's next record starts a new wait.
    Clock_UpdateAt(&Clock, TEST_SEC + 2, 0);
    PutRecord(a, "S", "a3");
    DestPool_WriteOutBefore(TEST_SEC + 2);
    EXPECT_EQ(ReadFile(kPath), "S 10.0.0.1 a1\nS 10.0.0.1 a2\n");
    EXPECT_EQ(ReadFile(pb), "S 10.0.0.2 b1\n");
    DestPool_WriteOutBefore(TEST_SEC + 3);
    EXPECT_EQ(ReadFile(kPath), "S 10.0.0.1 a1\nS 10.0.0.1 a2\nS 10.0.0.1 a3\n");
}

TEST_F(DestFaultTest, FileThatLostItsNameIsReopenedAtItsPathOrCountedLost) {
    const struct {
        const char* name;
        bool remove_dir;
        bool make_dir_again;
        bool at_close;  // noticed by the close instead of a write-out
        bool reopened;
    } cases[] = {
        {"file removed", false, false, false, true},
        {"file removed, noticed at the close", false, false, true, true},
        {"directory removed and made again", true, true, false, true},
        {"directory removed", true, false, false, false},
        {"directory removed, noticed at the close", true, false, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        mkdir(kAddr.c_str(), 0777);
        unlink(kPath.c_str());
        unlink(TEST_LOG);
        Log_Open();
        Dest* d = DestPool_Take();
        ASSERT_TRUE(OpenDest(d, Ip(kAddr.c_str())));
        PutRec(d, 1);
        Dest_Flush(d);
        PutRec(d, 2);
        ASSERT_EQ(unlink(kPath.c_str()), 0);
        if (c.remove_dir) {
            ASSERT_EQ(rmdir(kAddr.c_str()), 0);
        }
        if (c.make_dir_again) {
            ASSERT_EQ(mkdir(kAddr.c_str(), 0777), 0);
        }
        if (!c.at_close) {
            DestStatus st = Dest_Flush(d);
            EXPECT_EQ(Dest_IsOpen(d), c.reopened);
            // Either way it still stands for its source until its owner frees it,
            // which it must when the directory is gone.
            EXPECT_EQ(DestHash_Find(d->addr), d);
            EXPECT_EQ(st == DEST_GONE, c.remove_dir && !c.make_dir_again);
            if (c.reopened) PutRec(d, 3);
        }
        DestPool_CloseAll();
        Log_Close();
        const bool later = c.reopened && !c.at_close;
        EXPECT_EQ(ReadFile(kPath), c.reopened ? Rec(2) + (later ? Rec(3) : "") : "");
        EXPECT_EQ(ReadFile(TEST_LOG), c.reopened ? "" : LostLine(1, ENOENT));
    }
}

// The per-second write-out frees a descriptor whose directory has gone, so
// its source is an unknown one again; the others keep their order.
TEST_F(DestFaultTest, WriteOutReleasesADescriptorWhoseDirectoryIsGone) {
    const std::vector<std::string> addrs = {"10.0.0.1", "10.0.0.2", "10.0.0.3"};
    Log_Open();
    std::vector<Dest*> ds;
    for (const std::string& a : addrs) {
        mkdir(a.c_str(), 0777);
        Dest* d = DestPool_Take();
        ASSERT_TRUE(OpenDest(d, Ip(a.c_str())));
        PutRecord(d, TEST_STAMP, "kept");
        ds.push_back(d);
    }
    ASSERT_EQ(unlink(SourcePath(addrs[1]).c_str()), 0);
    ASSERT_EQ(rmdir(addrs[1].c_str()), 0);
    const int32_t freecount = DestPool_State().freecount;

    std::string out = CaptureStdout([] {
        Settings.verbose = 1;
        Clock_UpdateAt(&Clock, TEST_SEC + 1, 0);
        DestPool_WriteOutBefore(TEST_SEC + 1);
        Settings.verbose = 0;
    });
    EXPECT_EQ(DestPool_State().usedcount, 2);
    EXPECT_EQ(DestPool_State().usedlist[0], ds[0]);
    EXPECT_EQ(DestPool_State().usedlist[1], ds[2]);
    EXPECT_EQ(DestPool_State().freecount, freecount + 1);
    EXPECT_EQ(DestPool_State().freelist[freecount], ds[1]);
    EXPECT_EQ(DestHash_Find(Ip(addrs[1].c_str())), nullptr);
    EXPECT_EQ(DestHash_Find(Ip(addrs[0].c_str())), ds[0]);
    EXPECT_EQ(DestHash_Find(Ip(addrs[2].c_str())), ds[2]);
    const std::string lost = std::string("drop: lost 1 records of 10.0.0.2: ") + strerror(ENOENT) + "\n";
    // Under --verbose the close is traced and the loss echoed.
    EXPECT_EQ(out, "CLOSE 10.0.0.2\ncorvashenmir " + lost);
    for (size_t i : {0u, 2u})
        EXPECT_EQ(ReadFile(SourcePath(addrs[i])), std::string(TEST_STAMP) + " " + addrs[i] + " kept\n");
    DestPool_CloseAll();
    Log_Close();
    EXPECT_EQ(ReadFile(TEST_LOG), "2024-05-06T07:00:01.000000+00:00 " + lost);
}

// Only a missing directory makes a failed open a gone source; a path the
// daemon refuses in an existing directory leaves the mark of a failed source.
TEST_F(DestFaultTest, FailedOpenIsGoneOnlyWithoutTheDirectory) {
    Log_Open();
    Dest* d = DestPool_Take();
    rmdir(kAddr.c_str());
    EXPECT_FALSE(DestDirs_Has(kAddr.c_str()));
    DestStatus st;
    EXPECT_FALSE(OpenDest(d, Ip(kAddr.c_str()), &st));
    EXPECT_EQ(st, DEST_GONE);
    DestPool_Release(d);
    EXPECT_EQ(DestPool_State().usedcount, 0);

    ASSERT_EQ(mkdir(kAddr.c_str(), 0777), 0);
    ASSERT_EQ(mkfifo(kPath.c_str(), 0666), 0);
    EXPECT_TRUE(DestDirs_Has(kAddr.c_str()));
    d = DestPool_Take();
    EXPECT_FALSE(OpenDest(d, Ip(kAddr.c_str()), &st));
    EXPECT_EQ(st, DEST_FAILED);
    EXPECT_EQ(DestHash_Find(Ip(kAddr.c_str())), d);

    // A plain file or a link to nothing in the directory's place is no directory.
    WriteFile("10.0.0.5", "x");
    EXPECT_FALSE(DestDirs_Has("10.0.0.5"));
    ASSERT_EQ(symlink("nowhere", "10.0.0.6"), 0);
    EXPECT_FALSE(DestDirs_Has("10.0.0.6"));
    ASSERT_EQ(symlink(kAddr.c_str(), "10.0.0.7"), 0);
    EXPECT_TRUE(DestDirs_Has("10.0.0.7"));
    DestPool_CloseAll();
    Log_Close();
}

TEST_F(DestFaultTest, OpenTakesOnlyARegularFileReachedWithoutALinkAtTheEnd) {
    WriteFile("target", "untouched\n");
    const struct {
        const char* name;
        std::function<bool()> make;  // false: the case cannot be made here
        bool opens;
    } cases[] = {
        {"FIFO without a reader", [] { return mkfifo(kPath.c_str(), 0666) == 0; }, false},
        {"link to a file", [] { return symlink("../target", kPath.c_str()) == 0; }, false},
        {"character device", [] { return mknod(kPath.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0; }, false},
        {"directory of the source is a link",
         [] {
             rmdir(kAddr.c_str());
             return mkdir("real", 0777) == 0 && symlink("real", kAddr.c_str()) == 0;
         },
         true},
    };
    Log_Open();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.make()) {
            printf("skipped: %s cannot be made here: %s\n", c.name, strerror(errno));
            continue;
        }
        Dest* d = DestPool_Take();
        EXPECT_EQ(OpenDest(d, Ip(kAddr.c_str())), c.opens);
        EXPECT_EQ(Dest_IsOpen(d), c.opens);
        if (c.opens) PutRec(d, 1);
        DestPool_CloseAll();
        if (c.opens) {
            EXPECT_EQ(ReadFile("real/" + kAddr + "-2024050607"), Rec(1));
        }
        unlink(kPath.c_str());
    }
    EXPECT_EQ(ReadFile("target"), "untouched\n");
    Log_Close();
    EXPECT_EQ(ReadFile(TEST_LOG), "");
}

}  // namespace
