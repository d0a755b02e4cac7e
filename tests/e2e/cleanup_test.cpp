// The parent leaves nothing behind: after a normal end, after the application's own mischief, and
// when it is told to stop while the child runs.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

long long elapsed_ms(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

class Cleanup : public TargetTest {};

TEST_P(Cleanup, NormalEndRemovesTheTargetDirectory) {
    const auto before = target_directories(target());
    const RunResult result = run(target(), packed_fixture(target()), with_arguments({"env"}));
    ASSERT_EQ(result.status, 0) << result.err;
    const fs::path main = host_path(target(), key_values(result.out)["main"]);
    EXPECT_EQ(main.filename().string(), library_name(target(), "fixture_app"));
    EXPECT_FALSE(fs::exists(main.parent_path())) << main.parent_path();
    EXPECT_EQ(new_target_directories(target(), before), std::vector<fs::path>{});
}

// Windows refuses to delete a read-only file: the launcher tries 20 times, 100 ms apart, then
// gives up without a word and keeps the child's status. Linux deletes such a file like any other.
TEST_P(Cleanup, ReadOnlyFileLeftByTheApplication) {
    const auto before = target_directories(target());
    const auto started = Clock::now();
    const RunResult result = run(target(), packed_fixture(target()), with_arguments({"readonly"}));
    const long long took = elapsed_ms(started);
    EXPECT_EQ(result.status, 5);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    const auto left = new_target_directories(target(), before);
    if (target() == Target::Windows) {
        ASSERT_EQ(left.size(), 1u);
        EXPECT_EQ(files_below(left[0]), std::vector<std::string>{"left-read-only.txt"});
        EXPECT_GE(took, 1900);
    } else {
        EXPECT_EQ(left, std::vector<fs::path>{});
    }
    for (const auto& directory : left) remove_left_directory(directory);
}

INSTANTIATE_TEST_SUITE_P(Targets, Cleanup, ::testing::Values(Target::Linux, Target::Windows), target_param_name);

class LinuxCleanup : public ::testing::Test {
protected:
    void SetUp() override {
        if (!target_available(Target::Linux)) GTEST_SKIP() << "linux build missing";
    }
};

// Removing the target directory removes a link inside it, never what the link points to.
TEST_F(LinuxCleanup, LinkToAnOutsideDirectoryIsRemovedAndItsTargetKept) {
    ScratchDir scratch;
    const fs::path outside = scratch / "outside";
    write_file(outside / "keep.txt", "keep me\n");
    write_file(outside / "sub" / "keep-too.txt", "keep me too\n");
    const auto before = target_directories(Target::Linux);
    const RunResult result =
        run(Target::Linux, packed_fixture(Target::Linux), with_arguments({"link", outside.string()}));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "link=made\n");
    EXPECT_EQ(read_file(outside / "keep.txt"), "keep me\n");
    EXPECT_EQ(read_file(outside / "sub" / "keep-too.txt"), "keep me too\n");
    EXPECT_EQ(files_below(outside), (std::vector<std::string>{"keep.txt", "sub/keep-too.txt"}));
    EXPECT_EQ(new_target_directories(Target::Linux, before), std::vector<fs::path>{});
}

struct StopCase {
    const char* name;
    int signal_number;
    const char* mode;
    // The shortest and longest time from the signal to the end: a child that ignores the signal
    // gets five seconds before it is killed.
    long long min_ms;
    long long max_ms;
    // When above 0, the parent is held this long right after starting its child (before it can
    // have recorded it), and the signal arrives in that moment.
    int spawn_delay_ms = 0;
};
void PrintTo(const StopCase& stop, std::ostream* out) { *out << stop.name; }

class LinuxStop : public ::testing::TestWithParam<StopCase> {
protected:
    void SetUp() override {
        if (!target_available(Target::Linux)) GTEST_SKIP() << "linux build missing";
    }
};

// A signal sent to the parent alone ends the child, removes the target directory and ends the
// parent by the same signal.
TEST_P(LinuxStop, SignalToTheParentEndsBothAndRemovesTheTargetDirectory) {
    const StopCase& stop = GetParam();
    const auto before = target_directories(Target::Linux);
    RunOptions options = with_arguments({stop.mode, "30000"});
    // SIGQUIT ends both with a core dump where the system writes one: into this scratch directory.
    ScratchDir working;
    options.working_directory = working.path();
    if (stop.spawn_delay_ms > 0) {
        const fs::path delay = fixture_path(Target::Linux, "fixture_spawn_delay");
        ASSERT_TRUE(fs::exists(delay)) << "build the linux preset's fixture_spawn_delay";
        options.environment["LD_PRELOAD"] = delay.string();
        options.environment["ONEFILE_TEST_SPAWN_DELAY_MS"] = std::to_string(stop.spawn_delay_ms);
    }
    auto launcher = start(Target::Linux, packed_fixture(Target::Linux), options);
    ASSERT_NE(launcher, nullptr);
    ASSERT_TRUE(launcher->wait_for_stdout("sleeping", 30000)) << launcher->out_so_far();
    const auto running = new_target_directories(Target::Linux, before);
    ASSERT_EQ(running.size(), 1u);

    const auto signalled = Clock::now();
    ASSERT_EQ(kill(launcher->pid(), stop.signal_number), 0);
    // The streams close only when the child has ended too, so a child left running shows here.
    const RunResult result = launcher->finish(static_cast<int>(stop.max_ms) + 2000);
    const long long took = elapsed_ms(signalled);

    EXPECT_EQ(launcher->own_status(), 128 + stop.signal_number);
    EXPECT_FALSE(result.timed_out) << "the child outlived the parent: the streams it inherited stayed open";
    EXPECT_EQ(result.out, "sleeping\n");
    EXPECT_EQ(result.err, "");
    EXPECT_GE(took, stop.min_ms);
    EXPECT_LE(took, stop.max_ms);
    EXPECT_FALSE(fs::exists(running[0]));
    EXPECT_EQ(new_target_directories(Target::Linux, before), std::vector<fs::path>{});
}

INSTANTIATE_TEST_SUITE_P(
    Signals, LinuxStop,
    ::testing::Values(StopCase{"Term", SIGTERM, "sleep", 0, 3000}, StopCase{"Int", SIGINT, "sleep", 0, 3000},
                      StopCase{"Hup", SIGHUP, "sleep", 0, 3000},
                      // Every other signal that ends a process by default is taken like SIGTERM.
                      StopCase{"Quit", SIGQUIT, "sleep", 0, 3000}, StopCase{"Usr1", SIGUSR1, "sleep", 0, 3000},
                      StopCase{"Usr2", SIGUSR2, "sleep", 0, 3000}, StopCase{"Alrm", SIGALRM, "sleep", 0, 3000},
                      StopCase{"Pipe", SIGPIPE, "sleep", 0, 3000},
                      StopCase{"Usr1IgnoredByTheChild", SIGUSR1, "deaf", 4500, 9000},
                      StopCase{"TermIgnoredByTheChild", SIGTERM, "stubborn", 4500, 9000},
                      StopCase{"TermRightAfterTheChildStarted", SIGTERM, "sleep", 0, 4000, 1000}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e
