// Ordinary programs packed with `onefile-pack --exec` and run through the real launcher: the
// program gets the user's arguments (argument 0 as typed), standard handles and environment, and
// its exit status, or on Linux its death by a signal, becomes the launcher's.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <csignal>
#include <regex>
#include <tuple>

#include "harness.h"

namespace e2e {
namespace {

// What the fixture's "args" mode prints for an argument: Linux bytes, Windows UTF-16 code units.
std::string units(Target target, const std::string& text) {
    std::string out;
    auto add = [&](unsigned value) {
        char hex[16];
        snprintf(hex, sizeof hex, "%s%X", out.empty() ? "" : " ", value);
        out += hex;
    };
    if (target == Target::Linux) {
        for (const char c : text) add(static_cast<unsigned char>(c));
    } else {
        for (const char16_t unit : utf16(text)) add(unit);
    }
    return out;
}

// The echo program in bin/ of an application directory with a data file beside it.
fs::path make_echo_app(Target target, const fs::path& directory) {
    const fs::path program = program_fixture_path(target, "exec_echo");
    fs::create_directories(directory / "bin");
    fs::copy_file(program, directory / "bin" / program.filename(), fs::copy_options::overwrite_existing);
    write_file(directory / "bin" / "data" / "message.txt", "found beside the program\n");
    return directory;
}

std::string echo_program(Target target) {
    return "bin/" + program_fixture_path(target, "exec_echo").filename().string();
}

class ExecProgram : public TargetTest {
protected:
    void SetUp() override {
        TargetTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(fs::exists(program_fixture_path(target(), "exec_echo"))) << "build the fixtures";
        ASSERT_NO_FATAL_FAILURE(
            pack_exec(target(), make_echo_app(target(), scratch_ / "app"), echo_program(target()), exe()));
        before_ = target_directories(target());
    }
    void TearDown() override {
        if (!IsSkipped()) {
            EXPECT_EQ(new_target_directories(target(), before_), std::vector<fs::path>{});
        }
    }
    fs::path exe() const { return scratch_ / "echo app.exe"; }

