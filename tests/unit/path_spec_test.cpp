// Expansion of path specs: literals and their bounds, keyword syntax, every keyword's value, the
// values published for the child, and the random token.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "environment/env_bridge.h"
#include "environment/path_spec.h"
#include "platform/platform.h"
#include "test_support.h"

namespace {

using unit::ArgvZeroGuard;
using unit::EnvGuard;

constexpr wchar_t SEP = PATH_SEPARATOR;
const std::wstring S(1, PATH_SEPARATOR);

constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

struct Expansion {
    bool result;
    std::wstring output;
};

// Expands into a heap buffer of exactly `capacity` code units, so that a write past it is caught by
// the sanitizer build.
Expansion expand(const std::wstring& spec, uint64_t capacity = 4096) {
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[capacity]);
    const bool result = expand_path_spec(buffer.get(), spec.c_str(), capacity);
    return {result, std::wstring(buffer.get())};
}

std::wstring env_value(const char* name) {
    wchar_t* value = get_env_wide(name);
    std::wstring text = value != nullptr ? value : L"<absent>";
    free(value);
    return text;
}

bool all_digits(const std::wstring& text) {
    if (text.empty()) return false;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
    }
    return true;
}

// Every test here controls the variables the expander reads; the parent id is fixed so that "{PID}"
// has a known value.
class PathSpec : public ::testing::Test {
protected:
    void SetUp() override { set_bridged_env("VARNOK_ONEFILE_PARENT", L"4242"); }

    EnvGuard parent_{"VARNOK_ONEFILE_PARENT"};
    EnvGuard random_{"VARNOK_ONEFILE_RANDOM"};
    EnvGuard time_us_{"VARNOK_ONEFILE_TIME_US"};
    EnvGuard start_{"VARNOK_ONEFILE_START"};
};

// ---- syntax -------------------------------------------------------------------------------------------

struct SyntaxCase {
    const char* label;
    std::wstring spec;
    bool result;
    std::wstring output;
};

const std::wstring LONG_NAME(5000, L'A');

TEST_F(PathSpec, SyntaxTable) {
    const SyntaxCase cases[] = {
        SyntaxCase{"empty", L"", true, L""},
        SyntaxCase{"literals", L"abc" + S + L"def", true, L"abc" + S + L"def"},
        SyntaxCase{"keyword", L"{PID}", true, L"4242"},
        SyntaxCase{"lower_case", L"{pid}", true, L"4242"},
        SyntaxCase{"mixed_case", L"{PiD}", true, L"4242"},
        SyntaxCase{"between_literals", L"a{PID}b", true, L"a4242b"},
        SyntaxCase{"twice", L"{PID}-{PID}", true, L"4242-4242"},
        SyntaxCase{"extra_character", L"{PIDX}", false, L""},
        SyntaxCase{"inner_blank", L"{P ID}", false, L""},
        SyntaxCase{"leading_blank", L"{ PID}", false, L""},
        SyntaxCase{"trailing_blank", L"{PID }", false, L""},
        SyntaxCase{"unknown", L"{NOPE}", false, L""},
        SyntaxCase{"empty_name", L"{}", false, L""},
        SyntaxCase{"empty_name_keeps_prefix", L"ab{}cd", false, L"ab"},
        // Only ASCII letters fold: a dotless capital I is not an I.
        SyntaxCase{"non_ascii_fold", L"{P\u0130D}", false, L""},
        SyntaxCase{"unterminated", L"ab{PID", true, L"ab"},
        SyntaxCase{"unterminated_alone", L"{", true, L""},
        SyntaxCase{"restart", L"{x{PID}", true, L"4242"},
        SyntaxCase{"restart_after_literal", L"a{x{y{PID}b", true, L"a4242b"},
        SyntaxCase{"closing_brace_alone", L"}", false, L""},
        SyntaxCase{"closing_brace_after_literal", L"ab}", false, L"ab"},
        SyntaxCase{"closing_brace_after_keyword", L"{{PID}}", false, L"4242"},
        // The keyword buffer holds 1023 characters; longer names are refused without overrunning it.
        SyntaxCase{"name_of_1023", L"{" + std::wstring(1023, L'A') + L"}", false, L""},
        SyntaxCase{"name_of_1024", L"{" + std::wstring(1024, L'A') + L"}", false, L""},
        SyntaxCase{"name_of_5000", L"x{" + LONG_NAME + L"}", false, L"x"},
        SyntaxCase{"long_name_restarted", L"x{" + LONG_NAME + L"{PID}", true, L"x4242"},
        SyntaxCase{"long_name_unterminated", L"x{" + LONG_NAME, true, L"x"}
    };
    for (const SyntaxCase& c : cases) {
        SCOPED_TRACE(c.label);
        const Expansion e = expand(c.spec);
        EXPECT_EQ(e.result, c.result);
        EXPECT_EQ(e.output, c.output);
    }
}

