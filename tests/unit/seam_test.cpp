// Failure rows and rules that only the platform seam can reach: a failed write, allocation, child
// start or handler registration; an exit status that cannot be read; made-up system answers that
// pin down exact formats and bounds; and the order of the calls the core makes.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "bootstrap/driver.h"
#include "bootstrap/run_variables.h"
#include "child/cleanup.h"
#include "child/launch.h"
#include "common/state.h"
#include "environment/env_bridge.h"
#include "environment/exe_path.h"
#include "environment/path_spec.h"
#include "payload/attached_data.h"
#include "payload/directories.h"
#include "payload/extract.h"
#include "platform/platform.h"
#include "test_platform.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
namespace tp = test_platform;
using tp::Op;

const std::wstring S(1, PATH_SEPARATOR);

std::string narrow(const std::wstring& text) { return unit::path_of(text).string(); }

std::wstring env_value(const char* name) {
    wchar_t* value = get_env_wide(name);
    if (value == nullptr) return L"<absent>";
    std::wstring text(value);
    platform_free(value);
    return text;
}

// ---- extraction -----------------------------------------------------------------------------------------

class SeamExtraction : public unit::ExtractionTest {
protected:
    void SetUp() override {
        ExtractionTest::SetUp();
        target_ = use_target();
    }

    fs::path target_;
};

TEST_F(SeamExtraction, FailedWriteIsReportedWithTheSystemErrorAndEarlierFilesStay) {
    const std::vector<uint8_t> blob =
        unit::make_application({{u"main.bin", "main"}, {u"data.bin", unit::noise(70000, 1)}});
    // The first file takes one write; the second file's first chunk fails.
    tp::fail(Op::WriteFile, 2, 28);
    EXPECT_EXIT(
        {
            unit::stdout_to_stderr();
            extract(blob);
            exit(0);
        },
        unit::reported_failure(),
        unit::output_satisfies(
            [](const std::string& out) {
                const std::string line = unit::without_carriage_returns(out);
                const std::string prefix = "Error, couldn't unpack file to target path. ([Error 28] ";
                return line.rfind(prefix, 0) == 0 && line.size() > prefix.size() + 2 &&
                       line.compare(line.size() - 2, 2, ")\n") == 0 && line.find('\n') == line.size() - 1;
            },
            "the unpack message with error 28 and its text, on one line"));
    // Nothing is cleaned up after a reported failure: the first file is whole, the second exists.
    EXPECT_EQ(unit::read_file(target_ / "main.bin"), "main");
    EXPECT_TRUE(unit::exists_or_is_link(target_ / "data.bin"));
}

TEST_F(SeamExtraction, WindowOrDecoderThatCannotBeHadIsOutOfMemory) {
    const std::vector<uint8_t> blob = unit::make_application({{u"main.bin", "main"}});
    for (const Op op : {Op::Allocate, Op::CreateDecoder}) {
        SCOPED_TRACE(op == Op::Allocate ? "window" : "decoder");
        tp::reset();
        tp::fail(op, 1, 12);
        EXPECT_EXIT(
            {
                unit::stdout_to_stderr();
                extract(blob);
                exit(0);
            },
            unit::reported_failure(), unit::plain_message("Error, couldn't allocate memory."));
        EXPECT_FALSE(unit::exists_or_is_link(target_));
    }
}

TEST_F(SeamExtraction, DirectoriesAreTriedNearestFirstThenCreatedFromTheTop) {
    fs::create_directories(target_.parent_path());
    extract(unit::make_application({{u"main.bin", "m"}, {u"a\\b\\c.txt", "c"}, {u"a\\d.txt", "d"}, {u"e.txt", "e"}}));
    std::vector<std::wstring> attempts;
    for (const tp::Call& call : tp::log_of(Op::CreateDirectory)) attempts.push_back(call.text);
    const std::wstring t = unit::wide(target_);
    // The target directory with the first file; for a\b\c.txt the nearest level first, which fails,
    // then its parent, then the nearest again; a\d.txt and e.txt find their directories remembered.
    const std::vector<std::wstring> expected = {t, t + S + L"a" + S + L"b", t + S + L"a", t + S + L"a" + S + L"b"};
    EXPECT_EQ(attempts, expected);
    EXPECT_EQ(unit::read_file(target_ / "a" / "b" / "c.txt"), "c");
}

