// SPDX-License-Identifier: BSD-2-Clause
#include "recv/record.h"

#include <cstdint>
#include <cstring>

#ifdef __x86_64__
#include <immintrin.h>
#endif

#include "clock/clock.h"
#include "common/counters.h"
#include "common/settings.h"
#include "recv/recv_test.h"

namespace {

// Control bytes are those with bits 5 and 6 clear: 0x00-0x1F and 0x80-0x9F.
inline bool IsControl(unsigned char c) { return (c & 0x60) == 0; }

// Sixteen bytes at a time, in the compiler's portable vector type.
typedef unsigned char Bytes16 __attribute__((vector_size(16)));

enum class Clean { Control, ControlButLf, Nul };

template <Clean Which>
inline bool Changes(unsigned char c) {
    if constexpr (Which == Clean::Control) return IsControl(c);
    if constexpr (Which == Clean::ControlButLf) return IsControl(c) && c != '\n';
    return c == '\0';
}

template <Clean Which>
inline Bytes16 Changes(Bytes16 v) {
    if constexpr (Which == Clean::Control) return (Bytes16)((v & 0x60) == 0);
    if constexpr (Which == Clean::ControlButLf) return (Bytes16)(((v & 0x60) == 0) & (v != '\n'));
    return (Bytes16)(v == 0);
}

constexpr size_t BLOCK = sizeof(Bytes16);

inline Bytes16 Load(const char* p) {
    Bytes16 v;
    memcpy(&v, p, sizeof v);
    return v;
}

// Whether any lane of a comparison result is set.
inline bool Any(Bytes16 v) {
#ifdef __x86_64__
    return _mm_movemask_epi8(reinterpret_cast<__m128i>(v)) != 0;
#else
    uint64_t w[2];
    memcpy(w, &v, sizeof w);
    return (w[0] | w[1]) != 0;
#endif
}

inline Bytes16 Min(Bytes16 a, Bytes16 b) { return a < b ? a : b; }

// Whether cleaning changes any of the 64 bytes at p. Control bytes are those
// whose low seven bits are below 0x20, and NUL is the least byte, so both
// are found from the least of the four blocks: one test for all of them.
template <Clean Which>
inline bool AnyIn64(const char* p) {
    Bytes16 a = Load(p), b = Load(p + BLOCK), c = Load(p + 2 * BLOCK), d = Load(p + 3 * BLOCK);
    if constexpr (Which == Clean::Nul) {
        return Any((Bytes16)(Min(Min(a, b), Min(c, d)) == 0));
    } else {
        return Any((Changes<Which>(a) | Changes<Which>(b)) | (Changes<Which>(c) | Changes<Which>(d)));
    }
}

// Length of the start of p that cleaning leaves as it is, found 64 bytes at
// a time: most texts hold no control byte at all, and then this scan is all
// the work they need. The result may stop short of the first byte to change,
// at the start of its block.
template <Clean Which>
size_t Unchanged(const char* p, size_t len) {
    size_t i = 0;
    for (; i + 4 * BLOCK <= len; i += 4 * BLOCK)
        if (AnyIn64<Which>(p + i)) break;
    for (; i + BLOCK <= len; i += BLOCK)
        if (Any(Changes<Which>(Load(p + i)))) return i;
    if (i == len || (len >= BLOCK && !Any(Changes<Which>(Load(p + len - BLOCK))))) return len;
    return i;
}

}  // namespace

// The control scan runs over every datagram of the default modes. On x86-64
// it is built twice and the loader picks the AVX2 build on a cpu that has
// it: 32 bytes per instruction need half the work.
size_t Record_ControlFreePortable(const char* p, size_t len) { return Unchanged<Clean::Control>(p, len); }

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("default"))) size_t Record_ControlFree(const char* p, size_t len) {
    return Record_ControlFreePortable(p, len);
}

// A bit for each of the 32 lanes where the bytes at a or those at b hold a
// control byte: the low seven bits of the lesser of the two are below 0x20.
__attribute__((target("avx2"))) inline int ControlLanes(const char* a, const char* b) {
    const __m256i low7 = _mm256_set1_epi8(0x7f);
    __m256i va = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a)), low7);
    __m256i vb = _mm256_and_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b)), low7);
    __m256i least = _mm256_min_epu8(va, vb);
    return _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(least, _mm256_set1_epi8(0x1f)), least));
}

__attribute__((target("avx2"))) size_t Record_ControlFree(const char* p, size_t len) {
    if (len < 32) return Unchanged<Clean::Control>(p, len);
    // The last step overlaps the one before: bytes seen twice are still clean.
    if (len < 64) return ControlLanes(p, p + len - 32) ? 0 : len;
    size_t i = 0;
    for (; i + 64 <= len; i += 64)
        if (ControlLanes(p + i, p + i + 32)) return i;
    if (i == len) return len;
    return ControlLanes(p + len - 64, p + len - 32) ? i : len;
}
#else
size_t Record_ControlFree(const char* p, size_t len) { return Record_ControlFreePortable(p, len); }
#endif

