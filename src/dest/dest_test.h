// SPDX-License-Identifier: BSD-2-Clause
// Test seams of the destinations: state and shortcuts for the tests, not
// for the daemon's own modules.
#pragma once

#include <span>

#include "common/addr.h"
#include "dest/dest.h"

struct stat;

// Dest_Open on fd, a regular file the caller opened for appending, in place
// of the source's file at its path; d owns fd from then on. Lets a test keep
// one file, and no directory per source, for a run of many opens.
bool Dest_OpenOn(Dest* d, const Addr& addr, int fd);

// The table's slots, and the home slot of addr: Fibonacci hash of
// Addr_Hash, its top bits.
std::span<Dest*> DestHash_Slots();
uint32_t DestHash_Index(const Addr& addr);

// When set, the root's inode, link count and times are taken from it
// instead of the kernel, so a test can change the root unseen, as a change
// within one tick of a coarse file clock is.
extern bool (*DestDirs_StatHook)(struct stat* st);

// Forgets the names read from the root, as before the first read.
void DestDirs_Reset();

// The pool: its descriptors and both lists, allocated once, for Settings.maxopen.
struct DestPoolRecord {
    Dest* descriptors;
    int32_t usedcount;
    std::span<Dest*> usedlist;  // in the order taken since the last CloseAll
    std::span<Dest*> freelist;  // a stack: the last entry is taken first
    int32_t freecount;
};
DestPoolRecord& DestPool_State();

// A descriptor as an open takes it (a free one or an evicted one), neither
// opened nor in the table.
Dest* DestPool_Take();

// The eviction's random state; the seed is the state at start.
struct DestRandState {
    uint32_t state;
    uint32_t step;
};
inline constexpr uint32_t DEST_RAND_SEED = 0xDEADBEEFu;
DestRandState& DestPool_Rand();

// The next number of the eviction's random sequence.
uint32_t DestPool_Random();
