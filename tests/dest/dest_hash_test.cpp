// SPDX-License-Identifier: BSD-2-Clause
#include "dest/dest_hash.h"
#include "dest/dest_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "dest_test_util.h"
#include "support/child.h"

namespace {

Dest MakeDest(const Addr& ip) {
    Dest d{};
    d.fd = -1;
    d.addr = ip;
    return d;
}

// The n-th address of 10.0.0.0/16 whose home slot is home; each slot has about sixteen.
Addr AddrWithHome(uint32_t home, int n) {
    for (uint32_t host = 0x0A000000u; host <= 0x0A00FFFFu; host++) {
        Addr ip = Addr_FromV4(htonl(host));
        if (RefHome(ip) == home && n-- == 0) return ip;
    }
    throw std::logic_error("no such address");
}

int OccupiedSlots() {
    return static_cast<int>(std::count_if(DestHash_Slots().begin(), DestHash_Slots().end(),
                                          [](Dest* d) { return d != nullptr; }));
}

class DestHashTest : public ::testing::Test {
protected:
    // The table refers to this test's descriptors, which die with it.
    void SetUp() override { ResetDaemonState(); }
    void TearDown() override { DestHash_Clear(); }
};

TEST(DestHashIndexTest, HomeSlots) {
    const struct {
        const char* addr;
        uint32_t home;
    } cases[] = {
        {"10.0.0.1", 3459},   {"127.0.0.1", 1619},   {"192.168.1.1", 1905},
        {"0.0.0.0", 0},       {"10.0.0.2", 1894},    {"10.0.10.26", 1894},
        {"10.0.14.163", 4095}, {"10.0.41.16", 4095},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.addr);
        EXPECT_EQ(DestHash_Index(Ip(c.addr)), c.home);
    }
}

TEST_F(DestHashTest, CollidingAddressesTakeTheNextSlotAndAreFoundByTheirOwnAddress) {
    const struct {
        const char* first;
        const char* second;
        uint32_t home;
        uint32_t next;
    } cases[] = {
        {"10.0.0.2", "10.0.10.26", 1894, 1895},
        {"10.0.10.26", "10.0.0.2", 1894, 1895},
        {"10.0.14.163", "10.0.41.16", 4095, 0},
        {"10.0.41.16", "10.0.14.163", 4095, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " then " + c.second);
        DestHash_Clear();
        Dest a = MakeDest(Ip(c.first));
        Dest b = MakeDest(Ip(c.second));
        // An open descriptor is found like a failed one.
        b.fd = 7;
        DestHash_Add(&a);
        DestHash_Add(&b);
        EXPECT_EQ(DestHash_Slots()[c.home], &a);
        EXPECT_EQ(DestHash_Slots()[c.next], &b);
        EXPECT_EQ(OccupiedSlots(), 2);
        EXPECT_EQ(DestHash_Find(a.addr), &a);
        EXPECT_EQ(DestHash_Find(b.addr), &b);
    }
}

TEST_F(DestHashTest, MissEndsAtFirstEmptySlotOfTheRun) {
    const struct {
        const char* first;
        const char* second;
        uint32_t home;
    } cases[] = {
        {"10.0.0.2", "10.0.10.26", 1894},
        {"10.0.14.163", "10.0.41.16", 4095},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        DestHash_Clear();
        Dest a = MakeDest(Ip(c.first));
        Dest b = MakeDest(Ip(c.second));
        DestHash_Add(&a);
        DestHash_Add(&b);
        // An absent address of the same home walks past both entries to the empty slot.
        Addr absent = AddrWithHome(c.home, 0);
        for (int n = 1; absent == a.addr || absent == b.addr; n++) absent = AddrWithHome(c.home, n);
        EXPECT_EQ(DestHash_Find(absent), nullptr);
        // Planted beyond the empty slot, it must still not be found.
        Dest stray = MakeDest(absent);
        DestHash_Slots()[(c.home + 3) % DestHash_Slots().size()] = &stray;
        EXPECT_EQ(DestHash_Find(absent), nullptr);
        EXPECT_EQ(DestHash_Find(a.addr), &a);
        EXPECT_EQ(DestHash_Find(b.addr), &b);
    }
}

