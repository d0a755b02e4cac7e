// The POSIX host's own rules: the owner's execute bit decides a file's execute permission, and a
// symbolic link describes itself unless followed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_io.h"
#include "host.h"
#include "host_support.h"

namespace {

namespace fs = std::filesystem;
using host_test::write_through_host;
using namespace onefile::pack;

struct ModeCase {
    const char* label;
    const char* content;
    mode_t mode;
    bool executable;
};

class PosixExecutable : public ::testing::TestWithParam<ModeCase> {};

// The bit, not the contents: a program without it is data, a text file with it a program.
TEST_P(PosixExecutable, FollowsTheOwnersExecuteBit) {
    const TempDir dir;
    const fs::path path = dir.path() / "file";
    write_through_host(path, GetParam().content);
    ASSERT_EQ(::chmod(path.c_str(), GetParam().mode), 0);
    FileStatus status;
    ASSERT_TRUE(host_status(path, true, status));
    EXPECT_EQ(status.executable, GetParam().executable);
}

INSTANTIATE_TEST_SUITE_P(Modes, PosixExecutable,
                         ::testing::Values(ModeCase{"ElfWithoutTheBit",
                                                    "\x7f"
                                                    "ELF\x02\x01",
                                                    0644, false},
                                           ModeCase{"TextWithTheBit", "plain text", 0744, true},
                                           ModeCase{"OnlyGroupAndOthers", "#!/bin/sh\n", 0655, false}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(PosixLinks, ALinkDescribesItselfUnlessFollowed) {
    const TempDir dir;
    write_through_host(dir.path() / "target", "contents");
    ASSERT_EQ(::symlink("target", (dir.path() / "link").c_str()), 0);
    FileStatus status;
    ASSERT_TRUE(host_status(dir.path() / "link", false, status));
    EXPECT_EQ(status.kind, FileKind::Link);
    ASSERT_TRUE(host_status(dir.path() / "link", true, status));
    EXPECT_EQ(status.kind, FileKind::Regular);
    EXPECT_EQ(status.size, 8u);
    std::string text;
    ASSERT_TRUE(host_link_text(dir.path() / "link", text));
    EXPECT_EQ(text, "target");
    EXPECT_EQ(host_open_read(dir.path() / "link", true), NO_FILE);
}

}  // namespace
