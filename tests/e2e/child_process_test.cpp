// The child process: its exit status becomes the launcher's, its arguments and environment arrive
// as the parent received and published them, and a main binary that cannot run is reported.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

// "%X" of every code point, separated by blanks: what the fixture's "args" mode prints.
std::string code_points(const std::string& utf8) {
    const std::u16string units = utf16(utf8);
    std::string out;
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t cp = units[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units.size()) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
            ++i;
        }
        char hex[16];
        snprintf(hex, sizeof hex, "%s%X", out.empty() ? "" : " ", cp);
        out += hex;
    }
    return out;
}

bool all_digits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return isdigit(c) != 0; });
}

class ChildProcess : public TargetTest {
protected:
    const fs::path& exe() { return packed_fixture(target()); }
    // The launcher's module path as the child receives it in argument 0.
    std::string module_path() {
        return target() == Target::Linux ? fs::canonical(exe()).string() : windows_path(exe());
    }
};

class ChildExitStatus : public ::testing::TestWithParam<std::tuple<Target, int>> {
protected:
    void SetUp() override {
        if (!target_available(std::get<0>(GetParam()))) GTEST_SKIP() << "build missing";
    }
};

TEST_P(ChildExitStatus, BecomesTheLaunchersStatusAndTheTargetDirectoryGoes) {
    const auto [target, status] = GetParam();
    const auto before = target_directories(target);
    const RunResult result = run(target, packed_fixture(target), with_arguments({"exit", std::to_string(status)}));
    EXPECT_EQ(result.status, status) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(new_target_directories(target, before), std::vector<fs::path>{});
}

INSTANTIATE_TEST_SUITE_P(Statuses, ChildExitStatus,
                         ::testing::Combine(::testing::Values(Target::Linux, Target::Windows),
                                            ::testing::Values(0, 1, 3, 7, 128, 255)),
                         [](const auto& info) {
                             return target_name(std::get<0>(info.param)) + "_" +
                                    std::to_string(std::get<1>(info.param));
                         });

// Wine hands a Linux caller only 8 bits of a status; the driver asks from inside Wine.
TEST(WindowsChildExitStatus, FullThirtyTwoBitsReachTheCaller) {
    if (!target_available(Target::Windows)) GTEST_SKIP() << "windows build missing";
    const fs::path driver = fixture_path(Target::Windows, "fixture_app").parent_path() / "status_driver.exe";
    ASSERT_TRUE(fs::exists(driver)) << "build the windows preset's status_driver";
    const std::string exe = windows_path(packed_fixture(Target::Windows));
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"exit", "0xC0000005"}, "status=0xC0000005"},
        {{"exit", "256"}, "status=0x00000100"},
        {{"exit", "0x12345678"}, "status=0x12345678"},
        {{"crash"}, "status=0xC0000005"},
    };
    for (const auto& [arguments, expected] : cases) {
        SCOPED_TRACE(arguments[0] + (arguments.size() > 1 ? " " + arguments[1] : ""));
        std::vector<std::string> driver_arguments{exe};
        driver_arguments.insert(driver_arguments.end(), arguments.begin(), arguments.end());
        const RunResult result = run(Target::Windows, driver, with_arguments(driver_arguments));
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(output_lines(result.out), std::vector<std::string>{expected}) << result.err;
    }
}

