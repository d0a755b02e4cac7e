// The child's command line: the launcher's own arguments, argument 0 replaced by the module path,
// joined with the quoting that the platform's command-line splitting undoes.
#pragma once

#include <cstddef>

inline constexpr size_t COMMAND_LINE_CAPACITY = 32768;
extern wchar_t g_child_command_line[COMMAND_LINE_CAPACITY];

// Splits the own command line, replaces argument 0 with the module path and joins the arguments
// into g_child_command_line. A line that would not fit, or a command line the system cannot split,
// ends the process before any child starts.
void build_child_command_line();

// Joins `count` arguments into `out` (capacity in code units, terminator included). False when
// the line would not fit; `out` then holds no partial line that could be used by mistake.
bool join_command_line(wchar_t* const* arguments, int count, wchar_t* out, size_t capacity);
