// SPDX-License-Identifier: BSD-2-Clause
// The process-wide settings, their defaults and their bounds. The command
// line fills them once at start-up; every module reads them afterwards.
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

// The defaults, which the usage text prints and the record starts from.
inline constexpr int32_t SETTINGS_PORT = 514;
inline constexpr int32_t SETTINGS_MAXOPEN = 50;
inline constexpr int32_t SETTINGS_MAXOPENSPERSEC = 200;
inline constexpr int32_t SETTINGS_BUFSIZE = 16384;
inline constexpr int32_t SETTINGS_MAXFILESIZE_MB = 2000;
inline constexpr uint16_t SETTINGS_UMASK = 077;

// A megabyte of --maxfilesize.
inline constexpr int64_t SETTINGS_MEGABYTE = 1000000;

// The most descriptors --maxopen can ask for, whatever the open-file limit.
inline constexpr int32_t MAXOPEN_CEILING = 1000000;
// Descriptors --maxopen leaves of the open-file limit: the standard three,
// the socket and the daemon log. What the daemon needs beyond them for a
// moment (the metrics file, reading the root, a reopen) it gets back from the
// pool when the limit is reached.
inline constexpr int32_t MAXOPEN_RESERVED = 5;

struct SettingsRecord {
    const char* progname = "corvashenmir";            // argv[0] once main has started
    int32_t port = SETTINGS_PORT;                      // UDP port
    int32_t maxopen = SETTINGS_MAXOPEN;                // per-source files open at once
    int32_t maxopenspersec = SETTINGS_MAXOPENSPERSEC;  // file open attempts admitted per second
    int32_t bufsize = SETTINGS_BUFSIZE;                // bytes of stream buffer per open file
    int32_t rcvbuf = 0;                                // bytes of socket receive buffer; 0: the system's
    int64_t maxfilesize = SETTINGS_MAXFILESIZE_MB * SETTINGS_MEGABYTE;  // bytes, cap of one per-source file
    int32_t recvmode = RECVMODE_SPLIT;
    int32_t split = SPLIT_HOUR;
    int32_t oldtimestamp = 0;                          // 1: "Mar  5 22:07:09" stamps
    uint16_t umask = SETTINGS_UMASK;                   // file creation mask
    const char* rootdir = ".";
    const char* pidfile = nullptr;                     // null: default path by port
    int32_t daemon = 0;
    int32_t verbose = 0;
    int32_t ipv4only = 0;                              // 1: an IPv4 socket, no IPv6
    const char* metrics = nullptr;                     // counters file for Prometheus; null: none
};

// Written only during start-up, read-only afterwards.
extern SettingsRecord Settings;

// Largest value --maxopen accepts: the current open-file limit less
// MAXOPEN_RESERVED, at most MAXOPEN_CEILING.
int32_t Settings_MaxOpenLimit();

// The words printed in the settings line; the receive modes in their order.
inline constexpr const char* SETTINGS_RECVMODE_WORDS[] = {"truncate", "flat", "split", "forensic", "forensicraw"};
const char* Settings_RecvModeWord(int32_t recvmode);
const char* Settings_SplitWord(int32_t split);
