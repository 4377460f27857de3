// SPDX-License-Identifier: BSD-2-Clause
#include "dest/dest_pool.h"
#include "dest/dest_test.h"
#include "common/counters.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "dest_test_util.h"
#include "support/child.h"

namespace {

uint32_t Rotl16(uint32_t v) { return (v << 16) | (v >> 16); }

// Inverse of an odd number modulo 2^32, by Newton's iteration.
uint32_t Inverse(uint32_t a) {
    uint32_t x = a;
    for (int i = 0; i < 5; i++) x *= 2u - a * x;
    return x;
}

TEST(RandNextTest, FirstThreeValuesFromTheInitialState) {
    DestPool_Rand() = {0xDEADBEEF, 0};
    Totals.receivedBytes = 0;
    EXPECT_EQ(DestPool_Random(), 0xEC3395BAu);
    EXPECT_EQ(DestPool_Rand().state, 0x1C014DFCu);
    EXPECT_EQ(DestPool_Rand().step, 0x9E3779B9u);
    EXPECT_EQ(DestPool_Random(), 0x68F512ABu);
    EXPECT_EQ(DestPool_Random(), 0xD3ED99B7u);
}

TEST(RandNextTest, ReceivedRemainderIsAddedToTheResultOnly) {
    const uint32_t base[] = {0xEC3395BAu, 0x68F512ABu, 0xD3ED99B7u};
    for (uint32_t remainder : {1u, 4242u, 999999u}) {
        SCOPED_TRACE(remainder);
        DestPool_Rand() = {0xDEADBEEF, 0};
        Totals.receivedBytes = 7000000 + remainder;
        for (uint32_t b : base) EXPECT_EQ(DestPool_Random(), b + remainder);
        // The generator's own state does not see the remainder.
        EXPECT_EQ(DestPool_Rand().state, 0x2C8CF947u);
        EXPECT_EQ(DestPool_Rand().step, 3u * 0x9E3779B9u);
    }
    Totals.receivedBytes = 0;
}

TEST(RandNextTest, StateIsReducedModulo2147483647) {
    // x is the raw product; the state keeps x mod 0x7FFFFFFF.
    const struct {
        uint32_t x;
        uint32_t state;
    } cases[] = {
        {0u, 0u},
        {0x7FFFFFFEu, 0x7FFFFFFEu},
        {0x7FFFFFFFu, 0u},
        {0x80000000u, 1u},
        {0xFFFFFFFDu, 0x7FFFFFFEu},
        {0xFFFFFFFEu, 0u},
        {0xFFFFFFFFu, 1u},
    };
    Totals.receivedBytes = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.x);
        DestPool_Rand() = {(c.x - 12345u) * Inverse(1103515245u), 0x10u};
        EXPECT_EQ(DestPool_Random(), 0x10u + 0x9E3779B9u + Rotl16(c.state));
        EXPECT_EQ(DestPool_Rand().state, c.state);
    }
}

class DestPoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDaemonState();
        Settings.maxopen = 5;
        DestPool_Init();
    }

    void TearDown() override { ReleaseDestinations(); }

    // A new source admitted as the receive loop does it; without its directory the open fails.
    Dest* Admit(const std::string& addr, bool with_dir = true) {
        if (with_dir) mkdir(addr.c_str(), 0777);
        Dest* d = DestPool_Take();
        OpenDest(d, Ip(addr.c_str()));
        return d;
    }

    static std::vector<Dest*> Used() {
        return {DestPool_State().usedlist.begin(), DestPool_State().usedlist.begin() + DestPool_State().usedcount};
    }

    InTempDir dir_;
};

