// SPDX-License-Identifier: BSD-2-Clause
// The fixed pool of destination descriptors, with random eviction.
#pragma once

#include <cstdint>
#include <span>

#include "dest/dest.h"
#include "shell/settings.h"

// The descriptors and both lists are allocated once, for Settings.maxopen.
struct DestPoolRecord {
    int32_t usedcount;
    std::span<Dest*> usedlist;  // in the order taken since the last CloseAll
    std::span<Dest*> freelist;  // a stack: the last entry is taken first
    int32_t freecount;
};

extern DestPoolRecord DestPool;

// Allocates Settings.maxopen descriptors and puts them on the free list;
// running out of memory is fatal.
void DestPool_Init();

// A descriptor for a new source: a free one, or an evicted one. Never null.
Dest* DestPool_Take();

// Closes a randomly chosen used descriptor, preferring failed ones, and returns it.
Dest* DestPool_Evict();

// Closes every used descriptor, last taken first, and frees it.
void DestPool_CloseAll();

// Closes a used descriptor and frees it; the used list keeps the order of
// the others.
void DestPool_Release(Dest* d);

// Writes out every open file's buffer; run at exit so a fatal end loses no record.
void DestPool_WriteOut();

// Writes out every open file whose oldest waiting record was buffered in a
// second before sec; run once a second, so records reach the disk about a
// second after they arrive even from a quiet source. A descriptor whose
// source's directory turns out gone is released.
void DestPool_WriteOutBefore(int64_t sec);

struct RandState {
    uint32_t state;
    uint32_t step;
};

extern RandState Rand;

// Pseudo-random number for eviction, mixed with the received-bytes remainder.
uint32_t Rand_Next();