// ---- bounds -------------------------------------------------------------------------------------------

TEST_F(PathSpec, LiteralsFitCapacityOfLengthPlusOneAndNoLess) {
    for (size_t n : {1u, 2u, 3u, 17u, 260u, 4095u}) {
        SCOPED_TRACE(n);
        const std::wstring spec(n, L'q');
        const Expansion fits = expand(spec, n + 1);
        EXPECT_TRUE(fits.result);
        EXPECT_EQ(fits.output, spec);
        // One unit short: false, and the output is terminated after what did fit.
        const Expansion short_by_one = expand(spec, n);
        EXPECT_FALSE(short_by_one.result);
        EXPECT_EQ(short_by_one.output, spec.substr(0, n - 1));
    }
}

TEST_F(PathSpec, EmptySpecNeedsOnlyTheTerminator) {
    const Expansion e = expand(L"", 1);
    EXPECT_TRUE(e.result);
    EXPECT_EQ(e.output, L"");
}

TEST_F(PathSpec, LiteralAfterKeywordThatDoesNotFitReturnsFalse) {
    // "4242" and "a" take 5 units; "b" finds 1 unit left: a literal that does not fit is false.
    const Expansion e = expand(L"{PID}ab", 6);
    EXPECT_FALSE(e.result);
    EXPECT_EQ(e.output, L"4242a");
    EXPECT_TRUE(expand(L"{PID}ab", 7).result);
}

TEST_F(PathSpec, KeywordValueThatFitsExactly) {
    const Expansion e = expand(L"ab{PID}", 7);
    EXPECT_TRUE(e.result);
    EXPECT_EQ(e.output, L"ab4242");
}

TEST_F(PathSpec, KeywordValueThatDoesNotFitIsAFatalStop) {
    EXPECT_EXIT(
        {
            expand(L"ab{PID}", 6);
            fprintf(stderr, "returned\n");
            exit(0);
        },
        unit::fatal_stop(), unit::output_is(""));
}

// ---- {PROGRAM}, {PROGRAM_BASE}, {PROGRAM_DIR} -------------------------------------------------------------

struct ProgramCase {
    const char* label;
    std::wstring argv0;
    std::wstring spec;
    std::wstring output;
};

const std::wstring TOOL_PATH = L"D:" + S + L"app" + S + L"tool.EXE";

