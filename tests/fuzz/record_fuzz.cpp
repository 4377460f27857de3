// SPDX-License-Identifier: BSD-2-Clause
// The record path in every receive mode, down to the file: Record_Store
// writes through a Dest opened the daemon's way, at the source's path below
// a fresh root, and the file is then compared byte for byte with the model
// in record_model.h, which also describes the input. Slower than
// fuzz_record_buffer, which checks the Dest's buffer and what it writes in
// memory; this one also covers the path, the open, the real writes and the
// reopen of a source's file.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <string>
#include <vector>

#include "dest/dest.h"
#include "dest/dest_test.h"
#include "support/reset.h"
#include "dest/dest_hash.h"
#include "fuzz/record_model.h"
#include "log/log.h"
#include "recv/record.h"
#include "common/settings.h"

namespace {

int homefd = -1;  // the directory the fuzzer was started in
std::string roottemplate;
std::string rootpath;  // the temporary root, holding the source's directory

// Back in the starting directory first, so the fuzzer saves the input where it was told.
[[noreturn]] void Fail(const char* what) {
    if (homefd >= 0 && fchdir(homefd) != 0) perror("fchdir");
    fprintf(stderr, "record fuzz: %s: recvmode=%d oldtimestamp=%d bufsize=%d\n", what,
            Settings.recvmode, Settings.oldtimestamp, Settings.bufsize);
    abort();
}

// The file from offset on.
std::string ReadAll(const std::string& path, off_t offset) {
    std::string out;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    if (lseek(fd, offset, SEEK_SET) != offset) Fail("lseek");
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

// A fresh root for every input, removed at its end: the fuzzer leaves
// through _Exit, so nothing would clean up at exit.
void EnterRoot(const std::string& dir) {
    std::string path = roottemplate;
    if (mkdtemp(path.data()) == nullptr || chdir(path.c_str()) != 0 || mkdir(dir.c_str(), 0700) != 0) {
        perror("record fuzz: root");
        abort();
    }
    rootpath = path;
}

void RemoveRoot(const std::string& dir, const std::string& file) {
    unlink(file.c_str());
    rmdir(dir.c_str());
    if (fchdir(homefd) != 0) Fail("fchdir back");
    rmdir(rootpath.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TZ", "UTC0", 1);
    tzset();
    const char* tmp = getenv("TMPDIR");
    roottemplate = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/corvashenmir-fuzz-XXXXXX";
    homefd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (homefd < 0) {
        perror("record fuzz: open .");
        exit(1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    RecordCase c = RecordModel_Decode(data, size);
    RecordModel_Begin(c);

    // The daemon works relative to its root, as after its change of directory.
    const std::string file = c.addrtext + "/" + c.addrtext + "-" + RECORDMODEL_FILE_KEY;
    EnterRoot(c.addrtext);
    // The daemon log takes the cap's drop lines, in the root that goes with the input.
    Log_Open();
    if (c.prefill > 0) {
        // A file near its cap: what it holds is none of the model's business.
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0 || ftruncate(fd, c.prefill) != 0) Fail("prefill");
        close(fd);
    }
    if (DestHash_Slots().empty()) DestHash_Init(Settings.maxopen);
    Dest d{};
    if (!OpenSourceFile(&d, c.source)) Fail("Dest_Open");

    std::string expected;
    for (size_t count = 0; count < c.datagrams.size(); count++) {
        const RecordDatagram& g = c.datagrams[count];
        if (g.reopen) {
            Dest_Close(&d);
            if (!OpenSourceFile(&d, c.source)) Fail("Dest_Open again");
        }
        std::vector<char> buf = RecordModel_Datagram(c, count, &expected);
        Record_Store(&d, buf.data(), g.n);
    }
    Dest_Close(&d);

    Log_Close();
    unlink((std::string("corvashenmir-") + Clock.datekey).c_str());
    std::string actual = ReadAll(file, c.prefill);
    RemoveRoot(c.addrtext, file);
    if (!RecordModel_Compare("file", expected, actual)) Fail("file differs from the model");
    return 0;
}
