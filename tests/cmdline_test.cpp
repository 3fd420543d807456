// The command line's own decisions, in-process.
#include <gtest/gtest.h>

#include "server/cmdline.h"

namespace {

TEST(CommandLine, OnlyTheExactSystemDirectoriesAreRefused) {
    for (const char* dir : {"/", "/etc", "/bin", "/lib", "/tmp", "/usr", "/dev", "/sbin"}) {
        EXPECT_TRUE(is_refused_top_directory(dir)) << dir;
    }
    for (const char* dir : {"/tmp/", "/etc/", "//", ".", "/usr/local", "/ETC", "", "/etcx"}) {
        EXPECT_FALSE(is_refused_top_directory(dir)) << dir;
    }
}

}  // namespace