    ScratchDir scratch_;
    std::vector<fs::path> before_;
};

TEST_P(ExecProgram, ArgumentsReachTheProgramUnchanged) {
    std::vector<std::string> arguments = {
        "args",
        "plain",
        "with space",
        "  leading and trailing blanks  ",
        "tab\there",
        "quote\"inside",
        "\"",
        "\"quoted\"",
        "two\\\\\"before a quote",
        "ends in one with space\\",
        "\\\\server\\share\\",
        "",
        "between empties",
        "",
        "\xC3\xA9",
        "\xF0\x9F\x98\x80",
        "mixed \xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \"\\",
        "--flag=value with space",
    };
    // Linux arguments are bytes, and those that are not UTF-8 arrive as they were.
    if (target() == Target::Linux) arguments.push_back("\xFF\xFE not \xC3 UTF-8");
    const RunResult result = run(target(), exe(), with_arguments(arguments));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const auto lines = output_lines(result.out);
    ASSERT_EQ(lines.size(), arguments.size() + 2) << result.out;
    EXPECT_EQ(lines[0], "argc=" + std::to_string(arguments.size() + 1));
    for (size_t i = 0; i < arguments.size(); ++i) {
        EXPECT_EQ(lines[i + 2], "arg" + std::to_string(i + 1) + "=" + units(target(), arguments[i])) << i + 1;
    }
    // Argument 0 is what the launcher was started by, not the launcher's or the program's path.
    if (target() == Target::Linux) {
        EXPECT_EQ(lines[1], "arg0=" + units(target(), exe().string()));
    }
}

// Argument 0 as typed, checked where the caller chooses it freely: a Linux caller through exec -a,
// a Windows caller through the command line it gives CreateProcessW.
TEST_P(ExecProgram, ArgumentZeroIsWhatTheCallerGave) {
    const std::string typed =
        "my \xC3\xA9"
        "cho";
    RunResult result;
    if (target() == Target::Linux) {
        result = run_command({"bash", "-c", "exec -a \"$1\" \"$2\" args one", "bash", typed, exe().string()});
    } else {
        const fs::path driver = fixture_path(Target::Windows, "fixture_app").parent_path() / "status_driver.exe";
        ASSERT_TRUE(fs::exists(driver)) << "build the windows preset's status_driver";
        result = run(Target::Windows, driver, with_arguments({"--argv0", typed, windows_path(exe()), "args", "one"}));
    }
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    std::vector<std::string> expected{"argc=3", "arg0=" + units(target(), typed), "arg1=" + units(target(), "args"),
                                      "arg2=" + units(target(), "one")};
    if (target() == Target::Windows) expected.push_back("status=0x00000000");
    EXPECT_EQ(output_lines(result.out), expected);
}

TEST_P(ExecProgram, ExitStatusesPassThrough) {
    for (const char* status : {"0", "3", "42", "255"}) {
        SCOPED_TRACE(status);
        const RunResult result = run(target(), exe(), with_arguments({"exit", status}));
        EXPECT_EQ(result.status, std::stoi(status));
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
    }
}

TEST_P(ExecProgram, StandardInputOutputAndErrorAreTheLaunchers) {
    RunOptions options = with_arguments({"cat"});
    options.keep_stdin_open = true;
    auto launcher = start(target(), exe(), options);
    ASSERT_NE(launcher, nullptr);
    // Binary bytes, NUL and CR LF included, pass unchanged both ways.
    std::string input = "first line\r\nsecond\n";
    input += std::string("\0\x01\xFF end", 7);
    ASSERT_TRUE(launcher->write_stdin(input));
    launcher->close_stdin();
    const RunResult result = launcher->finish(60000);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, input);
    EXPECT_EQ(result.err, "to stderr" + eol(target()));
}

TEST_P(ExecProgram, TheProgramSeesTheLaunchersEnvironmentAndFindsItsFiles) {
    ScratchDir working;
    RunOptions options = with_arguments({"env"});
    options.working_directory = working.path();
    options.environment["ONEFILE_TEST_MARK"] = "passed along";
    const RunResult result = run(target(), exe(), options);
    ASSERT_EQ(result.status, 0) << result.err;
    auto values = key_values(result.out);
    EXPECT_FALSE(values["VARNOK_ONEFILE_PARENT"].empty());
    EXPECT_NE(values["VARNOK_ONEFILE_PARENT"], "<unset>");
    EXPECT_EQ(values["ONEFILE_TEST_MARK"], "passed along");
    // The program runs from the unpacked directory, below the launcher's temporary directory, in
    // the subdirectory it was packed in; it starts in the caller's current directory.
    const fs::path self_dir = host_path(target(), values["self_dir"]);
    EXPECT_EQ(self_dir.filename(), "bin");
    EXPECT_EQ(self_dir.parent_path().filename().string().rfind("onefile_", 0), 0u) << values["self_dir"];
    EXPECT_EQ(fs::weakly_canonical(self_dir.parent_path().parent_path()),
              fs::weakly_canonical(launcher_temp_dir(target())));
    if (target() == Target::Linux) {
        EXPECT_EQ(values["VARNOK_ONEFILE_DIRECTORY"], fs::canonical(exe()).parent_path().string());
        EXPECT_EQ(values["VARNOK_ORIGINAL_ARGV0"], exe().string());
        EXPECT_EQ(values["cwd"], fs::canonical(working.path()).string());
    } else {
        EXPECT_TRUE(names_host_path(values["VARNOK_ONEFILE_DIRECTORY"], exe().parent_path()));
        EXPECT_TRUE(names_host_path(values["VARNOK_ORIGINAL_ARGV0"], exe()));
        EXPECT_EQ(values["cwd"], windows_path(working.path()));
    }

    const RunResult data = run(target(), exe(), with_arguments({"data"}));
    EXPECT_EQ(data.status, 0) << data.err;
    EXPECT_EQ(output_lines(data.out), std::vector<std::string>{"data=found beside the program"});
}

// A program that cannot be started is named, with the system's reason, and the launcher ends with
// 127; the unpacked directory is still removed.
TEST_P(ExecProgram, AProgramThatCannotStartIsReportedWithStatus127) {
    ScratchDir scratch;
    const std::string name = target() == Target::Linux ? "not a program" : "not a program.exe";
    write_file(scratch / "app" / "bin" / name, "just text, no executable format\n");
    chmod((scratch / "app" / "bin" / name).c_str(), 0755);
    ASSERT_NO_FATAL_FAILURE(pack_exec(target(), scratch / "app", "bin/" + name, scratch / "broken.exe"));
    const RunResult result = run(target(), scratch / "broken.exe", with_arguments({"x"}));
    EXPECT_EQ(result.status, 127);
    EXPECT_EQ(result.out, "");
    const std::string separator = target() == Target::Linux ? "/" : "\\\\";
    const std::string reason = target() == Target::Linux ? R"(\[Error 8\] Exec format error)" : R"(\[Error 193\] .+)";
    const std::regex expected("Error, couldn't start program '.*" + separator + "onefile_[^" + separator + "]+" +
                              separator + "bin" + separator + name + "' \\(" + reason + "\\)" +
                              (target() == Target::Linux ? "\n" : "\r\n"));
    EXPECT_TRUE(std::regex_match(result.err, expected)) << result.err;
}

// On Linux the launcher's child becomes the program: the program is the parent launcher's own
// child, so signals reach it directly and its end is the child's end.
class LinuxExecProgram : public ExecProgram {};

TEST_P(LinuxExecProgram, TheProgramReplacesTheChildProcess) {
    auto launcher = start(Target::Linux, exe(), with_arguments({"ids"}));
    ASSERT_NE(launcher, nullptr);
    const RunResult result = launcher->finish(60000);
    ASSERT_EQ(result.status, 0) << result.err;
    auto values = key_values(result.out);
    EXPECT_EQ(values["ppid"], std::to_string(launcher->pid()));
    EXPECT_NE(values["pid"], std::to_string(launcher->pid()));
}

TEST(LinuxExecSignals, ProgramKilledBySigtermGivesTheLauncherStatus143) {
    if (!target_available(Target::Linux)) GTEST_SKIP() << "linux build missing";
    ScratchDir scratch;
    ASSERT_NO_FATAL_FAILURE(pack_exec(Target::Linux, make_echo_app(Target::Linux, scratch / "app"),
                                      echo_program(Target::Linux), scratch / "echo"));
    const auto before = target_directories(Target::Linux);
    for (const bool to_program : {true, false}) {
        SCOPED_TRACE(to_program ? "SIGTERM to the program" : "SIGTERM to the launcher");
        auto launcher = start(Target::Linux, scratch / "echo", with_arguments({"sleep", "30000"}));
        ASSERT_NE(launcher, nullptr);
        ASSERT_TRUE(launcher->wait_for_stdout("sleeping", 30000)) << launcher->out_so_far();
        const pid_t program = static_cast<pid_t>(std::stol(key_values(launcher->out_so_far())["pid"]));
        ASSERT_EQ(kill(to_program ? program : launcher->pid(), SIGTERM), 0);
        const RunResult result = launcher->finish(10000);
        EXPECT_FALSE(result.timed_out);
        // The launcher reports a child ended by signal N as 128 + N, and ends by the signal it
        // received itself, which the harness shows the same way.
        EXPECT_EQ(launcher->own_status(), 128 + SIGTERM);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(new_target_directories(Target::Linux, before), std::vector<fs::path>{});
    }
}

// The program is what the parent launcher started, so it ends with a parent that is killed
// outright, as a main binary does, instead of running on from a directory nobody removes.
TEST(LinuxExecSignals, ProgramEndsWithAKilledLauncher) {
    if (!target_available(Target::Linux)) GTEST_SKIP() << "linux build missing";
    ScratchDir scratch;
    ASSERT_NO_FATAL_FAILURE(pack_exec(Target::Linux, make_echo_app(Target::Linux, scratch / "app"),
                                      echo_program(Target::Linux), scratch / "echo"));
    const auto before = target_directories(Target::Linux);
    auto launcher = start(Target::Linux, scratch / "echo", with_arguments({"sleep", "30000"}));
    ASSERT_NE(launcher, nullptr);
    ASSERT_TRUE(launcher->wait_for_stdout("sleeping", 30000)) << launcher->out_so_far();
    ASSERT_EQ(kill(launcher->pid(), SIGKILL), 0);
    // The streams close only when the program, which holds them too, has ended.
    const RunResult result = launcher->finish(10000);
    EXPECT_FALSE(result.timed_out) << "the program outlived the launcher";
    EXPECT_EQ(launcher->own_status(), 128 + SIGKILL);
    // Nobody cleaned up: the directory stays for a later run's sweep.
    for (const auto& directory : new_target_directories(Target::Linux, before)) remove_left_directory(directory);
}

// Programs nobody here wrote, copied from the system into the application directory.
TEST(LinuxExecSystemPrograms, EchoAndEnvRunPackedUnchanged) {
    if (!target_available(Target::Linux)) GTEST_SKIP() << "linux build missing";
    ScratchDir scratch;
    const auto before = target_directories(Target::Linux);
    for (const char* program : {"/bin/echo", "/usr/bin/env"}) {
        ASSERT_TRUE(fs::exists(program)) << program;
        const fs::path app = scratch / fs::path(program).filename() / "app";
        fs::create_directories(app / "tools");
        fs::copy_file(program, app / "tools" / fs::path(program).filename());
    }
    ASSERT_NO_FATAL_FAILURE(pack_exec(Target::Linux, scratch / "echo" / "app", "tools/echo", scratch / "echo.run"));
    ASSERT_NO_FATAL_FAILURE(pack_exec(Target::Linux, scratch / "env" / "app", "tools/env", scratch / "env.run"));

    const RunResult echoed =
        run(Target::Linux, scratch / "echo.run", with_arguments({"hello", "two  words", "\xC3\xA9", "-n?"}));
    EXPECT_EQ(echoed.status, 0) << echoed.err;
    EXPECT_EQ(echoed.out, "hello two  words \xC3\xA9 -n?\n");

    RunOptions options;
    options.environment["ONEFILE_TEST_MARK"] = "seen by env";
    const RunResult listed = run(Target::Linux, scratch / "env.run", options);
    EXPECT_EQ(listed.status, 0) << listed.err;
    auto values = key_values(listed.out);
    EXPECT_EQ(values["ONEFILE_TEST_MARK"], "seen by env");
    EXPECT_EQ(values["VARNOK_ORIGINAL_ARGV0"], (scratch / "env.run").string());
    EXPECT_EQ(values["VARNOK_ONEFILE_DIRECTORY"], fs::canonical(scratch.path()).string());
    // env runs a command given to it: the arguments and the search path pass through as well.
    const RunResult nested = run(Target::Linux, scratch / "env.run", with_arguments({"sh", "-c", "exit 7"}));
    EXPECT_EQ(nested.status, 7) << nested.err;
    EXPECT_EQ(new_target_directories(Target::Linux, before), std::vector<fs::path>{});
}

// Under a console that every process of the run shares, Ctrl+C reaches the program, which may
// take it and go on: the launcher's child, which only waits for the program, does not end on it
// (or the parent would take the child's end for the program's and remove the directory the
// program runs from). The program sends the event to its whole console itself and ends with 9 once
// its own handler has seen it.
TEST(WindowsExecConsole, CtrlCIsTheProgramsToHandle) {
    if (!target_available(Target::Windows)) {
        if (getenv("ONEFILE_E2E_REQUIRE_WINDOWS") != nullptr) FAIL() << "windows build missing";
        GTEST_SKIP() << "windows build missing";
    }
    ScratchDir scratch;
    ASSERT_NO_FATAL_FAILURE(pack_exec(Target::Windows, make_echo_app(Target::Windows, scratch / "app"),
                                      echo_program(Target::Windows), scratch / "echo.exe"));
    const auto before = target_directories(Target::Windows);
    const RunResult result = run_in_terminal(Target::Windows, scratch / "echo.exe", with_arguments({"ctrl-c"}));
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.status, 9) << result.out;
    EXPECT_EQ(new_target_directories(Target::Windows, before), std::vector<fs::path>{});
}

