// SPDX-License-Identifier: BSD-2-Clause
// The command line in the fuzzer's own process: Settings_Parse on argument
// vectors made from the input (see settings_model.h), its exits through
// Usage turned into a throw by the exit hook, and the standard streams the
// daemon writes through caught in memory; the status, the streams and the
// settings it ends with are compared with the model. Many times faster than
// fuzz_settings, which parses in a child per input.
//
// The streams are caught by pointing stdout and stderr at memory streams
// while the parse runs (the C library lets a program set them), so the
// descriptors stay as they are and a sanitizer's or the fuzzer's own
// report of a finding still reaches the real standard error.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "clock/clock.h"
#include "fuzz/settings_model.h"
#include "common/settings.h"
#include "shell/options.h"
#include "shell/shell_test.h"
#include "support/settings_text.h"

namespace {

struct ParseExit {
    int status;
};

[[noreturn]] void ThrowExit(int status) { throw ParseExit{status}; }

std::string outtext;
std::string errtext;
FILE* outstream = nullptr;
FILE* errstream = nullptr;

ssize_t AppendTo(void* cookie, const char* buf, size_t size) {
    static_cast<std::string*>(cookie)->append(buf, size);
    return static_cast<ssize_t>(size);
}

FILE* MemoryStream(std::string* text) {
    cookie_io_functions_t io = {nullptr, AppendTo, nullptr, nullptr};
    FILE* f = fopencookie(text, "w", io);
    if (f == nullptr) {
        perror("settings fuzz: fopencookie");
        exit(1);
    }
    return f;
}

SettingsRun RunParse(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    outtext.clear();
    errtext.clear();
    FILE* realout = stdout;
    FILE* realerr = stderr;
    fflush(realout);
    fflush(realerr);
    stdout = outstream;
    stderr = errstream;
    // As start-up leaves things before the parse.
    Settings = SettingsRecord{};
    Settings.progname = argv[0];
    Clock = ClockRecord{};
    Clock_Update(&Clock);
    SettingsRun r;
    try {
        Settings_Parse(static_cast<int>(args.size()), argv.data());
        r.status = 0;
        r.settings = SettingsText(Settings);
    } catch (const ParseExit& e) {
        r.status = e.status;
    }
    fflush(outstream);
    fflush(errstream);
    stdout = realout;
    stderr = realerr;
    r.out = outtext;
    r.err = errtext;
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    outstream = MemoryStream(&outtext);
    errstream = MemoryStream(&errtext);
    Settings_ExitHook = ThrowExit;
    SettingsModel_Init(RunParse);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SettingsModel_Run(data, size, RunParse);
    return 0;
}
