// Creation of the directories above a file, and the cache of directories known to exist.
#include <gtest/gtest.h>

#include <string>

#include "payload/directories.h"
#include "platform/platform.h"
#include "test_platform.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

const std::wstring S(1, PATH_SEPARATOR);

class Directories : public ::testing::Test {
protected:
    void SetUp() override { directory_cache_reset(); }
    void TearDown() override { directory_cache_reset(); }
};

TEST_F(Directories, CreatesEveryMissingLevel) {
    const fs::path base = unit::test_path("tree");
    const fs::path file = base / "d1" / "d2" / "d3" / "d4" / "file.txt";
    EXPECT_TRUE(create_parent_directories(unit::wide(file).c_str()));
    for (const fs::path& level : {base, base / "d1", base / "d1" / "d2", base / "d1" / "d2" / "d3",
                                  base / "d1" / "d2" / "d3" / "d4"}) {
        EXPECT_TRUE(unit::is_directory(level)) << level.string();
    }
    // Directories only: the file itself is not created.
    EXPECT_FALSE(unit::exists_or_is_link(file));
}

TEST_F(Directories, ExistingParentNeedsNothing) {
    const fs::path base = unit::test_path("tree");
    fs::create_directories(base);
    EXPECT_TRUE(create_parent_directories(unit::wide(base / "file").c_str()));
    EXPECT_EQ(unit::list_tree(base), std::vector<std::wstring>{});
}

TEST_F(Directories, TrailingSeparatorNamesTheDirectoryItself) {
    const fs::path base = unit::test_path("tree");
    EXPECT_TRUE(create_parent_directories((unit::wide(base / "inner") + S).c_str()));
    EXPECT_TRUE(unit::is_directory(base / "inner"));
}

TEST_F(Directories, PathWithoutSeparatorAfterItsFirstUnitCreatesNothing) {
    const std::wstring bare = L"ofu-bare-" + std::to_wstring(platform_current_process_id());
    EXPECT_TRUE(create_parent_directories(bare.c_str()));
    EXPECT_TRUE(create_parent_directories((S + bare).c_str()));
    EXPECT_TRUE(create_parent_directories(L""));
    EXPECT_FALSE(unit::exists_or_is_link(fs::path(bare)));
    // Nothing was asked of the system, so nothing was remembered either.
    EXPECT_EQ(directory_cache_count(), 0);
}

TEST_F(Directories, FileInPlaceOfADirectoryIsNotAnError) {
    const fs::path base = unit::test_path("tree");
    fs::create_directories(base);
    unit::write_file(base / "plain", "x");
    // The name exists, so it counts as existing; opening the file below it fails later.
    EXPECT_TRUE(create_parent_directories(unit::wide(base / "plain" / "file").c_str()));
    EXPECT_FALSE(unit::is_directory(base / "plain"));
}

TEST_F(Directories, CacheStartsWithTheHomeDirectoryAndRemembersEachCreation) {
    const fs::path base = unit::test_path("tree");
    fs::create_directories(base);
    EXPECT_EQ(directory_cache_count(), 0);
    EXPECT_TRUE(create_parent_directories(unit::wide(base / "a" / "file").c_str()));
    // The home directory first, then the directory just created.
    EXPECT_EQ(directory_cache_count(), 2);
    EXPECT_TRUE(create_parent_directories(unit::wide(base / "a" / "second").c_str()));
    EXPECT_EQ(directory_cache_count(), 2);
    EXPECT_TRUE(create_parent_directories(unit::wide(base / "b" / "file").c_str()));
    EXPECT_EQ(directory_cache_count(), 3);
}

TEST_F(Directories, RememberedDirectoryIsNotAskedForAgain) {
    const fs::path base = unit::test_path("tree");
    fs::create_directories(base);
    EXPECT_TRUE(create_parent_directories(unit::wide(base / "gone" / "file").c_str()));
    fs::remove(base / "gone");
    // The cache answers without a system call, so the directory is not created again.
    EXPECT_TRUE(create_parent_directories(unit::wide(base / "gone" / "file").c_str()));
    EXPECT_FALSE(unit::exists_or_is_link(base / "gone"));
    // A spelling with a trailing separator is a different entry.
    EXPECT_TRUE(create_parent_directories((unit::wide(base / "gone") + S + S + L"file").c_str()));
    EXPECT_TRUE(unit::is_directory(base / "gone"));
}

