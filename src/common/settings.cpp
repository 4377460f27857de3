// SPDX-License-Identifier: BSD-2-Clause
#include "common/settings.h"

#include <unistd.h>

SettingsRecord Settings;

int32_t Settings_MaxOpenLimit() {
    long n = sysconf(_SC_OPEN_MAX);
    if (n < 0 || n > MAXOPEN_CEILING + MAXOPEN_RESERVED) return MAXOPEN_CEILING;
    return static_cast<int32_t>(n - MAXOPEN_RESERVED);
}

const char* Settings_RecvModeWord(int32_t recvmode) {
    if (recvmode < RECVMODE_TRUNCATE || recvmode > RECVMODE_FORENSICRAW) return "split";
    return SETTINGS_RECVMODE_WORDS[recvmode];
}

const char* Settings_SplitWord(int32_t split) { return split == SPLIT_DAY ? "day" : "hour"; }