TEST_F(PathSpec, ProgramTable) {
    const ProgramCase cases[] = {
        ProgramCase{"program", TOOL_PATH, L"{PROGRAM}", TOOL_PATH},
        ProgramCase{"base_of_path", TOOL_PATH, L"{PROGRAM_BASE}", L"D:" + S + L"app" + S + L"tool"},
        ProgramCase{"dir_of_path", TOOL_PATH, L"{PROGRAM_DIR}", L"D:" + S + L"app"},
        ProgramCase{"base_of_bare_name", L"tool", L"{PROGRAM_BASE}", L"tool"},
        ProgramCase{"dir_of_bare_name", L"tool", L"{PROGRAM_DIR}", L"tool"},
        ProgramCase{"base_lower_case", L"tool.exe", L"{program_base}", L"tool"},
        ProgramCase{"base_mixed_case", L"TOOL.ExE", L"{PROGRAM_BASE}", L"TOOL"},
        ProgramCase{"base_is_extension_only", L".exe", L"{PROGRAM_BASE}", L""},
        ProgramCase{"base_short_value", L"exe", L"{PROGRAM_BASE}", L"exe"},
        ProgramCase{"base_no_dot", L"toolexe", L"{PROGRAM_BASE}", L"toolexe"},
        ProgramCase{"base_other_extension", L"tool.exe.bak", L"{PROGRAM_BASE}", L"tool.exe.bak"},
        ProgramCase{"base_directory_extension", L"C:" + S + L"d.exe" + S + L"tool", L"{PROGRAM_BASE}",
        L"C:" + S + L"d.exe" + S + L"tool"},
        // The ".exe" test looks at the value only, never at what the path spec wrote before it.
        ProgramCase{"base_ignores_prefix", L"xe", L"a.e{PROGRAM_BASE}", L"a.exe"},
        // The cut looks for a separator within the value only.
        ProgramCase{"dir_ignores_prefix", L"tool", L"a" + S + L"b{PROGRAM_DIR}", L"a" + S + L"btool"},
        ProgramCase{"dir_at_first_unit", S + L"tool", L"x{PROGRAM_DIR}", L"x"},
        ProgramCase{"dir_then_literals", TOOL_PATH, L"{PROGRAM_DIR}" + S + L"lib", L"D:" + S + L"app" + S + L"lib"}
    };
    for (const ProgramCase& c : cases) {
        SCOPED_TRACE(c.label);
        ArgvZeroGuard argv0(c.argv0.c_str());
        const Expansion e = expand(c.spec);
        EXPECT_TRUE(e.result);
        EXPECT_EQ(e.output, c.output);
    }
}

TEST_F(PathSpec, ProgramValueBounds) {
    ArgvZeroGuard argv0(L"tool.exe");
    EXPECT_EQ(expand(L"{PROGRAM}", 9).output, L"tool.exe");
    EXPECT_EXIT(
        {
            expand(L"{PROGRAM}", 8);
            exit(0);
        },
        unit::fatal_stop(), unit::output_is(""));
    // The nested expansion of "{PROGRAM_BASE}" needs the whole value before it cuts ".exe".
    EXPECT_EXIT(
        {
            expand(L"{PROGRAM_BASE}", 8);
            exit(0);
        },
        unit::fatal_stop(), unit::output_is(""));
}

TEST_F(PathSpec, MissingArgumentZeroIsAFatalStop) {
    EXPECT_EXIT(
        {
            ArgvZeroGuard argv0(nullptr);
            expand(L"{PROGRAM}");
            exit(0);
        },
        unit::fatal_stop(), unit::output_is(""));
}

// ---- {TEMP}, {HOME}, {CACHE_DIR} ------------------------------------------------------------------------

TEST_F(PathSpec, TempLosesEveryTrailingSeparator) {
    EnvGuard tmp("TMP");
    EnvGuard tmpdir("TMPDIR");
    const std::wstring root = unit::wide(unit::scratch_root());
    for (const std::wstring& trailing : {std::wstring(), S, S + S + S}) {
        SCOPED_TRACE(trailing.size());
        // Windows reads TMP, Linux TMPDIR.
        set_bridged_env("TMP", (root + trailing).c_str());
        set_bridged_env("TMPDIR", (root + trailing).c_str());
        for (const wchar_t* spec : {L"{TEMP}", L"{temp}", L"{Temp}"}) {
            const Expansion e = expand(spec);
            EXPECT_TRUE(e.result) << spec;
            EXPECT_EQ(e.output, root) << spec;
        }
        EXPECT_EQ(expand(L"{TEMP}" + S + L"x").output, root + S + L"x");
    }
}

