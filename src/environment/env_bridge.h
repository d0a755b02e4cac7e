// The environment variables shared with the child and with every runtime library module loaded in
// the process. Names are ASCII literals of at most 39 characters.
#pragma once

#include <cstddef>

// Returns a heap copy of the variable's value (caller owns it), or null when the variable is absent,
// empty, longer than the system allows, or cannot be copied.
wchar_t* get_env_wide(const char* name);
// Sets the variable in the system's environment block (which the child inherits) and in every
// runtime library copy of the environment already loaded in the process.
void set_bridged_env(const char* name, const wchar_t* value);
// Removes the variable from the same places.
void unset_bridged_env(const char* name);

inline constexpr size_t ENV_NAME_CAPACITY = 40;
// Widens an ASCII name into `out` (40 code units); a name that does not fit, or a byte that does not
// convert to exactly one wide character, is a fatal stop.
void widen_env_name(const char* name, wchar_t* out);
