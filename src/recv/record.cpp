#include "recv/record.h"

#include "clock/clock.h"
#include "shell/settings.h"

namespace {

// Control bytes are those with bits 5 and 6 clear: 0x00-0x1F and 0x80-0x9F.
inline bool IsControl(unsigned char c) { return (c & 0x60) == 0; }

void Blank(char* p, size_t len) {
    for (size_t i = 0; i < len; i++) {
        if (IsControl(static_cast<unsigned char>(p[i]))) p[i] = ' ';
    }
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
        size_t i = 0;
        for (; i < len; i++) {
            auto c = static_cast<unsigned char>(data[i]);
            if (c == '\n') {
                data[i] = '\0';
                break;
            }
            if (IsControl(c)) data[i] = ' ';
        }
        PutPlain(d, data, i);
        break;
    }
    case RECVMODE_FLAT:
        Blank(data, len);
        PutPlain(d, data, len);
        break;
    case RECVMODE_FORENSIC:
        for (size_t i = 0; i < len; i++) {
            auto c = static_cast<unsigned char>(data[i]);
            if (IsControl(c) && c != '\n') data[i] = ' ';
        }
        Dest_PutRecord(d, Clock_Stamp(), data, len, true);
        break;
    case RECVMODE_FORENSICRAW:
        for (size_t i = 0; i < len; i++) {
            if (data[i] == '\0') data[i] = ' ';
        }
        Dest_PutRecord(d, Clock_Stamp(), data, len, true);
        break;
    default: {
        // Split: one record per line, each written before the next is looked at.
        size_t start = 0;
        while (start < len) {
            size_t i = start;
            for (; i < len; i++) {
                auto c = static_cast<unsigned char>(data[i]);
                if (!IsControl(c)) continue;
                if (c == '\n') break;
                data[i] = ' ';
            }
            data[i] = '\0';
            PutPlain(d, data + start, i - start);
            start = i + 1;
        }
        break;
    }
    }
}