// The child's line starts with the module path where the parent's may start with anything. The
// launcher's line holds at most 32767 code units and is never cut: a longer one starts no child.
// (The system's own limit counts the terminator too, so a line of exactly 32767 units is left out:
// Wine cuts its last unit, Windows refuses it.)
TEST(WindowsChildCommandLine, LongLineArrivesWholeAndATooLongOneStartsNoChild) {
    if (!target_available(Target::Windows)) GTEST_SKIP() << "windows build missing";
    const fs::path driver = fixture_path(Target::Windows, "fixture_app").parent_path() / "status_driver.exe";
    ASSERT_TRUE(fs::exists(driver)) << "build the windows preset's status_driver";
    const std::string exe = windows_path(packed_fixture(Target::Windows));
    // "<module path> args <N letters>" of 32766 code units.
    const size_t fitting = 32766 - exe.size() - std::string(" args ").size();

    const auto before = target_directories(Target::Windows);
    const RunResult fits = run(Target::Windows, driver,
                               with_arguments({"--argv0", "a", "--long", std::to_string(fitting), exe, "args"}));
    EXPECT_EQ(fits.status, 0) << fits.err;
    EXPECT_EQ(fits.err, "");
    const auto lines = output_lines(fits.out);
    ASSERT_EQ(lines.size(), 5u) << fits.out.substr(0, 300);
    EXPECT_EQ(lines[0], "argc=3");
    EXPECT_EQ(lines[1], "arg0=" + code_points(exe));
    // Compared as a whole but not printed: the line is 100 kB long.
    const std::string expected_long = "arg2=" + code_points(std::string(fitting, 'y'));
    EXPECT_TRUE(lines[3] == expected_long) << "argument 2 has " << (lines[3].size() - 4) / 3 << " of " << fitting
                                           << " letters";
    EXPECT_EQ(lines[4], "status=0x00000000");
    EXPECT_EQ(new_target_directories(Target::Windows, before), std::vector<fs::path>{});

    const RunResult beyond = run(Target::Windows, driver,
                                 with_arguments({"--argv0", "a", "--long", std::to_string(fitting + 2), exe, "args"}));
    // A plain message, on standard output like the others (the driver's own line follows it).
    EXPECT_EQ(beyond.out, "Error, child command line too long.\r\nstatus=0x00000002\r\n");
    EXPECT_EQ(beyond.err, "");
    // Like every reported failure, this one runs no cleanup: the unpacked files stay.
    const auto left = new_target_directories(Target::Windows, before);
    EXPECT_EQ(left.size(), 1u);
    for (const auto& directory : left) remove_left_directory(directory);
}

TEST(LinuxChildExitStatus, ChildKilledBySignalGives128PlusTheSignal) {
    if (!target_available(Target::Linux)) GTEST_SKIP() << "linux build missing";
    const auto before = target_directories(Target::Linux);
    const RunResult result = run(Target::Linux, packed_fixture(Target::Linux), with_arguments({"crash"}));
    EXPECT_EQ(result.status, 128 + 11);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(new_target_directories(Target::Linux, before), std::vector<fs::path>{});
}

// Started with standard input, output and error closed, the launcher works the same: messages
// are lost, statuses are not. (Under Wine a program whose output descriptor is closed loses its
// exit status after writing, so this is checked on Linux.)
TEST(LinuxWithoutStandardHandles, StatusesSurviveAndNothingIsLeft) {
    if (!target_available(Target::Linux)) GTEST_SKIP() << "linux build missing";
    ScratchDir scratch;
    ASSERT_NO_FATAL_FAILURE(pack_raw(Target::Linux, attached_bytes(1, 0, "", ""), scratch / "damaged.exe"));
    const std::vector<std::pair<std::vector<std::string>, int>> cases = {
        {{packed_fixture(Target::Linux).string(), "exit", "7"}, 7},
        {{packed_fixture(Target::Linux).string(), "env"}, 0},
        {{(scratch / "damaged.exe").string()}, 2},
    };
    for (const auto& [command, status] : cases) {
        SCOPED_TRACE(command.back());
        const auto before = target_directories(Target::Linux);
        std::vector<std::string> argv = {"env", "TMPDIR=" + launcher_temp_dir(Target::Linux).string(), "sh", "-c",
                                         "exec \"$0\" \"$@\" <&- >&- 2>&-"};
        argv.insert(argv.end(), command.begin(), command.end());
        const RunResult result = run_command(argv);
        EXPECT_EQ(result.status, status);
        EXPECT_EQ(result.out + result.err, "");
        EXPECT_EQ(new_target_directories(Target::Linux, before), std::vector<fs::path>{});
    }
}

// The packer refuses such main binaries, so the attached data is made here: the launcher must still
// report them when they come from elsewhere.
TEST_P(ChildProcess, MainBinaryWithoutEntryPointIsReported) {
    ScratchDir scratch;
    const std::string main = library_name(target(), "fixture_no_entry");
    ASSERT_NO_FATAL_FAILURE(pack_raw(
        target(), attached_for({{FLAG_LAST, utf16(main), read_file(fixture_path(target(), "fixture_no_entry"))}}),
        scratch / "app.exe"));
    const auto before = target_directories(target());
    const RunResult result = run(target(), scratch / "app.exe");
    expect_plain_failure(result, "Error, DLL entry point not found.", target());
    EXPECT_EQ(new_target_directories(target(), before), std::vector<fs::path>{});
}

void expect_load_error(Target target, const RunResult& result) {
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err.rfind("Error, load DLL. ([Error ", 0), 0u) << result.err;
    const std::string end = ")" + eol(target);
    ASSERT_GE(result.err.size(), end.size());
    EXPECT_EQ(result.err.substr(result.err.size() - end.size()), end) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
}

