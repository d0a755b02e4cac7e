// Joining the child's command line: the quoting rules, a round trip through an independent splitter
// that follows the platform's documented parsing rules, and the 32767-unit bound.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/command_line_join.h"
#include "test_support.h"

namespace {

using Arguments = std::vector<std::wstring>;

struct Joined {
    bool result;
    std::wstring line;
};

// Joins into a heap buffer of exactly `capacity` units, so the sanitizer build sees any write past it.
Joined join(const Arguments& arguments, size_t capacity = COMMAND_LINE_CAPACITY) {
    std::vector<wchar_t*> pointers;
    std::vector<std::wstring> copies(arguments);
    for (std::wstring& argument : copies) pointers.push_back(argument.data());
    std::unique_ptr<wchar_t[]> out(new wchar_t[capacity]);
    out[0] = L'#';
    const bool result = join_command_line(pointers.data(), static_cast<int>(pointers.size()), out.get(), capacity);
    return {result, std::wstring(out.get())};
}

// The documented rules by which the runtime splits a command line into arguments:
// - outside double quotes, spaces and tabs separate arguments;
// - 2N backslashes followed by a double quote give N backslashes, and the quote opens or closes a
//   quoted part; 2N+1 backslashes followed by a double quote give N backslashes and a literal quote;
// - backslashes not followed by a double quote are literal;
// - inside a quoted part, two double quotes in a row give one literal quote.
// An argument exists as soon as any of its characters, or a quote, has been seen.
Arguments split(const std::wstring& line) {
    Arguments arguments;
    std::wstring current;
    bool in_argument = false;
    bool quoted = false;
    size_t i = 0;
    while (i < line.size()) {
        const wchar_t c = line[i];
        if (!quoted && (c == L' ' || c == L'\t')) {
            if (in_argument) arguments.push_back(current);
            current.clear();
            in_argument = false;
            ++i;
            continue;
        }
        in_argument = true;
        if (c == L'\\') {
            size_t n = 0;
            while (i < line.size() && line[i] == L'\\') {
                ++n;
                ++i;
            }
            if (i < line.size() && line[i] == L'"') {
                current.append(n / 2, L'\\');
                if (n % 2 == 1) {
                    current += L'"';
                    ++i;
                }
                // With an even count the quote is handled on the next pass.
            } else {
                current.append(n, L'\\');
            }
            continue;
        }
        if (c == L'"') {
            if (quoted && i + 1 < line.size() && line[i + 1] == L'"') {
                current += L'"';
                i += 2;
                continue;
            }
            quoted = !quoted;
            ++i;
            continue;
        }
        current += c;
        ++i;
    }
    if (in_argument) arguments.push_back(current);
    return arguments;
}

TEST(CommandLineSplitter, FollowsTheDocumentedExamples) {
    // The oracle itself, checked against the examples of the platform's documentation.
    EXPECT_EQ(split(L"\"a b c\" d e"), (Arguments{L"a b c", L"d", L"e"}));
    EXPECT_EQ(split(L"\"ab\\\"c\" \"\\\\\" d"), (Arguments{L"ab\"c", L"\\", L"d"}));
    EXPECT_EQ(split(L"a\\\\\\b d\"e f\"g h"), (Arguments{L"a\\\\\\b", L"de fg", L"h"}));
    EXPECT_EQ(split(L"a\\\\\\\"b c d"), (Arguments{L"a\\\"b", L"c", L"d"}));
    EXPECT_EQ(split(L"a\\\\\\\\\"b c\" d e"), (Arguments{L"a\\\\b c", L"d", L"e"}));
    EXPECT_EQ(split(L"\"\" x"), (Arguments{L"", L"x"}));
}

// ---- quoting ------------------------------------------------------------------------------------------

struct JoinCase {
    const char* label;
    Arguments arguments;
    std::wstring line;
};

TEST(CommandLineJoin, QuotesAsTheSplitterNeeds) {
    const JoinCase cases[] = {
        JoinCase{"plain", {L"prog", L"a", L"b"}, L"prog a b"},
        JoinCase{"space", {L"a b"}, L"\"a b\""},
        JoinCase{"tab", {L"a\tb"}, L"\"a\tb\""},
        JoinCase{"line_feed", {L"a\nb"}, L"\"a\nb\""},
        JoinCase{"vertical_tab", {L"a\vb"}, L"\"a\vb\""},
        JoinCase{"inner_quote", {L"a\"b"}, L"\"a\\\"b\""},
        JoinCase{"quote_alone", {L"\""}, L"\"\\\"\""},
        // Two backslashes and a quote: five backslashes and the quote.
        JoinCase{"two_backslashes_quote", {L"a\\\\\"b"}, L"\"a\\\\\\\\\\\"b\""},
        JoinCase{"one_backslash_quote", {L"a\\\"b"}, L"\"a\\\\\\\"b\""},
        // A quoted argument's trailing backslash is doubled so the closing quote stays a quote.
        JoinCase{"space_and_trailing_backslash", {L"a b\\"}, L"\"a b\\\\\""},
        JoinCase{"space_and_two_trailing_backslashes", {L"a b\\\\"}, L"\"a b\\\\\\\\\""},
        JoinCase{"backslash_before_ordinary_quoted", {L"a\\b c"}, L"\"a\\b c\""},
        JoinCase{"backslashes_before_ordinary_unquoted", {L"a\\\\b"}, L"a\\\\b"},
        JoinCase{"path_ending_in_backslash", {L"C:\\dir\\"}, L"C:\\dir\\"},
        JoinCase{"carriage_return_not_quoted", {L"a\rb"}, L"a\rb"},
        JoinCase{"empty", {L""}, L"\"\""},
        JoinCase{"empty_among_others", {L"x", L"", L"y"}, L"x \"\" y"},
        JoinCase{"program_path_with_space", {L"C:\\Program Files\\app\\tool.exe", L"-v"},
        L"\"C:\\Program Files\\app\\tool.exe\" -v"},
        JoinCase{"non_ascii", {L"caf\u00e9", L"\u4e2d \u6587"}, L"caf\u00e9 \"\u4e2d \u6587\""}
    };
    for (const JoinCase& c : cases) {
        SCOPED_TRACE(c.label);
        const Joined joined = join(c.arguments);
        EXPECT_TRUE(joined.result);
        EXPECT_EQ(joined.line, c.line);
        EXPECT_EQ(split(joined.line), c.arguments);
    }
}

TEST(CommandLineJoinEdges, NoArgumentsIsTheEmptyLine) {
    const Joined joined = join({});
    EXPECT_TRUE(joined.result);
    EXPECT_EQ(joined.line, L"");
}

// ---- round trip -------------------------------------------------------------------------------------------

Arguments random_arguments(std::mt19937& generator) {
    static const std::wstring pieces[] = {L"a",  L"b", L" ",  L"\t", L"\\",     L"\\\\", L"\"",
                                          L"\n", L"\v", L"\r", L"é",  L"\u4e2d", L"-",    L"="};
    std::uniform_int_distribution<int> count(1, 6), length(0, 8), piece(0, std::size(pieces) - 1);
    Arguments arguments(static_cast<size_t>(count(generator)));
    for (std::wstring& argument : arguments) {
        const int n = length(generator);
        for (int i = 0; i < n; ++i) argument += pieces[piece(generator)];
    }
    return arguments;
}

TEST(CommandLineRoundTrip, TrickyLists) {
    const std::vector<Arguments> lists = {
        {L"C:\\launcher.exe", L"\\\\server\\share\\", L"\"quoted\"", L"end\\\\\""},
        {L"x", L"\\\"", L"\\\\\"", L"\\\\\\\"", L"\"\\"},
        {L"a b\\\\\\", L"\\ \\", L" ", L"\t"},
        {L"", L"", L""},
        {L"\"\"", L"\" \"", L"a\"\"b"},
        {L"\U0001F600 smile", L"\u00e9\\\"\u00e9"},
    };
    for (const Arguments& arguments : lists) {
        const Joined joined = join(arguments);
        ASSERT_TRUE(joined.result);
        EXPECT_EQ(split(joined.line), arguments) << ::testing::PrintToString(joined.line);
    }
}

TEST(CommandLineRoundTrip, RandomListsFromAFixedSeed) {
    std::mt19937 generator(4101);
    for (int i = 0; i < 20000; ++i) {
        const Arguments arguments = random_arguments(generator);
        const Joined joined = join(arguments);
        ASSERT_TRUE(joined.result);
        ASSERT_EQ(split(joined.line), arguments) << "line " << ::testing::PrintToString(joined.line);
    }
}

// ---- the bound ----------------------------------------------------------------------------------------------

struct BoundCase {
    const char* label;
    Arguments arguments;
    size_t length;  // of the joined line
};

const std::wstring X(16383, L'x');

TEST(CommandLineBound, FitsUpTo32767Units) {
    const BoundCase cases[] = {
        BoundCase{"one_argument_32767", {std::wstring(32767, L'x')}, 32767},
        BoundCase{"one_argument_32768", {std::wstring(32768, L'x')}, 32768},
        BoundCase{"two_arguments_32767", {X, X}, 32767},
        BoundCase{"separator_overflows", {X + L"x", X}, 32768},
        // Quotes count: 32765 units with a space become 32767 quoted.
        BoundCase{"quoted_32767", {std::wstring(32764, L'x') + L" "}, 32767},
        BoundCase{"quoted_32768", {std::wstring(32765, L'x') + L" "}, 32768},
        // The doubled trailing backslash is what overflows.
        BoundCase{"doubled_backslash_32768", {L" " + std::wstring(32763, L'x') + L"\\"}, 32768},
        // Each empty argument is written as two quotes.
        BoundCase{"empty_arguments_32765", Arguments(10922, L""), 32765},
        BoundCase{"empty_arguments_32768", Arguments(10923, L""), 32768}
    };
    for (const BoundCase& c : cases) {
        SCOPED_TRACE(c.label);
        const Joined joined = join(c.arguments);
        if (c.length <= 32767) {
            EXPECT_TRUE(joined.result);
            EXPECT_EQ(joined.line.size(), c.length);
            EXPECT_EQ(split(joined.line), c.arguments);
        } else {
            EXPECT_FALSE(joined.result);
            EXPECT_EQ(joined.line, L"") << "a partial line must not be left behind";
        }
    }
}

TEST(CommandLineBoundEdges, SmallCapacities) {
    EXPECT_TRUE(join({}, 1).result);
    EXPECT_TRUE(join({L"ab"}, 3).result);
    const Joined too_small = join({L"ab"}, 2);
    EXPECT_FALSE(too_small.result);
    EXPECT_EQ(too_small.line, L"");
}

}  // namespace
