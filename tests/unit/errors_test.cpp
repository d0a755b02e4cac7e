// The reporting operations: the line with a system error code, and the two messages that name a path.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "common/errors.h"
#include "common/state.h"
#include "test_support.h"

namespace {

// One line: "message ([Error code] text)" and a single line end, the text free of CR and LF.
bool is_system_error_line(const std::string& output, const std::string& prefix, bool known) {
    const std::string line = unit::without_carriage_returns(output);
    if (line.size() < prefix.size() + 2 || line.compare(0, prefix.size(), prefix) != 0) return false;
    if (line.back() != '\n' || line[line.size() - 2] != ')') return false;
    const std::string text = line.substr(prefix.size(), line.size() - prefix.size() - 2);
    if (text.find_first_of("\r\n") != std::string::npos) return false;
    return known ? (!text.empty() && text != "<unknown>") : text == "<unknown>";
}

TEST(PrintSystemError, KnownCodeGivesTheSystemTextOnOneLine) {
    // Code 2 is "file not found" on Windows and "no such file" on Linux: both have a text.
    EXPECT_EXIT(
        {
            print_system_error("Error, couldn't launch child", 2);
            exit(0);
        },
        ::testing::ExitedWithCode(0),
        unit::output_satisfies(
            [](const std::string& out) { return is_system_error_line(out, "Error, couldn't launch child ([Error 2] ", true); },
            "a one-line report of error 2 with its text"));
}

TEST(PrintSystemError, UnknownCodeAndCodesAbove2147483647) {
    EXPECT_EXIT(
        {
            print_system_error("msg", 0x2000FFFFu);
            exit(0);
        },
        ::testing::ExitedWithCode(0), unit::output_is("msg ([Error 536936447] <unknown>)\n"));
    // Printed unsigned, never negative.
    EXPECT_EXIT(
        {
            print_system_error("msg", 0xC0000005u);
            exit(0);
        },
        ::testing::ExitedWithCode(0),
        unit::output_satisfies(
            [](const std::string& out) { return unit::without_carriage_returns(out).rfind("msg ([Error 3221225477] ", 0) == 0; },
            "starts with the code in unsigned decimal"));
}

TEST(ExitWithSystemError, EndsWithStatus2AfterTheLine) {
    EXPECT_EXIT(exit_with_system_error("Error, load DLL.", 0x2000FFFFu), unit::reported_failure(),
                unit::output_is("Error, load DLL. ([Error 536936447] <unknown>)\n"));
}

TEST(ExitWithError, EndsWithStatus2AndNothingOnStandardError) {
    EXPECT_EXIT(exit_with_error("Error, couldn't find attached data header."), unit::reported_failure(),
                unit::output_is(""));
}

TEST(ExitWithOpenError, NamesTheOutputPath) {
    EXPECT_EXIT(
        {
            wcscpy(g_state.output_path, L"some dir/file name.dll");
            exit_with_open_error();
        },
        unit::reported_failure(), unit::output_is("Error, failed to open 'some dir/file name.dll' for writing.\n"));
}

TEST(AbortWithError, PrintsThePathSpecThenMakesAFatalStop) {
    EXPECT_EXIT(abort_with_error(L"{TEMP}/onefile_{PID}"),
        unit::fatal_stop(), unit::output_is("Error, couldn't runtime expand spec '{TEMP}/onefile_{PID}'.\n"));
}

}  // namespace
