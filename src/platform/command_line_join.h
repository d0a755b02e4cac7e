// Joining an argument vector into one Windows command line, with the quoting that the system's
// splitter (and every runtime's) undoes. Pure: it touches nothing but its buffers, so it is built
// and tested on every platform, and the Windows backend uses it to start the child.
#pragma once

#include <cstddef>

// The system's limit for a command line: 32767 code units and the terminator.
inline constexpr size_t COMMAND_LINE_CAPACITY = 32768;

// Joins `count` arguments into `out` (capacity in code units, terminator included), separated by
// one space. An argument holding a blank, tab, line feed, vertical tab or double quote is quoted;
// an empty one is written as "". False when the line would not fit; `out` then holds no partial
// line that could be used by mistake.
bool join_command_line(wchar_t* const* arguments, int count, wchar_t* out, size_t capacity);
