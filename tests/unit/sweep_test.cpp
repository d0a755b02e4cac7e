// Directories that earlier runs left behind are removed by a later run; a live run's never are.
#include <gtest/gtest.h>

#include <chrono>
#include <cwchar>
#include <string>
#include <vector>

#include "child/sweep.h"
#include "common/state.h"
#include "platform/platform.h"
#include "test_platform.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
namespace tp = test_platform;

TEST(RunDirectoryName, Classifies) {
    const struct {
        const wchar_t* name;
        bool run;
    } cases[] = {
        {L"onefile_1234_000042_Ab0-_zZ9xYq", true},
        {L"onefile_1_999999_AAAAAAAAAAA", true},
        {L"onefile_1234_000042_Ab0-_zZ9xY", false},
        {L"onefile_1234_000042_Ab0-_zZ9xYqq", false},
        {L"onefile_1234_00042_Ab0-_zZ9xYq", false},
        {L"onefile__000042_Ab0-_zZ9xYq", false},
        {L"onefile_12a4_000042_Ab0-_zZ9xYq", false},
        {L"onefile_1234_000042_Ab0-_zZ9x.q", false},
        {L"Onefile_1234_000042_Ab0-_zZ9xYq", false},
        {L"onefile_12345678901_000042_Ab0-_zZ9xYq", false},
        {L"xonefile_1234_000042_Ab0-_zZ9xYq", false},
        {L"onefile_1234_000042_", false},
        {L"ofu-1234", false},
    };
    for (const auto& c : cases) EXPECT_EQ(is_run_directory_name(c.name), c.run) << unit::path_of(c.name).string();
}

class Sweep : public ::testing::Test {
protected:
    void SetUp() override {
        temp_ = unit::test_path("temp");
        fs::create_directories(temp_);
        tp::fakes().temp_path = unit::wide(temp_);
        g_state.target_directory[0] = L'\0';
    }
    void TearDown() override { platform_unmark_target_directory(); }

    // A run directory with a file in it, last changed `age` ago.
    fs::path make_run_directory(const std::string& name, std::chrono::seconds age) {
        const fs::path directory = temp_ / name;
        fs::create_directories(directory / "sub");
        unit::write_file(directory / "sub" / "file", "left behind");
        EXPECT_TRUE(tp::set_age(unit::wide(directory), age.count())) << name;
        return directory;
    }

    fs::path temp_;
};

TEST_F(Sweep, AbandonedDirectoriesGoOthersStay) {
    const auto old = std::chrono::seconds(120);
    const fs::path abandoned = make_run_directory("onefile_11_000001_AAAAAAAAAAA", old);
    const fs::path abandoned_too = make_run_directory("onefile_22_123456_Ab0-_zZ9xYq", old);
    // Just made: its run may not have marked it yet.
    const fs::path young = make_run_directory("onefile_33_000001_BBBBBBBBBBB", std::chrono::seconds(0));
    // Not our names.
    const fs::path other = make_run_directory("onefile_44_000001_CCCC", old);
    const fs::path unrelated = make_run_directory("keep-me", old);
    // This run's own directory.
    const fs::path own = make_run_directory("onefile_55_000001_DDDDDDDDDDD", old);
    unit::set_target_directory(own);
    // A live run's: it holds the mark.
    const fs::path live = make_run_directory("onefile_66_000001_EEEEEEEEEEE", old);
    platform_mark_target_directory(unit::wide(live).c_str());

    sweep_abandoned_directories();

    EXPECT_FALSE(unit::exists_or_is_link(abandoned));
    EXPECT_FALSE(unit::exists_or_is_link(abandoned_too));
    for (const fs::path& kept : {young, other, unrelated, own, live}) {
        EXPECT_EQ(unit::read_file(kept / "sub" / "file"), "left behind") << kept.string();
    }

    // Once the live run has ended, its directory goes too.
    platform_unmark_target_directory();
    ASSERT_TRUE(tp::set_age(unit::wide(live), old.count()));
    sweep_abandoned_directories();
    EXPECT_FALSE(unit::exists_or_is_link(live));
}

}  // namespace
