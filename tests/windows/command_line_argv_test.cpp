// The child's command line against the system's own splitter, CommandLineToArgvW.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/command_line_join.h"
#include "test_support.h"

#include <windows.h>
#include <shellapi.h>

namespace {

using Arguments = std::vector<std::wstring>;

std::wstring join(const Arguments& arguments) {
    std::vector<std::wstring> copies(arguments);
    std::vector<wchar_t*> pointers;
    for (std::wstring& argument : copies) pointers.push_back(argument.data());
    static wchar_t line[COMMAND_LINE_CAPACITY];
    EXPECT_TRUE(join_command_line(pointers.data(), static_cast<int>(pointers.size()), line, COMMAND_LINE_CAPACITY));
    return line;
}

Arguments system_split(const std::wstring& line) {
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(line.c_str(), &count);
    Arguments arguments;
    if (argv == nullptr) return {L"<CommandLineToArgvW failed>"};
    for (int i = 0; i < count; ++i) arguments.push_back(argv[i]);
    LocalFree(argv);
    return arguments;
}

// The arguments after a plain program name, which the splitter reads by rules of its own.
void expect_round_trip(const Arguments& arguments) {
    const std::wstring line = L"prog " + join(arguments);
    Arguments expected{L"prog"};
    expected.insert(expected.end(), arguments.begin(), arguments.end());
    EXPECT_EQ(system_split(line), expected) << "line: " << line;
}

TEST(CommandLineToArgv, QuotesBackslashesEmptyArgumentsAndNonAscii) {
    const std::vector<Arguments> lists = {
        {L"a b", L"a\tb", L"a\"b", L"\"", L"\"\""},
        {L"a\\\\\"b", L"a\\\"b", L"a b\\", L"a b\\\\", L"C:\\dir\\", L"\\\\server\\share\\"},
        {L"", L"x", L"", L""},
        {L"caf\u00e9", L"\u4e2d \u6587", L"\U0001F600", L"\u00e9\\\"\u00e9 "},
        {L"a\rb", L"a\nb", L"a\vb"},
        {L"-flag=\"quoted value\"", L"end with \\"},
    };
    for (const Arguments& arguments : lists) expect_round_trip(arguments);
}

TEST(CommandLineToArgv, RandomListsFromAFixedSeed) {
    static const std::wstring pieces[] = {L"a", L"b",  L" ",  L"\t", L"\\", L"\\\\", L"\"",
                                          L"é", L"\u4e2d", L"\r", L"\n", L"-", L"\U0001F600"};
    std::mt19937 generator(8191);
    std::uniform_int_distribution<int> count(1, 6), length(0, 8), piece(0, std::size(pieces) - 1);
    for (int i = 0; i < 3000; ++i) {
        Arguments arguments(static_cast<size_t>(count(generator)));
        for (std::wstring& argument : arguments) {
            const int n = length(generator);
            for (int k = 0; k < n; ++k) argument += pieces[piece(generator)];
        }
        expect_round_trip(arguments);
        if (HasFailure()) break;
    }
}

TEST(CommandLineToArgv, ModulePathAsArgumentZero) {
    // Argument 0 follows the splitter's own rule: quoted up to the next quote, else up to a blank.
    for (const std::wstring& module : {std::wstring(L"C:\\Program Files\\app dir\\launcher.exe"),
                                       std::wstring(L"C:\\apps\\launcher.exe")}) {
        const Arguments arguments{module, L"first arg", L"\\\"x\\\""};
        EXPECT_EQ(system_split(join(arguments)), arguments);
    }
}

}  // namespace
