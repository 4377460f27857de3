// SPDX-License-Identifier: BSD-2-Clause
#include "support/child.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

std::string Slurp(FILE* f) {
    std::string s;
    rewind(f);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    return s;
}

}  // namespace

void LimitFileSize(uint64_t bytes) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl;
    getrlimit(RLIMIT_FSIZE, &rl);
    rl.rlim_cur = bytes < rl.rlim_max ? static_cast<rlim_t>(bytes) : rl.rlim_max;
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(98);
}

ChildResult RunInChild(const std::function<void()>& fn) {
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    if (out == nullptr || err == nullptr) throw std::runtime_error("tmpfile");
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        dup2(fileno(out), STDOUT_FILENO);
        dup2(fileno(err), STDERR_FILENO);
        fn();
        fflush(nullptr);
        _exit(0);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    ChildResult r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.out = Slurp(out);
    r.err = Slurp(err);
    fclose(out);
    fclose(err);
    return r;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/corvashenmir-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
    path = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

InTempDir::InTempDir() {
    previous = std::filesystem::current_path().string();
    std::filesystem::current_path(dir.path);
}

InTempDir::~InTempDir() {
    std::error_code ec;
    std::filesystem::current_path(previous, ec);
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

void SetTimeZone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
}

SavedTimeZone::SavedTimeZone() {
    const char* tz = getenv("TZ");
    had = tz != nullptr;
    value = had ? tz : "";
}

SavedTimeZone::~SavedTimeZone() {
    if (had)
        setenv("TZ", value.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

int64_t UtcSeconds(int year, int mon, int mday, int hour, int min, int sec) {
    struct tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = mon - 1;
    tm.tm_mday = mday;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_sec = sec;
    return static_cast<int64_t>(timegm(&tm));
}
