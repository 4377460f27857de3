// SPDX-License-Identifier: BSD-2-Clause
// The record path in every receive mode, checked in memory: Record_Store
// formats each datagram's records into the Dest's buffer, which after every
// datagram must hold whole records ending in what the model in
// record_model.h (which also describes the input) adds for that datagram.
// What the Dest writes out is taken in memory by a stand-in for writev,
// which also cuts writes short and interrupts them now and then, as the
// kernel may; once the Dest is closed it must be the model's text whole.
// No file or directory is made per input, so this runs many times faster
// than fuzz_record.

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "dest/dest.h"
#include "dest/dest_test.h"
#include "dest/dest_hash.h"
#include "fuzz/record_model.h"
#include "log/log.h"
#include "recv/record.h"
#include "common/settings.h"

namespace {

// The Dests' file, kept for the whole run and never written: a Dest takes a
// copy of appendfd, and what it writes there goes to written instead. The
// file must keep its name, since a file without one is reopened at the
// source's path.
std::string filepath;
int appendfd = -1;
int capturefd = -1;  // the descriptor of the open Dest
std::string written;
uint64_t rng = 0;  // the stand-in's choices, seeded from the input

// Kept from input to input: fresh strings of megabytes cost a mapping each.
std::string expected;

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "record buffer fuzz: %s: recvmode=%d oldtimestamp=%d bufsize=%d\n", what, Settings.recvmode,
            Settings.oldtimestamp, Settings.bufsize);
    abort();
}

std::string logdir;  // where the daemon log of the run takes the cap's drop lines

void RemoveFile() {
    unlink(filepath.c_str());
    Log_Close();
    std::string log = logdir + "/corvashenmir-";
    unlink(log.c_str());
    rmdir(logdir.c_str());
}

// The Dest takes the length its file would have: the case's prefill and
// what was written to it, which the run file never holds.
void OpenOnRunFile(Dest* d, const Addr& source, int64_t prefill) {
    capturefd = dup(appendfd);
    if (capturefd < 0 || !Dest_OpenOn(d, source, capturefd)) Fail("Dest_OpenOn");
    d->length = prefill + static_cast<int64_t>(written.size());
}

uint32_t NextChoice() {
    rng = rng * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(rng >> 33);
}

// The buffer holds whole records, each ending in its LF, and ends with the
// added bytes the model has the datagram write (or as many as it holds).
// Its earlier bytes were checked with the datagrams before, and the check
// of what was written, at the end, covers whatever moved on since. Without
// coverage of its own, as the models: its loop over the records would cost
// more in tracing than the code it checks, and steer nothing.
__attribute__((noinline, no_sanitize("coverage"))) void CheckBuffer(const Dest& d, size_t added) {
    if (d.fill > d.room || d.records > d.endsmax || d.torn != 0 || (d.records == 0) != (d.fill == 0))
        Fail("buffer state out of bounds");
    if (d.records > 0 && d.ends[d.records - 1] != d.fill) Fail("last record end is not the fill");
    size_t tail = d.fill < added ? d.fill : added;
    for (int32_t i = d.records - 1; i >= 0 && d.ends[i] > d.fill - tail; i--) {
        if (d.buffer[d.ends[i] - 1] != '\n' || (i > 0 && d.ends[i - 1] >= d.ends[i]))
            Fail("record ends out of place");
    }
    std::string_view want(expected.data() + expected.size() - tail, tail);
    if (!RecordModel_Compare("buffer", want, std::string_view(d.buffer + d.fill - tail, tail)))
        Fail("buffer differs from the model");
}

}  // namespace

// Linked in place of writev (--wrap). For the open Dest's descriptor: one
// write in sixteen is interrupted, one in four of the rest takes only part
// of what it is given, the rest take it all, into written.
extern "C" ssize_t __real_writev(int fd, const struct iovec* iov, int cnt);
extern "C" ssize_t __wrap_writev(int fd, const struct iovec* iov, int cnt) {
    if (fd != capturefd) return __real_writev(fd, iov, cnt);
    size_t total = 0;
    for (int i = 0; i < cnt; i++) total += iov[i].iov_len;
    uint32_t choice = NextChoice();
    if (choice % 16 == 0) {
        errno = EINTR;
        return -1;
    }
    size_t take = total > 1 && (choice >> 4) % 4 == 0 ? 1 + (choice >> 6) % (total - 1) : total;
    size_t left = take;
    for (int i = 0; i < cnt && left > 0; i++) {
        size_t n = std::min(left, iov[i].iov_len);
        written.append(static_cast<const char*>(iov[i].iov_base), n);
        left -= n;
    }
    return static_cast<ssize_t>(take);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TZ", "UTC0", 1);
    tzset();
    const char* tmp = getenv("TMPDIR");
    filepath = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/corvashenmir-fuzz-XXXXXX";
    int fd = mkostemp(filepath.data(), O_CLOEXEC);
    appendfd = fd < 0 ? -1 : open(filepath.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0 || appendfd < 0) {
        perror("record buffer fuzz: run file");
        exit(1);
    }
    close(fd);
    // The log is opened before any input sets the clock: its name has no date.
    logdir = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/corvashenmir-fuzz-log-XXXXXX";
    int home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (mkdtemp(logdir.data()) == nullptr || home < 0 || chdir(logdir.c_str()) != 0) {
        perror("record buffer fuzz: log directory");
        exit(1);
    }
    Log_Open();
    if (fchdir(home) != 0) exit(1);
    close(home);
    // A finding ends the run through _Exit and leaves the files; a run that
    // ends in order removes them.
    atexit(RemoveFile);
    DestHash_Init(SettingsRecord{}.maxopen);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    RecordCase c = RecordModel_Decode(data, size);
    RecordModel_Begin(c);
    written.clear();
    rng = size;
    for (size_t i = 0; i < size; i++) rng = (rng ^ data[i]) * 1099511628211ull;

    Dest d{};
    OpenOnRunFile(&d, c.source, c.prefill);
    if (std::string_view(d.addrtext, d.addrlen) != c.addrtext || d.addrtext[d.addrlen] != '\0') {
        fprintf(stderr, "record buffer fuzz: address text [%s], model [%s]\n", d.addrtext, c.addrtext.c_str());
        Fail("address text differs from the model");
    }

    expected.clear();
    for (size_t count = 0; count < c.datagrams.size(); count++) {
        const RecordDatagram& g = c.datagrams[count];
        if (g.reopen) {
            Dest_Close(&d);
            OpenOnRunFile(&d, c.source, c.prefill);
        }
        size_t before = expected.size();
        std::vector<char> buf = RecordModel_Datagram(c, count, &expected);
        Record_Store(&d, buf.data(), g.n);
        CheckBuffer(d, expected.size() - before);
    }
    Dest_Close(&d);

    if (!RecordModel_Compare("written", expected, written)) Fail("what was written differs from the model");
    return 0;
}
