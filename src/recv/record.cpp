#include "recv/record.h"

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

// Turns the bytes Which names into spaces. A text of 16 bytes or more ends
// with one more vector over its last 16 bytes, overlapping the one before:
// cleaning is idempotent, so bytes seen twice come out the same.
template <Clean Which>
void Blank(char* p, size_t len) {
    if (len < sizeof(Bytes16)) {
        for (size_t i = 0; i < len; i++)
            if (Changes<Which>(static_cast<unsigned char>(p[i]))) p[i] = ' ';
        return;
    }
    auto clean16 = [](char* q) {
        Bytes16 v;
        memcpy(&v, q, sizeof v);
        Bytes16 hit = Changes<Which>(v);
        v = (v & ~hit) | (hit & ' ');
        memcpy(q, &v, sizeof v);
    };
    size_t i = 0;
    for (; i + sizeof(Bytes16) <= len; i += sizeof(Bytes16)) clean16(p + i);
    if (i < len) clean16(p + len - sizeof(Bytes16));
}

// Length of the line that starts at p: up to its LF or the end of the text.
size_t LineLength(const char* p, size_t len) {
    const void* lf = memchr(p, '\n', len);
    return lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - p) : len;
}

void PutPlain(Dest* d, const char* text, size_t len) {
    Dest_PutRecord(d, Clock_Stamp(), text, len, false);
}

}  // namespace

// Rewrites the caller's buffer in place: control bytes become spaces and, in
// truncate and split mode, line ends become NULs. Nothing is copied.
void Record_Store(Dest* d, char* data, size_t n) {
    size_t len = n < RECORD_MAXTEXT ? n : RECORD_MAXTEXT;
    data[len] = '\0';

    switch (Settings.recvmode) {
    case RECVMODE_TRUNCATE: {
        size_t line = LineLength(data, len);
        Blank<Clean::Control>(data, line);
        data[line] = '\0';
        PutPlain(d, data, line);
        break;
    }
    case RECVMODE_FLAT:
        Blank<Clean::Control>(data, len);
        PutPlain(d, data, len);
        break;
    case RECVMODE_FORENSIC:
        Blank<Clean::ControlButLf>(data, len);
        Dest_PutRecord(d, Clock_Stamp(), data, len, true);
        break;
    case RECVMODE_FORENSICRAW:
        Blank<Clean::Nul>(data, len);
        Dest_PutRecord(d, Clock_Stamp(), data, len, true);
        break;
    default:
        // Split: one record per line, each written before the next is looked at.
        for (size_t start = 0; start < len;) {
            size_t line = LineLength(data + start, len - start);
            Blank<Clean::Control>(data + start, line);
            data[start + line] = '\0';
            PutPlain(d, data + start, line);
            start += line + 1;
        }
        break;
    }
}