TEST_F(PathSpec, TempOfTheSystemNeverEndsInASeparator) {
    const Expansion e = expand(L"{TEMP}");
    ASSERT_TRUE(e.result);
    ASSERT_FALSE(e.output.empty());
    EXPECT_NE(e.output.back(), SEP);
}

TEST_F(PathSpec, HomeAndCacheDirectory) {
    for (const wchar_t* spec : {L"{HOME}", L"{home}", L"{CACHE_DIR}", L"{cache_dir}"}) {
        SCOPED_TRACE(::testing::PrintToString(std::wstring(spec)));
        const Expansion e = expand(spec);
        ASSERT_TRUE(e.result);
        ASSERT_FALSE(e.output.empty());
        EXPECT_NE(e.output.back(), SEP);
    }
    EXPECT_EQ(expand(L"{HOME}").output, expand(L"{Home}").output);
    // The profile directory is a directory that exists.
    EXPECT_EQ(platform_path_kind(expand(L"{HOME}").output.c_str()), PathKind::Directory);
}

// ---- {PID} --------------------------------------------------------------------------------------------

TEST_F(PathSpec, PidIsTheInheritedParentId) {
    set_bridged_env("VARNOK_ONEFILE_PARENT", L"123456789");
    EXPECT_EQ(expand(L"{PID}").output, L"123456789");
}

TEST_F(PathSpec, PidWithoutParentIsTheOwnProcessId) {
    const std::wstring own = std::to_wstring(platform_current_process_id());
    unset_bridged_env("VARNOK_ONEFILE_PARENT");
    EXPECT_EQ(expand(L"{PID}").output, own);
    // An empty variable reads as absent.
    set_bridged_env("VARNOK_ONEFILE_PARENT", L"");
    EXPECT_EQ(expand(L"{PID}").output, own);
}

TEST_F(PathSpec, BadParentIdIsAFatalStopWithoutOutput) {
    const wchar_t* const cases[] = {
        L"x", L"12a", L"a12", L" 12", L"12 ", L"1 2", L"-12", L"+12", L"12\t"
    };
    for (const wchar_t* param : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::wstring(param)));
        set_bridged_env("VARNOK_ONEFILE_PARENT", param);
        EXPECT_EXIT(
            {
                expand(L"x{PID}");
                fprintf(stderr, "returned\n");
                exit(0);
            },
            unit::fatal_stop(), unit::output_is(""));
    }
}

// ---- values published for the child ---------------------------------------------------------------------

TEST_F(PathSpec, TimeUsIsSixDigitsOfTheCurrentSecondAndIsPublished) {
    unset_bridged_env("VARNOK_ONEFILE_TIME_US");
    const int64_t before = platform_system_time();
    const Expansion e = expand(L"{TIME_US}");
    const int64_t after = platform_system_time();
    ASSERT_TRUE(e.result);
    ASSERT_EQ(e.output.size(), 6u) << ::testing::PrintToString(e.output);
    ASSERT_TRUE(all_digits(e.output));
    const long value = std::stol(e.output);
    const long low = static_cast<long>((before / 10) % 1000000);
    const long high = static_cast<long>((after / 10) % 1000000);
    if (low <= high) {  // the second did not roll over in between
        EXPECT_GE(value, low);
        EXPECT_LE(value, high);
    }
    EXPECT_EQ(env_value("VARNOK_ONEFILE_TIME_US"), e.output);
    // Later expansions, and a child's, read the published value back.
    EXPECT_EQ(expand(L"{time_us}").output, e.output);
}

