// What killed runs leave behind is removed by later runs; a live run's directory never is, however
// many runs start beside it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <ctime>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

// Makes a directory look unchanged for `seconds` (its last change time is what marks a directory
// too young to be taken for abandoned).
void age(const fs::path& path, int seconds) {
    timespec times[2];
    times[0].tv_sec = time(nullptr) - seconds;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

fs::path make_left_directory(Target target, const std::string& name, int seconds) {
    const fs::path directory = launcher_temp_dir(target) / name;
    write_file(directory / "sub" / "file.txt", "left behind\n");
    age(directory, seconds);
    return directory;
}

class Sweep : public TargetTest {};

TEST_P(Sweep, LaterRunsRemoveLeftoversAndNeverALiveRun) {
    const auto before = target_directories(target());
    const fs::path abandoned = make_left_directory(target(), "onefile_999999_000001_AAAAAAAAAAA", 120);
    const fs::path young = make_left_directory(target(), "onefile_999998_000001_BBBBBBBBBBB", 0);
    const fs::path unlike = make_left_directory(target(), "onefile_999997_000001_CC", 120);

    // A live run, its child asleep.
    auto live = start(target(), packed_fixture(target()), with_arguments({"sleep", "60000"}));
    ASSERT_NE(live, nullptr);
    ASSERT_TRUE(live->wait_for_stdout("sleeping", 30000)) << live->out_so_far();
    std::vector<fs::path> running = new_target_directories(target(), before);
    std::erase_if(running, [&](const fs::path& p) { return p == abandoned || p == young || p == unlike; });
    ASSERT_EQ(running.size(), 1u);
    // Old enough to be taken if its mark were not honoured.
    age(running[0], 120);

    for (int i = 0; i < 20; ++i) {
        // Changed just now before every run, however long the runs take: too young to be taken.
        age(young, 0);
        const RunResult result = run(target(), packed_fixture(target()), with_arguments({"exit", "0"}));
        ASSERT_EQ(result.status, 0) << result.err;
        ASSERT_TRUE(fs::exists(running[0] / library_name(target(), "fixture_app"))) << "run " << i;
    }
    EXPECT_FALSE(fs::exists(abandoned));
    EXPECT_EQ(read_file(young / "sub" / "file.txt"), "left behind\n");
    EXPECT_EQ(read_file(unlike / "sub" / "file.txt"), "left behind\n");

    // A hard kill of the live parent: its child ends with it, the directory stays behind, and the
    // next run removes it.
    ASSERT_EQ(kill(live->pid(), SIGKILL), 0);
    const RunResult killed = live->finish(15000);
    EXPECT_FALSE(killed.timed_out) << "the child outlived its parent";
    ASSERT_TRUE(fs::exists(running[0]));
    age(running[0], 120);
    const RunResult next = run(target(), packed_fixture(target()), with_arguments({"exit", "0"}));
    ASSERT_EQ(next.status, 0) << next.err;
    EXPECT_FALSE(fs::exists(running[0]));

    remove_left_directory(young);
    remove_left_directory(unlike);
    EXPECT_EQ(new_target_directories(target(), before), std::vector<fs::path>{});
}

INSTANTIATE_TEST_SUITE_P(Targets, Sweep, ::testing::Values(Target::Linux, Target::Windows), target_param_name);

}  // namespace
}  // namespace e2e
