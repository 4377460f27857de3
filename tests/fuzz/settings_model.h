// SPDX-License-Identifier: BSD-2-Clause
// What the command-line fuzz targets share: the layout of an input, the
// open-file limit it runs under, and a model of the options written from
// their rules, against which a parse's exit status, output streams and
// settings are checked.
//
// Input: one byte whose low four bits pick the soft open-file limit the
// parse runs under (LIMITS in settings_model.cpp), then the argument vector as
// NUL-separated pieces, the first being the program's name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What one parse did.
struct SettingsRun {
    int status;            // exit status, or 128 + signal number
    std::string out;
    std::string err;
    std::string settings;  // SettingsText of Settings when Settings_Parse returned, else empty
};

// A target's way to parse an argument vector, in the state the daemon's
// start-up leaves; the settings may point into args.
using SettingsParse = SettingsRun (*)(std::vector<std::string>& args);

// A target's start-up: keeps the open-file limits the run starts with (as
// root first raising the hard one to the most the kernel allows, so that
// limits beyond the --maxopen ceiling can be set) and learns the usage text
// from parse's --help. Exits when that fails.
void SettingsModel_Init(SettingsParse parse);

// One input: its vector parsed by parse under its soft open-file limit,
// set in the fuzzer's process (a child inherits it), and compared with the
// model; aborts with the case and what the parse did when they differ.
void SettingsModel_Run(const uint8_t* data, size_t size, SettingsParse parse);
