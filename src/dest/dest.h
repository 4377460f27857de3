// Destination descriptors and the per-source files they write.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int DEST_ADDRTEXT_SIZE = 20;
inline constexpr int DEST_PATH_SIZE = 1024;

// One source address and its file for the current period.
struct Dest {
    int stream;                          // append-mode descriptor of the file, -1 for none
    int64_t length;                      // file size at open plus every counted write
    uint32_t addr;                       // source address, network byte order
    char addrtext[DEST_ADDRTEXT_SIZE];   // dotted quad
    char* buffer;                        // bufsize bytes while the file is open, or null
    uint32_t fill;                       // bytes waiting in buffer
};

inline bool Dest_IsOpen(const Dest* d) { return d->stream >= 0; }

// Binds d to ip, enters it into the hash table and opens the source's file for
// the current file key. False when the file could not be opened; d then stays
// in the table as the mark of a failed source.
bool Dest_Open(Dest* d, uint32_t ip);

// Appends formatted text under the size cap. Only for an open descriptor.
[[gnu::format(printf, 2, 3)]] void Dest_Printf(Dest* d, const char* fmt, ...);

// Appends one record: "<stamp> <addr> <text>\n", or with counted set
// "<stamp> <addr> <len> <text>\n". Same cap and accounting as Dest_Printf.
void Dest_PutRecord(Dest* d, const char* stamp, const char* text, size_t len, bool counted);

// Writes out what d's buffer holds; the file stays open.
void Dest_Flush(Dest* d);

// Takes d out of the hash table and writes out and closes its file if open.
void Dest_Close(Dest* d);