TEST_P(ChildProcess, MainBinaryThatIsNoLibraryIsReported) {
    ScratchDir scratch;
    const std::string main = library_name(target(), "garbage");
    ASSERT_NO_FATAL_FAILURE(
        pack_raw(target(), attached_for({{FLAG_LAST, utf16(main), "this is text, not a library\n"}}), scratch / "app.exe"));
    const auto before = target_directories(target());
    const RunResult result = run(target(), scratch / "app.exe");
    expect_load_error(target(), result);
    EXPECT_EQ(new_target_directories(target(), before), std::vector<fs::path>{});
}

TEST_P(ChildProcess, LibraryUnpackedBesideTheMainBinaryIsFound) {
    const RunResult result = run(target(), exe(), with_arguments({"helper"}));
    EXPECT_EQ(result.status, 42) << result.err;
}

// Only the target directory (and the system's) is searched for the main binary's libraries: one
// lying beside the launcher or in the working directory is not used.
TEST_P(ChildProcess, LibraryOnlyBesideTheLauncherIsNotFound) {
    ScratchDir scratch;
    const std::string main = library_name(target(), "fixture_app");
    fs::create_directories(scratch / "app");
    fs::copy_file(fixture_path(target(), "fixture_app"), scratch / "app" / main);
    ASSERT_NO_FATAL_FAILURE(pack(target(), scratch / "app", main, scratch / "app.exe"));
    fs::copy_file(fixture_path(target(), "fixture_helper"), scratch / library_name(target(), "fixture_helper"));
    RunOptions options = with_arguments({"helper"});
    options.working_directory = scratch.path();
    const RunResult result = run(target(), scratch / "app.exe", options);
    expect_load_error(target(), result);
}

TEST_P(ChildProcess, ArgumentsArriveUnchangedExceptArgumentZero) {
    const std::vector<std::string> arguments = {
        "args",
        "plain",
        "with space",
        "  leading and trailing blanks  ",
        "tab\there",
        "line\nfeed",
        "vertical\vtab",
        "carriage\rreturn",
        "quote\"inside",
        "\"",
        "\"\"",
        "\"quoted\"",
        "back\\slash",
        "two\\\\\"before a quote",
        "three\\\\\\\"before a quote",
        "ends in one with space\\",
        "endsintwo\\\\",
        "ends in two with space\\\\",
        "\\\\server\\share\\",
        "",
        "between empties",
        "",
        "\xC3\xA9",
        "\xE6\x97\xA5\xE6\x9C\xAC",
        "\xF0\x9F\x98\x80",
        "mixed \xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80 \"\\",
        "--flag=value with space",
        "",
    };
    const RunResult result = run(target(), exe(), with_arguments(arguments));
    ASSERT_EQ(result.status, 0) << result.err;
    std::vector<std::string> expected{"argc=" + std::to_string(arguments.size() + 1),
                                      "arg0=" + code_points(module_path())};
    for (size_t i = 0; i < arguments.size(); ++i) {
        expected.push_back("arg" + std::to_string(i + 1) + "=" + code_points(arguments[i]));
    }
    EXPECT_EQ(output_lines(result.out), expected);
}

