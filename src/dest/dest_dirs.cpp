// SPDX-License-Identifier: BSD-2-Clause
#include "dest/dest_dirs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/addr.h"
#include "common/fd_reserve.h"
#include "dest/dest_test.h"

namespace {

enum Kind : uint8_t {
    KIND_NONE = 0,  // an empty slot
    KIND_DIR = 1,   // a directory when the root was read
    KIND_LINK = 2,  // a link or the like: the kernel is asked each time
};

// The fewest slots, and at most half of them used.
constexpr size_t DIRS_MIN_SLOTS = 1024;

// Ticks after a read, with the root unchanged, before the names are read once
// more: a change made within the same tick of the coarse clock that stamps
// the root's times as the change before the read (a rename of a directory,
// or a removal and a making, which leave the link count too) shows in none
// of them. Two ticks are a whole second past the read, long past that tick.
constexpr int DIRS_SETTLE_TICKS = 2;

struct DirIndexRecord {
    char (*names)[ADDR_TEXT_SIZE];  // open addressing by NameHash, linear probing
    uint8_t* kinds;
    size_t mask;
    struct stat stamp;  // the root when its names were read
    bool valid;         // the names answer: the root has not changed since
    bool checked;       // the root was looked at since the last recheck
    bool settled;       // read again DIRS_SETTLE_TICKS after the root last changed
    int quiet;          // ticks since the read with the root unchanged
};

DirIndexRecord Index;

// FNV-1a: names are short, and no sender chooses them.
uint64_t NameHash(const char* s) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (; *s != '\0'; s++) h = (h ^ static_cast<unsigned char>(*s)) * 0x100000001b3ull;
    return h;
}

// The root is the working directory for the daemon's life.
bool StatRoot(struct stat* st) {
    if (DestDirs_StatHook != nullptr) return DestDirs_StatHook(st);
    return fstatat(AT_FDCWD, "", st, AT_EMPTY_PATH) == 0;
}

// A directory made in the root raises its link count and moves its times;
// the count also tells of a change within one tick of the coarse clock that
// stamps the times.
bool Same(const struct stat& a, const struct stat& b) {
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_nlink == b.st_nlink &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool KernelSaysDir(const char* name) {
    struct stat st;
    return fstatat(AT_FDCWD, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

uint8_t Lookup(const char* name) {
    for (size_t slot = NameHash(name) & Index.mask;; slot = (slot + 1) & Index.mask) {
        if (Index.kinds[slot] == KIND_NONE) return KIND_NONE;
        if (strcmp(Index.names[slot], name) == 0) return Index.kinds[slot];
    }
}

void Insert(const char* name, uint8_t kind) {
    size_t slot = NameHash(name) & Index.mask;
    while (Index.kinds[slot] != KIND_NONE) slot = (slot + 1) & Index.mask;
    memcpy(Index.names[slot], name, strlen(name) + 1);
    Index.kinds[slot] = kind;
}

// What a root entry says of a source of that name, as its type tells.
uint8_t KindOf(const struct dirent* e) {
    unsigned char type = e->d_type;
    if (type == DT_UNKNOWN) {
        struct stat st;
        if (fstatat(AT_FDCWD, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return KIND_NONE;
        type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
    }
    if (type == DT_DIR) return KIND_DIR;
    return type == DT_LNK ? KIND_LINK : KIND_NONE;
}

// The root for reading its names; at the open-file limit a pooled file
// gives its descriptor back first.
DIR* OpenRoot() {
    DIR* dir = opendir(".");
    if (dir == nullptr && FdReserve_Reclaim(errno)) dir = opendir(".");
    return dir;
}

// The entries of the root that may be a source's directory; -1 when it
// cannot be read.
long CountEntries() {
    DIR* dir = OpenRoot();
    if (dir == nullptr) return -1;
    long n = 0;
    while (readdir(dir) != nullptr) n++;
    closedir(dir);
    return n;
}

}  // namespace

bool (*DestDirs_StatHook)(struct stat* st) = nullptr;

bool DestDirs_Has(const char* addrtext) {
    if (!Index.checked) {
        Index.checked = true;
        struct stat now;
        if (Index.valid && (!StatRoot(&now) || !Same(now, Index.stamp))) Index.valid = false;
    }
    if (!Index.valid) return KernelSaysDir(addrtext);
    uint8_t kind = Lookup(addrtext);
    return kind == KIND_DIR || (kind == KIND_LINK && KernelSaysDir(addrtext));
}

void DestDirs_Read() {
    Index.valid = false;
    Index.checked = false;
    Index.settled = false;
    Index.quiet = 0;
    struct stat before, after;
    long n = StatRoot(&before) ? CountEntries() : -1;
    if (n < 0) return;
    size_t slots = DIRS_MIN_SLOTS;
    while (slots < 2 * static_cast<size_t>(n)) slots *= 2;
    free(Index.names);
    free(Index.kinds);
    Index.names = static_cast<char(*)[ADDR_TEXT_SIZE]>(malloc(slots * ADDR_TEXT_SIZE));
    Index.kinds = static_cast<uint8_t*>(calloc(slots, 1));
    DIR* dir = Index.names != nullptr && Index.kinds != nullptr ? OpenRoot() : nullptr;
    if (dir == nullptr) return;
    Index.mask = slots - 1;
    size_t used = 0;
    bool full = false;
    while (const struct dirent* e = readdir(dir)) {
        // Only what a source's text may be; a source's text never starts with a dot.
        if (strlen(e->d_name) >= ADDR_TEXT_SIZE || e->d_name[0] == '.') continue;
        uint8_t kind = KindOf(e);
        if (kind == KIND_NONE) continue;
        if (used == slots / 2) {
            full = true;
            break;
        }
        Insert(e->d_name, kind);
        used++;
    }
    closedir(dir);
    // A change while the names were read, which may also bring more names
    // than the table was made for, leaves the kernel answering until the
    // next read.
    Index.valid = !full && StatRoot(&after) && Same(before, after);
    Index.stamp = before;
    Index.checked = true;
}

void DestDirs_Tick() {
    struct stat now;
    bool unchanged = Index.valid && StatRoot(&now) && Same(now, Index.stamp);
    if (unchanged && (Index.settled || ++Index.quiet < DIRS_SETTLE_TICKS)) return;
    DestDirs_Read();
    if (unchanged && Index.valid && Same(Index.stamp, now)) Index.settled = true;
}

void DestDirs_Recheck() { Index.checked = false; }

void DestDirs_Reset() {
    free(Index.names);
    free(Index.kinds);
    Index = DirIndexRecord{};
}
