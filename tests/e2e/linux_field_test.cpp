// The Linux launcher in the situations a real installation meets: Ctrl+C left to the application,
// signals the caller set to be ignored, a parent killed outright, a temporary directory that does
// not exist yet or cannot be spelled, a start through the dynamic loader, an executable deleted or
// replaced while it unpacks, and an interpreter whose extension modules need the main binary's
// symbols and the libraries shipped with the application.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

long long elapsed_ms(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

class LinuxField : public ::testing::Test {
protected:
    void SetUp() override {
        if (!target_available(Target::Linux)) GTEST_SKIP() << "linux build missing";
    }
};

// The permission bits of a path, as a number (0700).
unsigned mode_of(const fs::path& path) {
    return static_cast<unsigned>(fs::status(path).permissions() & fs::perms::mask) & 0777u;
}

// Whether `text` holds `name` as one of its comma-separated items.
bool listed(const std::string& text, const std::string& name) {
    return ("," + text + ",").find("," + name + ",") != std::string::npos;
}

// The program interpreter (PT_INTERP) an ELF executable names, or nothing.
std::optional<std::string> interpreter_of(const fs::path& executable) {
    const std::string bytes = read_file(executable);
    auto number = [&](size_t offset, size_t size) {
        uint64_t value = 0;
        for (size_t i = 0; i < size && offset + i < bytes.size(); ++i) {
            value |= static_cast<uint64_t>(static_cast<unsigned char>(bytes[offset + i])) << (8 * i);
        }
        return value;
    };
    if (bytes.size() < 64 ||
        bytes.compare(0, 4,
                      "\x7f"
                      "ELF") != 0 ||
        bytes[4] != 2)
        return std::nullopt;
    const uint64_t table = number(32, 8);
    const uint64_t entry_size = number(54, 2);
    const uint64_t count = number(56, 2);
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t header = table + i * entry_size;
        if (header + 56 > bytes.size()) break;
        if (number(header, 4) != 3) continue;  // PT_INTERP
        const uint64_t offset = number(header + 8, 8);
        const uint64_t size = number(header + 32, 8);
        if (offset + size > bytes.size()) break;
        return std::string(bytes.c_str() + offset);
    }
    return std::nullopt;
}

// Waits until `path` exists, at most `timeout_ms`.
bool wait_for_file(const fs::path& path, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!fs::exists(path)) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// ---- Ctrl+C: the child decides ------------------------------------------------------------------

// SIGINT sent to the parent alone reaches a child that ignores it; the parent keeps waiting, so the
// child runs to its end and its status is the launcher's, and the directory goes afterwards.
TEST_F(LinuxField, InterruptIgnoredByTheChildLetsItRunToItsEnd) {
    const auto before = target_directories(Target::Linux);
    const auto started = Clock::now();
    auto launcher = start(Target::Linux, packed_fixture(Target::Linux), with_arguments({"stubborn", "3000"}));
    ASSERT_NE(launcher, nullptr);
    ASSERT_TRUE(launcher->wait_for_stdout("sleeping", 30000)) << launcher->out_so_far();
    const auto running = new_target_directories(Target::Linux, before);
    ASSERT_EQ(running.size(), 1u);

    const auto signalled = Clock::now();
    ASSERT_EQ(kill(launcher->pid(), SIGINT), 0);
    const RunResult result = launcher->finish(30000);
    const long long took = elapsed_ms(signalled);

    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(launcher->own_status(), 0);
    EXPECT_EQ(result.out, "sleeping\n");
    EXPECT_EQ(result.err, "");
    // The child slept its full time after announcing it; nothing cut it short, and no grace period
    // was added after the signal.
    EXPECT_GE(elapsed_ms(started), 3000);
    EXPECT_LT(took, 3000 + 3000);
    EXPECT_FALSE(fs::exists(running[0]));
    EXPECT_EQ(new_target_directories(Target::Linux, before), std::vector<fs::path>{});
}

