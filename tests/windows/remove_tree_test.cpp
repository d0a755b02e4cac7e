// Removal where Windows refuses: a read-only file stays, and so does its directory.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "common/state.h"
#include "child/cleanup.h"
#include "test_support.h"

#include <windows.h>

namespace {

namespace fs = std::filesystem;

class ReadOnlyFile : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = unit::test_path("root");
        fs::create_directories(root_ / "sub");
        unit::write_file(root_ / "before", "b");
        unit::write_file(root_ / "sub" / "locked", "locked");
        unit::write_file(root_ / "sub" / "zafter", "a");
        ASSERT_TRUE(SetFileAttributesW(unit::wide(root_ / "sub" / "locked").c_str(), FILE_ATTRIBUTE_READONLY));
    }
    void TearDown() override {
        SetFileAttributesW(unit::wide(root_ / "sub" / "locked").c_str(), FILE_ATTRIBUTE_NORMAL);
        g_state.cleanup_armed.store(false);
    }

    void expect_only_the_locked_file_left() {
        EXPECT_EQ(unit::read_file(root_ / "sub" / "locked"), "locked");
        EXPECT_EQ(unit::list_tree(root_), (std::vector<std::wstring>{L"sub", L"sub/locked"}));
    }

    fs::path root_;
};

TEST_F(ReadOnlyFile, StaysAndTheResultIsFalse) {
    EXPECT_FALSE(remove_tree(unit::wide(root_).c_str()));
    // Nothing is changed to force the removal; everything else goes.
    expect_only_the_locked_file_left();
    EXPECT_NE(GetFileAttributesW(unit::wide(root_ / "sub" / "locked").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
}

TEST_F(ReadOnlyFile, CleanupGivesUpAfterTwentyAttempts) {
    const std::wstring target = unit::wide(root_);
    wmemcpy(g_state.target_directory, target.c_str(), target.size() + 1);
    g_state.child_process.store(NO_PROCESS);
    g_state.cleanup_armed.store(true);
    const ULONGLONG start = GetTickCount64();
    cleanup_target();
    const ULONGLONG elapsed = GetTickCount64() - start;
    // Twenty attempts, each followed by a 100 ms pause.
    EXPECT_GE(elapsed, 1900u);
    EXPECT_LT(elapsed, 10000u);
    expect_only_the_locked_file_left();
}

}  // namespace