TEST_F(DestHashTest, EmptyTableAndClear) {
    EXPECT_EQ(OccupiedSlots(), 0);
    Dest a = MakeDest(Ip("10.0.0.1"));
    Dest b = MakeDest(Ip("0.0.0.0"));
    EXPECT_EQ(DestHash_Find(a.addr), nullptr);
    DestHash_Add(&a);
    DestHash_Add(&b);
    EXPECT_EQ(DestHash_Slots()[3459], &a);
    EXPECT_EQ(DestHash_Slots()[0], &b);
    DestHash_Clear();
    EXPECT_EQ(OccupiedSlots(), 0);
    EXPECT_EQ(DestHash_Find(a.addr), nullptr);
    EXPECT_EQ(DestHash_Find(b.addr), nullptr);
}

TEST_F(DestHashTest, DescriptorsAreComparedByIdentityNotAddress) {
    Dest a = MakeDest(Ip("10.0.0.1"));
    Dest twin = MakeDest(Ip("10.0.0.1"));
    DestHash_Add(&a);
    DestHash_Add(&twin);
    EXPECT_EQ(DestHash_Slots()[3459], &a);
    EXPECT_EQ(DestHash_Slots()[3460], &twin);
    EXPECT_EQ(DestHash_Find(a.addr), &a);
    DestHash_Remove(&a);
    EXPECT_EQ(DestHash_Find(a.addr), &twin);
    DestHash_Remove(&twin);
    EXPECT_EQ(OccupiedSlots(), 0);
}

