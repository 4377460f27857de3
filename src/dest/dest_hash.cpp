// SPDX-License-Identifier: BSD-2-Clause
#include "dest/dest_hash.h"

#include <arpa/inet.h>

#include "log/log.h"
#include "shell/settings.h"

std::array<Dest*, DESTHASH_SLOTS> DestHash;

// The pool never holds more than a quarter of the slots, which keeps probe runs short.
static_assert(MAXOPEN_CAPACITY * 4 <= DESTHASH_SLOTS);

namespace {

constexpr uint32_t MASK = DESTHASH_SLOTS - 1;

uint32_t Next(uint32_t slot) { return (slot + 1) & MASK; }

// Whether slot lies in the cyclic range (from, to].
bool Between(uint32_t from, uint32_t slot, uint32_t to) {
    return from <= to ? (from < slot && slot <= to) : (from < slot || slot <= to);
}

}  // namespace

uint32_t DestHash_Index(uint32_t ip) {
    return (ntohl(ip) * 0x9E3779B9u) >> (32 - DESTHASH_BITS);
}

Dest* DestHash_Find(uint32_t ip) {
    uint32_t slot = DestHash_Index(ip);
    for (int n = 0; n < DESTHASH_SLOTS; n++, slot = Next(slot)) {
        Dest* d = DestHash[slot];
        if (d == nullptr) return nullptr;
        if (d->addr == ip) return d;
    }
    return nullptr;
}

void DestHash_Add(Dest* d) {
    uint32_t slot = DestHash_Index(d->addr);
    for (int n = 0; n < DESTHASH_SLOTS; n++, slot = Next(slot)) {
        if (DestHash[slot] == nullptr) {
            DestHash[slot] = d;
            return;
        }
        if (DestHash[slot] == d) Fatal("INTERNAL BROKENNESS: DestHash_Add: pDest was already in the hash?!");
    }
    Fatal("INTERNAL BROKENNESS: DestHash_Add: Hash is FULL?!");
}

// Backward-shift deletion: entries after the hole that could not sit at their
// home slot move back into it, so every run stays unbroken and lookups of
// absent addresses stop at the first empty slot without tombstones.
void DestHash_Remove(Dest* d) {
    uint32_t hole = DestHash_Index(d->addr);
    int n = 0;
    for (; n < DESTHASH_SLOTS && DestHash[hole] != d; n++) hole = Next(hole);
    if (n == DESTHASH_SLOTS) Fatal("INTERNAL BROKENNESS: DestHash_Remove: Couldn't find pDest in the hash?!");

    DestHash[hole] = nullptr;
    for (uint32_t slot = Next(hole); DestHash[slot] != nullptr; slot = Next(slot)) {
        uint32_t home = DestHash_Index(DestHash[slot]->addr);
        // An entry whose home lies after the hole (up to its own slot) is still reachable.
        if (Between(hole, home, slot)) continue;
        DestHash[hole] = DestHash[slot];
        DestHash[slot] = nullptr;
        hole = slot;
    }
}

void DestHash_Clear() { DestHash.fill(nullptr); }
