// SPDX-License-Identifier: BSD-2-Clause
// Preloaded into a receiver (LD_PRELOAD) to count its opens for writing:
// the daemon reports its own, the other receivers do not. The count is an
// 8-byte word of the file that CORVASHENMIR_OPENCOUNT names, mapped shared,
// so the bench reads it while the receiver runs. Only calls through the
// dynamic symbols are seen; opens for reading are not counted.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdlib>

namespace {

using OpenFn = int (*)(const char*, int, ...);
using OpenatFn = int (*)(int, const char*, int, ...);
using Open2Fn = int (*)(const char*, int);
using Openat2Fn = int (*)(int, const char*, int);

uint64_t* Counter = nullptr;

template <typename Fn>
Fn Next(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

void Count(int flags) {
    if (Counter != nullptr && (flags & O_ACCMODE) != O_RDONLY) __atomic_add_fetch(Counter, 1, __ATOMIC_RELAXED);
}

__attribute__((constructor)) void MapCounter() {
    const char* path = getenv("CORVASHENMIR_OPENCOUNT");
    if (path == nullptr) return;
    int fd = Next<OpenFn>("open")(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    void* p = mmap(nullptr, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p != MAP_FAILED) Counter = static_cast<uint64_t*>(p);
}

// The mode argument is there only with O_CREAT or O_TMPFILE.
mode_t ModeOf(int flags, va_list ap) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(ap, unsigned)) : 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeOf(flags, ap);
    va_end(ap);
    static const OpenFn next = Next<OpenFn>("open");
    Count(flags);
    return next(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeOf(flags, ap);
    va_end(ap);
    static const OpenFn next = Next<OpenFn>("open64");
    Count(flags);
    return next(path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeOf(flags, ap);
    va_end(ap);
    static const OpenatFn next = Next<OpenatFn>("openat");
    Count(flags);
    return next(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = ModeOf(flags, ap);
    va_end(ap);
    static const OpenatFn next = Next<OpenatFn>("openat64");
    Count(flags);
    return next(dirfd, path, flags, mode);
}

// The checked forms a fortified build calls when it passes no mode.
int __open_2(const char* path, int flags) {
    static const Open2Fn next = Next<Open2Fn>("__open_2");
    Count(flags);
    return next(path, flags);
}

int __open64_2(const char* path, int flags) {
    static const Open2Fn next = Next<Open2Fn>("__open64_2");
    Count(flags);
    return next(path, flags);
}

int __openat_2(int dirfd, const char* path, int flags) {
    static const Openat2Fn next = Next<Openat2Fn>("__openat_2");
    Count(flags);
    return next(dirfd, path, flags);
}

int __openat64_2(int dirfd, const char* path, int flags) {
    static const Openat2Fn next = Next<Openat2Fn>("__openat64_2");
    Count(flags);
    return next(dirfd, path, flags);
}

}  // extern "C"
