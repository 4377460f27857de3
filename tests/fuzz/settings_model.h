// SPDX-License-Identifier: BSD-2-Clause
// What the command-line fuzz targets share: the layout of an input, the
// open-file limit it runs under, and a model of the options written from
// their rules, against which a parse's exit status, output streams and
// settings are checked.
//
// Input: one byte whose low four bits pick the soft open-file limit the
// parse runs under (SETTINGSMODEL_LIMITS), then the argument vector as
// NUL-separated pieces, the first being the program's name.
#pragma once

#include <sys/resource.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "shell/settings.h"

// Soft open-file limits around the bounds of the --maxopen limit; 0 keeps the
// limit the run started with, and one beyond the hard limit is the hard limit.
inline constexpr rlim_t SETTINGSMODEL_LIMITS[16] = {0,    5,    6,     9,       10,      11,      1004,    1005,
                                                    1006, 4096, 65536, 1000004, 1000005, 1000006, 1048576, 1048577};

struct SettingsCase {
    rlim_t softlimit;  // the soft open-file limit to parse under
    std::vector<std::string> args;
};

// What one parse did.
struct SettingsRun {
    int status;            // exit status, or 128 + signal number
    std::string out;
    std::string err;
    std::string settings;  // SettingsText of Settings when Settings_Parse returned, else empty
};

// Expected stream text, where a stamp of the given style stands in a
// stamped line: its digits come from the wall clock and are not known.
struct SettingsPiece {
    std::string text;
    bool stamp;  // a stamp instead of text
    bool old;    // the stamp's style
};

struct SettingsExpectation {
    int status = 0;
    bool returns = true;
    SettingsRecord settings;
    std::string out;
    std::vector<SettingsPiece> err;
};

// The usage text after its first line, which names the program, split where
// it states the --maxopen limit.
struct SettingsUsage {
    std::string before;
    std::string after;
};

SettingsCase SettingsModel_Decode(const uint8_t* data, size_t size);

// Keeps the limits the run starts with; as root, first raises the hard limit
// to the most the kernel allows, so the limits beyond the --maxopen ceiling
// can be set too. Without that right they are cut to the hard limit.
void SettingsModel_InitLimits();

// Sets the soft limit a case asks for (0: the starting one).
void SettingsModel_SetLimit(rlim_t soft);

// The most --maxopen takes under the current soft limit: that limit less 5,
// at most 1,000,000.
int64_t SettingsModel_MaxOpenLimit();

// The usage text as the model has it: --help's text under a known limit,
// split at that limit. False when the text does not state it.
bool SettingsModel_LearnUsage(const std::string& help, int64_t limit, SettingsUsage* usage);

// The parse of args under a --maxopen limit of limit.
SettingsExpectation SettingsModel_Expect(const std::vector<std::string>& args, int64_t limit,
                                         const SettingsUsage& usage);

// Aborts, with the case and what the parse did, when it departs from the model.
void SettingsModel_Check(const SettingsCase& c, int64_t limit, const SettingsRun& r, const SettingsExpectation& e);
