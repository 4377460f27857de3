// SPDX-License-Identifier: BSD-2-Clause
// Command line and the process-wide settings it fills.
#pragma once

#include <cstdint>

enum RecvMode : int32_t {
    RECVMODE_TRUNCATE = 0,
    RECVMODE_FLAT = 1,
    RECVMODE_SPLIT = 2,
    RECVMODE_FORENSIC = 3,
    RECVMODE_FORENSICRAW = 4,
};

enum SplitMode : int32_t {
    SPLIT_HOUR = 0,
    SPLIT_DAY = 1,
};

inline constexpr const char* VERSION = "1.02";
// The most descriptors --maxopen can ask for, whatever the open-file limit.
inline constexpr int32_t MAXOPEN_CEILING = 1000000;
// Descriptors the daemon needs besides its per-source files: the standard
// three, the socket and the daemon log.
inline constexpr int32_t MAXOPEN_RESERVED = 5;

struct SettingsRecord {
    const char* progname = "corvashenmir";  // argv[0] once main has started
    int32_t port = 514;                     // UDP port
    int32_t maxopen = 50;                   // per-source files open at once
    int32_t maxopenspersec = 200;           // file open attempts admitted per second
    int32_t bufsize = 16384;                // bytes of stream buffer per open file
    int32_t rcvbuf = 0;                     // bytes of socket receive buffer; 0: the system's
    int64_t maxfilesize = 2000000000;       // bytes, cap of one per-source file
    int32_t recvmode = RECVMODE_SPLIT;
    int32_t split = SPLIT_HOUR;
    int32_t oldtimestamp = 0;               // 1: "Mar  5 22:07:09" stamps
    uint16_t umask = 077;                   // file creation mask
    const char* rootdir = ".";
    const char* pidfile = nullptr;          // null: default path by port
    int32_t daemon = 0;
    int32_t verbose = 0;
    int32_t ipv4only = 0;                   // 1: an IPv4 socket, no IPv6
    const char* metrics = nullptr;          // counters file for Prometheus; null: none
};

// Written only during start-up, read-only afterwards.
extern SettingsRecord Settings;

// Applies argv[1..argc-1] to Settings; exits through Usage on --help or an error.
void Settings_Parse(int argc, char** argv);

// Prints the usage text and exits: status 0 on stdout for a null or empty
// message, status 1 on stderr behind a "progname: msg" header otherwise.
[[noreturn]] void Usage(const char* msg);

// Largest value --maxopen accepts: the current open-file limit less
// MAXOPEN_RESERVED, at most MAXOPEN_CEILING.
int32_t Settings_MaxOpenLimit();

// The words printed in the settings line.
const char* Settings_RecvModeWord(int32_t recvmode);
const char* Settings_SplitWord(int32_t split);

// Testing: when set, Usage calls it with the exit status before it exits;
// a hook that throws takes the exit back to the caller of Settings_Parse,
// so a test can parse many command lines in one process.
extern void (*Settings_ExitHook)(int status);
