#include "payload/cache.h"

#include <cstdio>
#include <cwchar>

#include "common/bounded.h"
#include "common/errors.h"
#include "common/extras.h"
#include "environment/path_spec.h"
#include "payload/attached_data.h"
#include "platform/platform.h"

namespace {

// Appends `text` (of `count` code units) when it fits with its terminator; false otherwise, with
// nothing appended.
bool append_if_fits(wchar_t* buffer, size_t* length, const wchar_t* text, size_t count) {
    if (count >= PATH_CAPACITY - *length) return false;
    wmemcpy(buffer + *length, text, count);
    *length += count;
    buffer[*length] = L'\0';
    return true;
}

bool is_lower_hex(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'); }

// Room left below an entry for the files' names: a path the packer accepted must fit once joined,
// as it would below the temporary directory.
constexpr size_t ROOM_FOR_NAMES = 256;

}  // namespace

size_t cache_executable_name(const wchar_t* module_path, wchar_t* out) {
    const wchar_t* name = wcsrchr(module_path, PATH_SEPARATOR);
    name = name != nullptr ? name + 1 : module_path;
    size_t length = wcslen(name);
    if (length >= 4) {
        const wchar_t* suffix = name + length - 4;
        auto lower = [](wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
        if (suffix[0] == L'.' && lower(suffix[1]) == L'e' && lower(suffix[2]) == L'x' && lower(suffix[3]) == L'e') {
            length -= 4;
        }
    }
    if (length > CACHE_NAME_CAPACITY) {
        length = CACHE_NAME_CAPACITY;
        // A high surrogate whose low half would be cut off goes too (UTF-16 systems only).
        if (name[length - 1] >= 0xD800 && name[length - 1] <= 0xDBFF) --length;
    }
    wmemcpy(out, name, length);
    out[length] = L'\0';
    return length;
}

bool cache_paths(const wchar_t* module_path, const uint8_t* digest, CachePaths* paths) {
    if (!expand_path_spec(paths->root, L"{CACHE_DIR}" ONEFILE_SEPARATOR_TEXT L"onefile", PATH_CAPACITY)) return false;
    size_t length = wcslen(paths->root);
    if (length + 1 >= PATH_CAPACITY) return false;
    wmemcpy(paths->entry, paths->root, length + 1);
    wchar_t name[CACHE_NAME_CAPACITY + 1];
    const size_t name_length = cache_executable_name(module_path, name);
    wchar_t digits[CACHE_DIGEST_DIGITS + 2];
    digits[0] = L'-';
    static const wchar_t HEX[] = L"0123456789abcdef";
    for (size_t i = 0; i < CACHE_DIGEST_DIGITS / 2; ++i) {
        digits[1 + 2 * i] = HEX[digest[i] >> 4];
        digits[2 + 2 * i] = HEX[digest[i] & 15];
    }
    const wchar_t separator[] = {PATH_SEPARATOR, L'\0'};
    const size_t name_start = length + 1;
    if (!append_if_fits(paths->entry, &length, separator, 1) ||
        !append_if_fits(paths->entry, &length, name, name_length) ||
        !append_if_fits(paths->entry, &length, digits, CACHE_DIGEST_DIGITS + 1)) {
        return false;
    }
    if (PATH_CAPACITY - length < ROOM_FOR_NAMES) return false;
    paths->entry_name = paths->entry + name_start;
    paths->executable_name_length = name_length;
    return true;
}

CacheEntryState check_cache_entry(const wchar_t* entry) {
    switch (platform_private_directory(entry, false)) {
        case PrivateDirectory::Ready:
            break;
        case PrivateDirectory::Absent:
            return CacheEntryState::Absent;
        case PrivateDirectory::Foreign:
            return CacheEntryState::Foreign;
        case PrivateDirectory::Failed:
            return CacheEntryState::Damaged;
    }
    const size_t entry_length = wcslen(entry);
    // The directory of the file checked last, every level of it found to be a real directory, and
    // a handle to it through which the files in it are checked by name.
    wchar_t checked[PATH_CAPACITY];
    size_t checked_length = entry_length;
    wmemcpy(checked, entry, entry_length + 1);
    CheckedDirectory directory = platform_open_checked_directory(entry);
    if (directory == NO_DIRECTORY) return CacheEntryState::Damaged;
    wchar_t path[PATH_CAPACITY];
    wmemcpy(path, entry, entry_length + 1);
    path[entry_length] = PATH_SEPARATOR;

    CacheEntryState state = CacheEntryState::Valid;
    validate_attached_data_header();
    if (file_table_empty()) exit_bad_attached_data();
    for (uint64_t index = 0; state == CacheEntryState::Valid; ++index) {
        const FileEntry file = read_file_entry();
        if (entry_length + 1 + file.name_length + 1 > PATH_CAPACITY) exit_bad_attached_data();
        size_t directory_end = entry_length;
        for (size_t i = 0; i < file.name_length; ++i) {
            const wchar_t c = entry_name_unit(file, i);
            path[entry_length + 1 + i] = (c == L'\\') ? PATH_SEPARATOR : c;
            if (path[entry_length + 1 + i] == PATH_SEPARATOR) directory_end = entry_length + 1 + i;
        }
        const size_t path_length = entry_length + 1 + file.name_length;
        path[path_length] = L'\0';
        if (!entry_name_is_contained(path + entry_length + 1, file.name_length)) exit_bad_attached_data();
        if ((file.flags & ENTRY_FLAG_LINK) != 0) exit_bad_attached_data();
        if (index == 0) bounded_copy(g_state.main_binary_path, PATH_CAPACITY, path);

        if (directory_end != checked_length || wmemcmp(path, checked, directory_end) != 0) {
            // Each level between the entry and the file, from the top, unless the previous file's
            // directory shares it: a level replaced by a link is never gone through.
            bool shared = true;
            for (size_t end = entry_length + 1; end <= directory_end && state == CacheEntryState::Valid; ++end) {
                if (end != directory_end && path[end] != PATH_SEPARATOR) continue;
                shared = shared && end <= checked_length && (end == checked_length || checked[end] == PATH_SEPARATOR) &&
                         wmemcmp(path, checked, end) == 0;
                if (shared) continue;
                path[end] = L'\0';
                if (platform_path_kind(path) != PathKind::Directory) state = CacheEntryState::Damaged;
                path[end] = PATH_SEPARATOR;
            }
            if (state != CacheEntryState::Valid) break;
            wmemcpy(checked, path, directory_end);
            checked[directory_end] = L'\0';
            checked_length = directory_end;
            platform_close_checked_directory(directory);
            directory = platform_open_checked_directory(checked);
            if (directory == NO_DIRECTORY) {
                state = CacheEntryState::Damaged;
                break;
            }
        }

        int64_t seconds = 0;
        uint32_t nanoseconds = 0;
        const bool timed = file_time_at(attached_file_times(), index, &seconds, &nanoseconds) && seconds >= 0;
        if (!platform_file_matches(directory, path + directory_end + 1, file.size, timed, seconds)) {
            state = CacheEntryState::Damaged;
        }
        if ((file.flags & ENTRY_FLAG_LAST) != 0) break;
    }
    platform_close_checked_directory(directory);
    if (state == CacheEntryState::Valid) file_table_fully_read();
    return state;
}

void make_staging_path(const CachePaths& paths, wchar_t* out) {
    int64_t counter = 0;
    platform_performance_counter(&counter);
    const uint32_t pid = platform_current_process_id();
    wchar_t token[RANDOM_TOKEN_LENGTH + 1];
    make_random_token(random_token_seed(pid, reinterpret_cast<uintptr_t>(&counter), static_cast<uint64_t>(counter)),
                      token);
    wchar_t suffix[64];
    swprintf(suffix, 64, L".%lu-%ls", static_cast<unsigned long>(pid), token);
    size_t length = 0;
    out[0] = L'\0';
    const size_t root_length = static_cast<size_t>(paths.entry_name - paths.entry);
    // cache_paths() left room for far more than the dot and the suffix.
    wmemcpy(out, paths.entry, root_length);
    length = root_length;
    out[length] = L'\0';
    bounded_append_char(out, PATH_CAPACITY, &length, L'.');
    bounded_append(out, PATH_CAPACITY, &length, paths.entry_name);
    bounded_append(out, PATH_CAPACITY, &length, suffix);
}

bool is_entry_name(const wchar_t* name, const wchar_t* executable_name, size_t executable_name_length) {
    if (wcsncmp(name, executable_name, executable_name_length) != 0 || name[executable_name_length] != L'-') {
        return false;
    }
    const wchar_t* digits = name + executable_name_length + 1;
    for (size_t i = 0; i < CACHE_DIGEST_DIGITS; ++i) {
        if (!is_lower_hex(digits[i])) return false;
    }
    return digits[CACHE_DIGEST_DIGITS] == L'\0';
}

bool is_staging_name(const wchar_t* name, const wchar_t* executable_name, size_t executable_name_length) {
    if (name[0] != L'.') return false;
    const size_t entry_length = executable_name_length + 1 + CACHE_DIGEST_DIGITS;
    if (wcslen(name + 1) <= entry_length + 1 || name[1 + entry_length] != L'.') return false;
    wchar_t entry[CACHE_NAME_CAPACITY + CACHE_DIGEST_DIGITS + 2];
    wmemcpy(entry, name + 1, entry_length);
    entry[entry_length] = L'\0';
    return is_entry_name(entry, executable_name, executable_name_length);
}
