// SPDX-License-Identifier: BSD-2-Clause
// Preloaded into the daemon by the end-to-end tests: the root directory's
// own stamps (the working directory, asked as fstatat(AT_FDCWD, "", ...,
// AT_EMPTY_PATH)) stay what the first such call found, as a change within
// one tick of a coarse file clock leaves them. Every other call is the
// system's.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

static struct stat root;
static int held;

// ISO C has no cast from an object pointer to a function pointer: copy it.
static void Next(const char* symbol, void* fn, size_t size) {
    void* p = dlsym(RTLD_NEXT, symbol);
    if (p == NULL) abort();
    memcpy(fn, &p, size);
}

static int Held(int dirfd, const char* path, struct stat* st, int flags,
                int (*next)(int, const char*, struct stat*, int)) {
    if (dirfd != AT_FDCWD || path[0] != '\0' || !(flags & AT_EMPTY_PATH)) return next(dirfd, path, st, flags);
    if (held) {
        *st = root;
        return 0;
    }
    int r = next(dirfd, path, st, flags);
    if (r == 0) {
        root = *st;
        held = 1;
    }
    return r;
}

int fstatat(int dirfd, const char* path, struct stat* st, int flags) {
    static int (*next)(int, const char*, struct stat*, int);
    if (next == NULL) Next("fstatat", &next, sizeof next);
    return Held(dirfd, path, st, flags, next);
}

// On 64-bit systems the two records are one.
_Static_assert(sizeof(struct stat) == sizeof(struct stat64), "stat and stat64 differ");

int fstatat64(int dirfd, const char* path, struct stat64* st, int flags) {
    static int (*next)(int, const char*, struct stat*, int);
    if (next == NULL) Next("fstatat64", &next, sizeof next);
    return Held(dirfd, path, (struct stat*)st, flags, next);
}
