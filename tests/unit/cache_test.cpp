// Cached extraction in-process: the names of entries and staging directories, the cheap check of
// a published entry, and the starts that cannot use the cache (a failed write, a read-only root,
// a failed rename, a root that is not the user's) and fall back to a temporary directory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "bootstrap/cached_run.h"
#include "bootstrap/driver.h"
#include "common/extras.h"
#include "common/state.h"
#include "environment/env_bridge.h"
#include "payload/attached_data.h"
#include "payload/cache.h"
#include "payload/directories.h"
#include "platform/platform.h"
#include "test_platform.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
namespace tp = test_platform;
using tp::Op;

const std::wstring S(1, PATH_SEPARATOR);
const bool LINUX = PATH_SEPARATOR == L'/';

TEST(CacheNames, TheExecutablesNameLosesExeAndIsCutAtSixtyFourUnits) {
    const struct {
        std::wstring module_path;
        std::wstring name;
    } cases[] = {
        {S + L"apps" + S + L"tool.exe", L"tool"},
        {S + L"apps" + S + L"Tool.EXE", L"Tool"},
        {S + L"apps" + S + L"tool", L"tool"},
        {S + L"apps" + S + L"a.exe.exe", L"a.exe"},
        {S + L"apps" + S + L".exe", L""},
        {S + L"apps" + S + std::wstring(70, L'n') + L".exe", std::wstring(64, L'n')},
    };
    for (const auto& c : cases) {
        wchar_t name[CACHE_NAME_CAPACITY + 1];
        EXPECT_EQ(cache_executable_name(c.module_path.c_str(), name), c.name.size());
        EXPECT_EQ(std::wstring(name), c.name);
    }
}

TEST(CacheNames, EntriesAndStagingDirectoriesOfThisExecutableAreKnownByTheirNames) {
    const struct {
        std::wstring name;
        bool entry;
        bool staging;
    } cases[] = {
        {L"tool-0123456789abcdef", true, false},
        {L"tool-0123456789ABCDEF", false, false},
        {L"tool-0123456789abcde", false, false},
        {L"tool-0123456789abcdef0", false, false},
        {L"tools-0123456789abcdef", false, false},
        {L"too-0123456789abcdef", false, false},
        {L".tool-0123456789abcdef.12-AAAAAAAAAAA", false, true},
        {L".tool-0123456789abcdef.", false, false},
        {L".tool-0123456789abcdef", false, false},
        {L".tool-0123456789abcdeg.1-x", false, false},
        {L"x.tool-0123456789abcdef.1-x", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_entry_name(c.name.c_str(), L"tool", 4), c.entry) << std::string(c.name.begin(), c.name.end());
        EXPECT_EQ(is_staging_name(c.name.c_str(), L"tool", 4), c.staging) << std::string(c.name.begin(), c.name.end());
    }
}

// The record the packer writes for a marked executable: the digest alone.
std::vector<uint8_t> cache_record(uint8_t first) {
    std::vector<uint8_t> record(EXTRAS_MAGIC, EXTRAS_MAGIC + 8);
    unit::put_u64(record, 16 + 12 + 32);
    unit::put_u32(record, EXTRAS_TAG_CACHE);
    unit::put_u64(record, 32);
    for (uint8_t i = 0; i < 32; ++i) record.push_back(static_cast<uint8_t>(first + i));
    return record;
}

class CacheTest : public unit::ExtractionTest {
protected:
    void SetUp() override {
        ExtractionTest::SetUp();
        home_ = unit::test_path("home");
        temp_ = unit::test_path("temp");
        fs::create_directories(home_);
        fs::create_directories(temp_);
        tp::fakes().folder_path = unit::wide(home_);
        tp::fakes().temp_path = unit::wide(temp_);
        blob_ = unit::make_application({{u"main.bin", "main"}, {u"sub\\data.bin", unit::noise(70000, 2)}});
        record_ = cache_record(0xC0);
        set_attached_data(blob_.data(), blob_.size());
        set_attached_extras(record_.data(), record_.size());
        ensure_module_path();
        ASSERT_TRUE(cache_paths(g_module_path, attached_cache_digest(), &paths_));
        root_ = unit::path_of(paths_.root);
        entry_ = unit::path_of(paths_.entry);
    }

    // A published entry as a first start leaves it.
    void publish() {
        fs::create_directories(root_);
        fs::permissions(root_, fs::perms::owner_all);
        use_target();
        unit::set_target_directory(entry_);
        extract(blob_);
    }

    fs::path home_, temp_, root_, entry_;
    std::vector<uint8_t> blob_, record_;
    CachePaths paths_{};
};