TEST_P(ChildProcess, ChildSeesTheProtocolVariablesAndTheLaunchersWorkingDirectory) {
    ScratchDir scratch;
    const fs::path working = scratch / "working dir";
    fs::create_directories(working);
    // Started by a relative path, so argument 0 as given differs from the module path.
    const fs::path relative_exe = fs::relative(exe(), working);
    RunOptions options = with_arguments({"env"});
    options.working_directory = working;
    const auto before = target_directories(target());
    auto launcher = start(target(), relative_exe, options);
    ASSERT_NE(launcher, nullptr);
    const RunResult result = launcher->finish(60000);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    auto values = key_values(result.out);

    const std::string parent = values["VARNOK_ONEFILE_PARENT"];
    EXPECT_TRUE(all_digits(parent)) << parent;
    if (target() == Target::Linux) {
        EXPECT_EQ(parent, std::to_string(launcher->pid()));
    }
    const std::string time_us = values["VARNOK_ONEFILE_TIME_US"];
    const std::string random = values["VARNOK_ONEFILE_RANDOM"];
    EXPECT_TRUE(all_digits(time_us)) << time_us;
    EXPECT_FALSE(random.empty());
    EXPECT_EQ(values["VARNOK_ONEFILE_START"], "<unset>");

    if (target() == Target::Linux) {
        EXPECT_EQ(values["VARNOK_ONEFILE_DIRECTORY"], fs::canonical(exe()).parent_path().string());
        EXPECT_EQ(values["VARNOK_ORIGINAL_ARGV0"], relative_exe.string());
        EXPECT_EQ(values["cwd"], fs::canonical(working).string());
    } else {
        EXPECT_TRUE(names_host_path(values["VARNOK_ONEFILE_DIRECTORY"], exe().parent_path()));
        // Wine hands the program its own spelling of the path it was started by.
        EXPECT_TRUE(names_host_path(values["VARNOK_ORIGINAL_ARGV0"], exe()));
        EXPECT_EQ(values["cwd"], windows_path(working));
    }

    // The main binary lies in the target directory "onefile_{PID}_{TIME_US}_{RANDOM}" below the
    // temporary directory, and that directory is gone after the run.
    const fs::path main = host_path(target(), values["main"]);
    EXPECT_EQ(main.filename().string(), library_name(target(), "fixture_app"));
    EXPECT_EQ(main.parent_path().filename().string(), "onefile_" + parent + "_" + time_us + "_" + random);
    std::error_code error;
    EXPECT_TRUE(fs::equivalent(main.parent_path().parent_path(), launcher_temp_dir(target()), error))
        << main.parent_path().parent_path();
    EXPECT_FALSE(fs::exists(main.parent_path()));
    EXPECT_EQ(new_target_directories(target(), before), std::vector<fs::path>{});
}

// The launcher recognises its child, and the child its parent, wherever the executable lies and
// however it was started.
TEST_P(ChildProcess, LauncherInADirectoryWithBlanksAndNonAsciiLetters) {
    ScratchDir scratch;
    const fs::path directory = scratch / "dir with blanks \xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC";
    fs::create_directories(directory);
    const fs::path copy = directory / "app name.exe";
    fs::copy_file(exe(), copy);
    const RunResult args = run(target(), copy, with_arguments({"args", "x y"}));
    ASSERT_EQ(args.status, 0) << args.err;
    const std::string module = target() == Target::Linux ? fs::canonical(copy).string() : windows_path(copy);
    EXPECT_EQ(output_lines(args.out),
              (std::vector<std::string>{"argc=3", "arg0=" + code_points(module), "arg1=" + code_points("args"),
                                        "arg2=" + code_points("x y")}));
    const RunResult env = run(target(), copy, with_arguments({"env"}));
    ASSERT_EQ(env.status, 0) << env.err;
    auto values = key_values(env.out);
    if (target() == Target::Linux) {
        EXPECT_EQ(values["VARNOK_ONEFILE_DIRECTORY"], fs::canonical(directory).string());
    } else {
        EXPECT_TRUE(names_host_path(values["VARNOK_ONEFILE_DIRECTORY"], directory));
    }
}

TEST_P(ChildProcess, LauncherStartedThroughALink) {
    ScratchDir scratch;
    fs::create_directories(scratch / "real");
    fs::copy_file(exe(), scratch / "real" / "app.exe");
    fs::create_directory_symlink(scratch / "real", scratch / "linked dir");
    const fs::path through_link = scratch / "linked dir" / "app.exe";
    auto launcher = start(target(), through_link, with_arguments({"env"}));
    ASSERT_NE(launcher, nullptr);
    const RunResult result = launcher->finish(60000);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    auto values = key_values(result.out);
    EXPECT_EQ(output_lines(result.out).size(), 8u) << result.out;
    // A child that took itself for a parent would have started a child of its own.
    if (target() == Target::Linux) {
        EXPECT_EQ(values["VARNOK_ONEFILE_PARENT"], std::to_string(launcher->pid()));
        EXPECT_EQ(values["VARNOK_ORIGINAL_ARGV0"], through_link.string());
    }
}

TEST_P(ChildProcess, EachRunGetsATargetDirectoryOfItsOwn) {
    const RunResult first = run(target(), exe(), with_arguments({"env"}));
    const RunResult second = run(target(), exe(), with_arguments({"env"}));
    ASSERT_EQ(first.status, 0);
    ASSERT_EQ(second.status, 0);
    EXPECT_NE(key_values(first.out)["main"], key_values(second.out)["main"]);
    EXPECT_NE(key_values(first.out)["VARNOK_ONEFILE_RANDOM"], key_values(second.out)["VARNOK_ONEFILE_RANDOM"]);
}

INSTANTIATE_TEST_SUITE_P(Targets, ChildProcess, ::testing::Values(Target::Linux, Target::Windows), target_param_name);

}  // namespace
}  // namespace e2e