TEST_F(PathSpec, TimeIsTheFullCountAndIsPublished) {
    unset_bridged_env("VARNOK_ONEFILE_START");
    const int64_t before = platform_system_time();
    const Expansion e = expand(L"{TIME}");
    const int64_t after = platform_system_time();
    ASSERT_TRUE(e.result);
    ASSERT_EQ(e.output.size(), 18u) << ::testing::PrintToString(e.output);
    ASSERT_TRUE(all_digits(e.output));
    const long long value = std::stoll(e.output);
    EXPECT_GE(value, before);
    EXPECT_LE(value, after);
    EXPECT_EQ(env_value("VARNOK_ONEFILE_START"), e.output);
    EXPECT_EQ(expand(L"{TIME}").output, e.output);
}

TEST_F(PathSpec, InheritedValuesAreUsedUnchanged) {
    set_bridged_env("VARNOK_ONEFILE_TIME_US", L"not a number");
    set_bridged_env("VARNOK_ONEFILE_START", L"7");
    set_bridged_env("VARNOK_ONEFILE_RANDOM", L"given token");
    const Expansion e = expand(L"{TIME_US}|{TIME}|{RANDOM}");
    EXPECT_TRUE(e.result);
    EXPECT_EQ(e.output, L"not a number|7|given token");
}

void expect_token_shape(const std::wstring& token) {
    ASSERT_EQ(token.size(), static_cast<size_t>(RANDOM_TOKEN_LENGTH)) << ::testing::PrintToString(token);
    const std::string alphabet(ALPHABET);
    for (wchar_t c : token) {
        ASSERT_LT(static_cast<unsigned>(c), 128u);
        ASSERT_NE(alphabet.find(static_cast<char>(c)), std::string::npos) << static_cast<unsigned>(c);
    }
    // The last character holds only the low 4 bits of the last byte, shifted left by 2.
    EXPECT_EQ(alphabet.find(static_cast<char>(token.back())) % 4, 0u);
}

TEST_F(PathSpec, RandomIsPublishedReusedAndRenewedAfterRemoval) {
    unset_bridged_env("VARNOK_ONEFILE_RANDOM");
    const Expansion first = expand(L"{RANDOM}");
    ASSERT_TRUE(first.result);
    expect_token_shape(first.output);
    EXPECT_EQ(env_value("VARNOK_ONEFILE_RANDOM"), first.output);
    EXPECT_EQ(expand(L"{random}").output, first.output);

    unset_bridged_env("VARNOK_ONEFILE_RANDOM");
    const Expansion second = expand(L"{RANDOM}");
    expect_token_shape(second.output);
    EXPECT_NE(second.output, first.output);
    EXPECT_EQ(env_value("VARNOK_ONEFILE_RANDOM"), second.output);
}

TEST_F(PathSpec, TargetDirectorySpecOfTheLauncher) {
    EnvGuard tmp("TMP");
    EnvGuard tmpdir("TMPDIR");
    const std::wstring root = unit::wide(unit::scratch_root());
    set_bridged_env("TMP", root.c_str());
    set_bridged_env("TMPDIR", root.c_str());
    unset_bridged_env("VARNOK_ONEFILE_TIME_US");
    unset_bridged_env("VARNOK_ONEFILE_RANDOM");
    const std::wstring spec = L"{TEMP}" + S + L"onefile_{PID}_{TIME_US}_{RANDOM}";
    const Expansion e = expand(spec);
    ASSERT_TRUE(e.result);
    const std::wstring expected = root + S + L"onefile_4242_" + env_value("VARNOK_ONEFILE_TIME_US") + L"_" +
                                  env_value("VARNOK_ONEFILE_RANDOM");
    EXPECT_EQ(e.output, expected);
    // A child with the same environment gets the same directory.
    EXPECT_EQ(expand(spec).output, e.output);
}

// ---- the random token -------------------------------------------------------------------------------

struct TokenCase {
    uint32_t state;
    const wchar_t* token;
};

