// SPDX-License-Identifier: BSD-2-Clause
// Counts heap allocations made while records are written and sources opened.
// The binary is linked with --wrap for malloc, calloc and realloc, so every
// call from the daemon's code passes through the hooks below.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "dest_test_util.h"
#include "support/child.h"

extern "C" {
void* __real_malloc(size_t n);
void* __real_calloc(size_t n, size_t size);
void* __real_realloc(void* p, size_t n);
}

namespace {

bool armed = false;
size_t allocations = 0;
size_t bytes = 0;

void Count(size_t n) {
    if (!armed) return;
    allocations++;
    bytes += n;
}

}  // namespace

extern "C" {
void* __wrap_malloc(size_t n) {
    Count(n);
    return __real_malloc(n);
}
void* __wrap_calloc(size_t n, size_t size) {
    Count(n * size);
    return __real_calloc(n, size);
}
void* __wrap_realloc(void* p, size_t n) {
    Count(n);
    return __real_realloc(p, n);
}
}

void* operator new(size_t n) {
    Count(n);
    if (void* p = __real_malloc(n != 0 ? n : 1)) return p;
    throw std::bad_alloc();
}
// Out of line, so the compiler does not pair a free with an inlined new.
[[gnu::noinline]] void Release(void* p) { free(p); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete(void* p, size_t) noexcept { Release(p); }

namespace {

class DestAllocTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetDaemonState();
        Settings.maxopen = 5;
        DestPool_Init();
        allocations = 0;
        bytes = 0;
    }
    void TearDown() override {
        armed = false;
        ReleaseDestinations();
    }
    InTempDir dir_;
};

TEST_F(DestAllocTest, WritingRecordsAllocatesNothing) {
    mkdir("10.0.0.1", 0777);
    Settings.bufsize = 1024;
    Settings.maxfilesize = 300000;
    Log_Open();
    Log_Msg(LOGLEVEL_FILE, "warm-up");
    Dest* d = DestPool_Take();
    ASSERT_TRUE(OpenDest(d, Ip("10.0.0.1")));
    const std::string text(300, 't');
    const std::string head = std::string(Clock_Stamp()) + " 10.0.0.1 300 ";

    armed = true;
    for (int i = 0; i < 1000; i++) {
        Dest_PutRecord(d, head.data(), head.size(), text.data(), text.size());
        if (i % 100 == 0) Dest_Flush(d);
        (void)DestHash_Find(d->addr);
    }
    armed = false;

    EXPECT_EQ(allocations, 0u);
    // The loop wrote past the buffer many times and reached the cap.
    EXPECT_GE(d->length, Settings.maxfilesize);
}

TEST_F(DestAllocTest, OpeningAllocatesOnlyTheStreamBuffer) {
    Settings.bufsize = 4096;
    int opened = 0;
    armed = true;
    for (int i = 0; i < 12; i++) {
        std::string addr = "10.0.2." + std::to_string(i);
        if (i % 4 != 0) mkdir(addr.c_str(), 0777);
        Dest* d = DestPool_Take();
        opened += OpenDest(d, Ip(addr.c_str())) ? 1 : 0;
    }
    DestPool_CloseAll();
    armed = false;

    EXPECT_EQ(opened, 9);
    EXPECT_EQ(allocations, 9u);
    // One block per open: the buffer and the ends of the records it can hold.
    EXPECT_EQ(bytes, 9u * (4096u + 4096u / DEST_RECORD_MIN * sizeof(uint32_t)));
}

}  // namespace
