// The daemon binary is built and the test environment works.
#include <filesystem>

#include <gtest/gtest.h>

#include "support/test_env.hpp"

TEST(Build, DaemonBinaryExists) {
    EXPECT_TRUE(std::filesystem::exists(test_support::quillgate_binary()));
    test_support::temp_dir dir;
    test_support::write_file(dir.file("a"), "x\r\n");
    EXPECT_EQ(test_support::read_file(dir.file("a")), "x\r\n");
}