TEST_F(CacheTest, TheEntryIsNamedAfterTheExecutableAndTheDigestBelowTheCacheFolder) {
    EXPECT_EQ(root_, home_ / "onefile");
    wchar_t name[CACHE_NAME_CAPACITY + 1];
    cache_executable_name(g_module_path, name);
    EXPECT_EQ(std::wstring(paths_.entry_name), std::wstring(name) + L"-c0c1c2c3c4c5c6c7");
    wchar_t staging[PATH_CAPACITY];
    make_staging_path(paths_, staging);
    const std::wstring text(staging);
    ASSERT_EQ(text.rfind(std::wstring(paths_.root) + S + L".", 0), 0u);
    EXPECT_TRUE(is_staging_name(text.c_str() + wcslen(paths_.root) + 1, name, wcslen(name)));
}

TEST_F(CacheTest, APublishedEntryIsValidUntilItIsDamaged) {
    EXPECT_EQ(check_cache_entry(paths_.entry), CacheEntryState::Absent);
    publish();
    EXPECT_EQ(check_cache_entry(paths_.entry), CacheEntryState::Valid);
    EXPECT_EQ(std::wstring(g_state.main_binary_path), std::wstring(paths_.entry) + S + L"main.bin");

    fs::resize_file(entry_ / "sub" / "data.bin", 69999);
    EXPECT_EQ(check_cache_entry(paths_.entry), CacheEntryState::Damaged);
    unit::write_file(entry_ / "sub" / "data.bin", unit::noise(70000, 2));
    EXPECT_EQ(check_cache_entry(paths_.entry), CacheEntryState::Valid);
    fs::remove(entry_ / "main.bin");
    EXPECT_EQ(check_cache_entry(paths_.entry), CacheEntryState::Damaged);
    unit::write_file(entry_ / "main.bin", "main");
    // A file the table has is not a directory.
    fs::remove(entry_ / "sub" / "data.bin");
    fs::create_directory(entry_ / "sub" / "data.bin");
    EXPECT_EQ(check_cache_entry(paths_.entry), CacheEntryState::Damaged);
    if (LINUX) {
        // Links are never gone through, to a file or to a directory.
        fs::remove(entry_ / "sub" / "data.bin");
        unit::write_file(home_ / "data.bin", unit::noise(70000, 2));
        fs::create_symlink(home_ / "data.bin", entry_ / "sub" / "data.bin");
        EXPECT_EQ(check_cache_entry(paths_.entry), CacheEntryState::Damaged);
        fs::remove(entry_ / "sub" / "data.bin");
        fs::rename(entry_ / "sub", home_ / "sub");
        fs::copy_file(home_ / "data.bin", home_ / "sub" / "data.bin");
        fs::create_directory_symlink(home_ / "sub", entry_ / "sub");
        EXPECT_EQ(check_cache_entry(paths_.entry), CacheEntryState::Damaged);
        // The entry itself open to others, or a link, is not the user's private directory.
        fs::remove(entry_ / "sub");
        fs::rename(home_ / "sub", entry_ / "sub");
        EXPECT_EQ(check_cache_entry(paths_.entry), CacheEntryState::Valid);
        fs::permissions(entry_, fs::perms::group_read, fs::perm_options::add);
        EXPECT_EQ(check_cache_entry(paths_.entry), CacheEntryState::Foreign);
        fs::permissions(entry_, fs::perms::group_read, fs::perm_options::remove);
        fs::rename(entry_, home_ / "real");
        fs::create_directory_symlink(home_ / "real", entry_);
        EXPECT_EQ(check_cache_entry(paths_.entry), CacheEntryState::Foreign);
    }
}

TEST_F(CacheTest, RecordedTimesAreComparedToTheSecond) {
    // Times for both files: the first in the past, the second 0 (not compared... it is 1970).
    std::vector<uint8_t> record(EXTRAS_MAGIC, EXTRAS_MAGIC + 8);
    unit::put_u64(record, 16 + 12 + 8 + 24);
    unit::put_u32(record, EXTRAS_TAG_FILE_TIMES);
    unit::put_u64(record, 8 + 24);
    unit::put_u64(record, 2);
    unit::put_u64(record, 1600000000);
    unit::put_u32(record, 5);
    unit::put_u64(record, 1600000001);
    unit::put_u32(record, 0);
    set_attached_extras(record.data(), record.size());
    publish();
    EXPECT_EQ(check_cache_entry(paths_.entry), CacheEntryState::Valid);
    // Rewritten with the same bytes: its time is now, not the one recorded.
    unit::write_file(entry_ / "main.bin", "main");
    EXPECT_EQ(check_cache_entry(paths_.entry), CacheEntryState::Damaged);
}

