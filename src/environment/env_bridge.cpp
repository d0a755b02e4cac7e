#include "environment/env_bridge.h"

#include <cstdlib>
#include <cwchar>

#include "common/bounded.h"
#include "platform/platform.h"

namespace {

// The values a variable may hold: the system's limit of 32767 characters plus the terminator.
constexpr uint32_t ENV_VALUE_CAPACITY = 32768;
wchar_t g_env_read_buffer[ENV_VALUE_CAPACITY];

void run_runtime_bridge(const wchar_t* name, const wchar_t* value) {
    const size_t name_length = wcslen(name);
    const size_t value_length = wcslen(value);
    // The runtimes keep the string itself as their entry, so it is never freed.
    auto* assignment = static_cast<wchar_t*>(platform_allocate((name_length + value_length + 2) * sizeof(wchar_t)));
    if (assignment == nullptr) return;  // nothing may be handed over through a missing block
    wmemcpy(assignment, name, name_length);
    assignment[name_length] = L'=';
    wmemcpy(assignment + name_length + 1, value, value_length + 1);
    platform_runtime_putenv(assignment);
}

}  // namespace

void widen_env_name(const char* name, wchar_t* out) { bounded_widen(out, ENV_NAME_CAPACITY, name); }

wchar_t* get_env_wide(const char* name) {
    wchar_t wide_name[ENV_NAME_CAPACITY];
    widen_env_name(name, wide_name);
    const uint32_t length = platform_get_env(wide_name, g_env_read_buffer, ENV_VALUE_CAPACITY);
    if (length == 0 || length >= ENV_VALUE_CAPACITY) return nullptr;
    const size_t bytes = (static_cast<size_t>(length) + 1) * sizeof(wchar_t);
    auto* copy = static_cast<wchar_t*>(platform_allocate(bytes));
    if (copy == nullptr) return nullptr;
    wmemcpy(copy, g_env_read_buffer, length + 1);
    return copy;
}

void set_bridged_env(const char* name, const wchar_t* value) {
    wchar_t wide_name[ENV_NAME_CAPACITY];
    widen_env_name(name, wide_name);
    platform_set_env(wide_name, value);
    run_runtime_bridge(wide_name, value);
}

void unset_bridged_env(const char* name) {
    wchar_t wide_name[ENV_NAME_CAPACITY];
    widen_env_name(name, wide_name);
    platform_set_env(wide_name, nullptr);
    run_runtime_bridge(wide_name, L"");
}
