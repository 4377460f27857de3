// SPDX-License-Identifier: BSD-2-Clause
// The fixed pool of destination descriptors, with random eviction. The pool
// owns every descriptor, enters it into the hash table when it opens and
// takes it out when it closes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dest/dest.h"

// Allocates Settings.maxopen descriptors and puts them on the free list;
// running out of memory is fatal. From then on, at the open-file limit, a
// pooled file gives its descriptor back to whatever needs one.
void DestPool_Init();

// A descriptor for the source addr, whose text the caller has made: a free
// one, or an evicted one, opened on the source's file and entered into the
// hash table. *st is DEST_OK for an open file, DEST_FAILED for the mark of a
// failed source (in the table, not open); on DEST_GONE (no directory) the
// descriptor is freed again and the result is null.
Dest* DestPool_Open(const Addr& addr, const char* text, size_t len, DestStatus* st);

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

// Descriptors in use with an open file, and those marking failed sources.
struct DestPoolCounts {
    uint64_t open;
    uint64_t failed;
};
DestPoolCounts DestPool_Counts();
