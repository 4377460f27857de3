// SPDX-License-Identifier: BSD-2-Clause
// The command line down to the process exit: Settings_Parse on argument
// vectors made from the input (see settings_model.h), each in a child whose
// real exit status, both output streams and the settings it ends with are
// compared with the model. Slower than fuzz_settings_inprocess, which parses
// in the fuzzer's own process; this one also covers the exits themselves.

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "clock/clock.h"
#include "fuzz/settings_model.h"
#include "common/settings.h"
#include "shell/options.h"
#include "shell/shell_test.h"
#include "support/settings_text.h"

namespace {

// The fuzzer's coverage counters, as the program's start-up registers them.
uint8_t* counters = nullptr;
uint8_t* countersend = nullptr;

constexpr unsigned CHILD_SECONDS = 10;  // a child still running then is killed

// A child's own counters are lost with it; it leaves them here for the parent.
uint8_t* childcounters = nullptr;

int outfd = -1;  // the child's standard output
int errfd = -1;  // the child's standard error
int resfd = -1;  // the settings the child ends with, when Settings_Parse returns

size_t CounterCount() { return static_cast<size_t>(countersend - counters); }

// Runs instead of the fuzzer's exit hook, which would take the child's exit
// for a failure of the whole run.
void LeaveChild(int status, void*) {
    fflush(nullptr);
    memcpy(childcounters, counters, CounterCount());
    _exit(status);
}

std::string ReadFd(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return "";
    std::string s(static_cast<size_t>(st.st_size), '\0');
    ssize_t n = pread(fd, s.data(), s.size(), 0);
    s.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return s;
}

void Reset(int fd) {
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) {
        perror("settings fuzz: reset");
        abort();
    }
}

SettingsRun RunParse(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (int fd : {outfd, errfd, resfd}) Reset(fd);
    memset(childcounters, 0, CounterCount());
    fflush(nullptr);

    pid_t pid = fork();
    if (pid < 0) {
        perror("settings fuzz: fork");
        abort();
    }
    if (pid == 0) {
        dup2(outfd, STDOUT_FILENO);
        dup2(errfd, STDERR_FILENO);
        on_exit(LeaveChild, nullptr);
        alarm(CHILD_SECONDS);
        // As start-up leaves things before the parse.
        Settings = SettingsRecord{};
        Settings.progname = argv[0];
        Clock = ClockRecord{};
        Clock_Update(&Clock);
        Settings_Parse(static_cast<int>(args.size()), argv.data());
        std::string dump = SettingsText(Settings);
        if (write(resfd, dump.data(), dump.size()) != static_cast<ssize_t>(dump.size())) {
            perror("settings fuzz: write");
            abort();
        }
        exit(0);
    }
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0) {
        if (errno != EINTR) {
            perror("settings fuzz: waitpid");
            abort();
        }
    }
    for (size_t i = 0; i < CounterCount(); i++)
        if (childcounters[i] > counters[i]) counters[i] = childcounters[i];
    SettingsRun r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.out = ReadFd(outfd);
    r.err = ReadFd(errfd);
    r.settings = ReadFd(resfd);
    return r;
}

}  // namespace

// Linked in place of the coverage start-up call (--wrap), to learn where the
// counters are: a child's counts are copied back into them, so that the
// parser's own branches guide the fuzzer, not only the model's.
extern "C" void __real___sanitizer_cov_8bit_counters_init(uint8_t* start, uint8_t* stop);
extern "C" void __wrap___sanitizer_cov_8bit_counters_init(uint8_t* start, uint8_t* stop) {
    counters = start;
    countersend = stop;
    __real___sanitizer_cov_8bit_counters_init(start, stop);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    childcounters = static_cast<uint8_t*>(
        mmap(nullptr, CounterCount(), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    outfd = memfd_create("stdout", MFD_CLOEXEC);
    errfd = memfd_create("stderr", MFD_CLOEXEC);
    resfd = memfd_create("settings", MFD_CLOEXEC);
    if (childcounters == MAP_FAILED || outfd < 0 || errfd < 0 || resfd < 0) {
        perror("settings fuzz set-up");
        exit(1);
    }
    SettingsModel_Init(RunParse);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SettingsModel_Run(data, size, RunParse);
    return 0;
}
