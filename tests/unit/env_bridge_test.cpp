// The environment bridge: variables set, read and removed in the system's block and in the
// runtime's own copy, and the bound on variable names.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "environment/env_bridge.h"
#include "test_support.h"

namespace {

using unit::EnvGuard;

// Reads through the bridge; "<null>" stands for a null result.
std::wstring read(const char* name) {
    wchar_t* value = get_env_wide(name);
    std::wstring text = value != nullptr ? std::wstring(value) : std::wstring(L"<null>");
    free(value);
    return text;
}

constexpr char NAME[] = "ONEFILE_UNIT_BRIDGE";

TEST(EnvBridge, SetGetUnsetRoundTrip) {
    EnvGuard guard(NAME);
    set_bridged_env(NAME, L"first value");
    EXPECT_EQ(read(NAME), L"first value");
    set_bridged_env(NAME, L"second");
    EXPECT_EQ(read(NAME), L"second");
    unset_bridged_env(NAME);
    EXPECT_EQ(read(NAME), L"<null>");
    // Removing what is not there changes nothing.
    unset_bridged_env(NAME);
    EXPECT_EQ(read(NAME), L"<null>");
}

TEST(EnvBridge, ValuesPassUnchanged) {
    EnvGuard guard(NAME);
    for (const std::wstring& value :
         {std::wstring(L"caf\u00e9 \u4e2d\u6587"), std::wstring(L"emoji \U0001F600 end"), std::wstring(L" a=b "),
          std::wstring(L"C:\\dir with space\\"), std::wstring(L"x")}) {
        set_bridged_env(NAME, value.c_str());
        EXPECT_EQ(read(NAME), value);
    }
}

TEST(EnvBridge, EmptyValueReadsAsNull) {
    EnvGuard guard(NAME);
    set_bridged_env(NAME, L"");
    EXPECT_EQ(read(NAME), L"<null>");
}

TEST(EnvBridge, ReachesTheRuntimesOwnEnvironment) {
    EnvGuard guard(NAME);
    set_bridged_env(NAME, L"seen by getenv");
    const char* value = getenv(NAME);
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "seen by getenv");
    unset_bridged_env(NAME);
    EXPECT_EQ(getenv(NAME), nullptr);
}

// Long values pass whole. (The exact limit of 32767 units is not checked here: Wine's
// GetEnvironmentVariableW cuts values at 32766 units.)
TEST(EnvBridge, LongValuePassesWhole) {
    EnvGuard guard(NAME);
    std::wstring value(32000, L'v');
    value[0] = L'<';
    value.back() = L'>';
    set_bridged_env(NAME, value.c_str());
    const std::wstring read_back = read(NAME);
    EXPECT_EQ(read_back.size(), value.size());
    EXPECT_TRUE(read_back == value);
}

const std::string NAME_39 = "ONEFILE_UNIT_" + std::string(39 - 13, 'N');
const std::string NAME_40 = NAME_39 + "X";

TEST(EnvBridgeNames, ThirtyNineCharactersAreAccepted) {
    ASSERT_EQ(NAME_39.size(), 39u);
    EnvGuard guard(NAME_39.c_str());
    set_bridged_env(NAME_39.c_str(), L"value");
    EXPECT_EQ(read(NAME_39.c_str()), L"value");
    unset_bridged_env(NAME_39.c_str());
    EXPECT_EQ(read(NAME_39.c_str()), L"<null>");
}

TEST(EnvBridgeNames, FortyCharactersAreAFatalStop) {
    ASSERT_EQ(NAME_40.size(), 40u);
    EXPECT_EXIT(
        {
            set_bridged_env(NAME_40.c_str(), L"value");
            exit(0);
        },
        unit::fatal_stop(), unit::output_is(""));
    EXPECT_EXIT(
        {
            wchar_t* value = get_env_wide(NAME_40.c_str());
            free(value);
            exit(0);
        },
        unit::fatal_stop(), unit::output_is(""));
    EXPECT_EXIT(
        {
            unset_bridged_env(NAME_40.c_str());
            exit(0);
        },
        unit::fatal_stop(), unit::output_is(""));
}

TEST(EnvBridgeNames, WideningKeepsEveryCharacter) {
    wchar_t wide_name[ENV_NAME_CAPACITY];
    widen_env_name(NAME_39.c_str(), wide_name);
    EXPECT_EQ(std::wstring(wide_name), std::wstring(NAME_39.begin(), NAME_39.end()));
}

}  // namespace
