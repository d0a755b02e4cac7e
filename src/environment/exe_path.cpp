#include "environment/exe_path.h"

#include <cstdlib>
#include <cwchar>

#include "common/bounded.h"
#include "platform/platform.h"

namespace {

wchar_t g_resolved_cache[OWN_PATH_CAPACITY];
wchar_t g_plain_cache[OWN_PATH_CAPACITY];

constexpr wchar_t LONG_PREFIX[] = L"\\\\?\\";
constexpr size_t LONG_PREFIX_LENGTH = 4;
constexpr wchar_t UNC_PREFIX[] = L"\\\\?\\UNC\\";
constexpr size_t UNC_PREFIX_LENGTH = 8;

bool starts_with(const wchar_t* text, const wchar_t* prefix, size_t prefix_length) {
    return wcsncmp(text, prefix, prefix_length) == 0;
}

wchar_t* heap_copy(const wchar_t* text) {
    const size_t length = wcslen(text);
    auto* copy = static_cast<wchar_t*>(platform_allocate((length + 1) * sizeof(wchar_t)));
    if (copy != nullptr) wmemcpy(copy, text, length + 1);
    return copy;
}

}  // namespace

void resolve_final_path(wchar_t* result, const wchar_t* input, size_t capacity, bool resolve) {
    if (input == nullptr || wcslen(input) >= capacity) platform_fatal_stop();
    if (!resolve) {
        if (result != input) wmemcpy(result, input, wcslen(input) + 1);
        return;
    }
    void* handle = platform_open_for_final_path(input);
    // The callers pass one buffer as input and result; the input is needed again after the final
    // path has overwritten it, for the prefix rule below.
    wchar_t original[OWN_PATH_CAPACITY];
    if (wcslen(input) >= OWN_PATH_CAPACITY) platform_fatal_stop();
    wmemcpy(original, input, wcslen(input) + 1);
    if (result != input) wmemcpy(result, input, wcslen(input) + 1);
    if (handle == nullptr) return;  // no file to ask: the path stays as given

    const uint32_t length = platform_final_path_and_close(handle, result, static_cast<uint32_t>(capacity));
    if (length >= capacity) platform_fatal_stop();
    // A failed query leaves the copy in place; the prefix rules still apply to it, so the same
    // file is spelled the same way whether or not the system could resolve it.

    // "\\?\D:\dir\app.exe" names the same file as "D:\dir\app.exe": drop the prefix where the rest
    // is a drive path or is exactly what the caller gave.
    if (starts_with(result, LONG_PREFIX, LONG_PREFIX_LENGTH) &&
        (wcscmp(result + LONG_PREFIX_LENGTH, original) == 0 || result[LONG_PREFIX_LENGTH + 1] == L':')) {
        wmemmove(result, result + LONG_PREFIX_LENGTH, wcslen(result + LONG_PREFIX_LENGTH) + 1);
    }
    if (starts_with(result, UNC_PREFIX, UNC_PREFIX_LENGTH)) {
        // "\\?\UNC\server\share" becomes "\\server\share".
        wmemmove(result + 2, result + UNC_PREFIX_LENGTH, wcslen(result + UNC_PREFIX_LENGTH) + 1);
    }
}

void shorten_directory_part(wchar_t* path, size_t capacity) {
    wchar_t* file_name = nullptr;
    wchar_t* last_separator = wcsrchr(path, PATH_SEPARATOR);
    if (last_separator != nullptr) {
        file_name = heap_copy(last_separator + 1);
        if (file_name == nullptr) platform_fatal_stop();  // the name would be lost otherwise
        *last_separator = L'\0';
    }

    const uint32_t needed = platform_short_path(path, nullptr, 0);
    if (needed != 0) {
        auto* short_form =
            static_cast<wchar_t*>(platform_allocate((static_cast<size_t>(needed) + 1) * sizeof(wchar_t)));
        if (short_form == nullptr) platform_fatal_stop();
        const uint32_t written = platform_short_path(path, short_form, needed);
        if (written > needed) platform_fatal_stop();
        // A second query that fails leaves the buffer undefined: keep the long form then, as when
        // the first query fails.
        if (written != 0) bounded_copy(path, capacity, short_form);
        platform_free(short_form);
    }

    if (file_name != nullptr) {
        size_t length = wcslen(path);
        bounded_append_char(path, capacity, &length, PATH_SEPARATOR);
        bounded_append(path, capacity, &length, file_name);
        platform_free(file_name);
    }
}

const wchar_t* get_own_executable_path(bool resolved) {
    wchar_t* cache = resolved ? g_resolved_cache : g_plain_cache;
    if (cache[0] != L'\0') return cache;
    cache[0] = L'\0';
    const uint32_t length = platform_module_file_name(cache, OWN_PATH_CAPACITY);
    // A failed or truncated query leaves no usable path; an empty cache is computed again next time.
    if (length == 0 || length >= OWN_PATH_CAPACITY) {
        cache[0] = L'\0';
        return cache;
    }
    resolve_final_path(cache, cache, OWN_PATH_CAPACITY, resolved);
    shorten_directory_part(cache, OWN_PATH_CAPACITY);
    return cache;
}

void own_executable_path_reset() {
    g_resolved_cache[0] = L'\0';
    g_plain_cache[0] = L'\0';
}

bool process_runs_own_executable(uint32_t pid) {
    wchar_t other[OTHER_PATH_CAPACITY];
    if (!platform_process_image_path(pid, other, OTHER_PATH_CAPACITY)) return false;
    resolve_final_path(other, other, OTHER_PATH_CAPACITY, true);
    shorten_directory_part(other, OTHER_PATH_CAPACITY);
    const wchar_t* own = get_own_executable_path(true);
    return own[0] != L'\0' && wcscmp(other, own) == 0;
}