TEST_F(SeamExtraction, WritesAreChunksOfAtMost32768Bytes) {
    extract(unit::make_application({{u"main.bin", unit::noise(2 * 32768 + 1, 2)}, {u"small", "12345"}}));
    std::vector<uint64_t> sizes;
    for (const tp::Call& call : tp::log_of(Op::WriteFile)) sizes.push_back(call.number);
    EXPECT_EQ(sizes, (std::vector<uint64_t>{32768, 32768, 1, 5}));
}

TEST_F(SeamExtraction, DecoderIsCalledOnlyWhenTheWindowIsEmpty) {
    // 1,000,000 bytes: every call gets the whole 131,072-byte window and fills it, so the window
    // serves four chunks before the next call; the last call delivers the rest.
    const std::string content(1000000, 'x');
    extract(unit::make_application({{u"main.bin", content}}));
    const std::vector<tp::Call> decodes = tp::log_of(Op::Decompress);
    ASSERT_EQ(decodes.size(), 8u);
    for (size_t i = 0; i < decodes.size(); ++i) {
        EXPECT_EQ(decodes[i].text, L"131072") << "call " << i;
        EXPECT_EQ(decodes[i].number, i + 1 < decodes.size() ? 131072u : 1000000u - 7 * 131072u) << "call " << i;
    }
}

TEST_F(SeamExtraction, LinuxRefusesATargetDirectoryThatAlreadyExists) {
    if (PATH_SEPARATOR != L'/') GTEST_SKIP() << "Windows creates the target directory with the first file";
    // Someone else's directory at our name may hold links planted to redirect the writes.
    fs::create_directories(target_);
    unit::write_file(target_ / "planted", "x");
    const std::vector<uint8_t> blob = unit::make_application({{u"main.bin", "main"}});
    EXPECT_EXIT(
        {
            unit::stdout_to_stderr();
            extract(blob);
            exit(0);
        },
        unit::reported_failure(),
        unit::output_is("Error, couldn't unpack file to target path. ([Error 17] File exists)\n"));
    EXPECT_FALSE(unit::exists_or_is_link(target_ / "main.bin"));
}

// ---- the child --------------------------------------------------------------------------------------------

class SeamChild : public ::testing::Test {
protected:
    void SetUp() override {
        target_ = unit::test_path("target");
        fs::create_directories(target_);
        unit::write_file(target_ / "main.bin", "main");
        unit::set_target_directory(target_);
        g_state.cleanup_armed.store(true);
    }
    void TearDown() override { g_state.cleanup_armed.store(false); }

    fs::path target_;
};

TEST_F(SeamChild, FailedStartIsReportedAndTheDirectoryStays) {
    tp::fail(Op::StartChild, 1, 2);
    EXPECT_EXIT(
        {
            unit::stdout_to_stderr();
            launch_child_and_wait();
            exit(0);
        },
        unit::reported_failure(),
        unit::output_satisfies(
            [](const std::string& out) {
                return unit::without_carriage_returns(out).rfind("Error, couldn't launch child ([Error 2] ", 0) == 0;
            },
            "the launch message with error 2"));
    EXPECT_EQ(unit::read_file(target_ / "main.bin"), "main");
}

TEST_F(SeamChild, StatusOfTheChildIsReturnedAndTheDirectoryRemoved) {
    tp::fakes().child_exit_status = 7;
    EXPECT_EQ(launch_child_and_wait(), 7u);
    EXPECT_FALSE(unit::exists_or_is_link(target_));
    // Argument 0 names this executable, as the system reports it.
    const std::vector<std::wstring> arguments = tp::started_arguments();
    ASSERT_FALSE(arguments.empty());
    EXPECT_EQ(arguments[0], std::wstring(g_module_path));
    EXPECT_EQ(tp::log_of(Op::StartChild).at(0).text, std::wstring(g_module_path));
}

TEST_F(SeamChild, UnreadableExitStatusIsOne) {
    tp::fakes().child_exit_status = 0;
    tp::fail(Op::ExitStatus, 1, 6);
    EXPECT_EQ(launch_child_and_wait(), 1u);
    EXPECT_FALSE(unit::exists_or_is_link(target_));
}

// ---- the driver ------------------------------------------------------------------------------------------