TEST_F(DestPoolTest, TakeHandsOutTheLastFreeDescriptorFirst) {
    for (int32_t maxopen : {5, 50, 1000}) {
        SCOPED_TRACE(maxopen);
        Settings.maxopen = maxopen;
        DestPool_Init();
        ASSERT_EQ(DestPool_State().freecount, maxopen);
        ASSERT_EQ(DestPool_State().usedcount, 0);
        const std::vector<Dest*> free(DestPool_State().freelist.begin(), DestPool_State().freelist.begin() + maxopen);
        EXPECT_EQ(std::set<Dest*>(free.begin(), free.end()).size(), static_cast<size_t>(maxopen));
        EXPECT_EQ(std::count(free.begin(), free.end(), nullptr), 0);
        for (int32_t i = 0; i < maxopen; i++) {
            EXPECT_EQ(DestPool_Take(), free[maxopen - 1 - i]) << "take " << i;
            EXPECT_EQ(DestPool_State().usedlist[i], free[maxopen - 1 - i]);
            EXPECT_EQ(DestPool_State().usedcount, i + 1);
            EXPECT_EQ(DestPool_State().freecount, maxopen - 1 - i);
        }
        // Nothing was opened, so nothing to close.
        DestPool_State().usedcount = 0;
    }
}

TEST_F(DestPoolTest, EvictionPicksAtRandomPreferringFailedDescriptors) {
    // Fresh generator, remainder 0: the draws pick entries 2, 3, 4 in turn.
    const struct {
        const char* name;
        std::set<int> failed;
        int victim;
        uint32_t draws;
    } cases[] = {
        {"all open: third pick", {}, 4, 3},
        {"entry 2 failed: first pick", {2}, 2, 1},
        {"entry 3 failed: second pick", {3}, 3, 2},
        {"entry 4 failed: third pick", {4}, 4, 3},
        {"entries never picked failed", {0, 1}, 4, 3},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ReleaseDestinations();
        DestPool_Init();
        // Sources of their own per case, so no directory is left from another.
        const std::string net = "10.0." + std::to_string(++n) + ".";
        for (int i = 0; i < 5; i++) {
            Dest* d = Admit(net + std::to_string(i + 1), c.failed.count(i) == 0);
            if (Dest_IsOpen(d)) PutRecord(d, TEST_STAMP, "before");
        }
        const std::vector<Dest*> used = Used();
        Dest* expected = used[c.victim];
        const bool was_open = Dest_IsOpen(expected);
        const Addr victim_addr = expected->addr;
        DestPool_Rand() = {0xDEADBEEF, 0};
        Totals.receivedBytes = 0;
        Settings.verbose = 1;

        Dest* victim = nullptr;
        std::string out = CaptureStdout([&] { victim = DestPool_Take(); });
        Settings.verbose = 0;

        EXPECT_EQ(victim, expected);
        EXPECT_EQ(DestPool_Rand().step, c.draws * 0x9E3779B9u);
        EXPECT_EQ(out, was_open ? "FORCECLOSE " + net + std::to_string(c.victim + 1) + "\n" : "");
        // The victim keeps its entry; its source has no descriptor any more.
        EXPECT_EQ(Used(), used);
        EXPECT_EQ(DestPool_State().freecount, 0);
        EXPECT_EQ(DestHash_Find(victim_addr), nullptr);
        EXPECT_FALSE(Dest_IsOpen(victim));
        EXPECT_EQ(victim->buffer, nullptr);
        for (Dest* d : used) {
            if (d != victim) {
                EXPECT_EQ(DestHash_Find(d->addr), d);
            }
        }
        if (was_open) {
            EXPECT_EQ(ReadFile(SourcePath(IpText(victim_addr))),
                      std::string(TEST_STAMP) + " " + IpText(victim_addr) + " before\n");
        }

        // Handed to the new source, it is bound in the victim's place.
        const std::string newcomer = net + "6";
        mkdir(newcomer.c_str(), 0777);
        ASSERT_TRUE(OpenDest(victim, Ip(newcomer.c_str())));
        EXPECT_EQ(DestHash_Find(Ip(newcomer.c_str())), victim);
        EXPECT_EQ(Used()[c.victim], victim);
    }
}

