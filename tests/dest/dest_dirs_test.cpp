// SPDX-License-Identifier: BSD-2-Clause
// Which sources have a directory: the names read from the root answer while
// the root is unchanged, the kernel answers otherwise and for links.
#include "dest/dest_dirs.h"
#include "dest/dest_test.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/child.h"

namespace {

class DestDirsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(mkdir("10.0.0.1", 0700), 0);
        ASSERT_EQ(mkdir("2001:db8::7", 0700), 0);
        ASSERT_EQ(mkdir("fe80::1%lo", 0700), 0);
        WriteFile("10.0.0.3", "a file is no directory\n");
        ASSERT_EQ(symlink("10.0.0.1", "10.0.0.4"), 0);
        ASSERT_EQ(symlink("nowhere", "10.0.0.5"), 0);
        // Names read in another test's root no longer answer: that root is not this one.
        DestDirs_Recheck();
    }

    InTempDir dir_;
};

TEST_F(DestDirsTest, NamesOfTheRoot) {
    for (bool read : {false, true}) {
        SCOPED_TRACE(read ? "from the names read" : "from the kernel");
        if (read) DestDirs_Read();
        EXPECT_TRUE(DestDirs_Has("10.0.0.1"));
        EXPECT_TRUE(DestDirs_Has("2001:db8::7"));
        EXPECT_TRUE(DestDirs_Has("fe80::1%lo"));
        EXPECT_FALSE(DestDirs_Has("10.0.0.2"));
        EXPECT_FALSE(DestDirs_Has("10.0.0.3"));
        EXPECT_TRUE(DestDirs_Has("10.0.0.4"));
        EXPECT_FALSE(DestDirs_Has("10.0.0.5"));
        EXPECT_FALSE(DestDirs_Has("2001:db8::8"));
    }
}

// Between two rechecks the names read answer; a recheck finds the change and
// the kernel answers until the names are read again.
TEST_F(DestDirsTest, ChangeSeenAtTheNextRecheck) {
    DestDirs_Read();
    ASSERT_EQ(mkdir("10.0.0.2", 0700), 0);
    EXPECT_FALSE(DestDirs_Has("10.0.0.2")) << "answered from the names read before the recheck";
    DestDirs_Recheck();
    EXPECT_TRUE(DestDirs_Has("10.0.0.2"));
    ASSERT_EQ(rmdir("10.0.0.2"), 0);
    EXPECT_FALSE(DestDirs_Has("10.0.0.2"));
    ASSERT_EQ(mkdir("10.0.0.2", 0700), 0);
    DestDirs_Tick();
    EXPECT_TRUE(DestDirs_Has("10.0.0.2"));

    // Read again, the names answer again: a later change is not seen before a recheck.
    ASSERT_EQ(rmdir("10.0.0.2"), 0);
    EXPECT_TRUE(DestDirs_Has("10.0.0.2"));
    DestDirs_Recheck();
    EXPECT_FALSE(DestDirs_Has("10.0.0.2"));
    DestDirs_Tick();
    DestDirs_Recheck();
    EXPECT_FALSE(DestDirs_Has("10.0.0.2"));
    EXPECT_TRUE(DestDirs_Has("10.0.0.1"));
}

// A rename within one tick of a coarse file clock leaves the root's times and
// link count as they were (the hook holds them): the names read are checked
// once more two ticks after the read, and not again while the root shows no
// change.
TEST_F(DestDirsTest, ChangeTheRootDoesNotShowFoundTwoTicksAfterTheRead) {
    static struct stat held;
    ASSERT_EQ(stat(".", &held), 0);
    struct Unhook {
        ~Unhook() { DestDirs_StatHook = nullptr; }
    } unhook;
    DestDirs_StatHook = [](struct stat* st) {
        *st = held;
        return true;
    };
    DestDirs_Read();
    ASSERT_EQ(rename("10.0.0.1", "10.0.0.9"), 0);
    DestDirs_Recheck();
    EXPECT_TRUE(DestDirs_Has("10.0.0.1")) << "answered from the names read before the rename";
    EXPECT_FALSE(DestDirs_Has("10.0.0.9"));
    DestDirs_Tick();
    EXPECT_FALSE(DestDirs_Has("10.0.0.9")) << "names read again one tick after the read";
    DestDirs_Tick();
    EXPECT_TRUE(DestDirs_Has("10.0.0.9")) << "names not read again two ticks after the read";
    EXPECT_FALSE(DestDirs_Has("10.0.0.1"));

    ASSERT_EQ(rename("10.0.0.9", "10.0.0.8"), 0);
    for (int i = 0; i < 5; i++) DestDirs_Tick();
    EXPECT_TRUE(DestDirs_Has("10.0.0.9")) << "names read again with no change shown since they settled";
}

// A link is asked of the kernel each time, since its target may come and go
// without the root changing.
TEST_F(DestDirsTest, LinkTargetThatComesLater) {
    DestDirs_Read();
    EXPECT_FALSE(DestDirs_Has("10.0.0.5"));
    ASSERT_EQ(mkdir("nowhere", 0700), 0);
    // The root changed, but the link's answer does not wait for a recheck.
    EXPECT_TRUE(DestDirs_Has("10.0.0.5"));
}

TEST_F(DestDirsTest, ManyNames) {
    for (int i = 0; i < 5000; i++) ASSERT_EQ(mkdir(("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256)).c_str(), 0700), 0);
    DestDirs_Read();
    for (int i = 0; i < 5000; i++)
        ASSERT_TRUE(DestDirs_Has(("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256)).c_str())) << i;
    for (int i = 5000; i < 6000; i++)
        ASSERT_FALSE(DestDirs_Has(("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256)).c_str())) << i;
}

}  // namespace
