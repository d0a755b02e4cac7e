// The Windows host's own rules: with no execute bit, a file is a program when it begins as one
// (ELF, MZ or #!); error texts are one line like strerror()'s; the wide command line reaches the
// packer as UTF-8.
#include <gtest/gtest.h>

#include "file_io.h"
#include "host.h"
#include "host_support.h"

namespace {

namespace fs = std::filesystem;
using host_test::write_through_host;
using namespace onefile::pack;

struct ContentCase {
    const char* label;
    std::string content;
    bool executable;
};

class Win32Executable : public ::testing::TestWithParam<ContentCase> {};

TEST_P(Win32Executable, FollowsTheFirstBytes) {
    const TempDir dir;
    const fs::path path = dir.path() / "file";
    write_through_host(path, GetParam().content);
    FileStatus status;
    ASSERT_TRUE(host_status(path, true, status));
    EXPECT_EQ(status.executable, GetParam().executable);
    // What it reads to decide leaves the file as it was.
    EXPECT_EQ(host_test::read_through_host(path), GetParam().content);
}

INSTANTIATE_TEST_SUITE_P(Contents, Win32Executable,
                         ::testing::Values(ContentCase{"Elf",
                                                       std::string("\x7f"
                                                                   "ELF\x02\x01\x01",
                                                                   7),
                                                       true},
                                           ContentCase{"PortableExecutable", "MZ\x90", true},
                                           ContentCase{"Script", "#!/bin/sh\n", true},
                                           ContentCase{"Text", "plain text", false}, ContentCase{"Empty", "", false},
                                           ContentCase{"ShortElf",
                                                       "\x7f"
                                                       "EL",
                                                       false},
                                           ContentCase{"LowerCaseMz", "mz", false}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(Win32Errors, TextsAreOneLineWithoutTheFullStop) {
    // ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED and a code the system has no text for.
    for (const int code : {2, 5, 0x2000FFFF}) {
        const std::string text = host_error_text(code);
        SCOPED_TRACE(code);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
        EXPECT_NE(text.back(), '.') << text;
    }
    EXPECT_TRUE(host_error_is_not_found(2));
    EXPECT_TRUE(host_error_is_not_found(3));
    EXPECT_FALSE(host_error_is_not_found(5));
}

TEST(Win32Arguments, TheWideCommandLineArrivesAsUtf8) {
    // The test's own command line: the program name is left out, the rest split as the C runtime
    // splits it.
    const std::vector<std::string> args = host_arguments(0, nullptr);
    for (const std::string& arg : args) {
        EXPECT_EQ(path_to_utf8(path_from_utf8(arg)), arg);
    }
    EXPECT_EQ(path_from_utf8("caf\xc3\xa9").native(), std::wstring(L"caf\u00e9"));
    EXPECT_EQ(path_from_utf8("\xf0\x9d\x84\x9e").native(), std::wstring(L"\U0001D11E"));
}

}  // namespace