TEST(SeamDriver, FailedHandlerRegistrationIsReportedBeforeAnythingIsCreated) {
    unit::EnvGuard parent("VARNOK_ONEFILE_PARENT");
    unit::EnvGuard start("VARNOK_ONEFILE_START");
    unit::EnvGuard time("VARNOK_ONEFILE_TIME_US");
    unit::EnvGuard random("VARNOK_ONEFILE_RANDOM");
    unset_bridged_env("VARNOK_ONEFILE_PARENT");
    const std::vector<uint8_t> blob = unit::make_application({{u"main.bin", "main"}});
    tp::fail(Op::RegisterConsoleHandler, 1, 5);
    EXPECT_EXIT(
        {
            unit::stdout_to_stderr();
            run_launcher(blob.data(), blob.size());
            exit(0);
        },
        unit::reported_failure(), unit::plain_message("Error, failed to register signal handler."));
    EXPECT_EQ(tp::calls(Op::CreateDirectory), 0);
    EXPECT_EQ(tp::calls(Op::ClaimTarget), 0);
}

class SeamRole : public ::testing::Test {
protected:
    // This process names itself as the parent, and the system is made to report this executable
    // for it, with the values a parent publishes: the launcher takes the child role.
    void SetUp() override {
        wchar_t own[4097];
        ASSERT_GT(platform_module_file_name(own, 4097), 0u);
        tp::fakes().process_image_path = own;
        own_executable_path_reset();
        set_bridged_env("VARNOK_ONEFILE_PARENT", std::to_wstring(platform_current_process_id()).c_str());
        set_bridged_env("VARNOK_ONEFILE_RANDOM", L"Ab0-_zZ9xYq");
        set_bridged_env("VARNOK_ONEFILE_TIME_US", L"000042");
    }
    void TearDown() override { own_executable_path_reset(); }

    unit::EnvGuard parent_{"VARNOK_ONEFILE_PARENT"};
    unit::EnvGuard random_{"VARNOK_ONEFILE_RANDOM"};
    unit::EnvGuard time_{"VARNOK_ONEFILE_TIME_US"};
};

TEST_F(SeamRole, ValuesNoParentCouldHaveMadeLeaveAParent) {
    ASSERT_EQ(decide_role(), Role::Child);
    const struct {
        const char* variable;
        const wchar_t* value;
    } cases[] = {
        {"VARNOK_ONEFILE_RANDOM", L"x/../../../planted"},
        {"VARNOK_ONEFILE_RANDOM", L"Ab0-_zZ9xY"},
        {"VARNOK_ONEFILE_RANDOM", L"Ab0-_zZ9xY."},
        {"VARNOK_ONEFILE_TIME_US", L"00004"},
        {"VARNOK_ONEFILE_TIME_US", L"00004x"},
        {"VARNOK_ONEFILE_TIME_US", L"/../42"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variable);
        unit::EnvGuard guard(c.variable);
        set_bridged_env(c.variable, c.value);
        EXPECT_EQ(decide_role(), Role::Parent) << narrow(c.value);
    }
    unset_bridged_env("VARNOK_ONEFILE_TIME_US");
    EXPECT_EQ(decide_role(), Role::Parent);
}

TEST_F(SeamRole, ChildRoleAlsoNeedsSixteenBytesOfHeader) {
    ASSERT_EQ(decide_role(), Role::Child);
    const uint8_t ten_bytes[10] = {0};
    EXPECT_EXIT(
        {
            unit::stdout_to_stderr();
            run_launcher(ten_bytes, sizeof ten_bytes);
            exit(0);
        },
        unit::reported_failure(), unit::plain_message("Error, couldn't find attached data header."));
}

TEST(SeamDriver, StartTimeAndRandomAreRemovedInThatOrderBeforeTheParentIdIsPublished) {
    unit::EnvGuard parent("VARNOK_ONEFILE_PARENT");
    unit::EnvGuard start("VARNOK_ONEFILE_START");
    unit::EnvGuard time("VARNOK_ONEFILE_TIME_US");
    unit::EnvGuard random("VARNOK_ONEFILE_RANDOM");
    prepare_parent_environment();
    std::vector<std::wstring> calls;
    for (const tp::Call& call : tp::log_of(Op::SetEnv)) calls.push_back(call.text);
    const std::vector<std::wstring> expected = {
        L"VARNOK_ONEFILE_START", L"VARNOK_ONEFILE_TIME_US", L"VARNOK_ONEFILE_RANDOM",
        L"VARNOK_ONEFILE_PARENT=" + std::to_wstring(platform_current_process_id())};
    EXPECT_EQ(calls, expected);
}

