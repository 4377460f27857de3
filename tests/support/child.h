// SPDX-License-Identifier: BSD-2-Clause
// Runs a piece of the daemon in a child process, for code that exits or
// writes to the standard streams, and collects what it did.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct ChildResult {
    int status;  // exit status, or 128 + signal number when killed by a signal
    std::string out;
    std::string err;
};

// Forks, runs fn with stdout and stderr captured, and exits 0 when fn returns.
ChildResult RunInChild(const std::function<void()>& fn);

// In a child: a file-size limit of at most bytes (at most the hard limit) that
// fails writes with EFBIG, as the daemon meets it with SIGXFSZ ignored.
void LimitFileSize(uint64_t bytes);

// A fresh temporary directory, removed with its contents on destruction.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
};

// Makes a temporary directory the current one for the life of the object.
struct InTempDir {
    InTempDir();
    ~InTempDir();
    InTempDir(const InTempDir&) = delete;
    InTempDir& operator=(const InTempDir&) = delete;
    TempDir dir;
    std::string previous;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);

// Sets TZ and applies it.
void SetTimeZone(const char* tz);

// Puts TZ back as it was when the object was made.
struct SavedTimeZone {
    SavedTimeZone();
    ~SavedTimeZone();
    SavedTimeZone(const SavedTimeZone&) = delete;
    SavedTimeZone& operator=(const SavedTimeZone&) = delete;
    bool had;
    std::string value;
};

// Seconds since the epoch of a UTC calendar time, computed without the daemon's clock.
int64_t UtcSeconds(int year, int mon, int mday, int hour, int min, int sec);
