// SPDX-License-Identifier: BSD-2-Clause
#include "dest/dest_pool.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "log/log.h"
#include "common/counters.h"

DestPoolRecord DestPool;
RandState Rand = {0xDEADBEEFu, 0};

namespace {

Dest* descriptors = nullptr;

void ReleaseAt(int32_t i) {
    Dest* d = DestPool.usedlist[i];
    if (Settings.verbose) printf("CLOSE %s\n", d->addrtext);
    Dest_Close(d);
    std::copy(DestPool.usedlist.begin() + i + 1, DestPool.usedlist.begin() + DestPool.usedcount,
              DestPool.usedlist.begin() + i);
    DestPool.usedcount--;
    DestPool.freelist[DestPool.freecount++] = d;
}

}  // namespace

void DestPool_Init() {
    size_t n = static_cast<size_t>(Settings.maxopen);
    free(descriptors);
    free(DestPool.usedlist.data());
    free(DestPool.freelist.data());
    descriptors = static_cast<Dest*>(calloc(n, sizeof(Dest)));
    auto** used = static_cast<Dest**>(calloc(n, sizeof(Dest*)));
    auto** freed = static_cast<Dest**>(calloc(n, sizeof(Dest*)));
    if (descriptors == nullptr || used == nullptr || freed == nullptr)
        Fatal("out of memory mallocing destination descriptors");
    DestPool.usedlist = {used, n};
    DestPool.freelist = {freed, n};
    for (size_t i = 0; i < n; i++) {
        descriptors[i] = Dest{};
        descriptors[i].fd = -1;
        DestPool.freelist[i] = &descriptors[i];
    }
    DestPool.freecount = static_cast<int32_t>(n);
    DestPool.usedcount = 0;
    static bool registered = false;
    if (!registered) atexit(DestPool_WriteOut);
    registered = true;
}

Dest* DestPool_Take() {
    if (DestPool.freecount <= 0) return DestPool_Evict();
    Dest* d = DestPool.freelist[--DestPool.freecount];
    DestPool.usedlist[DestPool.usedcount++] = d;
    return d;
}

// Random rather than least recently used: constant time, no bookkeeping per
// datagram, and a flood of new sources cannot walk the pool in a fixed order.
Dest* DestPool_Evict() {
    if (DestPool.usedcount <= 0) Fatal("Internal brokenness: no used and no unused destinations?!?!?!");
    uint32_t count = static_cast<uint32_t>(DestPool.usedcount);
    Dest* victim = nullptr;
    for (int pick = 0; pick < 3; pick++) {
        victim = DestPool.usedlist[Rand_Next() % count];
        if (!Dest_IsOpen(victim)) break;
    }
    if (Settings.verbose && Dest_IsOpen(victim)) printf("FORCECLOSE %s\n", victim->addrtext);
    Totals.evictions++;
    Dest_Close(victim);
    return victim;
}

void DestPool_CloseAll() {
    while (DestPool.usedcount > 0) {
        Dest* d = DestPool.usedlist[DestPool.usedcount - 1];
        if (Settings.verbose) printf("CLOSE %s\n", d->addrtext);
        // Still counted as used while it closes, so a fatal end meanwhile writes it out.
        Dest_Close(d);
        DestPool.usedcount--;
        DestPool.freelist[DestPool.freecount++] = d;
    }
}

void DestPool_Release(Dest* d) {
    for (int32_t i = 0; i < DestPool.usedcount; i++) {
        if (DestPool.usedlist[i] == d) {
            ReleaseAt(i);
            return;
        }
    }
    Fatal("INTERNAL BROKENNESS: DestPool_Release: descriptor not in use?!");
}

void DestPool_WriteOut() {
    for (int32_t i = 0; i < DestPool.usedcount; i++) {
        Dest* d = DestPool.usedlist[i];
        if (Dest_IsOpen(d)) Dest_Flush(d);
    }
}

void DestPool_WriteOutBefore(int64_t sec) {
    for (int32_t i = 0; i < DestPool.usedcount;) {
        Dest* d = DestPool.usedlist[i];
        if (Dest_IsOpen(d) && d->fill > 0 && d->since < sec) Dest_Flush(d);
        if (d->gone)
            ReleaseAt(i);
        else
            i++;
    }
}

uint32_t Rand_Next() {
    uint32_t x = Rand.state * 1103515245u + 12345u;
    if (x >= 0x7FFFFFFFu) x -= 0x7FFFFFFFu;
    if (x >= 0x7FFFFFFFu) x -= 0x7FFFFFFFu;
    Rand.state = x;
    Rand.step += 0x9E3779B9u;
    uint32_t rotated = (Rand.state << 16) | (Rand.state >> 16);
    return Rand.step + RecvCounter.remainder + rotated;
}
