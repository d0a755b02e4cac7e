#include "common/bounded.h"

#include <cstdlib>

#include "platform/platform.h"

void bounded_append_char(wchar_t* buffer, size_t capacity, size_t* length, wchar_t c) {
    if (capacity < 2 || *length > capacity - 2) platform_fatal_stop();
    buffer[*length] = c;
    ++*length;
    buffer[*length] = L'\0';
}

void bounded_append(wchar_t* buffer, size_t capacity, size_t* length, const wchar_t* text) {
    if (text == nullptr) platform_fatal_stop();
    for (const wchar_t* p = text; *p != L'\0'; ++p) bounded_append_char(buffer, capacity, length, *p);
    if (*length >= capacity) platform_fatal_stop();
    buffer[*length] = L'\0';
}

void bounded_copy(wchar_t* buffer, size_t capacity, const wchar_t* text) {
    if (capacity < 1) platform_fatal_stop();
    size_t length = 0;
    buffer[0] = L'\0';
    bounded_append(buffer, capacity, &length, text);
}

void bounded_widen(wchar_t* buffer, size_t capacity, const char* text) {
    if (text == nullptr || capacity < 1) platform_fatal_stop();
    size_t length = 0;
    buffer[0] = L'\0';
    for (const char* p = text; *p != '\0'; ++p) {
        const char one[2] = {*p, '\0'};
        wchar_t wide[2] = {0, 0};
        // The runtime's conversion in the default locale; one byte must be exactly one character.
        if (mbstowcs(wide, one, 2) != 1) platform_fatal_stop();
        bounded_append_char(buffer, capacity, &length, wide[0]);
    }
}
