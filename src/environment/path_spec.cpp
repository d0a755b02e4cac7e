#include "environment/path_spec.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "common/bounded.h"
#include "common/state.h"
#include "environment/env_bridge.h"

namespace {

constexpr size_t KEYWORD_CAPACITY = 1024;
constexpr size_t FOLDER_CAPACITY = 260;

constexpr char BASE64_URL_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

wchar_t ascii_upper(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// Keyword names match without regard to ASCII letter case; other characters must be equal.
bool keyword_is(const wchar_t* name, size_t length, const wchar_t* keyword) {
    size_t i = 0;
    for (; i < length; ++i) {
        if (keyword[i] == L'\0' || ascii_upper(name[i]) != keyword[i]) return false;
    }
    return keyword[i] == L'\0';
}

// The expander's write position: the output's terminator.
struct Output {
    wchar_t* text;
    uint64_t capacity;
    size_t length;
};

void append_value(Output* out, const wchar_t* value) { bounded_append(out->text, out->capacity, &out->length, value); }

void append_narrow_value(Output* out, const char* value) {
    wchar_t wide[64];
    bounded_widen(wide, sizeof wide / sizeof wide[0], value);
    append_value(out, wide);
}

// The system folders end in a separator; path specs write their own, so it goes.
void remove_trailing_separators(Output* out) {
    while (out->length > 0 && out->text[out->length - 1] == PATH_SEPARATOR) {
        --out->length;
        out->text[out->length] = L'\0';
    }
}

// Appends the value an inherited variable holds, or makes one, publishes it and appends it.
void append_published(Output* out, const char* variable, const wchar_t* made_value) {
    set_bridged_env(variable, made_value);
    append_value(out, made_value);
}

bool append_inherited(Output* out, const char* variable) {
    wchar_t* value = get_env_wide(variable);
    if (value == nullptr) return false;
    append_value(out, value);
    platform_free(value);
    return true;
}

void append_random_token(Output* out) {
    if (append_inherited(out, "VARNOK_ONEFILE_RANDOM")) return;
    int64_t counter = 0;
    platform_performance_counter(&counter);
    // The counter variable's own address adds the address-space layout randomisation.
    const uint32_t state =
        random_token_seed(platform_current_process_id(), static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&counter)),
                          static_cast<uint64_t>(counter));
    wchar_t token[RANDOM_TOKEN_LENGTH + 1];
    make_random_token(state, token);
    append_published(out, "VARNOK_ONEFILE_RANDOM", token);
}

void append_time_us(Output* out) {
    if (append_inherited(out, "VARNOK_ONEFILE_TIME_US")) return;
    const int64_t now = platform_system_time();
    char text[32];
    snprintf(text, sizeof text, "%06ld", static_cast<long>((now / 10) % 1000000));
    wchar_t wide[32];
    bounded_widen(wide, 32, text);
    append_published(out, "VARNOK_ONEFILE_TIME_US", wide);
}

void append_time(Output* out) {
    if (append_inherited(out, "VARNOK_ONEFILE_START")) return;
    const int64_t now = platform_system_time();
    char text[32];
    snprintf(text, sizeof text, "%lld", static_cast<long long>(now));
    wchar_t wide[32];
    bounded_widen(wide, 32, text);
    append_published(out, "VARNOK_ONEFILE_START", wide);
}

void append_pid(Output* out) {
    wchar_t* parent = get_env_wide("VARNOK_ONEFILE_PARENT");
    if (parent != nullptr) {
        // This value names the directory of another process: anything but digits is an attack or
        // damage, never something to put into a path.
        for (const wchar_t* p = parent; *p != L'\0'; ++p) {
            if (!iswdigit(static_cast<wint_t>(*p))) platform_fatal_stop();
        }
        append_value(out, parent);
        platform_free(parent);
        return;
    }
    char text[32];
    snprintf(text, sizeof text, "%ld", static_cast<long>(platform_current_process_id()));
    append_narrow_value(out, text);
}

