#include "platform/device_names.h"

#include <initializer_list>

namespace {

wchar_t upper(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool starts_with(const wchar_t* name, size_t length, const wchar_t* word) {
    size_t i = 0;
    for (; word[i] != L'\0'; ++i) {
        if (i >= length || upper(name[i]) != word[i]) return false;
    }
    return true;
}

}  // namespace

bool is_windows_device_name(const wchar_t* name, size_t length) {
    // The base name ends at the first dot; blanks before it do not count either.
    size_t base = 0;
    while (base < length && name[base] != L'.') ++base;
    while (base > 0 && name[base - 1] == L' ') --base;
    if (base == 3) {
        for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL"}) {
            if (starts_with(name, base, device)) return true;
        }
        return false;
    }
    if (base == 4 && name[3] >= L'1' && name[3] <= L'9') {
        return starts_with(name, 3, L"COM") || starts_with(name, 3, L"LPT");
    }
    return false;
}
