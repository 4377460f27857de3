// SPDX-License-Identifier: BSD-2-Clause
#include "recv/fail_report.h"
#include "recv/recv_test.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "recv_support.h"

namespace {

// Twelve sources in no sorted order, octets chosen so a swapped byte order shows.
const char* const kSources[] = {"203.0.113.9",  "10.20.30.40",    "192.0.2.7", "198.51.100.254",
                                "1.2.3.4",      "255.255.255.255", "0.0.0.0",   "172.16.5.4",
                                "10.0.0.2",     "127.0.0.1",       "8.8.4.4",   "9.9.9.9"};

std::string Line(const char* source, int count) {
    return "drop: failed " + std::string(source) + " " + std::to_string(count) + " times";
}

void Fail(const char* source, int times = 1) {
    for (int i = 0; i < times; i++) FailReport_Add(Ip(source));
}

using RecvFailReport = DaemonLogTest;

TEST_F(RecvFailReport, OneSourceCountedUntilTheFlush) {
    Fail("192.0.2.7", 3);
    EXPECT_EQ(NewLines(), std::vector<std::string>{}) << "failures are only reported at the flush";
    FailReport_Flush();
    EXPECT_EQ(NewLines(), std::vector<std::string>{"drop: failed 192.0.2.7 3 times"});
}

TEST_F(RecvFailReport, TenSourcesByFirstFailureThenOverflowSum) {
    for (const char* s : kSources) Fail(s);
    FailReport_Flush();
    std::vector<std::string> expect;
    for (int i = 0; i < 10; i++) expect.push_back(Line(kSources[i], 1));
    expect.push_back("drop: failed * 2 times");
    EXPECT_EQ(NewLines(), expect);
}

TEST_F(RecvFailReport, FullTableKeepsCountingItsSourcesAndSumsOthers) {
    for (int i = 0; i < 10; i++) Fail(kSources[i]);
    // The eleventh source's failures interleaved with more of the first ten, last first.
    for (int i = 9; i >= 0; i--) {
        if (i % 2 == 0) Fail(kSources[10]);
        Fail(kSources[i], i + 1);
    }
    std::vector<std::string> expect;
    for (int i = 0; i < 10; i++) expect.push_back(Line(kSources[i], i + 2));
    expect.push_back("drop: failed * 5 times");
    FailReport_Flush();
    EXPECT_EQ(NewLines(), expect);
}

TEST_F(RecvFailReport, VerboseAnnouncesEachTableEntryOncePerPeriod) {
    for (int verbose : {0, 1}) {
        SCOPED_TRACE(testing::Message() << "verbose " << verbose);
        ChildResult r = RunInChild([verbose] {
            Settings.verbose = verbose;
            Fail(kSources[0], 2);
            Fail(kSources[1]);
            Fail(kSources[0]);
            for (int i = 2; i < 10; i++) Fail(kSources[i]);
            Fail(kSources[10], 2);  // into the overflow: never announced
            Fail(kSources[11]);
            Fail(kSources[1]);
            FailReport_Flush();
            Fail(kSources[0]);  // a new period announces it again
        });
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        std::string expect;
        if (verbose) {
            for (int i = 0; i < 10; i++) expect += "Adding new fail report for " + std::string(kSources[i]) + "\n";
            expect += "corvashenmir " + Line(kSources[0], 3) + "\n";
            expect += "corvashenmir " + Line(kSources[1], 2) + "\n";
            for (int i = 2; i < 10; i++) expect += "corvashenmir " + Line(kSources[i], 1) + "\n";
            expect += "corvashenmir drop: failed * 3 times\n";
            expect += "Adding new fail report for " + std::string(kSources[0]) + "\n";
        }
        EXPECT_EQ(r.out, expect);
        // The child wrote to the daemon log this process opened.
        EXPECT_EQ(NewLines().size(), 11u);
    }
}

// Counts go on past what a line prints; the line stops at 2147483647.
TEST_F(RecvFailReport, CountStopsAt2147483647) {
    FailReport_State().entries[0] = {Ip("192.0.2.7"), INT32_MAX - 2};
    FailReport_State().used = 1;
    Fail("192.0.2.7", 5);
    EXPECT_EQ(FailReport_State().entries[0].count, uint64_t{INT32_MAX} + 3);
    FailReport_Flush();
    EXPECT_EQ(NewLines(), std::vector<std::string>{"drop: failed 192.0.2.7 2147483647 times"});
}

TEST_F(RecvFailReport, OverflowStopsAt2147483647) {
    for (int i = 0; i < 10; i++) Fail(kSources[i]);
    FailReport_State().overflow = INT32_MAX - 1;
    Fail(kSources[10], 2);
    Fail(kSources[11], 2);
    EXPECT_EQ(FailReport_State().overflow, uint64_t{INT32_MAX} + 3);
    FailReport_Flush();
    std::vector<std::string> lines = NewLines();
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines.back(), "drop: failed * 2147483647 times");
}

TEST_F(RecvFailReport, EmptyFlushWritesNothing) {
    FailReport_Flush();
    EXPECT_EQ(ReadFile(kDaemonLog), "");
    Fail("192.0.2.7");
    FailReport_Flush();
    FailReport_Flush();
    EXPECT_EQ(NewLines(), std::vector<std::string>{"drop: failed 192.0.2.7 1 times"});
}

TEST_F(RecvFailReport, FlushStartsTheNextPeriodEmpty) {
    Fail(kSources[0], 3);
    for (int i = 1; i < 11; i++) Fail(kSources[i]);
    FailReport_Flush();
    EXPECT_EQ(NewLines().size(), 11u);

    // New order of first failure, counts from 1, no overflow left over.
    Fail(kSources[11]);
    Fail(kSources[0]);
    for (int i = 1; i < 8; i++) Fail(kSources[i]);
    Fail(kSources[10]);  // the tenth entry of this period, not overflow
    FailReport_Flush();
    std::vector<std::string> expect{Line(kSources[11], 1), Line(kSources[0], 1)};
    for (int i = 1; i < 8; i++) expect.push_back(Line(kSources[i], 1));
    expect.push_back(Line(kSources[10], 1));
    EXPECT_EQ(NewLines(), expect);
}

}  // namespace
