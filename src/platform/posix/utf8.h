// UTF-8 at the POSIX boundary. The core's wide strings hold one character per wchar_t, except that
// names taken from the attached data may carry UTF-16 surrogate pairs, which are combined here.
#pragma once

#include <cstddef>

// Converts into `out` (capacity in bytes, terminator included). False when it does not fit.
bool wide_to_utf8(const wchar_t* in, char* out, size_t capacity);
// Converts into `out` (capacity in wchar_t, terminator included). Returns the length written, or
// the capacity needed (terminator included) when it does not fit. A byte that is not valid UTF-8
// becomes U+DC00 + byte, which wide_to_utf8 turns back into the byte.
size_t utf8_to_wide(const char* in, wchar_t* out, size_t capacity);
// Heap copies; null on allocation failure.
wchar_t* utf8_to_wide_alloc(const char* in);
char* wide_to_utf8_alloc(const wchar_t* in);

// Room for any path the core can hold (4096 code units) in UTF-8.
inline constexpr size_t NARROW_PATH_CAPACITY = 4096 * 4;