TEST_F(Directories, DriveDesignatorCountsAsExistingWithoutASystemCall) {
    // Relative on Linux, so a system call would create it in the current directory.
    EXPECT_TRUE(ensure_directory(L"Q:"));
    EXPECT_TRUE(ensure_directory(L"?:"));
    EXPECT_EQ(directory_cache_count(), 1);  // only the home directory
    EXPECT_FALSE(unit::exists_or_is_link(fs::path("Q:")));
    EXPECT_FALSE(unit::exists_or_is_link(fs::path("?:")));
}

TEST_F(Directories, DirectoryThatCannotBeCreatedIsFalse) {
    const fs::path base = unit::test_path("tree");
    fs::create_directories(base);
    unit::write_file(base / "plain", "x");
    EXPECT_FALSE(create_parent_directories(unit::wide(base / "plain" / "below" / "file").c_str()));
    EXPECT_FALSE(ensure_directory(unit::wide(base / "plain" / "below").c_str()));
}

TEST_F(Directories, CacheHoldsAtMost1024AndCreationGoesOnBeyond) {
    const fs::path base = unit::test_path("tree");
    fs::create_directories(base);
    constexpr int CREATED = 1100;
    for (int i = 0; i < CREATED; ++i) {
        const fs::path file = base / ("d" + std::to_string(i)) / "file";
        ASSERT_TRUE(create_parent_directories(unit::wide(file).c_str())) << i;
        ASSERT_EQ(directory_cache_count(), i + 2 < DIRECTORY_CACHE_CAPACITY ? i + 2 : DIRECTORY_CACHE_CAPACITY);
    }
    EXPECT_EQ(directory_cache_count(), DIRECTORY_CACHE_CAPACITY);
    for (int i = 0; i < CREATED; ++i) {
        ASSERT_TRUE(unit::is_directory(base / ("d" + std::to_string(i)))) << i;
    }
    // Past the limit: still created, and an existing one not remembered is accepted again.
    EXPECT_TRUE(create_parent_directories(unit::wide(base / "late" / "file").c_str()));
    EXPECT_TRUE(unit::is_directory(base / "late"));
    EXPECT_TRUE(create_parent_directories(unit::wide(base / "d1099" / "again").c_str()));
    EXPECT_EQ(directory_cache_count(), DIRECTORY_CACHE_CAPACITY);
}

TEST_F(Directories, PathOfTwoThousandComponentsWithin4095Units) {
    // The walk's own limits, not the file system's: a simulated tree holds the levels, so the test
    // asks the same of every platform (a real path of 4095 units lies deeper than some systems
    // reach through their own path translation).
    namespace tp = test_platform;
    tp::fakes().simulated_tree = true;
    const std::wstring base = S + L"base";
    tp::tree_add_directory(base);
    std::wstring path = base;
    size_t components = 0;
    while (path.size() + 2 <= 4095) {
        path += S + L"a";
        ++components;
    }
    ASSERT_GE(components, 2000u);
    ASSERT_LE(path.size(), 4095u);
    // Every level is missing: the walk climbs until a level can be made (the one right below the
    // base), then comes back down, retrying each level that failed on the way up.
    EXPECT_TRUE(create_parent_directories(path.c_str()));
    const std::wstring deepest = path.substr(0, path.size() - 2);
    EXPECT_TRUE(tp::tree_has(deepest));
    EXPECT_FALSE(tp::tree_has(path));
    EXPECT_EQ(tp::tree_size(), components);  // the base and every level above the file
    const size_t levels = components - 1;
    EXPECT_EQ(tp::calls(tp::Op::CreateDirectory), static_cast<int>(2 * levels - 1));
}

}  // namespace