// Expands "{PROGRAM}" at the write position through a nested expansion and returns the length of
// the value appended, or -1 when the nested expansion failed.
long append_program(Output* out) {
    wchar_t* start = out->text + out->length;
    if (!expand_path_spec(start, L"{PROGRAM}", out->capacity - out->length)) return -1;
    const size_t value_length = wcslen(start);
    out->length += value_length;
    return static_cast<long>(value_length);
}

bool expand_keyword(Output* out, const wchar_t* name, size_t length) {
    if (keyword_is(name, length, L"TEMP")) {
        wchar_t* position = out->text + out->length;
        const uint64_t remaining = out->capacity - out->length;
        // A temporary directory the system cannot deliver (a path longer than it allows, or longer
        // than the room left) fails the expansion: an empty or stale value would put the target
        // directory into the file system's root.
        if (!platform_temp_path(position, remaining)) {
            *position = L'\0';
            return false;
        }
        const size_t value_length = wcsnlen(position, static_cast<size_t>(remaining));
        if (value_length >= remaining) platform_fatal_stop();
        out->length += value_length;
        remove_trailing_separators(out);
        return true;
    }
    if (keyword_is(name, length, L"PROGRAM")) {
        wchar_t** argv = platform_wargv();
        if (argv == nullptr || platform_argc() < 1 || argv[0] == nullptr) platform_fatal_stop();
        append_value(out, argv[0]);
        return true;
    }
    if (keyword_is(name, length, L"PROGRAM_BASE")) {
        const long value_length = append_program(out);
        if (value_length < 0) return false;
        if (value_length >= 4) {
            const wchar_t* tail = out->text + out->length - 4;
            if (tail[0] == L'.' && ascii_upper(tail[1]) == L'E' && ascii_upper(tail[2]) == L'X' &&
                ascii_upper(tail[3]) == L'E') {
                out->length -= 4;
                out->text[out->length] = L'\0';
            }
        }
        return true;
    }
    if (keyword_is(name, length, L"PROGRAM_DIR")) {
        const long value_length = append_program(out);
        if (value_length < 0) return false;
        const size_t value_start = out->length - static_cast<size_t>(value_length);
        for (size_t i = out->length; i > value_start; --i) {
            if (out->text[i - 1] == PATH_SEPARATOR) {
                out->length = i - 1;
                out->text[out->length] = L'\0';
                break;
            }
        }
        return true;
    }
    if (keyword_is(name, length, L"PID")) {
        append_pid(out);
        return true;
    }
    const bool home = keyword_is(name, length, L"HOME");
    if (home || keyword_is(name, length, L"CACHE_DIR")) {
        wchar_t* position = out->text + out->length;
        if (!append_folder_path(position, home ? ShellFolder::Profile : ShellFolder::LocalAppData,
                                out->capacity - out->length)) {
            return false;
        }
        out->length += wcslen(position);
        remove_trailing_separators(out);
        return true;
    }
    if (keyword_is(name, length, L"RANDOM")) {
        append_random_token(out);
        return true;
    }
    if (keyword_is(name, length, L"TIME_US")) {
        append_time_us(out);
        return true;
    }
    if (keyword_is(name, length, L"TIME")) {
        append_time(out);
        return true;
    }
    return false;  // unknown, including the empty name of "{}"
}

}  // namespace

bool append_folder_path(wchar_t* position, ShellFolder folder, uint64_t remaining) {
    wchar_t folder_path[FOLDER_CAPACITY];
    folder_path[0] = L'\0';
    if (!platform_folder_path(folder, folder_path)) return false;
    folder_path[FOLDER_CAPACITY - 1] = L'\0';
    size_t length = 0;
    bounded_append(position, remaining, &length, folder_path);
    return true;
}

