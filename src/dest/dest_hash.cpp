// SPDX-License-Identifier: BSD-2-Clause
#include "dest/dest_hash.h"

#include <algorithm>
#include <cstdlib>

#include "dest/dest.h"
#include "dest/dest_test.h"
#include "log/log.h"

namespace {

// Null is an empty slot; the table refers to descriptors, owns none.
std::span<Dest*> table;

int shift = 32 - DESTHASH_MIN_BITS;  // 32 less the table's bits
uint32_t mask = 0;

// 2^32 divided by the golden ratio: multiplying by it spreads neighbouring
// addresses over the top bits, which pick the slot.
constexpr uint32_t FIBONACCI_32 = 0x9E3779B9u;

uint32_t Next(uint32_t slot) { return (slot + 1) & mask; }

// Whether slot lies in the cyclic range (from, to].
bool Between(uint32_t from, uint32_t slot, uint32_t to) {
    return from <= to ? (from < slot && slot <= to) : (from < slot || slot <= to);
}

}  // namespace

void DestHash_Init(int32_t capacity) {
    // A quarter full at most keeps probe runs short.
    int bits = DESTHASH_MIN_BITS;
    while ((int64_t{1} << bits) < int64_t{4} * capacity) bits++;
    size_t slots = size_t{1} << bits;
    free(table.data());
    auto* slotsmem = static_cast<Dest**>(calloc(slots, sizeof(Dest*)));
    if (slotsmem == nullptr) Fatal("out of memory mallocing the destination hash table");
    table = {slotsmem, slots};
    shift = 32 - bits;
    mask = static_cast<uint32_t>(slots - 1);
}

uint32_t DestHash_Index(const Addr& addr) { return (Addr_Hash(addr) * FIBONACCI_32) >> shift; }

Dest* DestHash_Find(const Addr& addr) {
    uint32_t slot = DestHash_Index(addr);
    for (size_t n = 0; n < table.size(); n++, slot = Next(slot)) {
        Dest* d = table[slot];
        if (d == nullptr) return nullptr;
        if (d->addr == addr) return d;
    }
    return nullptr;
}

void DestHash_Add(Dest* d) {
    uint32_t slot = DestHash_Index(d->addr);
    for (size_t n = 0; n < table.size(); n++, slot = Next(slot)) {
        if (table[slot] == nullptr) {
            table[slot] = d;
            return;
        }
        if (table[slot] == d) Fatal("INTERNAL BROKENNESS: DestHash_Add: the descriptor is in the table already");
    }
    Fatal("INTERNAL BROKENNESS: DestHash_Add: every slot of the table is taken");
}

// Backward-shift deletion: entries after the hole that could not sit at their
// home slot move back into it, so every run stays unbroken and lookups of
// absent addresses stop at the first empty slot without tombstones.
void DestHash_Remove(Dest* d) {
    uint32_t hole = DestHash_Index(d->addr);
    size_t n = 0;
    for (; n < table.size() && table[hole] != d; n++) hole = Next(hole);
    if (n == table.size()) Fatal("INTERNAL BROKENNESS: DestHash_Remove: the descriptor is not in the table");

    table[hole] = nullptr;
    for (uint32_t slot = Next(hole); table[slot] != nullptr; slot = Next(slot)) {
        uint32_t home = DestHash_Index(table[slot]->addr);
        // An entry whose home lies after the hole (up to its own slot) is still reachable.
        if (Between(hole, home, slot)) continue;
        table[hole] = table[slot];
        table[slot] = nullptr;
        hole = slot;
    }
}

void DestHash_Clear() { std::fill(table.begin(), table.end(), nullptr); }

std::span<Dest*> DestHash_Slots() { return table; }
