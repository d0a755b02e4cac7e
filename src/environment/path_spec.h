// Expansion of path specs: paths with {KEYWORD} placeholders for values known only at run time.
// Values that change from run to run are published in the environment on first use, so a child
// expanding the same spec gets the same path.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Expands `spec` into `output` (capacity in code units, terminator included). Returns false when a
// literal does not fit, a keyword is unknown, empty or malformed, or a folder query fails; the
// output then holds what was expanded so far. A keyword value that does not fit, a missing argument
// 0 and a non-numeric inherited parent id are fatal stops.
bool expand_path_spec(wchar_t* output, const wchar_t* spec, uint64_t capacity);

// Rewrites the target directory as an absolute path in place; failure is a fatal stop.
void make_target_directory_absolute();

// Appends the given folder at `position` within `remaining` code units. False when the folder
// cannot be queried (the output is then unchanged); a folder that does not fit is a fatal stop.
bool append_folder_path(wchar_t* position, ShellFolder folder, uint64_t remaining);

// True when the inherited VARNOK_ONEFILE_RANDOM is an 11-character token of the random alphabet and
// VARNOK_ONEFILE_TIME_US six decimal digits: the only values a parent publishes.
bool inherited_run_values_are_well_formed();

inline constexpr int RANDOM_TOKEN_LENGTH = 11;
// True when the `length` code units at `text` are all characters of the random token's alphabet.
bool is_random_token_text(const wchar_t* text, size_t length);
// The seed of the random token: never 0.
uint32_t random_token_seed(uint32_t process_id, uint64_t counter_address, uint64_t counter);
// The 11-character token (plus terminator) that the xorshift generator gives from `state`.
void make_random_token(uint32_t state, wchar_t token[RANDOM_TOKEN_LENGTH + 1]);
