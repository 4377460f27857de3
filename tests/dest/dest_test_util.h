// SPDX-License-Identifier: BSD-2-Clause
// Helpers shared by the destination tests: addresses, a clean process state,
// and capture of the verbose trace.
#pragma once

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "clock/clock.h"
#include "clock/clock_test.h"
#include "dest/dest.h"
#include "dest/dest_test.h"
#include "dest/dest_hash.h"
#include "dest/dest_pool.h"
#include "log/log.h"
#include "common/counters.h"
#include "common/settings.h"
#include "support/child.h"
#include "support/reset.h"

// Dotted quad to the source address an IPv4 sender has.
inline Addr Ip(const char* text) {
    in_addr a{};
    if (inet_pton(AF_INET, text, &a) != 1) throw std::invalid_argument(text);
    return Addr_FromV4(a.s_addr);
}

inline std::string IpText(const Addr& a) {
    char buf[INET_ADDRSTRLEN];
    uint32_t ip = Addr_V4(a);
    inet_ntop(AF_INET, &ip, buf, sizeof buf);
    return buf;
}

// Independent statement of an IPv4 home slot in the 4096-slot table, to pick
// colliding addresses.
inline uint32_t RefHome(const Addr& a) { return (ntohl(Addr_V4(a)) * 0x9E3779B9u) >> 20; }

// 2024-05-06 07:00:00 UTC: file key 2024050607, date key 20240506.
inline constexpr int64_t TEST_SEC = 1714978800;
inline constexpr int64_t TEST_USEC = 42;
inline constexpr const char* TEST_STAMP = "2024-05-06T07:00:00.000042+00:00";
inline constexpr const char* TEST_LOG = "corvashenmir-20240506";

// Process-wide state as start-up leaves it, with a known clock.
inline void ResetDaemonState() {
    SetTimeZone("UTC0");
    ResetModules();
    Clock_UpdateAt(&Clock, TEST_SEC, TEST_USEC);
}

// Opens d on addr's file and enters it into the table, as the pool does;
// true for an open file, *st (when given) tells what became of it.
inline bool OpenDest(Dest* d, const Addr& addr, DestStatus* st = nullptr) {
    DestStatus got;
    OpenSourceFile(d, addr, &got);
    DestHash_Add(d);
    if (st != nullptr) *st = got;
    return got == DEST_OK;
}

// Takes d out of the table, when it is there, and closes it, as the pool does.
inline void CloseDest(Dest* d) {
    if (DestHash_Find(d->addr) == d) DestHash_Remove(d);
    Dest_Close(d);
}

// Writes one record as the receive modes do: the head built from stamp and
// address, with the text's length when counted.
inline void PutRecord(Dest* d, const std::string& stamp, const std::string& text, bool counted = false) {
    std::string head = stamp + " " + d->addrtext + " ";
    if (counted) head += std::to_string(text.size()) + " ";
    Dest_PutRecord(d, head.data(), head.size(), text.data(), text.size());
}

// Takes three descriptors from the pool as the receive loop would: 10.0.0.1
// and 10.0.0.2 open, 10.0.0.9 (no directory) failed between them. False when
// an open went otherwise.
inline bool TakeTwoOpenOneFailed(Dest** a, Dest** b) {
    mkdir("10.0.0.2", 0777);
    *a = DestPool_Take();
    Dest* failed = DestPool_Take();
    *b = DestPool_Take();
    bool ok = OpenDest(*a, Ip("10.0.0.1"));
    ok = !OpenDest(failed, Ip("10.0.0.9")) && ok;
    return OpenDest(*b, Ip("10.0.0.2")) && ok;
}

// Path of a source's file for the test clock's hour.
inline std::string SourcePath(const std::string& addr) { return addr + "/" + addr + "-2024050607"; }

// Runs fn with standard output going to a temporary file and returns what it printed.
inline std::string CaptureStdout(const std::function<void()>& fn) {
    fflush(stdout);
    FILE* tmp = tmpfile();
    int saved = dup(STDOUT_FILENO);
    dup2(fileno(tmp), STDOUT_FILENO);
    fn();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string out;
    rewind(tmp);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, tmp)) > 0) out.append(buf, n);
    fclose(tmp);
    return out;
}

// Closes whatever a test left in the table, so no descriptor keeps a file or
// buffer into the next test or the exit-time write-out.
inline void ReleaseDestinations(const std::vector<Dest*>& extra = {}) {
    for (Dest* d : extra)
        if (DestHash_Find(d->addr) == d) CloseDest(d);
    for (int32_t i = 0; i < DestPool_State().usedcount; i++) {
        Dest* d = DestPool_State().usedlist[i];
        if (DestHash_Find(d->addr) == d) CloseDest(d);
    }
    DestPool_State().usedcount = 0;
    Log_Close();
    DestHash_Clear();
}