// The child that handles SIGINT receives it exactly once and goes on; the parent waits for it.
TEST_F(LinuxField, InterruptReachesAHandlingChildOnceAndTheParentWaits) {
    const auto before = target_directories(Target::Linux);
    auto launcher = start(Target::Linux, packed_fixture(Target::Linux), with_arguments({"count-int", "2000"}));
    ASSERT_NE(launcher, nullptr);
    ASSERT_TRUE(launcher->wait_for_stdout("sleeping", 30000)) << launcher->out_so_far();
    ASSERT_EQ(kill(launcher->pid(), SIGINT), 0);
    const RunResult result = launcher->finish(30000);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(launcher->own_status(), 0);
    EXPECT_EQ(result.out, "sleeping\ninterrupts=1\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(new_target_directories(Target::Linux, before), std::vector<fs::path>{});
}

// ---- signals the caller set to be ignored ---------------------------------------------------------

struct IgnoredCase {
    const char* name;
    int signal_number;
    const char* abbreviation;  // as the fixture's "dispositions" mode names it
    std::vector<std::string> prefix;
};
void PrintTo(const IgnoredCase& ignored, std::ostream* out) { *out << ignored.name; }

class LinuxIgnoredSignal : public ::testing::TestWithParam<IgnoredCase> {
protected:
    void SetUp() override {
        if (!target_available(Target::Linux)) GTEST_SKIP() << "linux build missing";
    }
};

// The signal, sent to the parent and then to the parent and child together, changes nothing: the
// run ends normally with the child's status.
TEST_P(LinuxIgnoredSignal, StaysIgnoredByParentAndChild) {
    const IgnoredCase& ignored = GetParam();
    const auto before = target_directories(Target::Linux);
    RunOptions options = with_arguments({"sleep", "2000"});
    options.command_prefix = ignored.prefix;
    auto launcher = start(Target::Linux, packed_fixture(Target::Linux), options);
    ASSERT_NE(launcher, nullptr);
    // The wrapper replaced itself with the launcher long before the child announced itself.
    ASSERT_TRUE(launcher->wait_for_stdout("sleeping", 30000)) << launcher->out_so_far();
    ASSERT_EQ(kill(launcher->pid(), ignored.signal_number), 0);
    // The harness gave the launcher a process group of its own: parent and child.
    ASSERT_EQ(kill(-launcher->pid(), ignored.signal_number), 0);
    const RunResult result = launcher->finish(30000);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(launcher->own_status(), 0);
    EXPECT_EQ(result.out, "sleeping\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(new_target_directories(Target::Linux, before), std::vector<fs::path>{});
}

// The application itself is started with the signal ignored, as the caller asked.
TEST_P(LinuxIgnoredSignal, ApplicationStartsWithTheSignalIgnored) {
    const IgnoredCase& ignored = GetParam();
    RunOptions options = with_arguments({"dispositions"});
    options.command_prefix = ignored.prefix;
    const RunResult result = run(Target::Linux, packed_fixture(Target::Linux), options);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(listed(key_values(result.out)["ignored"], ignored.abbreviation)) << result.out;
}

INSTANTIATE_TEST_SUITE_P(Signals, LinuxIgnoredSignal,
                         ::testing::Values(IgnoredCase{"HupThroughNohup", SIGHUP, "HUP", {"nohup"}},
                                           IgnoredCase{"Hup", SIGHUP, "HUP", {"env", "--ignore-signal=HUP"}},
                                           // What a shell without job control gives a background job.
                                           IgnoredCase{"Int", SIGINT, "INT", {"env", "--ignore-signal=INT"}},
                                           IgnoredCase{"Quit", SIGQUIT, "QUIT", {"env", "--ignore-signal=QUIT"}},
                                           IgnoredCase{"Term", SIGTERM, "TERM", {"env", "--ignore-signal=TERM"}},
                                           IgnoredCase{"Usr1", SIGUSR1, "USR1", {"env", "--ignore-signal=USR1"}}),
                         [](const auto& info) { return std::string(info.param.name); });

// A SIGCHLD inherited as ignored would let the system reap the child before the parent reads its
// status; the parent takes the default for itself and gives the ignore back to the application.
TEST_F(LinuxField, IgnoredChildSignalKeepsTheExitStatus) {
    const auto before = target_directories(Target::Linux);
    RunOptions options = with_arguments({"exit", "7"});
    options.command_prefix = {"env", "--ignore-signal=CHLD"};
    const RunResult result = run(Target::Linux, packed_fixture(Target::Linux), options);
    EXPECT_EQ(result.status, 7);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(new_target_directories(Target::Linux, before), std::vector<fs::path>{});
}

TEST_F(LinuxField, IgnoredChildSignalIsIgnoredAgainInTheApplication) {
    RunOptions options = with_arguments({"dispositions"});
    options.command_prefix = {"env", "--ignore-signal=CHLD"};
    const RunResult result = run(Target::Linux, packed_fixture(Target::Linux), options);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(listed(key_values(result.out)["ignored"], "CHLD")) << result.out;
    EXPECT_EQ(key_values(result.out)["saved"], "none");
}

// ---- a parent killed outright ------------------------------------------------------------------

// SIGKILL cannot be handled: the parent ends at once, and the child must not run on without it.
// (The target directory stays behind: no one is left to remove it.)
TEST_F(LinuxField, ChildEndsWhenTheParentIsKilled) {
    const auto before = target_directories(Target::Linux);
    auto launcher = start(Target::Linux, packed_fixture(Target::Linux), with_arguments({"sleep", "30000"}));
    ASSERT_NE(launcher, nullptr);
    ASSERT_TRUE(launcher->wait_for_stdout("sleeping", 30000)) << launcher->out_so_far();
    const auto running = new_target_directories(Target::Linux, before);
    ASSERT_EQ(running.size(), 1u);
    ASSERT_EQ(kill(launcher->pid(), SIGKILL), 0);
    // The streams close only when the child, which holds them too, has ended.
    const RunResult result = launcher->finish(10000);
    EXPECT_FALSE(result.timed_out) << "the child outlived its parent";
    EXPECT_EQ(launcher->own_status(), 128 + SIGKILL);
    EXPECT_EQ(result.out, "sleeping\n");
    for (const auto& directory : new_target_directories(Target::Linux, before)) remove_left_directory(directory);
}

// A parent killed after starting its child but before the child has decided its role: the child
// must not take itself for a parent and run the application unwatched in a directory of its own.
TEST_F(LinuxField, ChildWhoseParentDiedBeforeItsRoleWasDecidedEndsAtOnce) {
    const fs::path shim = fixture_path(Target::Linux, "fixture_spawn_delay");
    ASSERT_TRUE(fs::exists(shim));
    ScratchDir scratch;
    const fs::path marker = scratch / "child-held";
    const auto before = target_directories(Target::Linux);
    RunOptions options = with_arguments({"env"});
    options.environment["LD_PRELOAD"] = shim.string();
    options.environment["ONEFILE_TEST_CHILD_HOLD_MARKER"] = marker.string();
    auto launcher = start(Target::Linux, packed_fixture(Target::Linux), options);
    ASSERT_NE(launcher, nullptr);
    for (int waited = 0; waited < 30000 && !fs::exists(marker); waited += 10) usleep(10000);
    ASSERT_TRUE(fs::exists(marker)) << "the child never reached its hold";
    ASSERT_EQ(kill(launcher->pid(), SIGKILL), 0);
    // The parent is gone (a zombie until the harness reaps it) before the child goes on.
    for (int waited = 0; waited < 10000; waited += 10) {
        std::ifstream stat("/proc/" + std::to_string(launcher->pid()) + "/stat");
        std::string line;
        std::getline(stat, line);
        const size_t state = line.rfind(')');
        if (!stat || state == std::string::npos || line.compare(state, 3, ") Z") == 0) break;
        usleep(10000);
    }
    fs::remove(marker);
    const RunResult result = launcher->finish(10000);
    EXPECT_FALSE(result.timed_out) << "the orphaned child went on";
    EXPECT_EQ(result.out, "") << "the application ran without its parent";
    // Only the killed parent's directory is there, none of a child turned parent.
    const auto left = new_target_directories(Target::Linux, before);
    EXPECT_EQ(left.size(), 1u);
    for (const auto& directory : left) remove_left_directory(directory);
}

// The variables a parent gives only its child mean nothing in a launcher the user started.
TEST_F(LinuxField, SavedStateVariablesFromTheCallerAreIgnored) {
    RunOptions options = with_arguments({"exit", "7"});
    options.environment["VARNOK_ONEFILE_SAVED_SIGCHLD"] = "ignored";
    options.environment["VARNOK_ONEFILE_SAVED_LD_LIBRARY_PATH"] = "+/nowhere";
    const RunResult result = run(Target::Linux, packed_fixture(Target::Linux), options);
    EXPECT_EQ(result.status, 7) << result.err;
    const RunResult env = run(Target::Linux, packed_fixture(Target::Linux), [] {
        RunOptions o = with_arguments({"dispositions"});
        o.environment["VARNOK_ONEFILE_SAVED_LD_LIBRARY_PATH"] = "+/nowhere";
        return o;
    }());
    EXPECT_EQ(env.status, 0) << env.err;
    EXPECT_NE(env.out.find("saved=none"), std::string::npos) << env.out;
}

// ---- the temporary directory --------------------------------------------------------------------

// A TMPDIR that does not exist yet is created, every missing level private to the user.
TEST_F(LinuxField, MissingLevelsOfTheTemporaryDirectoryAreCreated) {
    ScratchDir scratch;
    const fs::path temp = scratch / "a" / "b" / "c";
    RunOptions options = with_arguments({"env"});
    options.environment["TMPDIR"] = temp.string();
    const mode_t old_mask = umask(0);  // nothing hidden by the mask: the launcher's own modes show
    const RunResult result = run(Target::Linux, packed_fixture(Target::Linux), options);
    umask(old_mask);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const fs::path main = key_values(result.out)["main"];
    EXPECT_EQ(main.parent_path().parent_path(), temp) << result.out;
    EXPECT_EQ(main.filename().string(), "fixture_app.so");
    for (const fs::path& level : {scratch / "a", scratch / "a" / "b", temp}) {
        SCOPED_TRACE(level.string());
        EXPECT_TRUE(fs::is_directory(level));
        EXPECT_EQ(mode_of(level), 0700u);
    }
    std::error_code error;
    EXPECT_TRUE(fs::is_empty(temp, error)) << error.message();
}

// A TMPDIR longer than a path may be fails the expansion of the target directory's name with the
// fatal stop (status 3), before anything is created: the target directory never lands in "/".
class LinuxTemporaryDirectoryTooLong : public ::testing::TestWithParam<size_t> {
protected:
    void SetUp() override {
        if (!target_available(Target::Linux)) GTEST_SKIP() << "linux build missing";
    }
};

std::vector<std::string> names_in(const fs::path& directory) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(directory, error)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

TEST_P(LinuxTemporaryDirectoryTooLong, FailsTheExpansionAndCreatesNothing) {
    ScratchDir scratch;
    std::string temp = scratch.path().string();
    while (temp.size() < GetParam()) temp += "/level-of-a-long-temporary-path";
    temp.resize(GetParam());
    const auto before = target_directories(Target::Linux);
    RunOptions options = with_arguments({"env"});
    options.environment["TMPDIR"] = temp;
    auto launcher = start(Target::Linux, packed_fixture(Target::Linux), options);
    ASSERT_NE(launcher, nullptr);
    const pid_t pid = launcher->pid();
    const RunResult result = launcher->finish(30000);
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error, couldn't runtime expand spec '{TEMP}/onefile_{PID}_{TIME_US}_{RANDOM}'.\n");
    // No level of the long path below the scratch directory, and no target directory of this run in
    // the root (where an empty expansion would put it) or in a default temporary directory.
    EXPECT_TRUE(fs::is_empty(scratch.path()));
    const std::string own = "onefile_" + std::to_string(pid) + "_";
    for (const fs::path& place : {fs::path("/"), fs::path("/tmp"), fs::temp_directory_path()}) {
        for (const auto& name : names_in(place)) EXPECT_NE(name.rfind(own, 0), 0u) << place / name;
    }
    EXPECT_EQ(new_target_directories(Target::Linux, before), std::vector<fs::path>{});
}

// 4090: the value fits, the name of the target directory after it does not. The others are longer
// than the value may be at all.
INSTANTIATE_TEST_SUITE_P(Lengths, LinuxTemporaryDirectoryTooLong, ::testing::Values(4090u, 4097u, 5000u, 100000u),
                         [](const auto& info) { return "Length" + std::to_string(info.param); });

// ---- started through the dynamic loader -------------------------------------------------------

// Its running image would be the loader, which cannot restart it as a child: the launcher refuses
// at once with a plain message and unpacks nothing.
TEST_F(LinuxField, StartedThroughTheDynamicLoaderRefusesPlainly) {
    const std::optional<std::string> loader = interpreter_of(packed_fixture(Target::Linux));
    ASSERT_TRUE(loader.has_value()) << "the packed executable names no program interpreter";
    const auto before = target_directories(Target::Linux);
    RunOptions options = with_arguments({"env"});
    options.command_prefix = {*loader};
    const RunResult result = run(Target::Linux, packed_fixture(Target::Linux), options);
    expect_plain_failure(result, "Error, couldn't find own executable.", Target::Linux);
    EXPECT_EQ(new_target_directories(Target::Linux, before), std::vector<fs::path>{});
}

// ---- the executable goes away while it unpacks --------------------------------------------------

enum class ExecutableFate { Deleted, Replaced };
std::string fate_name(ExecutableFate fate) { return fate == ExecutableFate::Deleted ? "Deleted" : "Replaced"; }
void PrintTo(ExecutableFate fate, std::ostream* out) { *out << fate_name(fate); }

class LinuxVanishingExecutable : public ::testing::TestWithParam<ExecutableFate> {
protected:
    void SetUp() override {
        if (!target_available(Target::Linux)) GTEST_SKIP() << "linux build missing";
    }
};

// The parent is held after unpacking, right before it starts its child; then the executable is
// deleted (or a script put at its path). The child starts from the running image all the same.
TEST_P(LinuxVanishingExecutable, ChildStartsFromTheRunningImage) {
    const fs::path shim = fixture_path(Target::Linux, "fixture_spawn_delay");
    ASSERT_TRUE(fs::exists(shim)) << "build fixture_spawn_delay";
    ScratchDir scratch;
    const fs::path exe = scratch / "app";
    fs::copy_file(packed_fixture(Target::Linux), exe);
    const fs::path marker = scratch / "held";
    const auto before = target_directories(Target::Linux);
    RunOptions options = with_arguments({"env"});
    options.environment["LD_PRELOAD"] = shim.string();
    options.environment["ONEFILE_TEST_SPAWN_MARKER"] = marker.string();
    options.environment["ONEFILE_TEST_SPAWN_PAUSE_BEFORE_MS"] = "60000";
    auto launcher = start(Target::Linux, exe, options);
    ASSERT_NE(launcher, nullptr);
    ASSERT_TRUE(wait_for_file(marker, 30000)) << "the launcher never came to start its child";

    ASSERT_TRUE(fs::remove(exe));
    if (GetParam() == ExecutableFate::Replaced) {
        write_file(exe, "#!/bin/sh\necho replaced\nexit 9\n");
        fs::permissions(exe, fs::perms(0755));
    }
    fs::remove(marker);  // lets the launcher go on
    const RunResult result = launcher->finish(60000);

    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    auto values = key_values(result.out);
    EXPECT_EQ(values["VARNOK_ONEFILE_PARENT"], std::to_string(launcher->pid())) << result.out;
    const fs::path main = values["main"];
    EXPECT_EQ(main.filename().string(), "fixture_app.so") << result.out;
    EXPECT_FALSE(fs::exists(main.parent_path())) << main.parent_path();
    const auto left = new_target_directories(Target::Linux, before);
    EXPECT_EQ(left, std::vector<fs::path>{});
    for (const auto& directory : left) remove_left_directory(directory);  // a failed start leaves its files
}

INSTANTIATE_TEST_SUITE_P(Fates, LinuxVanishingExecutable,
                         ::testing::Values(ExecutableFate::Deleted, ExecutableFate::Replaced),
                         [](const auto& info) { return fate_name(info.param); });

// ---- an interpreter and its extension modules --------------------------------------------------

// What the caller's LD_LIBRARY_PATH is: unset, a value, empty, or a directory that offers a
// library of the same name as one the application ships.
enum class CallerLibraryPath { Unset, Value, Empty, Decoy };
std::string caller_path_name(CallerLibraryPath path) {
    switch (path) {
        case CallerLibraryPath::Unset:
            return "Unset";
        case CallerLibraryPath::Value:
            return "Value";
        case CallerLibraryPath::Empty:
            return "Empty";
        case CallerLibraryPath::Decoy:
            break;
    }
    return "Decoy";
}
void PrintTo(CallerLibraryPath path, std::ostream* out) { *out << caller_path_name(path); }

class LinuxInterpreter : public ::testing::TestWithParam<CallerLibraryPath> {
protected:
    void SetUp() override {
        if (!target_available(Target::Linux)) GTEST_SKIP() << "linux build missing";
        for (const char* stem :
             {"fixture_interp_main", "fixture_interp_module", "libinterp_shipped", "libinterp_decoy"}) {
            ASSERT_TRUE(fs::exists(fixture_path(Target::Linux, stem))) << "build " << stem;
        }
    }
};

// The main binary is loaded with its symbols global, so a module it loads later resolves the
// interpreter's API; the module's own library, shipped in the application's root, is found through
// the target directory in front of the child's library path; and the application and the programs
// it starts see the caller's library path unchanged.
TEST_P(LinuxInterpreter, ExtensionModuleFindsTheInterpreterAndItsLibrary) {
    ScratchDir scratch;
    const fs::path app = scratch / "app";
    fs::create_directories(app / "modules");
    fs::copy_file(fixture_path(Target::Linux, "fixture_interp_main"), app / "interp.so");
    fs::copy_file(fixture_path(Target::Linux, "libinterp_shipped"), app / "libinterp_shipped.so");
    fs::copy_file(fixture_path(Target::Linux, "fixture_interp_module"), app / "modules" / "ext.so");
    const fs::path exe = scratch / "interp.exe";
    ASSERT_NO_FATAL_FAILURE(pack(Target::Linux, app, "interp.so", exe));

    std::optional<std::string> caller;
    switch (GetParam()) {
        case CallerLibraryPath::Unset:
            break;
        case CallerLibraryPath::Value:
            caller = "/nonexistent/onefile-caller/lib:/nonexistent/onefile-caller/lib64";
            break;
        case CallerLibraryPath::Empty:
            caller = "";
            break;
        case CallerLibraryPath::Decoy:
            fs::create_directories(scratch / "decoy");
            fs::copy_file(fixture_path(Target::Linux, "libinterp_decoy"), scratch / "decoy" / "libinterp_shipped.so");
            caller = (scratch / "decoy").string();
            break;
    }
    const auto before = target_directories(Target::Linux);
    RunOptions options;
    options.environment["LD_LIBRARY_PATH"] = caller;
    const RunResult result = run(Target::Linux, exe, options);

    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const std::string seen = caller.value_or("unset");
    const std::vector<std::string> expected = {
        "module=loaded", "api=7", "shipped=42", "app_ldpath=" + seen, "saved=none", "child_ldpath=" + seen,
    };
    EXPECT_EQ(output_lines(result.out), expected);
    EXPECT_EQ(new_target_directories(Target::Linux, before), std::vector<fs::path>{});
}

INSTANTIATE_TEST_SUITE_P(CallerPaths, LinuxInterpreter,
                         ::testing::Values(CallerLibraryPath::Unset, CallerLibraryPath::Value, CallerLibraryPath::Empty,
                                           CallerLibraryPath::Decoy),
                         [](const auto& info) { return caller_path_name(info.param); });

}  // namespace
}  // namespace e2e
