// Destination descriptors and the per-source files they write.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int DEST_ADDRTEXT_SIZE = 20;
inline constexpr int DEST_PATH_SIZE = 1024;

// One source address and its file for the current period.
struct Dest {
    int fd;                              // append-mode descriptor of the file, -1 for none
    int64_t length;                      // file size at open plus every counted write
    uint32_t addr;                       // source address, network byte order
    char addrtext[DEST_ADDRTEXT_SIZE];   // dotted quad
    char* buffer;                        // bufsize bytes while the file is open, or null
    uint32_t fill;                       // bytes waiting in buffer
};

inline bool Dest_IsOpen(const Dest* d) { return d->fd >= 0; }

// Binds d to ip, enters it into the hash table and opens the source's file for
// the current file key. False when the file could not be opened; d then stays
// in the table as the mark of a failed source.
bool Dest_Open(Dest* d, uint32_t ip);

// Appends one record, head, text and a line feed, under the size cap. The
// caller builds the head ("<stamp> <addr> " or "<stamp> <addr> <len> ") once
// per datagram. Only for an open descriptor.
void Dest_PutRecord(Dest* d, const char* head, size_t headlen, const char* text, size_t len);

// Writes out what d's buffer holds; the file stays open.
void Dest_Flush(Dest* d);

// Takes d out of the hash table and writes out and closes its file if open.
void Dest_Close(Dest* d);
