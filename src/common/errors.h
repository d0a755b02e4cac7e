// Every failure message of the launcher and the ways of ending on failure. None of these returns
// except print_system_error.
#pragma once

#include <cstdint>

// Writes `message` and a line end to standard output, then exits with status 2.
[[noreturn]] void exit_with_error(const char* message);
// Writes "message ([Error code] system text)" to standard error, then exits with status 2.
[[noreturn]] void exit_with_system_error(const char* message, uint32_t code);
// The line of exit_with_system_error, without ending the process.
void print_system_error(const char* message, uint32_t code);
// Reports that the file at output_path cannot be created for writing, then exits with status 2.
[[noreturn]] void exit_with_open_error();
// Reports a path spec that cannot be expanded, then makes a fatal stop.
[[noreturn]] void abort_with_error(const wchar_t* path_spec);

// Shorthands for the messages raised from more than one place.
[[noreturn]] void exit_bad_attached_data();
[[noreturn]] void exit_decode_error();
[[noreturn]] void exit_out_of_memory();
[[noreturn]] void exit_unpack_error(uint32_t code);
[[noreturn]] void exit_launch_error(uint32_t code);
[[noreturn]] void exit_handler_registration_error();
[[noreturn]] void exit_load_error(uint32_t code);
[[noreturn]] void exit_entry_not_found();
[[noreturn]] void exit_command_line_too_long();
[[noreturn]] void exit_command_line_unsplittable();
[[noreturn]] void exit_own_image_unknown();

// While a handler is set, extraction's failures to create or write a file (exit_with_open_error,
// exit_unpack_error) go to it, with the system error code, instead of ending the process: a start
// that unpacks into the cache falls back to a temporary directory. The handler never returns.
using UnpackFailureHandler = void (*)(uint32_t code);
void set_unpack_failure_handler(UnpackFailureHandler handler);

// The cache cannot be used and the run unpacks into a temporary directory instead: says so on
// standard error, once per process. `foreign`: something not private to the user is at `path`;
// otherwise `code` is the system error.
void report_cache_unusable(const wchar_t* path, bool foreign, uint32_t code);