// A start whose cache cannot be used: the application still starts (here a child that the test
// platform makes up, with status 9), from a temporary directory that is removed again; the cache
// root keeps no staging directory; standard error has one line starting with `message`.
void expect_fallback(const std::vector<uint8_t>& blob, const std::vector<uint8_t>& record, const std::string& message,
                     const fs::path& root, const fs::path& temp) {
    EXPECT_EXIT(
        {
            tp::fakes().child_exit_status = 9;
            unit::EnvGuard parent("VARNOK_ONEFILE_PARENT");
            unset_bridged_env("VARNOK_ONEFILE_PARENT");
            exit(run_launcher(blob.data(), blob.size(), record.data(), record.size()));
        },
        ::testing::ExitedWithCode(9),
        unit::output_satisfies(
            [message](const std::string& err) {
                const std::string text = unit::without_carriage_returns(err);
                return text.rfind(message, 0) == 0 && text.find('\n') == text.size() - 1;
            },
            "one line starting with \"" + message + "\""));
    std::error_code error;
    for (const auto& left : fs::directory_iterator(root, error)) {
        EXPECT_NE(left.path().filename().string()[0], '.') << "staging left: " << left.path();
    }
    EXPECT_EQ(unit::list_tree(temp), std::vector<std::wstring>{});
}

TEST_F(CacheTest, AFullDiskWhileUnpackingFallsBackToATemporaryDirectory) {
    // The first file takes one write; the second file's first chunk finds the disk full.
    tp::fail(Op::WriteFile, 2, LINUX ? 28 : 112);
    expect_fallback(blob_, record_, "Warning, couldn't use cache directory '" + root_.string() + "' ([Error ", root_,
                    temp_);
    EXPECT_FALSE(unit::exists_or_is_link(entry_));
}

TEST_F(CacheTest, AReadOnlyCacheRootFallsBackToATemporaryDirectory) {
    // Linux creates the staging directory when it claims it; Windows creates it with its first file.
    if (LINUX) {
        tp::fail(Op::ClaimTarget, 1, 30);
    } else {
        tp::fail(Op::CreateOutputFile, 1, 19);
    }
    expect_fallback(blob_, record_, "Warning, couldn't use cache directory '", root_, temp_);
    EXPECT_FALSE(unit::exists_or_is_link(entry_));
}

TEST_F(CacheTest, ARootThatCannotBeCreatedFallsBackBeforeUnpacking) {
    tp::fail(Op::PrivateDirectory, 1, 13, true);
    expect_fallback(blob_, record_, "Warning, couldn't use cache directory '" + root_.string() + "' ([Error 13] ",
                    root_, temp_);
    EXPECT_EQ(tp::calls(Op::RenameDirectory), 0);
}

TEST_F(CacheTest, ARootThatIsNotADirectoryOfTheUsersIsRefused) {
    unit::write_file(root_, "a file where the cache root goes\n");
    expect_fallback(blob_, record_,
                    "Warning, cache directory '" + root_.string() +
                        "' is not the user's own private directory; unpacking to a temporary directory instead.",
                    root_.parent_path() / "none", temp_);
    EXPECT_EQ(unit::read_file(root_), "a file where the cache root goes\n");
}

TEST_F(CacheTest, AFailedPublishRemovesTheStagingDirectoryAndFallsBack) {
    tp::fail(Op::RenameDirectory, 1, 5);
    expect_fallback(blob_, record_, "Warning, couldn't use cache directory '" + entry_.string() + "' ([Error 5] ",
                    root_, temp_);
    EXPECT_FALSE(unit::exists_or_is_link(entry_));
}

TEST_F(CacheTest, ASweepRemovesOtherVersionsUnusedForThirtyDaysAndAbandonedStaging) {
    publish();
    const std::wstring stem = std::wstring(paths_.entry_name).substr(0, paths_.executable_name_length + 1);
    const auto plant = [&](const std::wstring& name, int64_t seconds) {
        const fs::path directory = root_ / unit::path_of(name);
        fs::create_directories(directory / "d");
        unit::write_file(directory / "f", "old");
        fs::permissions(directory, fs::perms::owner_all);
        EXPECT_TRUE(tp::set_age(unit::wide(directory), seconds));
        return directory;
    };
    const int64_t day = 24 * 3600;
    const fs::path old_version = plant(stem + L"0000000000000000", 30 * day + 60);
    const fs::path recent_version = plant(stem + L"1111111111111111", 30 * day - 60);
    const fs::path other_program = plant(L"other-2222222222222222", 90 * day);
    const fs::path left_staging = plant(L"." + stem + L"3333333333333333.1-AAAAAAAAAAA", 60);
    const fs::path young_staging = plant(L"." + stem + L"4444444444444444.1-AAAAAAAAAAA", 0);
    const fs::path unlike = plant(stem + L"5555", 90 * day);
    EXPECT_TRUE(tp::set_age(paths_.entry, 90 * day));

    sweep_cache_root(paths_);
    EXPECT_FALSE(unit::exists_or_is_link(old_version));
    EXPECT_FALSE(unit::exists_or_is_link(left_staging));
    for (const fs::path& kept : {recent_version, other_program, young_staging, unlike}) {
        EXPECT_EQ(unit::read_file(kept / "f"), "old") << kept;
    }
    EXPECT_EQ(unit::read_file(entry_ / "main.bin"), "main");
}

}  // namespace