TEST_F(DestHashTest, RemoveKeepsEveryLaterEntryOfTheRunFindable) {
    const uint32_t h = 1000;
    const struct {
        const char* name;
        std::vector<uint32_t> homes;  // in the order added
        size_t removed;
        std::vector<int> before;  // slot of each entry after the adds
        std::vector<int> after;   // slot of each entry after the removal, -1 for the removed one
    } cases[] = {
        {"middle of one home's run", {h, h, h}, 1, {h, h + 1, h + 2}, {h, -1, h + 1}},
        {"last of the run", {h, h}, 1, {h, h + 1}, {h, -1}},
        {"entry at its own home stays, the one behind moves",
         {h, h, h + 2, h},
         1,
         {h, h + 1, h + 2, h + 3},
         {h, -1, h + 2, h + 1}},
        {"entry at its home removed, displaced one moves in", {h, h + 1, h}, 1, {h, h + 1, h + 2}, {h, -1, h + 1}},
        {"run wrapping past 4095", {4095, 4095, 0, 4095}, 0, {4095, 0, 1, 2}, {-1, 4095, 0, 1}},
        {"wrapping run, entry at home 4095 stays",
         {4094, 4095, 4094, 0},
         0,
         {4094, 4095, 0, 1},
         {-1, 4095, 4094, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DestHash_Clear();
        std::map<uint32_t, int> used;
        std::vector<Dest> dests;
        for (uint32_t home : c.homes) dests.push_back(MakeDest(AddrWithHome(home, used[home]++)));
        for (Dest& d : dests) DestHash_Add(&d);
        for (size_t i = 0; i < dests.size(); i++) EXPECT_EQ(DestHash_Slots()[c.before[i]], &dests[i]) << "entry " << i;

        DestHash_Remove(&dests[c.removed]);

        EXPECT_EQ(OccupiedSlots(), static_cast<int>(dests.size()) - 1);
        for (size_t i = 0; i < dests.size(); i++) {
            if (i == c.removed) {
                EXPECT_EQ(DestHash_Find(dests[i].addr), nullptr);
                continue;
            }
            EXPECT_EQ(DestHash_Slots()[c.after[i]], &dests[i]) << "entry " << i;
            EXPECT_EQ(DestHash_Find(dests[i].addr), &dests[i]) << "entry " << i;
        }
    }
}

TEST_F(DestHashTest, RemoveWalksPastEmptySlots) {
    Dest a = MakeDest(Ip("10.0.0.1"));
    // Not where Add would put it: two slots after an empty one.
    DestHash_Slots()[3461] = &a;
    DestHash_Remove(&a);
    EXPECT_EQ(OccupiedSlots(), 0);
}

TEST_F(DestHashTest, FatalEnds) {
    const std::string add = "INTERNAL BROKENNESS: DestHash_Add: the descriptor is in the table already";
    const std::string remove = "INTERNAL BROKENNESS: DestHash_Remove: the descriptor is not in the table";
    const std::string full = "INTERNAL BROKENNESS: DestHash_Add: every slot of the table is taken";
    const struct {
        const char* name;
        std::function<void()> fn;
        const std::string& msg;
    } cases[] = {
        {"add twice",
         [] {
             Dest a = MakeDest(Ip("10.0.0.1"));
             DestHash_Add(&a);
             DestHash_Add(&a);
         },
         add},
        {"add again behind another of its run",
         [] {
             Dest a = MakeDest(Ip("10.0.0.2"));
             Dest b = MakeDest(Ip("10.0.10.26"));
             DestHash_Add(&a);
             DestHash_Add(&b);
             DestHash_Add(&b);
         },
         add},
        {"remove never added",
         [] {
             Dest a = MakeDest(Ip("10.0.0.2"));
             Dest b = MakeDest(Ip("10.0.10.26"));
             DestHash_Add(&a);
             DestHash_Remove(&b);
         },
         remove},
        {"remove twice",
         [] {
             Dest a = MakeDest(Ip("10.0.0.1"));
             DestHash_Add(&a);
             DestHash_Remove(&a);
             DestHash_Remove(&a);
         },
         remove},
        {"add to a full table",
         [] {
             std::vector<Dest> all(DestHash_Slots().size() + 1, MakeDest(Ip("10.0.0.1")));
             for (Dest& d : all) DestHash_Add(&d);
         },
         full},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ChildResult r = RunInChild(c.fn);
        EXPECT_EQ(r.status, 1);
        // No daemon log is open: the line goes to stderr, its echo to stdout.
        EXPECT_EQ(r.err, std::string(TEST_STAMP) + " fatal: " + c.msg + "\n");
        EXPECT_EQ(r.out, "corvashenmir fatal: " + c.msg + "\n");
    }
}

// Random adds, removes and finds against a map, with addresses packed into a
// few home slots so that runs grow long, merge and wrap from 4095 to 0.
TEST_F(DestHashTest, RandomOperationsMatchAMap) {
    std::mt19937 rng(20240506);
    std::vector<uint32_t> universe;
    for (uint32_t host = 0x0A000000u; host <= 0x0A00FFFFu; host++) {
        uint32_t home = RefHome(Addr_FromV4(htonl(host)));
        if (home >= 4092 || home <= 3 || (home >= 2044 && home <= 2047)) universe.push_back(htonl(host));
    }
    const size_t clustered = universe.size();
    while (universe.size() < clustered + 1300) {
        uint32_t ip = static_cast<uint32_t>(rng());
        if (std::find(universe.begin(), universe.end(), ip) == universe.end()) universe.push_back(ip);
    }
    ASSERT_GT(clustered, 150u);

    std::vector<Dest> storage(1000);
    std::vector<Dest*> spare;
    for (Dest& d : storage) spare.push_back(&d);
    std::map<uint32_t, Dest*> model;
    std::vector<uint32_t> present;
    size_t peak = 0;
    bool wrapped = false;

    for (int step = 0; step < 20000; step++) {
        // Alternate filling towards 1000 entries and draining.
        bool filling = (step / 2500) % 2 == 0;
        unsigned roll = rng() % 100;
        bool add = present.empty() || (present.size() < 1000 && roll < (filling ? 70u : 25u));
        bool remove = !add && roll < (filling ? 85u : 80u);
        if (add) {
            uint32_t ip;
            do ip = universe[rng() % universe.size()];
            while (model.count(ip) != 0);
            Dest* d = spare.back();
            spare.pop_back();
            *d = MakeDest(Addr_FromV4(ip));
            DestHash_Add(d);
            model[ip] = d;
            present.push_back(ip);
        } else if (remove) {
            size_t i = rng() % present.size();
            uint32_t ip = present[i];
            present[i] = present.back();
            present.pop_back();
            DestHash_Remove(model[ip]);
            spare.push_back(model[ip]);
            model.erase(ip);
        } else {
            uint32_t ip = universe[rng() % universe.size()];
            auto it = model.find(ip);
            ASSERT_EQ(DestHash_Find(Addr_FromV4(ip)), it == model.end() ? nullptr : it->second) << "step " << step;
        }
        peak = std::max(peak, model.size());
        wrapped = wrapped || (DestHash_Slots()[4095] != nullptr && DestHash_Slots()[0] != nullptr);

        ASSERT_EQ(OccupiedSlots(), static_cast<int>(model.size())) << "step " << step;
        for (uint32_t ip : universe) {
            auto it = model.find(ip);
            ASSERT_EQ(DestHash_Find(Addr_FromV4(ip)), it == model.end() ? nullptr : it->second)
                << "step " << step << " address " << IpText(Addr_FromV4(ip));
        }
    }
    // The walk must really have reached the interesting shapes.
    EXPECT_GE(peak, 990u);
    EXPECT_TRUE(wrapped);
}

// The table's size follows the pool's: at least four slots a descriptor, a
// power of two, never below 4096, so up to 1024 descriptors the home slots
// are those of the 4096-slot table.
TEST(DestHashSizeTest, SlotsForTheCapacity) {
    const struct {
        int32_t capacity;
        size_t slots;
    } cases[] = {{5, 4096}, {50, 4096}, {1024, 4096}, {1025, 8192}, {19000, 131072}, {100000, 524288},
                 {1000000, 4194304}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.capacity);
        DestHash_Init(c.capacity);
        EXPECT_EQ(DestHash_Slots().size(), c.slots);
        EXPECT_EQ(OccupiedSlots(), 0);
    }
    DestHash_Init(1024);
    EXPECT_EQ(DestHash_Index(Ip("10.0.0.1")), 3459u);
    EXPECT_EQ(DestHash_Index(Ip("127.0.0.1")), 1619u);
    DestHash_Init(50);
}

// Filled to the pool's size with IPv4 and IPv6 sources, then churned: every
// entry is found, no absent one is, and no entry sits far from its home.
TEST(DestHashSizeTest, LargeTablesStayFindableWithShortProbeRuns) {
    for (int32_t capacity : {100000, 1000000}) {
        SCOPED_TRACE(capacity);
        DestHash_Init(capacity);
        std::mt19937_64 rng(static_cast<uint64_t>(capacity));
        auto source = [&rng](int i) {
            if (i % 3 == 0) return Addr_FromV4(htonl(0x0A000000u + static_cast<uint32_t>(i)));
            in6_addr a{};
            a.s6_addr[0] = 0xfd;
            if (i % 3 == 1) {
                uint32_t n = htonl(static_cast<uint32_t>(i));
                memcpy(a.s6_addr + 12, &n, 4);
            } else {
                uint64_t r1 = rng(), r2 = rng();
                memcpy(a.s6_addr + 1, &r1, 7);
                memcpy(a.s6_addr + 8, &r2, 8);
            }
            return Addr_FromV6(a, 0);
        };
        std::vector<Dest> dests(static_cast<size_t>(capacity));
        for (int i = 0; i < capacity; i++) {
            dests[i] = MakeDest(source(i));
            DestHash_Add(&dests[i]);
        }
        // Take every other third out and put it back in reverse order.
        for (int i = 0; i < capacity; i += 3) DestHash_Remove(&dests[i]);
        for (int i = 0; i < capacity; i += 3) EXPECT_EQ(DestHash_Find(dests[i].addr), nullptr) << i;
        for (int i = (capacity - 1) / 3 * 3; i >= 0; i -= 3) DestHash_Add(&dests[i]);

        for (int i = 0; i < capacity; i++) ASSERT_EQ(DestHash_Find(dests[i].addr), &dests[i]) << "entry " << i;
        EXPECT_EQ(OccupiedSlots(), capacity);
        for (int i = 0; i < 1000; i++) EXPECT_EQ(DestHash_Find(source(capacity + i)), nullptr);
        size_t longest = 0;
        const size_t mask = DestHash_Slots().size() - 1;
        for (size_t slot = 0; slot < DestHash_Slots().size(); slot++) {
            if (DestHash_Slots()[slot] == nullptr) continue;
            longest = std::max(longest, (slot - DestHash_Index(DestHash_Slots()[slot]->addr)) & mask);
        }
        EXPECT_LT(longest, 64u) << "an entry sits " << longest << " slots past its home";
        DestHash_Clear();
    }
    DestHash_Init(50);
}

}  // namespace
