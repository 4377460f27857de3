// SPDX-License-Identifier: BSD-2-Clause
// What the record fuzz targets share: the layout of an input and a model of
// the receive modes written from their rules alone.
//
// Input: one settings byte, an address block of 21 bytes, then datagrams:
//   settings: bits 0-2 the recvmode value (5 to 7 behave as split), bit 3
//     oldtimestamp, bits 4-7 the buffer size, picked around one whole record;
//   address: a kind byte, 16 address bytes and 4 zone bytes, low byte first
//     (missing bytes are zero), made into the source through the
//     constructors the receive loop uses. Kinds (low three bits): 0 IPv4
//     from the first four bytes; 1 the same arriving mapped on the IPv6
//     socket; 2 and 7 IPv6 as given, the zone counting only when the bytes
//     are link-local; 3 every group of four digits; 4 link-local, every
//     group of four digits; 5 as 4 with a zone no interface has, written as
//     its ten digits (the longest text); 6 link-local on an existing
//     interface, written with its name; the kind byte's bits 3-5 all set
//     give the file the smallest cap (--maxfilesize 1) and a length at
//     open of the cap less the next two address bytes, low byte first, so
//     that a few records reach it;
//   each datagram:
//     2 bytes, low byte first, of the received length n: the top three bits
//       s and the low thirteen m; n is 8192 + m when s is 7 (a datagram cut
//       to 8192 bytes), else m >> s, so that short datagrams, which cost
//       little, come more often; 0 takes the pattern's length
//     k, 2 bytes: the pattern's length (top bit: close and reopen the file first)
//     the k pattern bytes, repeated to fill the datagram's min(n, 8192) bytes,
// so a short input still reaches the 8192-byte cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/addr.h"

inline constexpr size_t RECORDMODEL_TEXT_MAX = 8192;  // the longest text a datagram leaves
// Per input, to bound the time of one run: at most this many datagrams,
// taken while their texts hold fewer than RECORDMODEL_INPUT_TEXT bytes.
inline constexpr int RECORDMODEL_DATAGRAMS_MAX = 16;
inline constexpr size_t RECORDMODEL_INPUT_TEXT = 16384;
inline constexpr size_t RECORDMODEL_ADDR_BLOCK = 21;

// 2024-05-06 07:08:09 UTC, file key 2024050607; the microseconds change per datagram.
inline constexpr int64_t RECORDMODEL_SEC = 1714979289;
inline constexpr const char* RECORDMODEL_OLD_STAMP = "May  6 07:08:09";
inline constexpr const char* RECORDMODEL_FILE_KEY = "2024050607";

inline constexpr int32_t RECORDMODEL_BUFSIZES[16] = {1024, 1025, 1500, 2048, 4096, 8191, 8192, 8232,
                                                     8240, 8300, 9000, 16384, 32768, 65536, 100000, 131072};

struct RecordDatagram {
    size_t n;       // the received length, maybe beyond the cut
    bool reopen;    // close and reopen the file before it
    std::string text;  // its first min(n, 8192) bytes
};

// The smallest cap, --maxfilesize 1.
inline constexpr int64_t RECORDMODEL_CAP = 1000000;

struct RecordCase {
    int32_t recvmode;
    int32_t oldtimestamp;
    int32_t bufsize;
    int64_t cap;      // Settings.maxfilesize
    int64_t prefill;  // the file's length before the first open: bytes not the model's
    Addr source;
    std::string addrtext;  // the model's text of the source
    std::vector<RecordDatagram> datagrams;
};

// An input of at least one byte, as the layout above says.
RecordCase RecordModel_Decode(const uint8_t* data, size_t size);

// Settings and the clock as the case has the daemon run: its receive mode,
// stamp style, buffer size and cap, the clock at RECORDMODEL_SEC; the
// model's file starts at the case's prefill.
void RecordModel_Begin(const RecordCase& c);

// The count-th datagram of c: sets the clock to its time, appends what the
// model has it add to the file to expected (the records up to the one that
// reaches the cap and the marker line, then nothing), and returns its text in a buffer
// of exactly the room Record_Store may use, so that ASan sees any byte
// written beyond it.
std::vector<char> RecordModel_Datagram(const RecordCase& c, size_t count, std::string* expected);

// Prints where actual first departs from expected; false when it does.
bool RecordModel_Compare(const char* what, std::string_view expected, std::string_view actual);
