// Bounded operations on fixed-capacity wide buffers. Capacities count code units, terminator
// included. A bound that would be exceeded, or a missing source, is a fatal stop: nothing is ever
// written past a buffer and nothing is silently cut short.
#pragma once

#include <cstddef>
#include <cwchar>

// Appends one code unit at `*length`; needs two free code units (the unit and the terminator).
void bounded_append_char(wchar_t* buffer, size_t capacity, size_t* length, wchar_t c);
// Appends a NUL-terminated string at `*length`, one code unit at a time under the same rule.
void bounded_append(wchar_t* buffer, size_t capacity, size_t* length, const wchar_t* text);
// Replaces the buffer's contents with `text`.
void bounded_copy(wchar_t* buffer, size_t capacity, const wchar_t* text);
// Widens a narrow ASCII/locale string one byte at a time into the buffer (each byte must give
// exactly one wide character).
void bounded_widen(wchar_t* buffer, size_t capacity, const char* text);
