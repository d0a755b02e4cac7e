// Unpacked files carry the modification times they had when packed, on both targets.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <string>

#include "harness.h"

namespace e2e {
namespace {

void set_time(const fs::path& path, long long seconds, long nanoseconds) {
    timespec times[2];
    times[0].tv_sec = seconds;
    times[0].tv_nsec = nanoseconds;
    times[1] = times[0];
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// The "times" lines of the fixture for the data files only.
std::map<std::string, std::string> data_times(const std::string& out) {
    std::map<std::string, std::string> times;
    for (const std::string& line : output_lines(out)) {
        const size_t space = line.rfind(' ');
        if (space != std::string::npos && line.rfind("data", 0) == 0)
            times[line.substr(0, space)] = line.substr(space + 1);
    }
    return times;
}

class FileTimes : public TargetTest {};

TEST_P(FileTimes, UnpackedFilesKeepTheirTimes) {
    ScratchDir scratch;
    const fs::path app = scratch / "app";
    make_fixture_app(target(), app);
    write_file(app / "data" / "module.py", "print('hello')\n");
    write_file(app / "data" / "sub" / "old.txt", "from the sixties\n");
    write_file(app / "data" / "round.txt", "whole seconds\n");
    // A sub-second part that both systems keep (a multiple of 100 ns), a time before 1970, and
    // one without a fraction.
    set_time(app / "data" / "module.py", 1700000000, 123456700);
    set_time(app / "data" / "sub" / "old.txt", -157766400, 500000000);
    set_time(app / "data" / "round.txt", 1600000000, 0);
    const fs::path executable = scratch / (target() == Target::Windows ? "packed.exe" : "packed");
    pack(target(), app, library_name(target(), "fixture_app"), executable);

    const RunResult result = run(target(), executable, with_arguments({"times"}));
    ASSERT_EQ(result.status, 0) << result.err;
    const std::map<std::string, std::string> expected = {
        {"data/module.py", "1700000000.123456700"},
        {"data/round.txt", "1600000000.000000000"},
        {"data/sub/old.txt", "-157766400.500000000"},
    };
    EXPECT_EQ(data_times(result.out), expected) << result.out;

    // Without the times, the files have the time they were unpacked.
    const fs::path plain = scratch / (target() == Target::Windows ? "plain.exe" : "plain");
    pack(target(), app, library_name(target(), "fixture_app"), plain, {"--no-times"});
    const RunResult now = run(target(), plain, with_arguments({"times"}));
    ASSERT_EQ(now.status, 0) << now.err;
    const std::map<std::string, std::string> unpacked = data_times(now.out);
    ASSERT_EQ(unpacked.size(), 3u);
    for (const auto& [name, time] : unpacked) EXPECT_GT(std::stoll(time), 1700000000LL) << name;
}

INSTANTIATE_TEST_SUITE_P(Targets, FileTimes, ::testing::Values(Target::Linux, Target::Windows), target_param_name);

}  // namespace
}  // namespace e2e
