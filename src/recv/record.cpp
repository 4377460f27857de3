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
        Blank(data, line);
        data[line] = '\0';
        PutPlain(d, data, line);
        break;
    }
    case RECVMODE_FLAT:
        Blank(data, len);
        PutPlain(d, data, len);
        break;
    case RECVMODE_FORENSIC:
        BlankKeepingLf(data, len);
        Dest_PutRecord(d, Clock_Stamp(), data, len, true);
        break;
    case RECVMODE_FORENSICRAW:
        BlankNul(data, len);
        Dest_PutRecord(d, Clock_Stamp(), data, len, true);
        break;
    default:
        // Split: one record per line, each written before the next is looked at.
        for (size_t start = 0; start < len;) {
            size_t line = LineLength(data + start, len - start);
            Blank(data + start, line);
            data[start + line] = '\0';
            PutPlain(d, data + start, line);
            start += line + 1;
        }
        break;
    }
}
