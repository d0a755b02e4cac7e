// The system error line with the system's own text, as FormatMessageW gives it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "common/errors.h"
#include "test_support.h"

#include <windows.h>

namespace {

// The system's text for a code, with its trailing CR and LF removed, in the narrow form the
// runtime prints (ASCII for the codes used here).
std::string trimmed_system_text(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0,
        reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string narrow;
    for (DWORD i = 0; i < length; ++i) narrow += static_cast<char>(text[i]);
    LocalFree(text);
    while (!narrow.empty() && (narrow.back() == '\r' || narrow.back() == '\n')) narrow.pop_back();
    return narrow;
}

class SystemErrorText : public ::testing::TestWithParam<DWORD> {};

TEST_P(SystemErrorText, IsPrintedOnOneLine) {
    const DWORD code = GetParam();
    const std::string text = trimmed_system_text(code);
    ASSERT_FALSE(text.empty()) << "the system has no text for " << code;
    const std::string expected = "Error, load DLL. ([Error " + std::to_string(code) + "] " + text + ")\n";
    EXPECT_EXIT(
        {
            print_system_error("Error, load DLL.", code);
            exit(0);
        },
        ::testing::ExitedWithCode(0),
        unit::output_satisfies(
            [expected](const std::string& out) {
                // The line ends in the format's own line end and has no other.
                const std::string line = unit::without_carriage_returns(out);
                return line == expected && line.find('\n') == line.size() - 1;
            },
            "is \"" + expected + "\""));
}

INSTANTIATE_TEST_SUITE_P(Codes, SystemErrorText,
                         ::testing::Values(ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_MOD_NOT_FOUND,
                                           ERROR_BAD_EXE_FORMAT));

TEST(SystemErrorUnknown, HasNoText) {
    EXPECT_EXIT(
        {
            print_system_error("Error, couldn't launch child", 0x2000FFFF);
            exit(0);
        },
        ::testing::ExitedWithCode(0), unit::output_is("Error, couldn't launch child ([Error 536936447] <unknown>)\n"));
}

}  // namespace