bool expand_path_spec(wchar_t* output, const wchar_t* spec, uint64_t capacity) {
    if (capacity == 0) return false;  // not even room for the empty string
    Output out{output, capacity, 0};
    output[0] = L'\0';

    wchar_t keyword[KEYWORD_CAPACITY];
    size_t keyword_length = 0;
    bool in_keyword = false;
    bool keyword_too_long = false;

    for (const wchar_t* p = spec; *p != L'\0'; ++p) {
        const wchar_t c = *p;
        if (c == L'{') {
            // A second brace restarts the keyword; what was gathered is dropped.
            in_keyword = true;
            keyword_length = 0;
            keyword_too_long = false;
        } else if (c == L'}') {
            // A closing brace outside a keyword cannot come from a well-formed spec.
            if (!in_keyword || keyword_too_long) return false;
            in_keyword = false;
            if (!expand_keyword(&out, keyword, keyword_length)) return false;
        } else if (in_keyword) {
            if (keyword_length + 1 >= KEYWORD_CAPACITY) {
                keyword_too_long = true;  // no keyword is this long; refused when it closes
            } else {
                keyword[keyword_length++] = c;
            }
        } else {
            if (capacity - out.length < 2) return false;
            output[out.length++] = c;
            output[out.length] = L'\0';
        }
    }
    // A keyword still open at the end is dropped; what came before it stays.
    output[out.length] = L'\0';
    return true;
}

void make_target_directory_absolute() {
    wchar_t full[PATH_CAPACITY];
    const uint32_t length = platform_full_path(g_state.target_directory, full, PATH_CAPACITY);
    if (length < 1 || length > PATH_CAPACITY - 1) platform_fatal_stop();
    bounded_copy(g_state.target_directory, PATH_CAPACITY, full);
}

namespace {

bool value_is_made_of(const char* name, size_t length, const char* characters) {
    wchar_t* value = get_env_wide(name);
    if (value == nullptr) return false;
    bool well_formed = wcslen(value) == length;
    for (size_t i = 0; well_formed && i < length; ++i) {
        well_formed = value[i] < 128 && value[i] != 0 && strchr(characters, static_cast<char>(value[i])) != nullptr;
    }
    platform_free(value);
    return well_formed;
}

}  // namespace

bool is_random_token_text(const wchar_t* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == 0 || text[i] >= 128 || strchr(BASE64_URL_ALPHABET, static_cast<char>(text[i])) == nullptr) {
            return false;
        }
    }
    return true;
}

bool inherited_run_values_are_well_formed() {
    return value_is_made_of("VARNOK_ONEFILE_RANDOM", RANDOM_TOKEN_LENGTH, BASE64_URL_ALPHABET) &&
           value_is_made_of("VARNOK_ONEFILE_TIME_US", 6, "0123456789");
}

uint32_t random_token_seed(uint32_t process_id, uint64_t counter_address, uint64_t counter) {
    const uint32_t address_low = static_cast<uint32_t>(counter_address);
    const uint32_t x = process_id ^ static_cast<uint32_t>(counter_address >> 32) ^
                       static_cast<uint32_t>(counter >> 32) ^ static_cast<uint32_t>(counter);
    return x == address_low ? 1u : (x ^ address_low);
}

void make_random_token(uint32_t state, wchar_t token[RANDOM_TOKEN_LENGTH + 1]) {
    uint8_t bytes[8];
    for (uint8_t& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<uint8_t>(state);
    }
    int n = 0;
    auto put = [&](unsigned index) { token[n++] = static_cast<wchar_t>(BASE64_URL_ALPHABET[index & 63]); };
    for (int group = 0; group < 2; ++group) {
        const uint8_t* b = bytes + group * 3;
        put(b[0] >> 2);
        put(((b[0] & 3u) << 4) | (b[1] >> 4));
        put(((b[1] & 15u) << 2) | (b[2] >> 6));
        put(b[2] & 63u);
    }
    put(bytes[6] >> 2);
    put(((bytes[6] & 3u) << 4) | (bytes[7] >> 4));
    put((bytes[7] & 15u) << 2);
    token[n] = L'\0';
}