// The worked example (bytes 21 01 C5 4F D1 D0 1A B2) and further states, worked out separately from
// the definition: eight xorshift32 steps (13, 17, 5), the low byte of each, URL-safe Base64.
TEST(RandomToken, MatchesTheWorkedOutValue) {
    const TokenCase cases[] = {
        TokenCase{1u, L"IQHFT9HQGrI"}, TokenCase{0xDEADBEEFu, L"t0JYO0gbXLM"},
        TokenCase{0x80000000u, L"AIRIlEGeIMI"},
        TokenCase{0xFFFFFFFFu, L"H_9D2pHssPs"}, TokenCase{12345u, L"eq-g6tNimDg"}
    };
    for (const TokenCase& c : cases) {
        SCOPED_TRACE(c.state);
        wchar_t token[RANDOM_TOKEN_LENGTH + 1];
        make_random_token(c.state, token);
        EXPECT_STREQ(token, c.token);
    }
}

TEST(RandomTokenShape, EveryStateGivesElevenCharactersOfTheAlphabet) {
    std::mt19937 generator(20240607);
    std::set<std::wstring> seen;
    constexpr int COUNT = 20000;
    for (int i = 0; i < COUNT; ++i) {
        const uint32_t state = i < COUNT / 2 ? static_cast<uint32_t>(i + 1) : static_cast<uint32_t>(generator() | 1u);
        wchar_t token[RANDOM_TOKEN_LENGTH + 2];
        token[RANDOM_TOKEN_LENGTH + 1] = L'#';
        make_random_token(state, token);
        ASSERT_EQ(token[RANDOM_TOKEN_LENGTH + 1], L'#') << "wrote past the token buffer";
        SCOPED_TRACE(state);
        expect_token_shape(token);
        seen.insert(token);
    }
    // Different states must not collapse onto a few tokens.
    EXPECT_GT(seen.size(), static_cast<size_t>(COUNT - 10));
}

struct SeedCase {
    const char* label;
    uint32_t process_id;
    uint64_t counter_address;
    uint64_t counter;
    uint32_t state;
};

TEST(RandomTokenSeed, CombinesProcessAddressAndCounter) {
    const SeedCase cases[] = {
        // x = 0x1234 ^ 0x7FFF ^ 0x1 ^ 0x2 = 0x6DC8; state = x ^ 0x12345678.
        SeedCase{"mixed", 0x1234u, 0x00007FFF12345678ull, 0x0000000100000002ull, 0x12343BB0u},
        SeedCase{"halves_of_the_counter", 1u, 0x0000000200000000ull, 0x0000000400000008ull, 15u},
        SeedCase{"all_ones", 0xFFFFFFFFu, 0xFFFFFFFFFFFFFFFFull, 0xFFFFFFFFFFFFFFFFull, 0xFFFFFFFFu},
        // x equals the low half of the address: the XOR would give 0, the state is 1 instead.
        SeedCase{"x_equals_low_address", 5u, 0x0000000A0000000Full, 0u, 1u},
        SeedCase{"all_zero", 0u, 0u, 0u, 1u},
        SeedCase{"x_equals_low_address_large", 0x89ABCDEFu, 0x0123456700000000ull ^ (0x89ABCDEFull ^ 0x01234567ull),
            0u, 1u}
    };
    for (const SeedCase& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(random_token_seed(c.process_id, c.counter_address, c.counter), c.state);
    }
}

TEST(RandomTokenSeedNeverZero, OverManyInputs) {
    std::mt19937_64 generator(77);
    for (int i = 0; i < 100000; ++i) {
        const uint32_t pid = static_cast<uint32_t>(generator());
        const uint64_t counter = generator();
        uint64_t address = generator();
        if (i % 2 == 0) {
            // Force the low half of the address to equal everything else combined.
            const uint32_t x = pid ^ static_cast<uint32_t>(address >> 32) ^ static_cast<uint32_t>(counter >> 32) ^
                               static_cast<uint32_t>(counter);
            address = (address & 0xFFFFFFFF00000000ull) | x;
        }
        ASSERT_NE(random_token_seed(pid, address, counter), 0u) << pid << " " << address << " " << counter;
    }
}

}  // namespace
