// SPDX-License-Identifier: BSD-2-Clause
#include "dest/dest_pool.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "common/counters.h"
#include "common/fd_reserve.h"
#include "common/settings.h"
#include "dest/dest_hash.h"
#include "dest/dest_test.h"
#include "log/log.h"

namespace {

// Random picks an eviction makes for a failed source, which holds no file,
// before it takes what it found.
constexpr int EVICT_TRIES = 3;

DestPoolRecord Pool;
DestRandState Rand = {DEST_RAND_SEED, 0};

// Pseudo-random number for eviction, mixed with the bytes received in the
// current period, which no sender can follow from outside.
uint32_t Random() {
    uint32_t x = Rand.state * 1103515245u + 12345u;
    if (x >= 0x7FFFFFFFu) x -= 0x7FFFFFFFu;
    if (x >= 0x7FFFFFFFu) x -= 0x7FFFFFFFu;
    Rand.state = x;
    Rand.step += 0x9E3779B9u;
    uint32_t rotated = (Rand.state << 16) | (Rand.state >> 16);
    uint64_t bytes = Totals.receivedBytes - Counters_PeriodStart().receivedBytes;
    return Rand.step + static_cast<uint32_t>(bytes % 1000000) + rotated;
}

// Takes d out of the table and closes it; d stays where it is in the lists.
void Close(Dest* d, const char* trace) {
    if (Settings.verbose && trace != nullptr) printf("%s %s\n", trace, d->addrtext);
    DestHash_Remove(d);
    Dest_Close(d);
}

void ReleaseAt(int32_t i, const char* trace = "CLOSE") {
    Dest* d = Pool.usedlist[i];
    Close(d, trace);
    std::copy(Pool.usedlist.begin() + i + 1, Pool.usedlist.begin() + Pool.usedcount, Pool.usedlist.begin() + i);
    Pool.usedcount--;
    Pool.freelist[Pool.freecount++] = d;
}

Dest* Take() {
    if (Pool.freecount <= 0) return DestPool_Evict();
    Dest* d = Pool.freelist[--Pool.freecount];
    Pool.usedlist[Pool.usedcount++] = d;
    return d;
}

// A descriptor for whatever needs one at the open-file limit: an open file,
// picked at random as an eviction picks, released like one. Failed sources
// hold no descriptor, and the caller's own file is not open while it asks.
bool Reclaim() {
    if (Pool.usedcount <= 0) return false;
    uint32_t count = static_cast<uint32_t>(Pool.usedcount);
    uint32_t start = Random() % count;
    for (uint32_t k = 0; k < count; k++) {
        int32_t i = static_cast<int32_t>((start + k) % count);
        if (!Dest_IsOpen(Pool.usedlist[i])) continue;
        Totals.evictions++;
        ReleaseAt(i, "FORCECLOSE");
        return true;
    }
    return false;
}

}  // namespace

void DestPool_Init() {
    size_t n = static_cast<size_t>(Settings.maxopen);
    free(Pool.descriptors);
    free(Pool.usedlist.data());
    free(Pool.freelist.data());
    Pool.descriptors = static_cast<Dest*>(calloc(n, sizeof(Dest)));
    auto** used = static_cast<Dest**>(calloc(n, sizeof(Dest*)));
    auto** freed = static_cast<Dest**>(calloc(n, sizeof(Dest*)));
    if (Pool.descriptors == nullptr || used == nullptr || freed == nullptr)
        Fatal("out of memory mallocing destination descriptors");
    Pool.usedlist = {used, n};
    Pool.freelist = {freed, n};
    for (size_t i = 0; i < n; i++) {
        Pool.descriptors[i] = Dest{};
        Pool.descriptors[i].fd = -1;
        Pool.freelist[i] = &Pool.descriptors[i];
    }
    Pool.freecount = static_cast<int32_t>(n);
    Pool.usedcount = 0;
    FdReserve_SetReclaimer(Reclaim);
    static bool registered = false;
    if (!registered) atexit(DestPool_WriteOut);
    registered = true;
}

Dest* DestPool_Open(const Addr& addr, const char* text, size_t len, DestStatus* st) {
    Dest* d = Take();
    *st = Dest_Open(d, addr, text, len);
    DestHash_Add(d);
    if (*st != DEST_GONE) return d;
    DestPool_Release(d);
    return nullptr;
}

// Random rather than least recently used: constant time, no bookkeeping per
// datagram, and a flood of new sources cannot walk the pool in a fixed order.
Dest* DestPool_Evict() {
    if (Pool.usedcount <= 0)
        Fatal("INTERNAL BROKENNESS: DestPool_Evict: every descriptor is free, yet none could be taken");
    uint32_t count = static_cast<uint32_t>(Pool.usedcount);
    Dest* victim = nullptr;
    for (int pick = 0; pick < EVICT_TRIES; pick++) {
        victim = Pool.usedlist[Random() % count];
        if (!Dest_IsOpen(victim)) break;
    }
    Totals.evictions++;
    Close(victim, Dest_IsOpen(victim) ? "FORCECLOSE" : nullptr);
    return victim;
}

void DestPool_CloseAll() {
    while (Pool.usedcount > 0) {
        Dest* d = Pool.usedlist[Pool.usedcount - 1];
        // Still counted as used while it closes, so a fatal end meanwhile writes it out.
        Close(d, "CLOSE");
        Pool.usedcount--;
        Pool.freelist[Pool.freecount++] = d;
    }
}

void DestPool_Release(Dest* d) {
    for (int32_t i = 0; i < Pool.usedcount; i++) {
        if (Pool.usedlist[i] == d) {
            ReleaseAt(i);
            return;
        }
    }
    Fatal("INTERNAL BROKENNESS: DestPool_Release: the descriptor is not in the used list");
}

void DestPool_WriteOut() {
    for (int32_t i = 0; i < Pool.usedcount; i++) {
        Dest* d = Pool.usedlist[i];
        if (Dest_IsOpen(d)) Dest_Flush(d);
    }
}

// From the end of the list: a release, here or by a reclaim during a
// write-out, moves only entries after it, which were written out already.
void DestPool_WriteOutBefore(int64_t sec) {
    for (int32_t i = Pool.usedcount - 1; i >= 0; i--) {
        if (i >= Pool.usedcount) continue;
        Dest* d = Pool.usedlist[i];
        if (Dest_IsOpen(d) && d->fill > 0 && d->since < sec && Dest_Flush(d) == DEST_GONE) ReleaseAt(i);
    }
}

DestPoolCounts DestPool_Counts() {
    DestPoolCounts c = {0, 0};
    for (int32_t i = 0; i < Pool.usedcount; i++) (Dest_IsOpen(Pool.usedlist[i]) ? c.open : c.failed)++;
    return c;
}

DestPoolRecord& DestPool_State() { return Pool; }

Dest* DestPool_Take() { return Take(); }

DestRandState& DestPool_Rand() { return Rand; }

uint32_t DestPool_Random() { return Random(); }
