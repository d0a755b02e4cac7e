// The environment bridge and the runtime library modules loaded beside the launcher's own.
#include <gtest/gtest.h>

#include <string>

#include "environment/env_bridge.h"
#include "test_support.h"

#include <windows.h>

namespace {

using WGetEnv = wchar_t*(__cdecl*)(const wchar_t*);

// The module's own view of its environment copy.
std::wstring module_getenv(HMODULE module, const wchar_t* name) {
    const auto get = reinterpret_cast<WGetEnv>(reinterpret_cast<void*>(GetProcAddress(module, "_wgetenv")));
    if (get == nullptr) return L"<no _wgetenv>";
    const wchar_t* value = get(name);
    return value != nullptr ? std::wstring(value) : std::wstring(L"<null>");
}

class RuntimeModule : public ::testing::TestWithParam<const wchar_t*> {};

TEST_P(RuntimeModule, LoadedModuleSeesEveryChange) {
    HMODULE module = LoadLibraryW(GetParam());
    if (module == nullptr) GTEST_SKIP() << "module not available";
    unit::EnvGuard guard("ONEFILE_WIN_BRIDGE");
    // Loaded before the change: only the bridge can tell the module's copy about it.
    set_bridged_env("ONEFILE_WIN_BRIDGE", L"bridged value \u00e9");
    EXPECT_EQ(module_getenv(module, L"ONEFILE_WIN_BRIDGE"), L"bridged value \u00e9");
    set_bridged_env("ONEFILE_WIN_BRIDGE", L"changed");
    EXPECT_EQ(module_getenv(module, L"ONEFILE_WIN_BRIDGE"), L"changed");
    unset_bridged_env("ONEFILE_WIN_BRIDGE");
    EXPECT_EQ(module_getenv(module, L"ONEFILE_WIN_BRIDGE"), L"<null>");
}

INSTANTIATE_TEST_SUITE_P(Modules, RuntimeModule, ::testing::Values(L"msvcr120.dll", L"ucrtbase.dll"));

TEST(RuntimeModuleNotLoaded, StaysUnloaded) {
    ASSERT_EQ(GetModuleHandleW(L"msvcr90.dll"), nullptr) << "something loaded it before the test";
    unit::EnvGuard guard("ONEFILE_WIN_BRIDGE");
    set_bridged_env("ONEFILE_WIN_BRIDGE", L"value");
    unset_bridged_env("ONEFILE_WIN_BRIDGE");
    EXPECT_EQ(GetModuleHandleW(L"msvcr90.dll"), nullptr);
}

TEST(SystemEnvironment, ChangesReachTheBlockAChildInherits) {
    unit::EnvGuard guard("ONEFILE_WIN_BRIDGE");
    set_bridged_env("ONEFILE_WIN_BRIDGE", L"for the child");
    wchar_t buffer[64];
    EXPECT_EQ(GetEnvironmentVariableW(L"ONEFILE_WIN_BRIDGE", buffer, 64), 13u);
    EXPECT_STREQ(buffer, L"for the child");
    unset_bridged_env("ONEFILE_WIN_BRIDGE");
    EXPECT_EQ(GetEnvironmentVariableW(L"ONEFILE_WIN_BRIDGE", buffer, 64), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));
}

}  // namespace