TEST(SeamDriver, DirectoryIsPublishedFromThePlainFormNotTheResolvedOne) {
    unit::EnvGuard directory("VARNOK_ONEFILE_DIRECTORY");
    unit::EnvGuard argv0("VARNOK_ORIGINAL_ARGV0");
    // Started through a link: the system reports the link's path, the final path is elsewhere.
    tp::fakes().module_file_name = S + L"apps" + S + L"link" + S + L"tool";
    tp::fakes().final_path = S + L"apps" + S + L"real" + S + L"tool";
    own_executable_path_reset();
    EXPECT_EQ(std::wstring(get_own_executable_path(true)), S + L"apps" + S + L"real" + S + L"tool");
    publish_directory_variables();
    EXPECT_EQ(env_value("VARNOK_ONEFILE_DIRECTORY"), S + L"apps" + S + L"link");
    own_executable_path_reset();
}

// ---- executable paths -------------------------------------------------------------------------------------

TEST(SeamExePath, ParentIdentityIsCaseSensitive) {
    tp::fakes().module_file_name = S + L"Apps" + S + L"Tool";
    own_executable_path_reset();
    tp::fakes().process_image_path = S + L"apps" + S + L"TOOL";
    EXPECT_FALSE(process_runs_own_executable(1));
    tp::fakes().process_image_path = S + L"Apps" + S + L"Tool";
    EXPECT_TRUE(process_runs_own_executable(1));
    own_executable_path_reset();
}

TEST(SeamExePath, PrefixRulesApplyWhenTheFinalPathQueryFails) {
    tp::fakes().final_path = L"unused";
    tp::fail(Op::FinalPath, 1, 1, true);
    wchar_t path[64];
    wcscpy(path, L"\\\\?\\D:\\dir\\app.exe");
    resolve_final_path(path, path, 64, true);
    EXPECT_STREQ(path, L"D:\\dir\\app.exe");
    wcscpy(path, L"\\\\?\\UNC\\server\\share\\app.exe");
    resolve_final_path(path, path, 64, true);
    EXPECT_STREQ(path, L"\\\\server\\share\\app.exe");
}

// ---- path specs ---------------------------------------------------------------------------------------------

std::wstring expand(const wchar_t* spec) {
    wchar_t out[PATH_CAPACITY];
    EXPECT_TRUE(expand_path_spec(out, spec, PATH_CAPACITY)) << narrow(spec);
    return out;
}

TEST(SeamPathSpec, ShellFoldersLoseEveryTrailingSeparator) {
    tp::fakes().folder_path = S + L"home" + S + L"user" + S + S;
    EXPECT_EQ(expand(L"{HOME}"), S + L"home" + S + L"user");
    EXPECT_EQ(expand(L"{CACHE_DIR}"), S + L"home" + S + L"user");
    EXPECT_EQ(expand((L"{HOME}" + S + L"x").c_str()), S + L"home" + S + L"user" + S + L"x");
}

TEST(SeamPathSpec, TimeInMicrosecondsIsAlwaysSixDigits) {
    unit::EnvGuard time("VARNOK_ONEFILE_TIME_US");
    const struct {
        int64_t now;
        const wchar_t* expected;
    } cases[] = {
        {133000000000000420, L"000042"},  // (T / 10) mod 1000000 = 42
        {133000000000000009, L"000000"},  // below one microsecond
        {133000000009999990, L"999999"},
    };
    for (const auto& c : cases) {
        unset_bridged_env("VARNOK_ONEFILE_TIME_US");
        tp::fakes().system_time = c.now;
        EXPECT_EQ(expand(L"{TIME_US}"), c.expected);
        EXPECT_EQ(env_value("VARNOK_ONEFILE_TIME_US"), c.expected);
    }
}

TEST(SeamPathSpec, TimeIsTheWholeCount) {
    unit::EnvGuard start("VARNOK_ONEFILE_START");
    unset_bridged_env("VARNOK_ONEFILE_START");
    tp::fakes().system_time = 133000000000000420;
    EXPECT_EQ(expand(L"{TIME}"), L"133000000000000420");
}

