#include "child/sweep.h"

#include <cwchar>

#include "child/cleanup.h"
#include "common/state.h"
#include "environment/path_spec.h"
#include "platform/platform.h"

namespace {

bool is_digit(wchar_t c) { return c >= L'0' && c <= L'9'; }

}  // namespace

bool is_run_directory_name(const wchar_t* name) {
    constexpr wchar_t PREFIX[] = L"onefile_";
    constexpr size_t PREFIX_LENGTH = 8;
    if (wcsncmp(name, PREFIX, PREFIX_LENGTH) != 0) return false;
    const wchar_t* p = name + PREFIX_LENGTH;
    size_t digits = 0;
    while (is_digit(p[digits])) ++digits;
    if (digits == 0 || digits > 10 || p[digits] != L'_') return false;
    p += digits + 1;
    for (int i = 0; i < 6; ++i) {
        if (!is_digit(p[i])) return false;
    }
    if (p[6] != L'_') return false;
    p += 7;
    return wcslen(p) == static_cast<size_t>(RANDOM_TOKEN_LENGTH) && is_random_token_text(p, RANDOM_TOKEN_LENGTH);
}

void sweep_abandoned_directories() {
    wchar_t temp[PATH_CAPACITY];
    if (!expand_path_spec(temp, L"{TEMP}", PATH_CAPACITY)) return;
    const size_t temp_length = wcslen(temp);
    DirectoryWalk walk;
    if (!platform_open_directory(&walk, temp, PATH_CAPACITY)) return;
    wchar_t path[PATH_CAPACITY];
    while (const wchar_t* name = platform_next_entry(&walk)) {
        if (!is_run_directory_name(name)) continue;
        const size_t name_length = wcslen(name);
        if (temp_length + 1 + name_length + 1 > PATH_CAPACITY) continue;
        wmemcpy(path, temp, temp_length);
        path[temp_length] = PATH_SEPARATOR;
        wmemcpy(path + temp_length + 1, name, name_length + 1);
        if (wcscmp(path, g_state.target_directory) == 0) continue;
        if (platform_directory_is_abandoned(path)) remove_tree(path);
    }
    platform_close_directory(&walk);
}