TEST_F(DestPoolTest, ManyNewSourcesKeepPoolAndTableConsistent) {
    std::vector<Addr> admitted;
    for (int i = 0; i < 60; i++) {
        SCOPED_TRACE(i);
        std::string addr = "10.0.1." + std::to_string(i);
        Totals.receivedBytes = static_cast<uint32_t>(i * 7919 % 1000000);
        Admit(addr, i % 3 != 0);
        admitted.push_back(Ip(addr.c_str()));

        ASSERT_EQ(DestPool_State().usedcount + DestPool_State().freecount, 5);
        ASSERT_EQ(DestPool_State().usedcount, std::min(i + 1, 5));
        std::set<Dest*> used;
        for (Dest* d : Used()) {
            used.insert(d);
            EXPECT_EQ(DestHash_Find(d->addr), d);
        }
        ASSERT_EQ(used.size(), static_cast<size_t>(DestPool_State().usedcount));
        int occupied = 0;
        for (Dest* d : DestHash_Slots()) {
            if (d == nullptr) continue;
            occupied++;
            EXPECT_EQ(used.count(d), 1u);
        }
        EXPECT_EQ(occupied, DestPool_State().usedcount);
        // The newest source always has its descriptor.
        EXPECT_NE(DestHash_Find(admitted.back()), nullptr);
        int found = 0;
        for (const Addr& ip : admitted) found += DestHash_Find(ip) != nullptr;
        EXPECT_EQ(found, DestPool_State().usedcount);
    }
    Totals.receivedBytes = 0;
}

TEST_F(DestPoolTest, CloseAllClosesLastTakenFirstAndFreesInThatOrder) {
    const std::vector<Dest*> initial(DestPool_State().freelist.begin(), DestPool_State().freelist.begin() + 5);
    Dest* a = Admit("10.0.0.1");
    Dest* b = Admit("10.0.0.2", false);
    Dest* c = Admit("10.0.0.3");
    PutRecord(a, TEST_STAMP, "to a");
    PutRecord(c, TEST_STAMP, "to c");
    Settings.verbose = 1;
    std::string out = CaptureStdout(DestPool_CloseAll);
    Settings.verbose = 0;

    EXPECT_EQ(out, "CLOSE 10.0.0.3\nCLOSE 10.0.0.2\nCLOSE 10.0.0.1\n");
    EXPECT_EQ(DestPool_State().usedcount, 0);
    EXPECT_EQ(DestPool_State().freecount, 5);
    for (Dest* d : {a, b, c}) {
        EXPECT_EQ(DestHash_Find(d->addr), nullptr);
        EXPECT_FALSE(Dest_IsOpen(d));
        EXPECT_EQ(d->buffer, nullptr);
    }
    EXPECT_EQ(ReadFile(SourcePath("10.0.0.1")), std::string(TEST_STAMP) + " 10.0.0.1 to a\n");
    EXPECT_EQ(ReadFile(SourcePath("10.0.0.3")), std::string(TEST_STAMP) + " 10.0.0.3 to c\n");

    // The first taken comes back first, then the rest of the free list.
    const std::vector<Dest*> order = {a, b, c, initial[1], initial[0]};
    for (Dest* want : order) EXPECT_EQ(DestPool_Take(), want);
    DestPool_State().usedcount = 0;
}

TEST_F(DestPoolTest, CloseAllWithNothingInUseDoesNothing) {
    const std::vector<Dest*> free(DestPool_State().freelist.begin(), DestPool_State().freelist.begin() + 5);
    Settings.verbose = 1;
    EXPECT_EQ(CaptureStdout(DestPool_CloseAll), "");
    Settings.verbose = 0;
    EXPECT_EQ(DestPool_State().usedcount, 0);
    EXPECT_EQ(DestPool_State().freecount, 5);
    EXPECT_EQ(std::vector<Dest*>(DestPool_State().freelist.begin(), DestPool_State().freelist.begin() + 5), free);
}

TEST_F(DestPoolTest, EvictionWithNothingInUseIsFatal) {
    const std::string msg = "INTERNAL BROKENNESS: DestPool_Evict: every descriptor is free, yet none could be taken";
    const struct {
        const char* name;
        std::function<void()> fn;
    } cases[] = {
        {"evict from an idle pool", [] { DestPool_Evict(); }},
        {"take from an empty pool",
         [] {
             Settings.maxopen = 0;
             DestPool_Init();
             DestPool_Take();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChildResult r = RunInChild(c.fn);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string(TEST_STAMP) + " fatal: " + msg + "\n");
        EXPECT_EQ(r.out, "corvashenmir fatal: " + msg + "\n");
    }
}

}  // namespace
