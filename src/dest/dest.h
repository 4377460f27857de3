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
    int32_t lost;                        // records lost since the open
    int32_t discarded;                   // datagrams discarded at the cap since the open
    int lasterr;                         // errno of the last failed write
    bool gone;                           // the source's directory vanished: the descriptor is to be freed
    char filekey[CLOCK_KEY_SIZE];        // file key of the open, for a reopen of the same path
};

inline bool Dest_IsOpen(const Dest* d) { return d->fd >= 0; }

// Binds d to addr, enters it into the hash table and opens the source's file
// for the current file key. False when the file could not be opened; d then
// stays in the table as the mark of a failed source, or, when the source's
// directory is missing, is marked gone for the pool to free.
bool Dest_Open(Dest* d, const Addr& addr);

// False, with the datagram counted as discarded, once d's file has reached
// the size cap; true while records may still be written.
bool Dest_Admit(Dest* d);

// Appends one record, head, text and a line feed, under the size cap. The
// caller builds the head ("<stamp> <addr> " or "<stamp> <addr> <len> ") once
// per datagram. Only for an open descriptor. A record that finds the buffer
// still holding what a failed write left is lost and counted.
void Dest_PutRecord(Dest* d, const char* head, size_t headlen, const char* text, size_t len);

// Writes out what d's buffer holds; the file stays open. A file that lost
// its name is reopened at its path first; when that fails d becomes a failed
// source (not open, still in the table) and what it held is counted lost;
// when it fails because the source's directory is gone, d is also marked
// gone, and its owner frees it so the source is an unknown one again.
void Dest_Flush(Dest* d);

// Takes d out of the hash table, writes out and closes its file if open, and
// logs what it lost and discarded since the open.
void Dest_Close(Dest* d);

// Testing: Dest_Open on fd, a regular file the caller opened for appending,
// in place of the source's file at its path; d owns fd from then on. Lets a
// test keep one file, and no directory per source, for a run of many opens.
bool Dest_OpenOn(Dest* d, const Addr& addr, int fd);
