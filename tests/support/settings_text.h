// SPDX-License-Identifier: BSD-2-Clause
// The settings record as text, one field a line, to compare whole records.
#pragma once

#include <cstdio>
#include <string>

#include "common/settings.h"

inline std::string SettingsText(const SettingsRecord& s) {
    char nums[512];
    snprintf(nums, sizeof nums,
             "port=%d\nmaxopen=%d\nmaxopenspersec=%d\nbufsize=%d\nmaxfilesize=%lld\nrecvmode=%d\n"
             "split=%d\noldtimestamp=%d\numask=%u\nrcvbuf=%d\nipv4only=%d\n",
             s.port, s.maxopen, s.maxopenspersec, s.bufsize, static_cast<long long>(s.maxfilesize),
             s.recvmode, s.split, s.oldtimestamp, static_cast<unsigned>(s.umask), s.rcvbuf, s.ipv4only);
    // The paths are appended whole: a cut would hide a difference at their ends.
    return std::string(nums) + "rootdir=" + (s.rootdir == nullptr ? "(none)" : s.rootdir) + "\npidfile=" +
           (s.pidfile == nullptr ? "(none)" : s.pidfile) + "\ndaemon=" + std::to_string(s.daemon) +
           "\nverbose=" + std::to_string(s.verbose) + "\nmetrics=" + (s.metrics == nullptr ? "(none)" : s.metrics) +
           "\n";
}
