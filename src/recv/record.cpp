#include "recv/record.h"

#include <cstdint>
#include <cstring>

#include "clock/clock.h"
#include "shell/settings.h"

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

inline bool Any(Bytes16 v) {
    uint64_t w[2];
    memcpy(w, &v, sizeof w);
    return (w[0] | w[1]) != 0;
}

// Length of the start of p that cleaning leaves as it is, found four blocks
// at a time: most texts hold no control byte at all, and then this scan
// is all the work they need.
template <Clean Which>
size_t Unchanged(const char* p, size_t len) {
    size_t i = 0;
    for (; i + 4 * BLOCK <= len; i += 4 * BLOCK) {
        Bytes16 hit = (Changes<Which>(Load(p + i)) | Changes<Which>(Load(p + i + BLOCK))) |
                      (Changes<Which>(Load(p + i + 2 * BLOCK)) | Changes<Which>(Load(p + i + 3 * BLOCK)));
        if (Any(hit)) break;
    }
    for (; i + BLOCK <= len; i += BLOCK)
        if (Any(Changes<Which>(Load(p + i)))) return i;
    if (i == len || (len >= BLOCK && !Any(Changes<Which>(Load(p + len - BLOCK))))) return len;
    return i;
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
    Blank<Which>(p, len, Unchanged<Which>(p, len));
}

// Cleans the line that starts at p, up to its LF or the end of the text,
// and returns its length. An LF is a control byte, so none stands in the
// unchanged start.
size_t CleanLine(char* p, size_t len) {
    size_t quiet = Unchanged<Clean::Control>(p, len);
    const void* lf = memchr(p + quiet, '\n', len - quiet);
    size_t line = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - p) : len;
    Blank<Clean::Control>(p, line, quiet);
    return line;
}

// Longest head: a stamp, the address and an 8192 count, each with its
// space; the stamp and the address are copied whole, with their padding.
constexpr size_t HEAD_SIZE = CLOCK_STAMP_SIZE + DEST_ADDRTEXT_SIZE + 8;
static_assert(RECORD_MAXTEXT <= 99999, "the count takes at most five digits");

// "<stamp> <addr> ", or "<stamp> <addr> <count> " when counted; built once per
// datagram, since every line of a split datagram shares it. The fixed-size
// copies cost less than measuring what they copy.
size_t BuildHead(char* head, const Dest* d, const size_t* count) {
    memcpy(head, Clock_Stamp(), CLOCK_STAMP_SIZE);
    size_t h = Clock.stamplen;
    head[h++] = ' ';
    memcpy(head + h, d->addrtext, DEST_ADDRTEXT_SIZE);
    h += d->addrlen;
    head[h++] = ' ';
    if (count != nullptr) {
        char digits[8];
        int nd = 0;
        size_t v = *count;
        do {
            digits[nd++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        while (nd > 0) head[h++] = digits[--nd];
        head[h++] = ' ';
    }
    return h;
}

}  // namespace

// Rewrites the caller's buffer in place: control bytes become spaces and, in
// truncate and split mode, line ends become NULs. Nothing is copied.
void Record_Store(Dest* d, char* data, size_t n) {
    if (!Dest_Admit(d)) return;
    size_t len = n < RECORD_MAXTEXT ? n : RECORD_MAXTEXT;
    data[len] = '\0';
    bool counted = Settings.recvmode == RECVMODE_FORENSIC || Settings.recvmode == RECVMODE_FORENSICRAW;
    char head[HEAD_SIZE];
    size_t h = BuildHead(head, d, counted ? &len : nullptr);

    switch (Settings.recvmode) {
    case RECVMODE_TRUNCATE: {
        size_t line = CleanLine(data, len);
        data[line] = '\0';
        Dest_PutRecord(d, head, h, data, line);
        break;
    }
    case RECVMODE_FLAT:
        Blank<Clean::Control>(data, len);
        Dest_PutRecord(d, head, h, data, len);
        break;
    case RECVMODE_FORENSIC:
        Blank<Clean::ControlButLf>(data, len);
        Dest_PutRecord(d, head, h, data, len);
        break;
    case RECVMODE_FORENSICRAW:
        Blank<Clean::Nul>(data, len);
        Dest_PutRecord(d, head, h, data, len);
        break;
    default:
        // Split: one record per line, each written before the next is looked at.
        for (size_t start = 0; start < len;) {
            size_t line = CleanLine(data + start, len - start);
            data[start + line] = '\0';
            Dest_PutRecord(d, head, h, data + start, line);
            start += line + 1;
        }
        break;
    }
}
