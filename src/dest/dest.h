// SPDX-License-Identifier: BSD-2-Clause
// Destination descriptors and the per-source files they write.
#pragma once

#include <cstddef>
#include <cstdint>

#include "clock/clock.h"
#include "common/addr.h"

inline constexpr int DEST_PATH_SIZE = 1024;
// The path "<addr>/<addr>-<key>" is never cut.
static_assert(DEST_PATH_SIZE > 2 * ADDR_TEXT_SIZE + CLOCK_KEY_SIZE);

// The buffer keeps the end of each waiting record, for up to bufsize / this
// many records; a buffer holding that many is written out like a full one.
inline constexpr int DEST_RECORD_MIN = 32;

// What became of a call: in rising order of what the caller must do.
enum DestStatus : int {
    DEST_OK = 0,      // the file stays open
    DEST_CAPPED = 1,  // the file reached its size cap: nothing more is written to it this period
    DEST_FAILED = 2,  // the file could not be opened or reopened: d marks a failed source
    DEST_GONE = 3,    // the source's directory is gone: d is to be released, the source unknown again
};

// One source address and its file for the current period.
struct Dest {
    int fd;                              // append-mode descriptor of the file, -1 for none
    int64_t length;                      // file size at open plus every counted write
    Addr addr;                           // source address
    char addrtext[ADDR_TEXT_SIZE];       // its text, NUL-padded
    uint32_t addrlen;                    // characters in addrtext
    char* buffer;                        // bufsize bytes and the record ends while open, or null
    uint32_t room;                       // bytes buffer takes: bufsize, or 0 without one
    uint32_t fill;                       // bytes waiting in buffer
    uint32_t* ends;                      // offset after each waiting record, inside buffer's block
    int32_t endsmax;                     // record ends buffer keeps
    int32_t records;                     // records waiting, the first maybe partly in the file
    uint32_t torn;                       // bytes of the first waiting record already in the file
    int64_t since;                       // Clock.sec when the oldest waiting record was buffered
    uint64_t lost;                       // records lost since the open
    uint64_t discarded;                  // datagrams discarded at the cap since the open
    int lasterr;                         // errno of the last failed write
    char filekey[CLOCK_KEY_SIZE];        // file key of the open, for a reopen of the same path
};

inline bool Dest_IsOpen(const Dest* d) { return d->fd >= 0; }

// Binds d to addr, whose text (len characters) the caller has made, and
// opens the source's file for the current file key. DEST_FAILED when the
// file could not be opened, DEST_GONE when the source's directory is missing.
DestStatus Dest_Open(Dest* d, const Addr& addr, const char* text, size_t len);

// False, with the datagram counted as discarded, once d's file has reached
// the size cap; true while records may still be written.
bool Dest_Admit(Dest* d);

// Appends one record, head, text and a line feed. The caller builds the
// head ("<stamp> <addr> " or "<stamp> <addr> <len> ") once per datagram and
// asks Dest_Admit first. Only for an open descriptor. A record that finds
// the buffer still holding what a failed write left is lost and counted.
// DEST_CAPPED when this record made the file reach its cap: the marker line
// follows it, and no more records of the datagram are to be written.
DestStatus Dest_PutRecord(Dest* d, const char* head, size_t headlen, const char* text, size_t len);

// Writes out what d's buffer holds; the file stays open. A file that lost
// its name is closed and its path opened anew; when that fails d becomes a
// failed source (DEST_FAILED, not open, what it held counted lost), or
// DEST_GONE when the source's directory is gone.
DestStatus Dest_Flush(Dest* d);

// Writes out and closes d's file if open, and logs what it lost and
// discarded since the open. The owner takes d out of the hash table first.
void Dest_Close(Dest* d);
