// The launcher's own executable path in a canonical form, so that a child can tell whether the
// process named as its parent runs this very same executable file.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t OWN_PATH_CAPACITY = 4097;
inline constexpr size_t OTHER_PATH_CAPACITY = 2048;

// The own module path, resolved (final path, short directory part) or plain (short directory part
// only). Computed once per form; the returned string lives as long as the process.
const wchar_t* get_own_executable_path(bool resolved);

// Writes the canonical path of `input` into `result` (which may be the same buffer). With
// `resolve`, an existing file's final path replaces it and the long-path prefixes are stripped.
// A path that does not fit `capacity` is a fatal stop.
void resolve_final_path(wchar_t* result, const wchar_t* input, size_t capacity, bool resolve);

// Rewrites the directory part of `path` in its short form, keeping the file name.
void shorten_directory_part(wchar_t* path, size_t capacity);

// For tests: forgets both cached forms.
void own_executable_path_reset();

// True when the process `pid` runs the same executable file as this one.
bool process_runs_own_executable(uint32_t pid);