// Programs nobody here wrote: Wine's own find and cmd, copied into the application directory.
TEST(WindowsExecSystemPrograms, FindAndCmdRunPackedUnchanged) {
    if (!target_available(Target::Windows)) {
        if (getenv("ONEFILE_E2E_REQUIRE_WINDOWS") != nullptr) FAIL() << "windows build missing";
        GTEST_SKIP() << "windows build missing";
    }
    const fs::path wine_programs = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows";
    ScratchDir scratch;
    for (const char* program : {"find.exe", "cmd.exe"}) {
        ASSERT_TRUE(fs::exists(wine_programs / program)) << program;
        fs::create_directories(scratch / program / "tools");
        fs::copy_file(wine_programs / program, scratch / program / "tools" / program);
        ASSERT_NO_FATAL_FAILURE(pack_exec(Target::Windows, scratch / program, std::string("tools/") + program,
                                          scratch / (std::string("packed-") + program)));
    }
    const auto before = target_directories(Target::Windows);

    // find filters standard input by its argument and says by its status whether anything matched.
    for (const auto& [pattern, output, status] : std::vector<std::tuple<std::string, std::string, int>>{
             {"an", "banana\r\n", 0}, {"two words", "two words here\r\n", 0}, {"none", "", 1}}) {
        SCOPED_TRACE(pattern);
        RunOptions options = with_arguments({pattern});
        options.keep_stdin_open = true;
        auto launcher = start(Target::Windows, scratch / "packed-find.exe", options);
        ASSERT_NE(launcher, nullptr);
        ASSERT_TRUE(launcher->write_stdin("apple\r\nbanana\r\ntwo words here\r\n"));
        launcher->close_stdin();
        const RunResult result = launcher->finish(60000);
        EXPECT_EQ(result.status, status) << result.err;
        EXPECT_EQ(result.out, output);
    }
    // cmd takes the rest of its command line as it is: spacing and the status pass through.
    const RunResult shell =
        run(Target::Windows, scratch / "packed-cmd.exe", with_arguments({"/c", "echo two  words&& exit /b 5"}));
    EXPECT_EQ(shell.status, 5) << shell.err;
    EXPECT_EQ(shell.out, "two  words\r\n");
    EXPECT_EQ(new_target_directories(Target::Windows, before), std::vector<fs::path>{});
}

INSTANTIATE_TEST_SUITE_P(Linux, LinuxExecProgram, ::testing::Values(Target::Linux), target_param_name);

INSTANTIATE_TEST_SUITE_P(Targets, ExecProgram, ::testing::Values(Target::Linux, Target::Windows), target_param_name);

}  // namespace
}  // namespace e2e