TEST(SeamPathSpec, AbsolutePathOf4095UnitsIsAcceptedAnd4096IsAFatalStop) {
    const std::wstring longest(4095, L'x');
    tp::fakes().full_path_text = longest;
    tp::fakes().full_path_result = 4095;
    wcscpy(g_state.target_directory, L"relative");
    make_target_directory_absolute();
    EXPECT_EQ(std::wstring(g_state.target_directory), longest);

    // An answer of 4096 means the path needs more room than the buffer has.
    tp::fakes().full_path_result = 4096;
    EXPECT_EXIT(
        {
            unit::stdout_to_stderr();
            wcscpy(g_state.target_directory, L"relative");
            make_target_directory_absolute();
            exit(0);
        },
        unit::fatal_stop(), unit::output_is(""));
    tp::fakes().full_path_result = 0;
    EXPECT_EXIT(
        {
            unit::stdout_to_stderr();
            make_target_directory_absolute();
            exit(0);
        },
        unit::fatal_stop(), unit::output_is(""));
}

}  // namespace

namespace {

// ---- console events -----------------------------------------------------------------------------------

TEST_F(SeamChild, CtrlCWhileTheChildRunsIsLeftToTheChild) {
    // The child received the same event: the parent neither ends it nor removes its directory,
    // and keeps waiting (the event is consumed).
    g_state.child_process.store(0x5151);
    for (const ConsoleEvent event : {ConsoleEvent::CtrlC, ConsoleEvent::CtrlBreak}) {
        EXPECT_TRUE(console_control_handler(static_cast<int>(event)));
    }
    EXPECT_EQ(g_state.child_process.load(), 0x5151);
    EXPECT_EQ(tp::calls(Op::TerminateProcess), 0);
    EXPECT_EQ(unit::read_file(target_ / "main.bin"), "main");
    g_state.child_process.store(NO_PROCESS);
}

TEST_F(SeamChild, CtrlCBeforeTheChildStartedCleansUpAndEnds) {
    EXPECT_FALSE(console_control_handler(static_cast<int>(ConsoleEvent::CtrlC)));
    EXPECT_FALSE(unit::exists_or_is_link(target_));
}

TEST_F(SeamChild, CloseEndsTheChildAndCleansUp) {
    tp::fakes().child_exit_status = 0;
    tp::fail(Op::WaitProcess, 1, 0);  // the child does not end within the grace time
    g_state.child_process.store(0x70002);
    EXPECT_FALSE(console_control_handler(static_cast<int>(ConsoleEvent::Close)));
    EXPECT_EQ(tp::log_of(Op::TerminateProcess).size(), 1u);
    EXPECT_EQ(g_state.child_process.load(), NO_PROCESS);
    EXPECT_FALSE(unit::exists_or_is_link(target_));
}

// ---- what the system cannot deliver ---------------------------------------------------------------------

TEST(SeamPathSpec, TemporaryDirectoryThatCannotBeDeliveredFailsTheExpansion) {
    tp::fail(Op::TempPath, 1, 122);
    wchar_t out[PATH_CAPACITY];
    EXPECT_FALSE(expand_path_spec(out, (L"{TEMP}" + S + L"onefile_x").c_str(), PATH_CAPACITY));
    EXPECT_STREQ(out, L"");
}

TEST_F(SeamExtraction, NoHomeDirectoryEndsTheRunBeforeAnythingIsCreated) {
    tp::fail(Op::FolderPath, 1, 2, true);
    const std::vector<uint8_t> blob = unit::make_application({{u"main.bin", "main"}});
    EXPECT_EXIT(
        {
            unit::stdout_to_stderr();
            extract(blob);
            exit(0);
        },
        unit::fatal_stop(), unit::output_is("Error, couldn't runtime expand spec '{HOME}'.\n"));
    EXPECT_FALSE(unit::exists_or_is_link(target_));
}

}  // namespace

namespace {

TEST_F(SeamExtraction, NameThatIsADeviceOnWindowsIsRefusedThere) {
    // "nul.txt" is an ordinary file name on Linux; on Windows writing it would write to the device.
    const std::vector<uint8_t> blob =
        unit::make_application({{u"main.bin", "main"}, {u"sub\\nul.txt", "to the device"}});
    if (PATH_SEPARATOR == L'/') {
        extract(blob);
        EXPECT_EQ(unit::read_file(target_ / "sub" / "nul.txt"), "to the device");
        return;
    }
    EXPECT_EXIT(
        {
            unit::stdout_to_stderr();
            extract(blob);
            exit(0);
        },
        unit::reported_failure(), unit::plain_message("Error, couldn't find attached data header."));
    EXPECT_FALSE(unit::exists_or_is_link(target_ / "sub"));
}

}  // namespace
