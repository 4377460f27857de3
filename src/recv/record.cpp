#include "recv/record.h"

#include <cstring>

#include "clock/clock.h"
#include "shell/settings.h"

namespace {

// Control bytes are those with bits 5 and 6 clear: 0x00-0x1F and 0x80-0x9F.
inline bool IsControl(unsigned char c) { return (c & 0x60) == 0; }

// The loops below store every byte, changed or not, so the compiler can turn
// them into vector code: the text is mostly free of control bytes.
void Blank(char* p, size_t len) {
    for (size_t i = 0; i < len; i++) {
        auto c = static_cast<unsigned char>(p[i]);
        p[i] = IsControl(c) ? ' ' : static_cast<char>(c);
    }
}

void BlankKeepingLf(char* p, size_t len) {
    for (size_t i = 0; i < len; i++) {
        auto c = static_cast<unsigned char>(p[i]);
        p[i] = IsControl(c) && c != '\n' ? ' ' : static_cast<char>(c);
    }
}

void BlankNul(char* p, size_t len) {
    for (size_t i = 0; i < len; i++) p[i] = p[i] == '\0' ? ' ' : p[i];
}

// Length of the line that starts at p: up to its LF or the end of the text.
size_t LineLength(const char* p, size_t len) {
    const void* lf = memchr(p, '\n', len);
    return lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - p) : len;
}

// Longest head: a stamp, the longest address and an 8192 count, each with its space.
constexpr size_t HEAD_SIZE = CLOCK_STAMP_SIZE + DEST_ADDRTEXT_SIZE + 8;
static_assert(RECORD_MAXTEXT <= 99999, "the count takes at most five digits");

// "<stamp> <addr> ", or "<stamp> <addr> <count> " when counted; built once per
// datagram, since every line of a split datagram shares it.
size_t BuildHead(char* head, const Dest* d, const size_t* count) {
    const char* stamp = Clock_Stamp();
    size_t h = strlen(stamp);
    memcpy(head, stamp, h);
    head[h++] = ' ';
    size_t a = strlen(d->addrtext);
    memcpy(head + h, d->addrtext, a);
    h += a;
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
        size_t line = LineLength(data, len);
        Blank(data, line);
        data[line] = '\0';
        Dest_PutRecord(d, head, h, data, line);
        break;
    }
    case RECVMODE_FLAT:
        Blank(data, len);
        Dest_PutRecord(d, head, h, data, len);
        break;
    case RECVMODE_FORENSIC:
        BlankKeepingLf(data, len);
        Dest_PutRecord(d, head, h, data, len);
        break;
    case RECVMODE_FORENSICRAW:
        BlankNul(data, len);
        Dest_PutRecord(d, head, h, data, len);
        break;
    default:
        // Split: one record per line, each written before the next is looked at.
        for (size_t start = 0; start < len;) {
            size_t line = LineLength(data + start, len - start);
            Blank(data + start, line);
            data[start + line] = '\0';
            Dest_PutRecord(d, head, h, data + start, line);
            start += line + 1;
        }
        break;
    }
}