namespace {

// The scan of the mode's bytes; the control scan is the one of two builds.
template <Clean Which>
size_t Quiet(const char* p, size_t len) {
    if constexpr (Which == Clean::Control)
        return Record_ControlFree(p, len);
    else
        return Unchanged<Which>(p, len);
}

// Turns the bytes Which names into spaces from p + from on. A text of a block
// or more ends with one more block over its last 16 bytes, overlapping the
// one before: cleaning is idempotent, so bytes seen twice come out the same.
template <Clean Which>
void Blank(char* p, size_t len, size_t from) {
    auto clean16 = [](char* q) {
        Bytes16 v = Load(q);
        Bytes16 hit = Changes<Which>(v);
        v = (v & ~hit) | (hit & ' ');
        memcpy(q, &v, sizeof v);
    };
    if (len < BLOCK) {
        for (size_t i = from; i < len; i++)
            if (Changes<Which>(static_cast<unsigned char>(p[i]))) p[i] = ' ';
        return;
    }
    size_t i = from;
    for (; i + BLOCK <= len; i += BLOCK) clean16(p + i);
    if (i < len) clean16(p + len - BLOCK);
}

template <Clean Which>
void Blank(char* p, size_t len) {
    Blank<Which>(p, len, Quiet<Which>(p, len));
}

// Cleans the line that starts at p, up to its LF or the end of the text,
// and returns its length. An LF is a control byte, so none stands in the
// unchanged start.
size_t CleanLine(char* p, size_t len) {
    size_t quiet = Record_ControlFree(p, len);
    if (quiet == len) return len;
    const void* lf = memchr(p + quiet, '\n', len - quiet);
    size_t line = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - p) : len;
    Blank<Clean::Control>(p, line, quiet);
    return line;
}

// Longest head: a stamp, the address and an 8192 count, each with its
// space; the stamp and the address are copied whole, with their padding.
constexpr size_t HEAD_SIZE = CLOCK_STAMP_SIZE + ADDR_TEXT_SIZE + 8;
static_assert(RECORD_MAXTEXT <= 99999, "the count takes at most five digits");

// The head of the datagram being stored; kept off the stack, where an array
// costs every call a guard.
char Head[HEAD_SIZE];

// "<stamp> <addr> ", or "<stamp> <addr> <count> " when counted; built once per
// datagram, since every line of a split datagram shares it. The fixed-size
// copies cost less than measuring what they copy.
size_t BuildHead(char* head, const Dest* d, bool counted, size_t count) {
    memcpy(head, Clock_Stamp(), CLOCK_STAMP_SIZE);
    size_t h = Clock.stamplen;
    head[h++] = ' ';
    memcpy(head + h, d->addrtext, ADDR_TEXT_SIZE);
    h += d->addrlen;
    head[h++] = ' ';
    if (counted) {
        size_t digits = 1;
        for (size_t v = count; v >= 10; v /= 10) digits++;
        for (size_t i = digits; i > 0; i--, count /= 10) head[h + i - 1] = static_cast<char>('0' + count % 10);
        h += digits;
        head[h++] = ' ';
    }
    return h;
}

}  // namespace

// Rewrites the caller's buffer in place: control bytes become spaces and, in
// truncate and split mode, line ends become NULs. Nothing is copied. Runs
// for every datagram, so the calls it makes are built into it.
[[gnu::flatten]] DestStatus Record_Store(Dest* d, char* data, size_t n) {
    if (!Dest_Admit(d)) return DEST_CAPPED;
    Totals.stored++;
    size_t len = n < RECORD_MAXTEXT ? n : RECORD_MAXTEXT;
    data[len] = '\0';
    bool counted = Settings.recvmode == RECVMODE_FORENSIC || Settings.recvmode == RECVMODE_FORENSICRAW;
    size_t h = BuildHead(Head, d, counted, len);

    switch (Settings.recvmode) {
    case RECVMODE_TRUNCATE: {
        size_t line = CleanLine(data, len);
        data[line] = '\0';
        return Dest_PutRecord(d, Head, h, data, line);
    }
    case RECVMODE_FLAT:
        Blank<Clean::Control>(data, len);
        return Dest_PutRecord(d, Head, h, data, len);
    case RECVMODE_FORENSIC:
        Blank<Clean::ControlButLf>(data, len);
        return Dest_PutRecord(d, Head, h, data, len);
    case RECVMODE_FORENSICRAW:
        Blank<Clean::Nul>(data, len);
        return Dest_PutRecord(d, Head, h, data, len);
    default: {
        // Split: one record per line, each written before the next is looked
        // at, up to the line that makes the file reach its cap.
        DestStatus worst = DEST_OK;
        for (size_t start = 0; start < len;) {
            size_t line = CleanLine(data + start, len - start);
            data[start + line] = '\0';
            DestStatus st = Dest_PutRecord(d, Head, h, data + start, line);
            if (st != DEST_OK) [[unlikely]] {
                if (st > worst) worst = st;
                if (st == DEST_CAPPED) break;
            }
            start += line + 1;
        }
        return worst;
    }
    }
}
